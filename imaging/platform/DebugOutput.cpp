#include "platform/DebugOutput.h"

#include <cstdio>
#include <utility>

namespace dorvix {

namespace {
DebugSink& currentSink() {
    static DebugSink sink;
    return sink;
}
}  // namespace

void debugOutput(std::string_view text) {
    if (const DebugSink& sink = currentSink()) {
        sink(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

ScopedDebugSink::ScopedDebugSink(DebugSink sink) : m_previous(std::exchange(currentSink(), std::move(sink))) {}

ScopedDebugSink::~ScopedDebugSink() { currentSink() = std::move(m_previous); }

}  // namespace dorvix
