// Inputs that are not regular files and capture paths that hold something other than a file:
// dorvix ends at once with a clear message, writes no disk and leaves the path as it was.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace restoretest;
using testsupport::TempDir;

constexpr std::uint32_t kDiskSectors = 65536;

class DorvixInputs : public ::testing::Test {
protected:
    TempDir dir;
    fs::path disk = dir / "disk.img";
    fs::path table;

    void SetUp() override {
        makeBlankDisk(disk, kDiskSectors);
        table = writeDeviceTable(dir.path(), {{1, disk.string()}});
    }

    // dorvix with a time limit: a run that waits on a FIFO is killed and fails the test.
    testsupport::CommandResult run(const std::string& args) { return runDorvix(table, args); }

    bool diskBlank() {
        const auto bytes = testsupport::readFileBytes(disk);
        return bytes.size() == std::size_t{kDiskSectors} * 512 &&
               std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
    }
};

TEST_F(DorvixInputs, FifoAsImageEndsAtOnceWithAClearError) {
    ASSERT_EQ(::mkfifo((dir / "FLASH.IMG").c_str(), 0600), 0);
    for (const std::string args : {"-y -nor FLASH.IMG", "-writeflat -y -nor FLASH.IMG"}) {
        SCOPED_TRACE(args);
        const auto result = runCommand("timeout 20 sh -c " + shellQuote("cd " + shellQuote(dir.path().string()) +
                                                                         " && DORVIX_DEVICES=" +
                                                                         shellQuote(table.string()) + " " +
                                                                         shellQuote(DORVIX_PROGRAM) + " " + args +
                                                                         " </dev/null"));
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find("ERROR: The image file is not a regular file."), std::string::npos)
            << result.output;
        EXPECT_TRUE(diskBlank());
    }
}

// The boot-code files are inputs too: a FIFO among them refuses the restore before any write.
TEST_F(DorvixInputs, FifoAsBootCodeFileRefusesTheRestorePromptly) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) {
        GTEST_SKIP() << "mtools and dosfstools are needed (scripts/setup installs them)";
    }
    const fs::path source = dir / "source.img";
    makeSourceDisk(source, 40960, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "FLASH.IMG", true);
    ASSERT_EQ(::mkfifo((dir / "code.bin").c_str(), 0600), 0);
    for (const std::string key : {"-icmbr:code.bin", "-icpbr:code.bin"}) {
        SCOPED_TRACE(key);
        const auto result = runCommand("timeout 20 sh -c " +
                                       shellQuote("cd " + shellQuote(dir.path().string()) + " && DORVIX_DEVICES=" +
                                                  shellQuote(table.string()) + " DORVIX_PAUSE_MS=0 " +
                                                  shellQuote(DORVIX_PROGRAM) + " -y -nor -XB " + key +
                                                  " FLASH.IMG </dev/null"));
        EXPECT_NE(result.exitCode, 0) << result.output;
        EXPECT_NE(result.exitCode, 124) << "dorvix waited on the FIFO";
        EXPECT_TRUE(diskBlank());
    }
}

TEST_F(DorvixInputs, CaptureNeverReplacesADeviceNodeFifoOrDirectory) {
    ASSERT_EQ(::mkfifo((dir / "fifo.kmv").c_str(), 0600), 0);
    fs::create_directory(dir / "folder.kmv");
    for (const std::string mode : {"-flatcopy", "-imgcopy"}) {
        for (const std::string target : {"fifo.kmv", "folder.kmv"}) {
            SCOPED_TRACE(mode + " " + target);
            const auto result = run(mode + " -nor " + target);
            EXPECT_EQ(result.exitCode, 1) << result.output;
            EXPECT_NE(result.output.find("ERROR: The image path names a directory, device or FIFO"),
                      std::string::npos)
                << result.output;
        }
    }
    EXPECT_TRUE(fs::is_fifo(dir / "fifo.kmv"));
    EXPECT_TRUE(fs::is_directory(dir / "folder.kmv"));
    EXPECT_TRUE(fs::is_empty(dir / "folder.kmv"));
    EXPECT_TRUE(diskBlank());
}

}  // namespace
