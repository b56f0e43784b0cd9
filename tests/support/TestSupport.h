#pragma once
// Small helpers shared by the tests: scratch directories, whole-file I/O and running
// third-party tools (mkfs.fat, mtools, fsck.fat, xorriso, qemu) as child processes.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// A fresh directory below the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

struct CommandResult {
    int exitCode = -1;   // the child's exit status, or -1 when it did not exit normally
    std::string output;  // standard output and standard error, interleaved
};

// Runs a command line through /bin/sh and collects its output.
CommandResult runCommand(const std::string& commandLine);

// Quotes one word for /bin/sh.
std::string shellQuote(const std::string& word);

// True when the program is found on PATH (tests that need an optional tool skip without it).
// With IMAGING_REQUIRE_TOOLS set (scripts/test sets it), a missing program also fails the test.
bool haveProgram(const std::string& name);

std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& file);
void writeFileBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
void writeFileText(const std::filesystem::path& file, const std::string& text);

// Deterministic pseudo-random bytes, so fixtures are reproducible from their seed.
std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed);

}  // namespace testsupport
