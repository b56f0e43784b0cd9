#pragma once
// Fixtures shared by the dorvix unit tests: a console over memory streams, a disk driver
// that fails on request, and sector-0 images with and without a partition table.

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

// A driver over memory whose every call can be made to fail with a chosen error code.
struct FakeDisk {
    dorvix::DiskInfo info{};
    std::vector<std::uint8_t> bytes;  // the medium
    std::uint32_t openError = 0;
    std::uint32_t infoOutputError = 0;  // first request (structure as output buffer)
    std::uint32_t infoInputError = 0;   // second request (structure as input buffer)
    std::uint32_t readError = 0;
    std::uint32_t writeError = 0;
    std::uint32_t closeError = 0;
    std::uint32_t dismountError = 0;
    std::uint32_t mountError = 0;
    int closes = 0;
    int dismounts = 0;
    int mounts = 0;
};

class FakeDriver : public dorvix::DiskDriver {
public:
    explicit FakeDriver(FakeDisk& disk) : m_disk(disk) {}
    std::uint32_t getInfo(dorvix::InfoRequest how, dorvix::DiskInfo& info) override {
        const std::uint32_t error =
            how == dorvix::InfoRequest::OutputBuffer ? m_disk.infoOutputError : m_disk.infoInputError;
        if (error == 0) {
            info = m_disk.info;
        }
        return error;
    }
    std::uint32_t read(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        if (m_disk.readError != 0) {
            return m_disk.readError;
        }
        const std::size_t sector = m_disk.info.bytesPerSector;
        const std::size_t offset = first * sector;
        const std::size_t length = count * sector;
        if (offset + length > m_disk.bytes.size() || length > buffer.size()) {
            return 6;
        }
        std::copy_n(m_disk.bytes.begin() + static_cast<std::ptrdiff_t>(offset), length, buffer.begin());
        return 0;
    }
    std::uint32_t write(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t> buffer) override {
        if (m_disk.writeError != 0) {
            return m_disk.writeError;
        }
        const std::size_t sector = m_disk.info.bytesPerSector;
        const std::size_t offset = first * sector;
        const std::size_t length = count * sector;
        if (offset + length > m_disk.bytes.size() || length > buffer.size()) {
            return 6;
        }
        std::copy_n(buffer.begin(), length, m_disk.bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        return 0;
    }
    std::uint32_t close() override {
        ++m_disk.closes;
        return m_disk.closeError;
    }

private:
    FakeDisk& m_disk;
};

// DSKn: as a map of fake disks.
class FakeProvider : public dorvix::DeviceProvider {
public:
    std::map<unsigned, FakeDisk> disks;

    std::uint32_t open(std::uint8_t n, std::unique_ptr<dorvix::DiskDriver>& driver) override {
        auto it = disks.find(n);
        if (it == disks.end()) {
            return 2;
        }
        if (it->second.openError != 0) {
            return it->second.openError;
        }
        driver = std::make_unique<FakeDriver>(it->second);
        return 0;
    }
    std::uint32_t dismountStore(std::uint8_t n) override {
        auto it = disks.find(n);
        if (it == disks.end()) {
            return 2;
        }
        ++it->second.dismounts;
        return it->second.dismountError;
    }
    std::uint32_t mountFirstPartition(std::uint8_t n) override {
        auto it = disks.find(n);
        if (it == disks.end()) {
            return 2;
        }
        ++it->second.mounts;
        return it->second.mountError;
    }
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
    };
    std::vector<Message> messages;
    std::vector<Box> boxes;
    dorvix::MessageBoxResult answer = dorvix::MessageBoxResult::Ok;

    void sendMessage(dorvix::ProgressMessage message, unsigned wParam, std::string_view text) override {
        messages.push_back({message, wParam, std::string(text)});
    }
    dorvix::MessageBoxResult messageBox(std::string_view text, std::string_view title,
                                        dorvix::MessageBoxButtons buttons) override {
        boxes.push_back({std::string(text), std::string(title), buttons});
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
