// The system clock: local date and time, the millisecond tick counter and
// sleep.
#include "host/clock.h"

#include <chrono>
#include <thread>

namespace host {

DateTime SystemClock::Now() const {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::uint64_t SystemClock::TickCountMs() const {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::SleepMs(std::uint32_t ms) const {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::shared_ptr<Clock> DefaultClock() {
    static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
    return clock;
}

}  // namespace host
