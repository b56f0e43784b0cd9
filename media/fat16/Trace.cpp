#include "fat16/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "TraceText.h"

namespace pellorin {

WORD DebugLevel = 1;

namespace {

std::mutex s_outputLock;
TraceHook s_hook;
bool s_lineOpen = false;

// The trace channel: standard error, one write per line so lines of a cut run stay whole.
void OutputDebugString(const char* text) {
    const std::lock_guard<std::mutex> lock(s_outputLock);
    if (*text == '\0') return;
    if (s_hook.call != nullptr) s_hook.call(s_hook.context);
    std::fputs(text, stderr);
    std::fflush(stderr);
    s_lineOpen = text[std::strlen(text) - 1] != '\n';
}

}  // namespace

void DebugPrint(WORD level, const char* format, ...) {
    if (level > DebugLevel) {
        return;
    }
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    line[sizeof line - 1] = '\0';
    OutputDebugString(line);
}

int GetErrorText(DWORD code, char* buffer, std::size_t size) {
    char text[1024];
    // The GNU strerror_r returns the text, which may or may not live in `text`.
    const char* message = ::strerror_r(static_cast<int>(code), text, sizeof text);
    if (message == nullptr || *message == '\0') {
        std::snprintf(text, sizeof text, "Unknown error %u", code);
        message = text;
    }
    std::size_t length = std::strlen(message);
    if (length >= 2 && message[length - 2] == '\r' && message[length - 1] == '\n') {
        length -= 2;
    }
    if (buffer != nullptr && size > 0) {
        const std::size_t copied = length < size ? length : size - 1;
        std::memmove(buffer, message, copied);
        buffer[copied] = '\0';
    }
    return static_cast<int>(length);
}

void ReportError(const char* context, DWORD code) {
    char text[1024];
    GetErrorText(code, text, sizeof text);
    if (context != nullptr && *context != '\0') {
        DebugPrint(1, text::kErrorWithContext, context, text);
    } else {
        DebugPrint(1, text::kErrorWithoutContext, text);
    }
}

bool TraceLineOpen() {
    const std::lock_guard<std::mutex> lock(s_outputLock);
    return s_lineOpen;
}

void EndTraceLine() {
    const std::lock_guard<std::mutex> lock(s_outputLock);
    if (!s_lineOpen) return;
    std::fputc('\n', stderr);
    std::fflush(stderr);
    s_lineOpen = false;
}

TraceHook SetTraceOutputHook(TraceHook hook) {
    const std::lock_guard<std::mutex> lock(s_outputLock);
    const TraceHook previous = s_hook;
    s_hook = hook;
    return previous;
}

}  // namespace pellorin
