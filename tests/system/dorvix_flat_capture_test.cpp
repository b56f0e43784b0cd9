// The built dorvix capturing a whole disk into a flat image ("-flatcopy") and writing it back
// ("-writeflat"): the copy reproduces the disk apart from the documents folder, which is left
// out, and the IMAGE.INI stamp, which carries the capture time; the source disk is left as it
// was.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

using namespace restoretest;
using testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

// The source disk's sector 0 names a partition at sector 32, so the disk record derives 32
// sectors per track and 255 heads: cylinders of 8160 sectors. The disk is 11 of them.
constexpr std::uint32_t kCylinder = 255 * 32;
constexpr std::uint32_t kDiskSectors = 11 * kCylinder;
constexpr std::uint32_t kVolumeSectors = 81920;
const std::string kOldStamp = "01/02/2006 03:04";

std::string sourceFill(const fs::path& scratch) {
    const std::string d = shellQuote(scratch.string());
    return "mkdir -p " + d + " && cd " + d +
           " && printf '[Image]\\r\\nModDate=" + kOldStamp + "\\r\\nKMVBIOS=KQ3A3,KQ9Z9\\r\\n' > IMAGE.INI"
           " && head -c 50000 /dev/urandom > 'Program data.bin' && head -c 3000 /dev/urandom > NOTE.TXT"
           " && head -c 9000 /dev/urandom > mine.doc"
           " && mcopy -m -i \"$V\" IMAGE.INI 'Program data.bin' ::"
           " && mmd -i \"$V\" ::/Windows ::/Windows/Fonts '::/Documents and Settings' '::/Documents and Settings/User'"
           " && mcopy -m -i \"$V\" NOTE.TXT ::/Windows/Fonts"
           " && mcopy -m -i \"$V\" mine.doc '::/Documents and Settings/User'";
}

std::string stampIn(const Bytes& ini) {
    const std::string text(ini.begin(), ini.end());
    const auto at = text.find("ModDate=");
    return at == std::string::npos ? std::string() : text.substr(at + 8, 16);
}

TEST(FlatCapture, CaptureAndWriteBackReproduceTheDiskWithoutTheDocumentsFolder) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) GTEST_SKIP();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, kVolumeSectors, 4, sourceFill(dir / "files"), kDiskSectors);
    const Bytes before = testsupport::readFileBytes(source);
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string()}, {2, (dir / "copy.disk").string() + " heads=255 sectors=32"}});

    auto capture = runDorvix(table, "-y -nor -flatcopy CAP.IMG");
    ASSERT_EQ(capture.exitCode, 0) << capture.output;
    EXPECT_NE(capture.output.find("Completed successfully!"), std::string::npos) << capture.output;
    EXPECT_TRUE(testsupport::readFileBytes(source) == before) << "the source disk was changed";

    // Header: valid, flat, the whole cylinders of the source, the volume's target list.
    const Bytes image = testsupport::readFileBytes(dir / "CAP.IMG");
    ASSERT_EQ(image.size(), 512 + std::size_t{kDiskSectors} * 512);
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 512; ++i) sum = static_cast<std::uint8_t>(sum + image[i]);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(std::string(image.begin() + 2, image.begin() + 14), "!QZ_WRX_STAR");
    EXPECT_EQ(image[510], 2);
    EXPECT_EQ(le32(image, 32), kDiskSectors);
    EXPECT_EQ(image[14] | (image[15] << 8), 512);
    EXPECT_EQ(image[16], 32);
    EXPECT_EQ(image[18], 255);
    EXPECT_EQ(le32(image, 20), 11u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data() + 171)), "KQ3A3,KQ9Z9");
    // MBR, boot sector and everything behind the volume are the source's own bytes.
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 33 * 512, image.begin() + 512));
    EXPECT_TRUE(std::equal(before.begin() + std::size_t{32 + kVolumeSectors} * 512, before.end(),
                           image.begin() + 512 + std::size_t{32 + kVolumeSectors} * 512));

    // Written back onto a disk of the same size.
    makeBlankDisk(dir / "copy.disk", kDiskSectors);
    auto write = runDorvix(table, "-y -nor -writeflat -td:2 CAP.IMG");
    ASSERT_EQ(write.exitCode, 0) << write.output;
    const Bytes copy = testsupport::readFileBytes(dir / "copy.disk");
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), image.begin() + 512));

    const fs::path original = extractPartition(source, dir / "original.vol");
    const fs::path copied = extractPartition(dir / "copy.disk", dir / "copied.vol");
    expectFsckClean(copied);
    copyTreeOut(original, dir / "expected");
    copyTreeOut(copied, dir / "actual");
    auto expected = readTree(dir / "expected");
    auto actual = readTree(dir / "actual");
    ASSERT_TRUE(expected.count("Documents and Settings/User/mine.doc"));
    EXPECT_FALSE(actual.count("Documents and Settings"));
    for (auto it = expected.begin(); it != expected.end();) {
        it = it->first.rfind("Documents and Settings", 0) == 0 ? expected.erase(it) : std::next(it);
    }
    ASSERT_TRUE(expected.count("IMAGE.INI") && actual.count("IMAGE.INI"));
    EXPECT_EQ(stampIn(expected["IMAGE.INI"].bytes), kOldStamp);
    const std::string captured = stampIn(actual["IMAGE.INI"].bytes);
    const std::time_t now = std::time(nullptr);
    char year[8];
    std::strftime(year, sizeof year, "%Y", std::localtime(&now));
    EXPECT_EQ(captured.substr(6, 4), year) << captured;
    EXPECT_NE(captured, kOldStamp);
    expected.erase("IMAGE.INI");
    actual.erase("IMAGE.INI");
    EXPECT_TRUE(expected == actual);
}

// A partition that runs 500 sectors past the last whole cylinder, filled to its end: the image
// holds it whole, and written back every file reads as it was.
TEST(FlatCapture, PartitionPastTheLastWholeCylinderIsCapturedToItsEnd) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) GTEST_SKIP();
    TempDir dir;
    constexpr std::uint32_t kDisk = 11 * kCylinder + 500;
    const fs::path source = dir / "source.disk";
    const std::string files = shellQuote((dir / "files").string());
    makeSourceDisk(source, kDisk - 32, 4,
                   "mkdir -p " + files + " && cd " + files +
                       " && head -c 45000000 /dev/urandom > big.bin && head -c 1000000 /dev/urandom > LAST.BIN"
                       " && mcopy -m -i \"$V\" big.bin LAST.BIN ::",
                   kDisk);
    const Bytes before = testsupport::readFileBytes(source);
    const fs::path table = writeDeviceTable(
        dir.path(), {{1, source.string()}, {2, (dir / "copy.disk").string() + " heads=255 sectors=32"}});

    auto capture = runDorvix(table, "-y -nor -flatcopy CAP.IMG");
    ASSERT_EQ(capture.exitCode, 0) << capture.output;
    const Bytes image = testsupport::readFileBytes(dir / "CAP.IMG");
    ASSERT_EQ(image.size(), 512 + std::size_t{kDisk} * 512);
    EXPECT_EQ(le32(image, 32), kDisk);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), image.begin() + 512));

    makeBlankDisk(dir / "copy.disk", kDisk);
    auto write = runDorvix(table, "-y -nor -writeflat -td:2 CAP.IMG");
    ASSERT_EQ(write.exitCode, 0) << write.output;
    EXPECT_TRUE(testsupport::readFileBytes(dir / "copy.disk") == before);
    const fs::path copied = extractPartition(dir / "copy.disk", dir / "copied.vol");
    expectFsckClean(copied);
    copyTreeOut(copied, dir / "actual");
    EXPECT_TRUE(testsupport::readFileBytes(dir / "actual" / "LAST.BIN") ==
                testsupport::readFileBytes(dir / "files" / "LAST.BIN"));
    EXPECT_TRUE(testsupport::readFileBytes(dir / "actual" / "big.bin") ==
                testsupport::readFileBytes(dir / "files" / "big.bin"));

    // A partition that claims sectors past the end of the disk cannot be captured whole: refused
    // before any image exists, the old one kept.
    const fs::path shortDisk = dir / "short.disk";
    testsupport::writeFileBytes(shortDisk, Bytes(before.begin(), before.end() - 512));
    const fs::path shortTable = writeDeviceTable(dir.path(), {{1, shortDisk.string()}});
    auto refused = runDorvix(shortTable, "-y -nor -flatcopy CAP.IMG");
    EXPECT_EQ(refused.exitCode, 3) << refused.output;
    EXPECT_NE(refused.output.find("Partition 1 of the source disk ends at sector " + std::to_string(kDisk)),
              std::string::npos)
        << refused.output;
    EXPECT_TRUE(testsupport::readFileBytes(dir / "CAP.IMG") == image);
}

// Under a file-size limit both captures end with their message and the system's reason, not
// killed by SIGXFSZ, and leave no file behind.
TEST(FlatCapture, FileSizeLimitEndsBothCapturesWithAMessage) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy") ||
        !testsupport::haveProgram("prlimit")) {
        GTEST_SKIP();
    }
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, kVolumeSectors, 4, sourceFill(dir / "files"), kDiskSectors);
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string()}});
    const Bytes before = testsupport::readFileBytes(source);
    struct Case {
        const char* mode;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"-flatcopy", 3, "***ERROR*** fwrite(pBuffer,1,"},
        {"-imgcopy", 255, "ERROR: An error occurred, copy failed...\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        auto run = testsupport::runCommand("cd " + shellQuote(dir.path().string()) + " && DORVIX_DEVICES=" +
                                           shellQuote(table.string()) + " DORVIX_PAUSE_MS=0 prlimit --fsize=40000 " +
                                           shellQuote(DORVIX_PROGRAM) + " -y -nor " + c.mode + " CAP.IMG </dev/null");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("***ERROR*** Writing the image file in " + fs::canonical(dir.path()).string() +
                                  " failed: File too large\n"),
                  std::string::npos)
            << run.output;
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"devices", "files", "source.disk"}));
        EXPECT_TRUE(testsupport::readFileBytes(source) == before);
    }
}

TEST(FlatCapture, RefusesDisksItCannotCapture) {
    TempDir dir;
    testsupport::writeFileBytes(dir / "big.disk", Bytes(std::size_t{4} * kCylinder * 512, 0));
    const fs::path table = writeDeviceTable(dir.path(), {{1, (dir / "big.disk").string() + " bytes=4096"}});
    struct Case {
        const char* args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {"-y -nor -flatcopy CAP.IMG", 5, "only 512-byte sectors can be imaged"},
        {"-y -nor -flatcopy -td:3 CAP.IMG", 3, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        auto run = runDorvix(table, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(dir / "CAP.IMG"));
    }
    // Every mode refuses a disk of 4096-byte sectors with that one message, before it creates
    // or writes anything: no image appears, the disk and an existing image keep their bytes.
    const Bytes disk = testsupport::readFileBytes(dir / "big.disk");
    testsupport::writeFileBytes(dir / "FLASH.IMG", Bytes(1024, 0x5A));
    const Case modes[] = {
        {"-y -nor -flatcopy CAP.IMG", 5, nullptr},
        {"-y -nor -imgcopy CAP.IMG", 255, nullptr},
        {"-y -nor -writeflat FLASH.IMG", 4, nullptr},
        {"-y -nor FLASH.IMG", 255, nullptr},
    };
    for (const auto& c : modes) {
        SCOPED_TRACE(c.args);
        auto run = runDorvix(table, c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        const std::string message = "ERROR: DSK1: has sectors of 4096 bytes; only 512-byte sectors can be imaged.";
        const auto at = run.output.find(message);
        ASSERT_NE(at, std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("***ERROR***"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find(message, at + 1), std::string::npos) << run.output;
        EXPECT_FALSE(fs::exists(dir / "CAP.IMG"));
        EXPECT_TRUE(testsupport::readFileBytes(dir / "big.disk") == disk);
        EXPECT_TRUE(testsupport::readFileBytes(dir / "FLASH.IMG") == Bytes(1024, 0x5A));
    }
    // A disk without a FAT16 volume cannot be prepared for the capture.
    testsupport::writeFileBytes(dir / "blank.disk", Bytes(std::size_t{2} * 16065 * 512, 0));
    const fs::path blank = writeDeviceTable(dir.path(), {{1, (dir / "blank.disk").string()}});
    auto run = runDorvix(blank, "-y -nor -flatcopy CAP.IMG");
    EXPECT_EQ(run.exitCode, 5) << run.output;
    EXPECT_NE(run.output.find("***ERROR*** Open Volume failed!\n"), std::string::npos) << run.output;
}

}  // namespace
