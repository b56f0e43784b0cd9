#pragma once
// Tick count and wall clock of the device. Both can be replaced for a scope so that timing
// lines and dates written to media are reproducible in tests.

#include <cstdint>
#include <functional>

namespace dorvix {

// Local calendar time, as the device's clock reports it.
struct SystemTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;   // 1-12
    std::uint16_t dayOfWeek = 0;  // 0 = Sunday
    std::uint16_t day = 0;     // 1-31
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

// Milliseconds since an arbitrary start, wrapping at 2^32 like the device's tick count.
std::uint32_t tickCount();

// The current local time.
SystemTime localTime();

struct ClockSource {
    std::function<std::uint32_t()> tick;
    std::function<SystemTime()> now;
};

// Replaces the tick count and/or the clock while alive (an empty function keeps the real one).
class ScopedClock {
public:
    explicit ScopedClock(ClockSource source);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    ClockSource m_previous;
};

}  // namespace dorvix
