#include "numerics/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "numerics/interrupt.hpp"

namespace kestrune::parallel::detail {
namespace {

thread_local bool in_loop = false;  // inside some loop's body, on this thread

bool run_inline(std::size_t count, void* body, Item item) {
  for (std::size_t i = 0; i < count; ++i) {
    if (interrupt::requested()) return false;
    item(body, i);
  }
  return true;
}

// What the threads of one loop share.
struct Loop {
  Loop(std::size_t count, std::size_t chunk, void* body, Item item)
      : count(count), chunk(chunk), body(body), item(item) {}

  const std::size_t count;
  const std::size_t chunk;
  void* const body;
  const Item item;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> interrupted{false};
  std::mutex mutex;
  std::exception_ptr error;
  std::size_t error_index = std::numeric_limits<std::size_t>::max();

  void fail(std::size_t index, std::exception_ptr thrown) {
    const std::lock_guard lock(mutex);
    if (index < error_index) {
      error = std::move(thrown);
      error_index = index;
    }
    stop.store(true, std::memory_order_relaxed);
  }

  // Takes chunks until none is left or the loop stops.
  void take() {
    for (;;) {
      const std::size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= count) return;
      const std::size_t end = std::min(count, begin + chunk);
      for (std::size_t i = begin; i < end; ++i) {
        if (stop.load(std::memory_order_relaxed)) return;
        if (interrupt::requested()) {
          interrupted.store(true, std::memory_order_relaxed);
          stop.store(true, std::memory_order_relaxed);
          return;
        }
        try {
          item(body, i);
        } catch (...) {
          fail(i, std::current_exception());
          return;
        }
      }
    }
  }
};

}  // namespace

bool run(std::size_t count, int thread_count, void* body, Item item) {
  const auto team = std::min(static_cast<std::size_t>(std::max(thread_count, 1)), count);
  if (team <= 1 || in_loop) return run_inline(count, body, item);
  if (interrupt::requested()) return false;  // start no thread for a loop already stopped
  // Chunks of about an eighth of a thread's share: few enough to cost nothing, small enough
  // that uneven items even out.
  Loop loop(count, std::max<std::size_t>(1, count / (8 * team)), body, item);
  {
    const threads::OneBlasThread one_blas_thread;
    std::vector<std::jthread> workers;
    workers.reserve(team - 1);
    for (std::size_t t = 1; t < team; ++t) {
      try {
        workers.emplace_back([&loop] {
          interrupt::worker_thread();
          in_loop = true;
          loop.take();
        });
      } catch (const std::system_error&) {
        break;  // no thread to be had: those started and the caller do the work
      }
    }
    in_loop = true;
    loop.take();
    in_loop = false;
  }  // the workers are joined here, before the count is restored
  if (loop.error) std::rethrow_exception(loop.error);
  return !loop.interrupted.load(std::memory_order_relaxed);
}

}  // namespace kestrune::parallel::detail
