// Whether the caller asked the running call to stop (Ctrl-C), for long loops to poll between
// their steps. The numerics know nothing of Python: the binding installs the poll once, and a
// loop that sees a request ends early with `code`; the binding then reports the interrupt
// itself, whatever the call returned.
#pragma once

#include <string_view>

namespace kestrune::interrupt {

// What a loop that stopped on a request returns as its error code.
inline constexpr std::string_view code = "INTERRUPTED";

// Asks the caller's environment whether a stop is pending; true ends the call.
using Poll = bool (*)() noexcept;

void install(Poll poll) noexcept;

// Between two steps of a long loop: polls and remembers the answer, so every later poll of the
// same call is true as well. On a worker thread it only reads the remembered answer, like
// `stopping`, so code a parallel loop shares with the calling thread may poll anywhere.
bool requested() noexcept;

// Marks the calling thread as a worker of a parallel loop for the rest of its life: its polls
// never reach the caller's environment (Python), which only the calling thread may touch.
void worker_thread() noexcept;

// The remembered answer alone, without polling: safe from any thread.
bool stopping() noexcept;

// Called by the binding around each call.
void reset() noexcept;

}  // namespace kestrune::interrupt
