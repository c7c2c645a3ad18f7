#pragma once

// The clock the host and the extension read: date and time, tick counter and
// sleep, injectable for tests.

#include <cstdint>
#include <ctime>
#include <memory>

namespace host {

// Broken-down local date and time, as the host's "present date and time".
struct DateTime {
    int year = 1970;  // four digits
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;     // 0..23
    int minute = 0;   // 0..59
    int second = 0;   // 0..59
};

// Source of the present date and time and of the millisecond tick counter.
// Injectable so that tests can fix "now" and drive time-outs.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual DateTime Now() const = 0;
    // Milliseconds since an arbitrary fixed start; monotonic.
    virtual std::uint64_t TickCountMs() const = 0;
    // Sleep for the given number of milliseconds (a fake clock may just advance).
    virtual void SleepMs(std::uint32_t ms) const = 0;
};

// The real clock of the machine.
class SystemClock final : public Clock {
  public:
    DateTime Now() const override;
    std::uint64_t TickCountMs() const override;
    void SleepMs(std::uint32_t ms) const override;
};

// A process-wide default instance of SystemClock.
std::shared_ptr<Clock> DefaultClock();

}  // namespace host
