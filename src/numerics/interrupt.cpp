#include "numerics/interrupt.hpp"

#include <atomic>

namespace kestrune::interrupt {
namespace {

std::atomic<Poll> installed{nullptr};
std::atomic<bool> stop{false};
thread_local bool worker = false;

}  // namespace

void install(Poll poll) noexcept { installed.store(poll, std::memory_order_release); }

bool requested() noexcept {
  if (!worker && !stop.load(std::memory_order_relaxed)) {
    const Poll poll = installed.load(std::memory_order_acquire);
    if (poll != nullptr && poll()) stop.store(true, std::memory_order_relaxed);
  }
  return stop.load(std::memory_order_relaxed);
}

void worker_thread() noexcept { worker = true; }

bool stopping() noexcept { return stop.load(std::memory_order_relaxed); }

void reset() noexcept { stop.store(false, std::memory_order_relaxed); }

}  // namespace kestrune::interrupt
