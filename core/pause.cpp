#include <background/core/pause_internal.hpp>

#include <time.h>

#include <algorithm>
#include <cerrno>

namespace background::detail {

void pause_for(std::chrono::nanoseconds pause) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::chrono::nanoseconds until =
        std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec) + std::max(pause, {});
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(until);
    const timespec deadline{static_cast<time_t>(seconds.count()), static_cast<long>((until - seconds).count())};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace background::detail
