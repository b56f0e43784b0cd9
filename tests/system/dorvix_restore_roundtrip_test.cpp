// Round trips through tools nobody here wrote: FAT16 volumes made by mkfs.fat and filled with
// mtools (nested trees, long names, fragmented files, the documents folder) are captured with
// "dorvix -imgcopy" and restored by the default job onto disks of other sizes. Every restored
// volume must pass fsck.fat and hold the source's tree, names, sizes, dates and bytes, without
// "Documents and Settings".

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

namespace {

using namespace restoretest;
using testsupport::TempDir;

// A shell snippet that fills $V: nested directories, long names (enough in one directory for a
// set to straddle a directory cluster), a fragmented file, an empty file, an IMAGE.INI and a
// documents folder that the capture leaves out.
std::string treeFill(const fs::path& scratch) {
    const std::string d = shellQuote(scratch.string());
    return "mkdir -p " + d + " && cd " + d +
           " && printf '[Image]\\r\\nKMVBIOS=KQ7B2,KQ3A1\\r\\n' > IMAGE.INI"
           " && mcopy -m -i \"$V\" IMAGE.INI ::"
           " && mmd -i \"$V\" ::/Windows ::/Windows/System ::/Windows/System/Deep ::/Program\\ Files ::/frag"
           " '::/Documents and Settings' '::/Documents and Settings/Operator'"
           " && for i in $(seq 1 40); do head -c $((i * 523)) /dev/urandom > \"A rather long file name number $i.txt\"; done"
           " && mcopy -m -i \"$V\" A\\ rather* '::/Program Files'"
           " && for i in $(seq 1 12); do head -c 6000 /dev/urandom > piece$i.bin; mcopy -i \"$V\" piece$i.bin ::/frag; done"
           " && for i in 2 4 6 8 10; do mdel -i \"$V\" ::/frag/piece$i.bin; done"
           " && head -c 200000 /dev/urandom > Fragmented.dat && mcopy -m -i \"$V\" Fragmented.dat ::/frag"
           " && head -c 123457 /dev/urandom > kernel.bin && mcopy -m -i \"$V\" kernel.bin ::/Windows/System/Deep"
           " && : > empty.txt && mcopy -m -i \"$V\" empty.txt ::/Windows"
           " && head -c 40000 /dev/urandom > private.doc"
           " && mcopy -m -i \"$V\" private.doc '::/Documents and Settings/Operator'";
}

struct RoundTripCase {
    const char* name;
    unsigned sourceSpc;
    std::uint32_t sourceSectors;
    std::uint64_t targetSectors;
    std::uint32_t expectSpc;
    std::uint32_t expectPartition;
};

class RestoreRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

constexpr std::uint64_t cylinders(std::uint64_t n) { return n * 16065; }

TEST_P(RestoreRoundTrip, CapturedVolumeRestoresOntoAnotherDisk) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("fsck.fat") ||
        !testsupport::haveProgram("mcopy")) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    const RoundTripCase& c = GetParam();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, c.sourceSectors, c.sourceSpc, treeFill(dir / "files"));
    const fs::path target = dir / "target.disk";
    makeBlankDisk(target, c.targetSectors);
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string()}, {2, target.string()}});

    auto capture = runDorvix(table, "-y -nor -imgcopy -td:1 FLASH.IMG");
    ASSERT_EQ(capture.exitCode, 0) << capture.output;
    const auto header = readRange(dir / "FLASH.IMG", 0, 512);
    ASSERT_EQ(header.size(), 512u);
    EXPECT_EQ(header[510], 3) << "not a FAT-aware image";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(header.data() + 171)), "KQ7B2,KQ3A1");

    auto restore = runDorvix(table, "-y -nor -td:2 FLASH.IMG");
    ASSERT_EQ(restore.exitCode, 0) << restore.output;
    auto mbr = readRange(target, 0, 512);
    EXPECT_EQ(le32(mbr, 458), c.expectPartition);
    const fs::path restored = extractPartition(target, dir / "restored.vol");
    EXPECT_EQ(readRange(restored, 13, 1)[0], c.expectSpc);
    expectFsckClean(restored);

    const fs::path original = extractPartition(source, dir / "original.vol");
    copyTreeOut(original, dir / "expected");
    copyTreeOut(restored, dir / "actual");
    auto expected = readTree(dir / "expected");
    auto actual = readTree(dir / "actual");
    ASSERT_TRUE(expected.count("Documents and Settings/Operator/private.doc"));
    ASSERT_TRUE(expected.count("frag/Fragmented.dat"));
    for (auto it = expected.begin(); it != expected.end();) {
        it = it->first.rfind("Documents and Settings", 0) == 0 ? expected.erase(it) : std::next(it);
    }
    EXPECT_EQ(expected.size(), actual.size());
    for (const auto& [name, entry] : expected) {
        auto it = actual.find(name);
        if (it == actual.end()) {
            ADD_FAILURE() << "missing after restore: " << name;
            continue;
        }
        EXPECT_TRUE(entry == it->second) << "differs after restore: " << name;
    }
    for (const auto& [name, entry] : actual) {
        if (!expected.count(name)) ADD_FAILURE() << "unexpected after restore: " << name;
    }
}

// Long names of 196 to 255 characters take 16 to 20 slots, more than four bits count: they
// come back whole, in the root and in a folder, after capture and restore.
TEST(RestoreRoundTripNames, LongestLongNamesSurviveCaptureAndRestore) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("fsck.fat") ||
        !testsupport::haveProgram("mcopy")) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    TempDir dir;
    const fs::path source = dir / "source.disk";
    const std::string d = shellQuote((dir / "files").string());
    std::string fill = "mkdir -p " + d + " && cd " + d + " && mmd -i \"$V\" ::/D";
    for (const std::size_t length : {196u, 200u, 255u}) {
        const std::string name = std::to_string(length) + std::string(length - 8, 'x') + ".name";
        fill += " && head -c " + std::to_string(length * 37) + " /dev/urandom > " + name + " && mcopy -m -i \"$V\" " +
                name + " :: && mcopy -m -i \"$V\" " + name + " ::/D";
    }
    makeSourceDisk(source, 81920, 4, fill);
    const fs::path target = dir / "target.disk";
    makeBlankDisk(target, cylinders(4));
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string()}, {2, target.string()}});

    auto capture = runDorvix(table, "-y -nor -imgcopy -td:1 FLASH.IMG");
    ASSERT_EQ(capture.exitCode, 0) << capture.output;
    auto restore = runDorvix(table, "-y -nor -td:2 FLASH.IMG");
    ASSERT_EQ(restore.exitCode, 0) << restore.output;
    const fs::path restored = extractPartition(target, dir / "restored.vol");
    expectFsckClean(restored);
    copyTreeOut(extractPartition(source, dir / "original.vol"), dir / "expected");
    copyTreeOut(restored, dir / "actual");
    const auto expected = readTree(dir / "expected");
    EXPECT_EQ(expected.size(), 7u);
    EXPECT_TRUE(expected == readTree(dir / "actual"));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RestoreRoundTrip,
    ::testing::Values(
        // 40 MiB volume, 4 sectors per cluster: onto a smaller and a larger disk.
        RoundTripCase{.name = "SmallerTarget", .sourceSpc = 4, .sourceSectors = 81920,
                      .targetSectors = cylinders(3), .expectSpc = 4, .expectPartition = cylinders(3) - 63},
        RoundTripCase{.name = "LargerTarget", .sourceSpc = 4, .sourceSectors = 81920,
                      .targetSectors = cylinders(14), .expectSpc = 4, .expectPartition = cylinders(14) - 63},
        // 8 sectors per cluster onto a disk the table gives 4: every image cluster becomes two.
        RoundTripCase{.name = "TwoTargetClustersPerImageCluster", .sourceSpc = 8, .sourceSectors = 270000,
                      .targetSectors = cylinders(10), .expectSpc = 4, .expectPartition = cylinders(10) - 63},
        // 16 sectors per cluster onto a disk the table gives 2.
        RoundTripCase{.name = "EightTargetClustersPerImageCluster", .sourceSpc = 16, .sourceSectors = 600000,
                      .targetSectors = cylinders(2), .expectSpc = 2, .expectPartition = cylinders(2) - 63},
        // Above the table: the partition steps down to the image's cluster size.
        RoundTripCase{.name = "AboveTheTableStepsDown", .sourceSpc = 4, .sourceSectors = 81920,
                      .targetSectors = cylinders(270), .expectSpc = 4, .expectPartition = 262144 - 63},
        // Small clusters on a mid-size disk: step-down, partition smaller than the disk.
        RoundTripCase{.name = "StepDownBelowTheDiskSize", .sourceSpc = 2, .sourceSectors = 40000,
                      .targetSectors = cylinders(5), .expectSpc = 2, .expectPartition = 32680 - 63},
        // 8 sectors per cluster onto a disk the table gives 32: the step-down row at its full
        // size would hold too many clusters, so the partition ends below the FAT16 limit.
        RoundTripCase{.name = "StepDownEndsBelowTheClusterLimit", .sourceSpc = 8, .sourceSectors = 270000,
                      .targetSectors = cylinders(70), .expectSpc = 8, .expectPartition = 65526 * 8}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
