// The image file of a capture appears under its name whole or not at all.

#include "platform/ImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

#include <sys/stat.h>

#include "TestSupport.h"

namespace dorvix {
namespace {

using namespace testsupport;

std::vector<std::string> folderNames(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(ImageFile, TemporaryFileGetsItsNameOnlyOnCommit) {
    TempDir dir;
    const auto finalPath = dir / "capture.kmv";
    writeFileBytes(finalPath, patternBytes(100, 1));  // an older image under the name
    const std::vector<std::uint8_t> content = patternBytes(70000, 2);
    {
        ImageFile file;
        ASSERT_TRUE(file.createTemporary(finalPath));
        ASSERT_TRUE(file.writeAt(0, content));
        EXPECT_TRUE(readFileBytes(finalPath) == patternBytes(100, 1));
        ASSERT_TRUE(file.commit());
    }
    EXPECT_TRUE(readFileBytes(finalPath) == content);
    EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"capture.kmv"});
}

TEST(ImageFile, UncommittedFileLeavesNothingBehind) {
    enum class End { Discard, Close, Destroy };
    for (const End end : {End::Discard, End::Close, End::Destroy}) {
        SCOPED_TRACE(static_cast<int>(end));
        TempDir dir;
        const auto finalPath = dir / "capture.kmv";
        writeFileBytes(dir / "other.txt", patternBytes(10, 3));
        {
            ImageFile file;
            ASSERT_TRUE(file.createTemporary(finalPath));
            ASSERT_TRUE(file.writeAt(512, patternBytes(4096, 4)));
            if (end == End::Discard) file.discard();
            if (end == End::Close) file.close();
        }
        EXPECT_FALSE(std::filesystem::exists(finalPath));
        EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"other.txt"});
    }
}

TEST(ImageFile, TemporaryNamesAreOursAlone) {
    const struct {
        const char* name;
        bool ours;
    } cases[] = {
        {".FLASH.IMG.dorvix-a1B2c3", true},
        {".x.dorvix-123456789", true},
        {".FLASH.IMG.dorvix-12345", false},   // fewer than six
        {".FLASH.IMG.dorvix-12345!", false},  // not letters and digits
        {"FLASH.IMG.dorvix-123456", false},   // not hidden
        {".FLASH.IMG.123456", false},         // another program's pattern
        {".dorvix-123456", false},            // no name before the mark
        {".FLASH.IMG.dorvix-", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isTemporaryName(c.name), c.ours) << c.name;
    }
}

// A new temporary file sweeps the folder: our regular files older than the run go, unless a
// capture still holds them; links, folders, newer files and other names stay.
TEST(ImageFile, StaleTemporariesOfEarlierRunsAreRemoved) {
    TempDir dir;
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    auto made = [&](const std::string& name, bool stale) {
        writeFileBytes(dir / name, patternBytes(10, 5));
        if (stale) std::filesystem::last_write_time(dir / name, old);
    };
    made(".a.kmv.dorvix-Stale1", true);
    made(".b.kmv.dorvix-Fresh1", false);
    made(".c.kmv.dorvix-Held01", true);
    made(".d.kmv.other1", true);
    made("target", true);
    std::filesystem::create_symlink(dir / "target", dir / ".e.kmv.dorvix-Link01");
    std::filesystem::create_directory(dir / ".f.kmv.dorvix-Dir001");
    const int held = ::open((dir / ".c.kmv.dorvix-Held01").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    {
        ImageFile file;
        ASSERT_TRUE(file.createTemporary(dir / "capture.kmv"));
    }
    ::close(held);
    std::vector<std::string> names = folderNames(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".b.kmv.dorvix-Fresh1", ".c.kmv.dorvix-Held01", ".d.kmv.other1",
                                               ".e.kmv.dorvix-Link01", ".f.kmv.dorvix-Dir001", "target"}));
}

// Where unnamed files are not used, the hidden name follows the pattern and goes on failure.
TEST(ImageFile, HiddenTemporaryFollowsThePattern) {
    TempDir dir;
    ::setenv("DORVIX_NO_UNNAMED_TEMP", "1", 1);
    {
        ImageFile file;
        ASSERT_TRUE(file.createTemporary(dir / "capture.kmv"));
        const std::vector<std::string> names = folderNames(dir.path());
        ASSERT_EQ(names.size(), 1u);
        EXPECT_TRUE(isTemporaryName(names.front())) << names.front();
        EXPECT_EQ(names.front().rfind(".capture.kmv.dorvix-", 0), 0u) << names.front();
    }
    ::unsetenv("DORVIX_NO_UNNAMED_TEMP");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ImageFile, FolderThatCannotTakeTheFileIsRefused) {
    TempDir dir;
    ImageFile file;
    EXPECT_FALSE(file.createTemporary(dir / "missing" / "capture.kmv"));
    EXPECT_FALSE(file.commit());
}

// A FIFO that appeared under the name while the capture ran is not replaced by the image.
TEST(ImageFile, CommitLeavesAFifoAtTheNameInPlace) {
    TempDir dir;
    const auto finalPath = dir / "capture.kmv";
    ImageFile file;
    ASSERT_TRUE(file.createTemporary(finalPath));
    ASSERT_TRUE(file.writeAt(0, patternBytes(4096, 5)));
    ASSERT_EQ(::mkfifo(finalPath.c_str(), 0600), 0);
    EXPECT_FALSE(file.commit());
    EXPECT_TRUE(std::filesystem::is_fifo(finalPath));
    EXPECT_EQ(folderNames(dir.path()), std::vector<std::string>{"capture.kmv"});
}

}  // namespace
}  // namespace dorvix
