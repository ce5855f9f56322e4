#pragma once
// Pauses that signals neither lengthen nor shorten, for every wait of the
// library that sleeps between attempts. Nothing declared here leaves the
// library.

#include <chrono>

#pragma GCC visibility push(hidden)

namespace background::detail {

/// Sleeps until `pause` has passed on the monotonic clock from the call. A
/// sleep that a signal cuts short sleeps on to that same deadline: sleeping
/// again for the time the system reports left would add the timer slack at
/// each signal, so that signals coming faster than it never let it end.
void pause_for(std::chrono::nanoseconds pause);

}  // namespace background::detail

#pragma GCC visibility pop
