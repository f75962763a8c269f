#include "numerics/threads.hpp"

#include <sched.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "numerics/lapack.hpp"

namespace kestrune::threads {
namespace {

// A positive decimal integer, the whole text and nothing else; anything else (zero, a sign
// other than '+', trailing text, a value beyond int) gives nothing.
std::optional<int> positive_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int value = 0;
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(text.data(), last, value);
  if (text.empty() || ec != std::errc{} || end != last || value <= 0) return std::nullopt;
  return value;
}

int processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    if (const int count = CPU_COUNT(&set); count > 0) return count;
  }
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// OpenBLAS's pool for a large call, fixed at the first dense call: what OpenBLAS chose at
// load (OPENBLAS_NUM_THREADS, else the processors) unless RAYON_NUM_THREADS says otherwise.
int blas_pool() {
  static const int count = requested().value_or(std::max(1, openblas_get_num_threads()));
  return count;
}

// Holders of OneBlasThread alive now.
std::atomic<int> holders{0};

void set_blas(int count) {
  if (openblas_get_num_threads() != count) openblas_set_num_threads(count);
}

}  // namespace

std::optional<int> requested() {
  static const std::optional<int> count = [] {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    return text == nullptr ? std::nullopt : positive_count(text);
  }();
  return count;
}

int pool() {
  static const int count = requested().value_or(processors());
  return count;
}

// Measured on 8 processors (bench/bench_threads.py --case crossover). On an idle machine the
// pool first wins at order 512 for dpotrf, 256 for dpotri, 768 for dsyevd and 128 for a solve
// with as many right-hand sides; at 1,536 it gives 2.4-2.8x, 2.9x, 1.7-1.8x and 4.1x, at
// 2,048 dsyevd 1.9-2.2x. With every processor busy it loses at every order measured (dpotrf
// 30x slower at 1,024, 6.5x at 3,072; dsyevd 200x at 1,024), so the pool waits until it about
// halves the time on an idle machine: never for the whole-sample fits of a thousand people.
// Nor for one genomic relationship block of 1,410: on a shared machine its pooled dsyevd, and
// OpenBLAS's threads polling after it, made the sweep over its markers 3.5-7x slower on 8
// threads than with dsyevd on one.
Eigen::Index crossover(Kind kind) {
  switch (kind) {
    case Kind::factor:
    case Kind::solve:
    case Kind::inverse:
      return 1536;
    case Kind::eigen:
      return 2048;
  }
  return 1536;
}

int blas_threads(Kind kind, Eigen::Index order) { return order < crossover(kind) ? 1 : blas_pool(); }

void prepare(Kind kind, Eigen::Index order) {
  if (holders.load(std::memory_order_acquire) > 0) return;
  set_blas(blas_threads(kind, order));
}

OneBlasThread::OneBlasThread() {
  blas_pool();  // fixed before the count is lowered, so that it is never read as one
  if (holders.fetch_add(1, std::memory_order_acq_rel) > 0) return;
  restore_ = openblas_get_num_threads();
  set_blas(1);
}

OneBlasThread::~OneBlasThread() {
  if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1 && restore_ > 0) set_blas(restore_);
}

}  // namespace kestrune::threads
