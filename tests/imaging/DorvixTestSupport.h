#pragma once
// Fixtures shared by the dorvix unit tests: a console over memory streams, a progress window
// that records, and sector-0 images with a partition table. Disks for the tests are in
// TestDisks.h.

#include "platform/Console.h"
#include "platform/DiskDriver.h"
#include "platform/Operator.h"
#include "platform/ProcessFlags.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace dorvixtest {

// Feeds `input` to the console and collects what it prints.
class ConsoleCapture {
public:
    explicit ConsoleCapture(const std::string& input = "")
        : m_inputText(input),
          m_input(m_inputText.empty() ? std::fopen("/dev/null", "r")
                                      : ::fmemopen(m_inputText.data(), m_inputText.size(), "r")),
          m_output(std::tmpfile()),
          m_console(m_input, m_output) {}
    ~ConsoleCapture() {
        std::fclose(m_input);
        std::fclose(m_output);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string output() const {
        std::fflush(m_output);
        const long size = std::ftell(m_output);
        std::string text(static_cast<std::size_t>(size), '\0');
        std::rewind(m_output);
        const std::size_t got = std::fread(text.data(), 1, text.size(), m_output);
        text.resize(got);
        std::fseek(m_output, 0, SEEK_END);
        return text;
    }

private:
    std::string m_inputText;
    std::FILE* m_input;
    std::FILE* m_output;
    dorvix::ScopedConsole m_console;
};

// A progress window that records every message and answers message boxes as told.
class FakeWindow : public dorvix::ProgressWindowHost {
public:
    struct Message {
        unsigned message;
        unsigned wParam;
        std::string text;
    };
    struct Box {
        std::string text;
        std::string title;
        dorvix::MessageBoxButtons buttons;
        dorvix::MessageBoxIcon icon;
    };
    std::vector<Message> messages;
    std::vector<Box> boxes;
    dorvix::MessageBoxResult answer = dorvix::MessageBoxResult::Ok;

    void sendMessage(dorvix::ProgressMessage message, unsigned wParam, std::string_view text) override {
        messages.push_back({message, wParam, std::string(text)});
    }
    dorvix::MessageBoxResult messageBox(std::string_view text, std::string_view title,
                                        dorvix::MessageBoxButtons buttons, dorvix::MessageBoxIcon icon) override {
        boxes.push_back({std::string(text), std::string(title), buttons, icon});
        return answer;
    }
};

// Sets the process-wide switches for one test and puts them back.
class ScopedFlags {
public:
    explicit ScopedFlags(dorvix::ProcessFlags flags) : m_previous(dorvix::processFlags()) {
        dorvix::processFlags() = flags;
    }
    ~ScopedFlags() { dorvix::processFlags() = m_previous; }

private:
    dorvix::ProcessFlags m_previous;
};

// Sector 0 with the boot signature and the first partition starting at `firstSector`.
inline std::vector<std::uint8_t> partitionedSector0(std::uint32_t firstSector) {
    std::vector<std::uint8_t> sector(512, 0);
    sector[446] = 0x80;
    sector[450] = 0x06;
    for (int i = 0; i < 4; ++i) {
        sector[454 + i] = static_cast<std::uint8_t>(firstSector >> (8 * i));
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

}  // namespace dorvixtest
