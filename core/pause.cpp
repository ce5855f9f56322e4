#include <background/core/pause_internal.hpp>

#include <time.h>

#include <cerrno>

namespace background::detail {

void pause_for(std::chrono::nanoseconds pause) {
    constexpr long kNanosPerSecond = 1000000000L;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto nanos = pause.count() < 0 ? 0 : pause.count();
    deadline.tv_sec += static_cast<time_t>(nanos / kNanosPerSecond);
    deadline.tv_nsec += static_cast<long>(nanos % kNanosPerSecond);
    if (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosPerSecond;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace background::detail
