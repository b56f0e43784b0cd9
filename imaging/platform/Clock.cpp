#include "platform/Clock.h"

#include <chrono>
#include <ctime>
#include <utility>

namespace dorvix {

namespace {
ClockSource& currentSource() {
    static ClockSource source;
    return source;
}
}  // namespace

std::uint32_t tickCount() {
    if (const auto& tick = currentSource().tick) {
        return tick();
    }
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

SystemTime localTime() {
    if (const auto& now = currentSource().now) {
        return now();
    }
    const auto wall = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(wall);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(wall.time_since_epoch()).count() % 1000;
    SystemTime t;
    t.year = static_cast<std::uint16_t>(parts.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(parts.tm_mon + 1);
    t.dayOfWeek = static_cast<std::uint16_t>(parts.tm_wday);
    t.day = static_cast<std::uint16_t>(parts.tm_mday);
    t.hour = static_cast<std::uint16_t>(parts.tm_hour);
    t.minute = static_cast<std::uint16_t>(parts.tm_min);
    t.second = static_cast<std::uint16_t>(parts.tm_sec);
    t.milliseconds = static_cast<std::uint16_t>(millis);
    return t;
}

ScopedClock::ScopedClock(ClockSource source) : m_previous(currentSource()) {
    if (source.tick) {
        currentSource().tick = std::move(source.tick);
    }
    if (source.now) {
        currentSource().now = std::move(source.now);
    }
}

ScopedClock::~ScopedClock() { currentSource() = std::move(m_previous); }

}  // namespace dorvix
