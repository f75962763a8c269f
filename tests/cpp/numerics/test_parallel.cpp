// The parallel loop: the same output for any thread count, OpenBLAS on one thread inside,
// exceptions carried to the caller, and a pending Ctrl-C ending it early.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "numerics/dense.hpp"
#include "numerics/eigen.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/lapack.hpp"
#include "numerics/parallel.hpp"

namespace {

using kestrune::parallel::for_each;

// Work that goes through LAPACK (a factor from order 12, an eigendecomposition from 128):
// its bits would move with OpenBLAS's thread count.
double item_value(std::size_t i) {
  const int n = 12 + static_cast<int>(i % 5) * 30;
  Eigen::MatrixXd a = Eigen::MatrixXd::Constant(n, n, 0.3) + Eigen::MatrixXd::Identity(n, n);
  a(0, n - 1) = a(n - 1, 0) = 0.1 + 1e-3 * static_cast<double>(i);
  const auto factor = kestrune::dense::DenseFactor::make(a, kestrune::dense::DenseFactor::Route::lapack);
  return factor->logdet() + kestrune::eigen::symmetric_eigen(a).vectors.col(0).sum();
}

struct Outcome {
  std::vector<double> values;
  std::vector<int> calls;
  int most_blas_threads = 0;  // within the bodies
};

Outcome run(std::size_t count, int threads) {
  Outcome r{std::vector<double>(count), std::vector<int>(count), 0};
  std::atomic<int> most{0};
  const bool done = for_each(
      count,
      [&](std::size_t i) {
        r.values[i] = item_value(i);
        ++r.calls[i];
        int seen = openblas_get_num_threads(), was = most.load();
        while (seen > was && !most.compare_exchange_weak(was, seen)) {}
      },
      threads);
  EXPECT_TRUE(done);
  r.most_blas_threads = most.load();
  return r;
}

TEST(ParallelLoop, SameOutputForAnyThreadCount) {
  for (const std::size_t count : {0, 1, 7, 300}) {
    const Outcome one = run(count, 1);
    EXPECT_EQ(one.calls, std::vector<int>(count, 1));
    for (const int threads : {2, 3, 8}) {
      openblas_set_num_threads(4);
      const Outcome many = run(count, threads);
      EXPECT_EQ(many.values, one.values) << count << " " << threads;
      EXPECT_EQ(many.calls, one.calls) << count << " " << threads;
      // Held to one thread while workers run, and given back afterwards.
      if (count > 1) {
        EXPECT_EQ(many.most_blas_threads, 1) << count << " " << threads;
        EXPECT_EQ(openblas_get_num_threads(), 4) << count << " " << threads;
      }
    }
  }
}

TEST(ParallelLoop, NestedLoopRunsInline) {
  std::vector<int> same_thread(64, 0);
  ASSERT_TRUE(for_each(8, [&](std::size_t i) {
    const auto outer = std::this_thread::get_id();
    ASSERT_TRUE(for_each(8, [&](std::size_t j) { same_thread[i * 8 + j] = std::this_thread::get_id() == outer; }, 4));
  }, 4));
  EXPECT_EQ(same_thread, std::vector<int>(64, 1));
}

struct Thrown {
  std::size_t index;
};

TEST(ParallelLoop, ExceptionReachesTheCallerAfterWorkersStop) {
  // Every item throws, so the chunk holding index 0 throws first on its own thread.
  for (const int threads : {1, 4}) {
    try {
      (void)for_each(1000, [](std::size_t i) { throw Thrown{i}; }, threads);
      ADD_FAILURE() << "nothing thrown";
    } catch (const Thrown& thrown) {
      EXPECT_EQ(thrown.index, 0u) << threads;
    }
    EXPECT_THROW((void)for_each(1000, [](std::size_t i) { if (i == 617) throw std::bad_alloc(); }, threads),
                 std::bad_alloc);
    // The loop leaves nothing behind: the next one runs every item.
    EXPECT_EQ(run(50, threads).calls, std::vector<int>(50, 1));
  }
}

std::atomic<int> polls{0};
std::atomic<int> polls_off_caller{0};
std::thread::id caller;
int stop_after = 0;
bool poll_counting() noexcept {
  if (std::this_thread::get_id() != caller) ++polls_off_caller;
  return polls.fetch_add(1) >= stop_after;
}

TEST(ParallelLoop, PendingInterruptStopsEveryThreadAndOnlyTheCallerPolls) {
  // stop_after: how many of the caller's polls pass before the stop is pending.
  for (const int after : {0, 5}) {
    for (const int threads : {1, 4}) {
      kestrune::interrupt::reset();
      polls = 0;
      polls_off_caller = 0;
      caller = std::this_thread::get_id();
      stop_after = after;
      kestrune::interrupt::install(poll_counting);
      std::atomic<int> ran{0};
      const bool done = for_each(
          2000,
          [&](std::size_t) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            (void)kestrune::interrupt::requested();  // as a fit inside the body polls
            ++ran;
          },
          threads);
      kestrune::interrupt::install(nullptr);
      kestrune::interrupt::reset();
      EXPECT_FALSE(done) << after << " " << threads;
      EXPECT_EQ(polls_off_caller.load(), 0) << after << " " << threads;
      if (after == 0) {
        EXPECT_EQ(ran.load(), 0) << threads;
      }
      EXPECT_LT(ran.load(), 2000 / 4) << after << " " << threads;
    }
  }
}

}  // namespace
