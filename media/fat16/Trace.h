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

}  // namespace pellorin
