#pragma once
// The pause after a completion line, so that the operator can read it before the progress
// window closes or the device resets (Sleep on the device). DORVIX_PAUSE_MS overrides its
// length (scripts and system tests set 0); tests in the process replace it for a scope.

#include <cstdint>
#include <functional>

namespace dorvix {

void pauseForOperator(std::uint32_t milliseconds);

class ScopedPause {
public:
    explicit ScopedPause(std::function<void(std::uint32_t)> pause);
    ~ScopedPause();
    ScopedPause(const ScopedPause&) = delete;
    ScopedPause& operator=(const ScopedPause&) = delete;

private:
    std::function<void(std::uint32_t)> m_previous;
};

}  // namespace dorvix
