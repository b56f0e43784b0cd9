#include "platform/Console.h"

#include <vector>

namespace dorvix {

namespace {
struct Streams {
    std::FILE* input = nullptr;   // nullptr: standard input
    std::FILE* output = nullptr;  // nullptr: standard output
};

Streams& streams() {
    static Streams s;
    return s;
}

std::FILE* inputStream() { return streams().input ? streams().input : stdin; }
std::FILE* outputStream() { return streams().output ? streams().output : stdout; }
}  // namespace

void consoleWrite(std::string_view text) {
    std::FILE* out = outputStream();
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

std::optional<std::string> consoleReadLine(std::size_t maxChars) {
    std::vector<char> buffer(maxChars + 1, '\0');
    if (std::fgets(buffer.data(), static_cast<int>(buffer.size()), inputStream()) == nullptr) {
        return std::nullopt;
    }
    return std::string(buffer.data());
}

std::optional<char> consoleReadChar() {
    const int c = std::fgetc(inputStream());
    if (c == EOF) {
        return std::nullopt;
    }
    return static_cast<char>(c);
}

ScopedConsole::ScopedConsole(std::FILE* input, std::FILE* output)
    : m_previousInput(streams().input), m_previousOutput(streams().output) {
    streams().input = input;
    streams().output = output;
}

ScopedConsole::~ScopedConsole() {
    streams().input = m_previousInput;
    streams().output = m_previousOutput;
}

}  // namespace dorvix
