#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "imgtest.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

namespace {

// ctest gives every test its tier in IMAGING_TEST_LABEL; a unit test runs in-process code only.
bool startingProgramsIsRefused(const std::string& commandLine) {
    const char* label = std::getenv("IMAGING_TEST_LABEL");
    if (label == nullptr || std::string_view(label) != "unit") {
        return false;
    }
    ADD_FAILURE() << "a test labelled unit starts no other program (" << commandLine
                  << "); name it in a SYSTEM list of tests/CMakeLists.txt";
    return true;
}

}  // namespace

CommandResult runCommand(const std::string& commandLine) {
    CommandResult result;
    if (startingProgramsIsRefused(commandLine)) {
        return result;
    }
    const std::string full = commandLine + " 2>&1";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    result.exitCode = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += "'";
    return quoted;
}

bool haveProgram(const std::string& name) {
    if (startingProgramsIsRefused(name)) {
        return false;
    }
    if (runCommand("command -v " + shellQuote(name) + " >/dev/null").exitCode == 0) {
        return true;
    }
    // scripts/test installs every tool, so there a missing one is a broken setup: the test fails
    // (the skip that follows cannot undo a recorded failure) instead of passing unseen.
    const char* required = std::getenv("IMAGING_REQUIRE_TOOLS");
    if (required != nullptr && *required != '\0' && std::string_view(required) != "0") {
        ADD_FAILURE() << name << " is not installed, and IMAGING_REQUIRE_TOOLS asks for every tool";
    }
    return false;
}

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void writeFileText(const std::filesystem::path& file, const std::string& text) {
    writeFileBytes(file, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed * 2654435761u + 1u;
    for (auto& b : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

}  // namespace testsupport
