// A loop over independent items spread over threads, whose output does not depend on how many.
//
// Each item is the body called with its index; it writes its result in place by that index and
// reads nothing another item writes, so the result is the same for any thread count. Threads
// are started for one loop and joined before it returns: a loop worth spreading runs for
// milliseconds at least, nothing idles between loops, and no thread outlives the call.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

#include "numerics/threads.hpp"

namespace kestrune::parallel {

namespace detail {
using Item = void (*)(void* body, std::size_t index);
bool run(std::size_t count, int thread_count, void* body, Item item);
}  // namespace detail

// Calls body(i) once for each i in [0, count) on up to `thread_count` threads, the calling
// thread among them, handing out indices in small chunks as threads come free. With one
// thread, one item, or from inside another loop's body, it runs inline and starts no thread.
// While workers run, OpenBLAS runs each call on one thread.
//
// The body must not touch Python: workers hold no interpreter state. Every thread checks
// interrupt::requested() before each item, which polls on the calling thread alone (on a
// worker it, and any poll in the body, reads what the caller found); once a stop is pending,
// no thread takes another item and the loop returns false. An exception a body throws (std::bad_alloc, say)
// stops the others taking items and is rethrown here once every worker has stopped; of
// several, the one of the lowest index. True when every item ran.
template <class Body>
[[nodiscard]] bool for_each(std::size_t count, Body&& body, int thread_count = threads::pool()) {
  using Plain = std::remove_reference_t<Body>;
  void* erased = const_cast<void*>(static_cast<const void*>(std::addressof(body)));
  return detail::run(count, thread_count, erased, [](void* b, std::size_t i) { (*static_cast<Plain*>(b))(i); });
}

}  // namespace kestrune::parallel
