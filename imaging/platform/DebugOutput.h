#pragma once
// The device's debug output channel. On Linux it is standard error; tests redirect it to a
// sink of their own to look at the lines the disk layer writes.

#include <functional>
#include <string>
#include <string_view>

namespace dorvix {

// Writes one piece of debug text as it stands (formats carry their own line ends).
void debugOutput(std::string_view text);

using DebugSink = std::function<void(std::string_view)>;

// Routes debug output to `sink` while alive, then restores the previous route.
class ScopedDebugSink {
public:
    explicit ScopedDebugSink(DebugSink sink);
    ~ScopedDebugSink();
    ScopedDebugSink(const ScopedDebugSink&) = delete;
    ScopedDebugSink& operator=(const ScopedDebugSink&) = delete;

private:
    DebugSink m_previous;
};

// Collects debug output into a string while alive (a convenience for tests).
class DebugCapture {
public:
    DebugCapture() : m_sink([this](std::string_view text) { m_text.append(text); }) {}
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
    ScopedDebugSink m_sink;
};

}  // namespace dorvix
