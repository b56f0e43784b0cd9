// The output file that appears whole or not at all: nothing is visible in the folder before
// Commit, an existing file is replaced only by Commit, and an abandoned output leaves nothing.

#include "platform/OutputFile.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pellorin::COutputFile;
using pellorin::DWORD;
using testsupport::readFileBytes;
using testsupport::TempDir;
using testsupport::writeFileText;

std::size_t entriesIn(const fs::path& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

bool writeText(COutputFile& out, const std::string& text) {
    DWORD written = 0;
    return out.Handle().WriteAt(0, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, written);
}

TEST(OutputFile, AppearsOnlyOnCommitAndReplacesTheOldFile) {
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "over an existing file" : "a new file");
        TempDir dir;
        const fs::path target = dir / "out.iso";
        if (existing) writeFileText(target, "old");
        auto out = COutputFile::Create(target.string());
        ASSERT_TRUE(out) << std::strerror(errno);
        ASSERT_TRUE(writeText(*out, "new contents"));
        EXPECT_EQ(entriesIn(dir.path()), existing ? 1u : (out->IsUnnamed() ? 0u : 1u));
        if (existing) {
            EXPECT_EQ(readFileBytes(target), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
        }
        ASSERT_TRUE(out->Commit()) << std::strerror(errno);
        out.reset();
        EXPECT_EQ(entriesIn(dir.path()), 1u) << "no temporary name is left";
        const auto bytes = readFileBytes(target);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "new contents");
    }
}

TEST(OutputFile, AnAbandonedOutputLeavesEverythingAsItWas) {
    TempDir dir;
    const fs::path target = dir / "out.iso";
    writeFileText(target, "old");
    {
        auto out = COutputFile::Create(target.string());
        ASSERT_TRUE(out);
        ASSERT_TRUE(writeText(*out, "half an image"));
    }
    EXPECT_EQ(entriesIn(dir.path()), 1u);
    EXPECT_EQ(readFileBytes(target), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
}

// The hidden name a killed run left (no unnamed files there, or killed between Commit's link
// and rename) is removed by the next output into the folder; a newer one is not.
TEST(OutputFile, TheHiddenNameOfAKilledRunIsRemovedByTheNext) {
    TempDir dir;
    const fs::path stale = dir / ".out.iso.pellorin-k1lled";
    const fs::path newer = dir / ".out.iso.pellorin-n0w000";
    writeFileText(stale, "half an image");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::hours(1));
    writeFileText(newer, "another run's");
    fs::last_write_time(newer, fs::file_time_type::clock::now() + std::chrono::hours(1));
    auto out = COutputFile::Create((dir / "out.iso").string());
    ASSERT_TRUE(out) << std::strerror(errno);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_TRUE(fs::exists(newer));
}

TEST(OutputFile, AFolderThatIsNotThereIsAnError) {
    TempDir dir;
    errno = 0;
    EXPECT_FALSE(COutputFile::Create((dir / "no" / "out.iso").string()));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
