// The built dorvix restoring images onto image-file disks of other sizes through the device
// table; the restored volumes are checked by fsck.fat and mtools.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

namespace {

using namespace restoretest;
using testsupport::TempDir;

bool haveTools() {
    return testsupport::haveProgram("mkfs.fat") && testsupport::haveProgram("fsck.fat") &&
           testsupport::haveProgram("mcopy");
}

struct SizeCase {
    const char* name;
    unsigned sourceSpc;
    std::uint32_t sourceSectors;
    unsigned fats;
    bool header;
    std::uint64_t targetSectors;
    std::uint32_t expectSpc;        // target sectors per cluster
    std::uint32_t expectPartition;  // sectors of the new partition
};

class RestoreSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RestoreSizes, RestoredVolumePassesFsckAndHoldsTheSameFiles) {
    if (!haveTools()) GTEST_SKIP() << "dosfstools or mtools missing";
    const SizeCase& c = GetParam();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, c.sourceSectors, c.sourceSpc, rootFilesFill(dir / "files"));
    if (c.fats == 1) {
        // mkfs.fat made two FATs; a one-FAT source is made anew.
        fs::remove(source);
        const fs::path vol = dir / "one.vol";
        must("mkfs.fat -F 16 -f 1 -s " + std::to_string(c.sourceSpc) + " -S 512 -h 32 -C " +
             shellQuote(vol.string()) + " " + std::to_string(c.sourceSectors / 2) + " >/dev/null");
        must(mtoolsEnv() + "V=" + shellQuote(vol.string()) + "; " + rootFilesFill(dir / "files1"));
        std::vector<std::uint8_t> disk(32 * 512, 0);
        disk[446] = 0x80; disk[448] = 1; disk[450] = 6;
        put32(disk, 454, 32);
        put32(disk, 458, c.sourceSectors);
        disk[510] = 0x55; disk[511] = 0xAA;
        auto v = testsupport::readFileBytes(vol);
        disk.insert(disk.end(), v.begin(), v.end());
        testsupport::writeFileBytes(source, disk);
    }
    const fs::path image = dir / "FLASH.IMG";
    imageFromSourceDisk(source, image, c.header);
    const fs::path target = dir / "target.disk";
    makeBlankDisk(target, c.targetSectors);
    const fs::path table = writeDeviceTable(dir.path(), {{1, target.string()}});

    auto run = runDorvix(table, "-y -nor FLASH.IMG");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Completed successfully!"), std::string::npos) << run.output;

    auto mbr = readRange(target, 0, 512);
    EXPECT_EQ(le32(mbr, 454), 63u);
    EXPECT_EQ(le32(mbr, 458), c.expectPartition);
    const fs::path restored = extractPartition(target, dir / "restored.vol");
    EXPECT_EQ(readRange(restored, 13, 1)[0], c.expectSpc);
    expectFsckClean(restored);
    const fs::path original = extractPartition(source, dir / "original.vol");
    expectSameTree(original, restored, dir / "trees");
}

// Blank image-file disks get 255 heads and 63 sectors per track, whole cylinders of 16065.
constexpr std::uint64_t cylinders(std::uint64_t n) { return n * 16065; }

INSTANTIATE_TEST_SUITE_P(
    Targets, RestoreSizes,
    ::testing::Values(
        SizeCase{.name = "LargerDiskHeaderless", .sourceSpc = 4, .sourceSectors = 81920, .fats = 2,
                 .header = false, .targetSectors = cylinders(12), .expectSpc = 4,
                 .expectPartition = cylinders(12) - 63},
        SizeCase{.name = "SmallerDisk", .sourceSpc = 4, .sourceSectors = 81920, .fats = 2, .header = true,
                 .targetSectors = cylinders(3), .expectSpc = 4, .expectPartition = cylinders(3) - 63},
        SizeCase{.name = "FewerSectorsPerClusterOnTarget", .sourceSpc = 8, .sourceSectors = 270000, .fats = 2,
                 .header = true, .targetSectors = cylinders(12), .expectSpc = 4,
                 .expectPartition = cylinders(12) - 63},
        SizeCase{.name = "ClustersOfTwoSectors", .sourceSpc = 2, .sourceSectors = 40000, .fats = 2,
                 .header = true, .targetSectors = cylinders(2), .expectSpc = 2,
                 .expectPartition = cylinders(2) - 63},
        SizeCase{.name = "StepDownPartitionSmallerThanDisk", .sourceSpc = 4, .sourceSectors = 81920,
                 .fats = 2, .header = true, .targetSectors = cylinders(38), .expectSpc = 4,
                 .expectPartition = 262144 - 63},
        SizeCase{.name = "AboveTheTable", .sourceSpc = 4, .sourceSectors = 81920, .fats = 2, .header = true,
                 .targetSectors = cylinders(270), .expectSpc = 4, .expectPartition = 262144 - 63},
        SizeCase{.name = "OneFat", .sourceSpc = 4, .sourceSectors = 81920, .fats = 1, .header = true,
                 .targetSectors = cylinders(12), .expectSpc = 4, .expectPartition = cylinders(12) - 63}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace

namespace {

using namespace restoretest;

// Targets partitioned by sfdisk with their first partition at 2048 (today's alignment), 63, 16
// and 1: the old partition's start serves as the track length only when the new volume's first
// FAT then lies at sector 32 or later; every target takes the image, passes fsck.fat and can be
// captured again.
TEST(RestorePartitionedTargets, OldPartitionStartNeverRefusesOrMisplacesTheVolume) {
    const std::string sfdisk = testsupport::haveProgram("sfdisk") ? "sfdisk" : "/usr/sbin/sfdisk";
    if (!haveTools() || (sfdisk != "sfdisk" && !fs::exists(sfdisk))) {
        GTEST_SKIP() << "dosfstools, mtools or sfdisk missing";
    }
    testsupport::TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, 24576, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "FLASH.IMG", true);
    const fs::path target = dir / "target.disk";
    const fs::path table = writeDeviceTable(dir.path(), {{1, target.string()}});
    for (const unsigned start : {2048u, 63u, 16u, 1u}) {
        SCOPED_TRACE(start);
        makeBlankDisk(target, 409600);
        must("echo 'start=" + std::to_string(start) + ", type=6' | " + sfdisk + " -q --no-reread " +
             shellQuote(target.string()) + " >/dev/null 2>&1");
        ASSERT_EQ(le32(readRange(target, 0, 512), 454), start);
        auto run = runDorvix(table, "-y -nor FLASH.IMG");
        ASSERT_EQ(run.exitCode, 0) << run.output;
        const auto mbr = readRange(target, 0, 512);
        const std::uint32_t partition = le32(mbr, 454);
        const auto boot = readRange(target, std::uint64_t{partition} * 512, 512);
        EXPECT_GE(partition + (boot[14] | (boot[15] << 8)), 32u);
        const fs::path restored = extractPartition(target, dir / "restored.vol");
        expectFsckClean(restored);
        expectSameTree(extractPartition(source, dir / "original.vol"), restored, dir / ("trees" + std::to_string(start)));
        fs::remove(dir / "AGAIN.IMG");
        auto again = runDorvix(table, "-y -nor -imgcopy -td:1 AGAIN.IMG");
        EXPECT_EQ(again.exitCode, 0) << again.output;
        // The new image's body reads with mtools from its source partition's start.
        const std::string at = std::to_string(512 * (1 + std::uint64_t{partition}));
        must(mtoolsEnv() + "mdir -i " + shellQuote((dir / "AGAIN.IMG").string()) + "@@" + at + " ::/ >/dev/null");
    }
}

}  // namespace
