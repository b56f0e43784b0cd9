#pragma once
// The developer trace of pellorin: levelled lines on standard error, and error lines that
// carry the C library's text for an error number.

#include <cstddef>

#include "platform/WinTypes.h"

namespace pellorin {

// Verbosity threshold: lines of a higher level are dropped. 1 for the whole run; tests raise
// it to see the level-3 geometry dump.
extern WORD DebugLevel;

// printf-style; at most 1023 characters of one line reach the output. The format carries its
// own line end.
void DebugPrint(WORD level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Copies the system's text for `code` into `buffer` (cut and terminated at `size` bytes) and
// returns the text's full length.
int GetErrorText(DWORD code, char* buffer, std::size_t size);

// "***ERROR*** <context>: <text>\n", or "***ERROR*** <text>\n" without a context.
void ReportError(const char* context, DWORD code);

// Whether the trace's last output left its line open (the re-enumeration lines carry no line end
// of their own). EndTraceLine ends such a line, so that what follows starts on a line of its own.
bool TraceLineOpen();
void EndTraceLine();

// Called before each trace output, so that a display on the same terminal can end its progress
// line first. Returns the hook it replaces; null for none.
using TraceOutputHook = void (*)(void* context);
struct TraceHook {
    TraceOutputHook call = nullptr;
    void* context = nullptr;
};
TraceHook SetTraceOutputHook(TraceHook hook);

}  // namespace pellorin
