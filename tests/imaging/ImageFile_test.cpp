// The image file of a capture appears under its name whole or not at all.

#include "disk/ImageFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
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
