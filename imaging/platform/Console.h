#pragma once
// The console of the device: standard output for text, standard input for the operator's
// answers. Tests point it at streams of their own.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace dorvix {

// Writes text to the console as it stands and flushes it (prompts end without a line end).
void consoleWrite(std::string_view text);

// Reads one line of at most `maxChars` characters, the line end included when it fits,
// like fgets. Returns nothing at the end of the input.
std::optional<std::string> consoleReadLine(std::size_t maxChars);

// Reads one character; returns nothing at the end of the input.
std::optional<char> consoleReadChar();

// Points the console at other streams while alive.
class ScopedConsole {
public:
    ScopedConsole(std::FILE* input, std::FILE* output);
    ~ScopedConsole();
    ScopedConsole(const ScopedConsole&) = delete;
    ScopedConsole& operator=(const ScopedConsole&) = delete;

private:
    std::FILE* m_previousInput;
    std::FILE* m_previousOutput;
};

}  // namespace dorvix
