#include "platform/Pause.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>

namespace dorvix {

namespace {
std::function<void(std::uint32_t)>& currentPause() {
    static std::function<void(std::uint32_t)> pause;
    return pause;
}
}  // namespace

void pauseForOperator(std::uint32_t milliseconds) {
    if (const auto& pause = currentPause()) {
        pause(milliseconds);
        return;
    }
    if (const char* value = std::getenv("DORVIX_PAUSE_MS"); value != nullptr && *value != '\0') {
        milliseconds = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

ScopedPause::ScopedPause(std::function<void(std::uint32_t)> pause) : m_previous(std::move(currentPause())) {
    currentPause() = std::move(pause);
}

ScopedPause::~ScopedPause() { currentPause() = std::move(m_previous); }

}  // namespace dorvix
