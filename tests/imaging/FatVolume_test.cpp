// FatVolume: mounting volumes made by mkfs.fat, refusing what the engine cannot carry, cluster
// arithmetic, chain reading and cluster allocation.

#include "fat/FatVolume.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FatTestDisk.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"
#include "records/ByteOrder.h"

namespace dorvix {
namespace {

using namespace testsupport;
using testing::TestVolume;

void patchFile(const std::filesystem::path& file, std::uint64_t offset, std::vector<std::uint8_t> bytes) {
    ImageFile image;
    ASSERT_TRUE(image.open(file));
    ASSERT_TRUE(image.writeAt(offset, bytes));
}

std::vector<std::uint8_t> le16(std::uint16_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}
std::vector<std::uint8_t> le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

TEST(FatVolumeMount, LayoutOfAMkfsVolumeAgreesWithFsck) {
    TempDir dir;
    const auto disk = dir / "disk.img";
    DiskShape shape;
    shape.partitionSectors = 65536;
    shape.sectorsPerCluster = 4;
    ASSERT_TRUE(makeFatDisk(disk, shape));

    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    const FatVolume& v = tv.volume;
    EXPECT_EQ(v.bytesPerSector, 512);
    EXPECT_EQ(v.sectorsPerCluster, 4);
    EXPECT_EQ(v.fatStart, 32 + 1);
    EXPECT_EQ(v.rootStart, v.fatStart + 2 * v.fatSectors);
    EXPECT_EQ(v.rootEntries, 512);
    EXPECT_EQ(v.rootSectors, 32);
    EXPECT_EQ(v.dataStart, v.rootStart + 32);
    EXPECT_EQ(v.bytesPerCluster, 2048u);
    EXPECT_EQ(v.entriesPerCluster, 64);
    EXPECT_EQ(v.partitionSectors, 65536u);
    EXPECT_EQ(v.fat.size(), std::size_t{v.fatSectors} * 512);
    EXPECT_EQ(v.rootDir.size(), 32u * 512);
    EXPECT_EQ(clusterToSector(v, 2), v.dataStart);
    EXPECT_EQ(clusterToSector(v, 5), v.dataStart + 12u);

    // fsck.fat on the partition alone states the number of data clusters.
    const auto partition = dir / "partition.img";
    ASSERT_EQ(runCommand("dd if=" + shellQuote(disk.string()) + " of=" + shellQuote(partition.string()) +
                         " bs=512 skip=32 status=none")
                  .exitCode,
              0);
    const CommandResult fsck = runCommand("fsck.fat -n -v " + shellQuote(partition.string()));
    const std::size_t at = fsck.output.find(" data clusters");
    ASSERT_NE(at, std::string::npos) << fsck.output;
    const std::size_t digits = fsck.output.find_last_not_of("0123456789", at - 1) + 1;
    EXPECT_EQ(v.clusterCount, std::stoul(fsck.output.substr(digits, at - digits)));
}

// A stale second FAT is no reason to refuse the volume (the capture makes it equal to the first):
// only its FAT ID is checked.
TEST(FatVolumeMount, OnlyTheFirstFatIsRead) {
    TempDir dir;
    const auto disk = dir / "disk.img";
    ASSERT_TRUE(makeFatDisk(disk));
    TestVolume probe;
    ASSERT_TRUE(probe.openAndMount(disk));
    const std::vector<std::uint8_t> firstFat = probe.volume.fat;
    const std::uint64_t secondFat = (std::uint64_t{probe.volume.fatStart} + probe.volume.fatSectors) * 512;
    patchFile(disk, secondFat + 4, std::vector<std::uint8_t>(64, 0xAB));

    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    EXPECT_EQ(tv.volume.fat, firstFat);
}

struct RefusedCase {
    const char* name;
    std::function<void(const std::filesystem::path&, DiskShape&)> before;  // adjusts the shape
    std::function<void(const std::filesystem::path&)> after;              // patches the made disk
    VolumeProblem problem;
};

constexpr std::uint64_t kBoot = 32 * 512;

TEST(FatVolumeMount, RefusesWhatTheEngineCannotCarry) {
    const RefusedCase cases[] = {
        {"start sector byte above 0x3F", nullptr, [](auto& d) { patchFile(d, 448, {0x41}); }, VolumeProblem::NoPartition},
        {"no MBR signature", nullptr, [](auto& d) { patchFile(d, 510, {0, 0}); }, VolumeProblem::NoPartition},
        {"empty partition entry", nullptr, [](auto& d) { patchFile(d, 454, le32(0)); }, VolumeProblem::NoPartition},
        {"1024-byte sectors", nullptr, [](auto& d) { patchFile(d, kBoot + 11, le16(1024)); }, VolumeProblem::NotFat16},
        {"zero sectors per cluster", nullptr, [](auto& d) { patchFile(d, kBoot + 13, {0}); }, VolumeProblem::NotFat16},
        {"128 sectors per cluster", nullptr, [](auto& d) { patchFile(d, kBoot + 13, {128}); }, VolumeProblem::NotFat16},
        {"FAT too small for its clusters", nullptr, [](auto& d) { patchFile(d, kBoot + 22, le16(4)); },
         VolumeProblem::NotFat16},
        {"FAT size beyond the FATs written: the second copy lacks its FAT ID", nullptr,
         [](auto& d) {
             const auto bytes = readFileBytes(d);
             patchFile(d, kBoot + 22, le16(static_cast<std::uint16_t>(load16(bytes, kBoot + 22) + 8)));
         },
         VolumeProblem::NotFat16},
        {"first FAT without its FAT ID", nullptr,
         [](auto& d) {
             const auto bytes = readFileBytes(d);
             patchFile(d, (32 + std::uint64_t{load16(bytes, kBoot + 14)}) * 512, {0, 0});
         },
         VolumeProblem::NotFat16},
        {"no FAT", nullptr, [](auto& d) { patchFile(d, kBoot + 16, {0}); }, VolumeProblem::NotFat16},
        {"hidden sectors not the partition start", nullptr, [](auto& d) { patchFile(d, kBoot + 28, le32(63)); },
         VolumeProblem::NotFat16},
        {"FAT12 volume", [](auto&, DiskShape& s) { s.fatType = "12"; s.partitionSectors = 8192; }, nullptr,
         VolumeProblem::NotFat16},
        {"FAT32 volume", [](auto&, DiskShape& s) { s.fatType = "32"; s.partitionSectors = 140000; s.sectorsPerCluster = 1; s.reservedSectors = 32; },
         nullptr, VolumeProblem::NotFat16},
        {"data area beyond sector 65535",
         [](auto&, DiskShape& s) { s.partitionStart = 65500; s.partitionSectors = 40960; }, nullptr,
         VolumeProblem::NotFat16},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto disk = dir / "disk.img";
        DiskShape shape;
        if (c.before) {
            c.before(disk, shape);
        }
        ASSERT_TRUE(makeFatDisk(disk, shape));
        if (c.after) {
            c.after(disk);
        }
        TestVolume tv;
        ASSERT_TRUE(tv.open(disk));
        EXPECT_EQ(tv.mount(), c.problem);
        releaseVolume(tv.volume);
        releaseVolume(tv.volume);  // twice is harmless
        EXPECT_TRUE(tv.volume.fat.empty());
    }
}

TEST(FatVolumeMount, ReadFailureIsReported) {
    TempDir dir;
    const auto disk = dir / "disk.img";
    ASSERT_TRUE(makeFatDisk(disk));
    for (const std::uint32_t sector : {0u, 32u, 33u}) {
        TestVolume tv;
        ASSERT_TRUE(tv.open(disk));
        tv.disk.failingSectors = {sector};
        EXPECT_EQ(tv.mount(), VolumeProblem::ReadFailed) << sector;
    }
}

class FatChains : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeFatDisk(disk));
        // A file of five 2 KiB clusters, contiguous on a fresh volume.
        content = patternBytes(5 * 2048 - 100, 7);
        ASSERT_TRUE(putFile(disk, 32, "::/DATA.BIN", content));
        ASSERT_TRUE(tv.openAndMount(disk));
        first = 0;
        for (std::size_t i = 0; i < tv.volume.rootEntries; ++i) {
            if (std::memcmp(&tv.volume.rootDir[i * 32], "DATA    BIN", 11) == 0) {
                first = load16(tv.volume.rootDir, i * 32 + 26);
            }
        }
        ASSERT_GE(first, 2);
    }
    TempDir dir;
    std::filesystem::path disk = dir / "disk.img";
    std::vector<std::uint8_t> content;
    TestVolume tv;
    std::uint16_t first = 0;
};

TEST_F(FatChains, ReadClusterRunReadsInBatchesAndStopsAtTheEnd) {
    std::vector<std::uint8_t> buffer(5 * 2048);
    std::uint16_t cluster = first;
    EXPECT_EQ(readClusterRun(tv.volume, buffer.data(), cluster, 3), 3);
    EXPECT_EQ(cluster, first + 3);
    EXPECT_EQ(readClusterRun(tv.volume, buffer.data() + 3 * 2048, cluster, 3), 2);
    EXPECT_GE(cluster, kEndOfChainMin);
    buffer.resize(content.size());
    EXPECT_EQ(buffer, content);
    EXPECT_EQ(chainLength(tv.volume, first), 5);
}

TEST_F(FatChains, ReadClusterRunEdges) {
    std::vector<std::uint8_t> buffer(2048);
    std::uint16_t cluster = 0xFFF8;
    EXPECT_EQ(readClusterRun(tv.volume, buffer.data(), cluster, 1), 0);
    cluster = first;
    EXPECT_EQ(readClusterRun(tv.volume, buffer.data(), cluster, 0), 0);
    EXPECT_EQ(cluster, first);
}

TEST_F(FatChains, DamagedChainsAreRefused) {
    struct Case {
        const char* name;
        std::uint16_t link;  // written as the FAT entry of the file's second cluster
    };
    const Case cases[] = {
        {"cycle back to the first cluster", first},
        {"link to a free cluster number 0", 0},
        {"reserved cluster number 1", 1},
        {"beyond the last cluster", static_cast<std::uint16_t>(tv.volume.clusterCount + 2)},
        {"bad-cluster marker", 0xFFF7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FatVolume v = tv.volume;
        setFatEntry(v, first + 1, c.link);
        EXPECT_EQ(chainLength(v, first), -1);
        // A run stops at a link outside the volume; a cycle is bounded by the caller's maximum.
        if (c.link != first) {
            std::vector<std::uint8_t> buffer(8 * 2048);
            std::uint16_t cluster = first;
            EXPECT_EQ(readClusterRun(v, buffer.data(), cluster, 8), -1);
        }
    }
    tv.disk.failingSectors = {clusterToSector(tv.volume, first)};
    std::vector<std::uint8_t> buffer(2048);
    std::uint16_t cluster = first;
    EXPECT_EQ(readClusterRun(tv.volume, buffer.data(), cluster, 1), -1);
}

TEST(FatAllocation, HandsOutConsecutiveClustersAndWrapsOnce) {
    FatVolume v;
    v.clusterCount = 6;  // clusters 2..7
    v.fat.assign(16 * 2, 0);
    setFatEntry(v, 0, kMediaEntry);
    setFatEntry(v, 1, kEndOfChain);
    EXPECT_EQ(allocateCluster(v, 0), 2);
    EXPECT_EQ(allocateCluster(v, 2), 3);
    EXPECT_EQ(allocateCluster(v, 3), 4);
    EXPECT_EQ(fatEntry(v, 2), 3);
    EXPECT_EQ(fatEntry(v, 3), 4);
    EXPECT_EQ(fatEntry(v, 4), kEndOfChain);
    EXPECT_EQ(allocateCluster(v, 0), 5);
    EXPECT_EQ(allocateCluster(v, 0), 6);
    EXPECT_EQ(allocateCluster(v, 0), 7);
    EXPECT_EQ(allocateCluster(v, 0), 0);  // full: entries beyond clusterCount + 1 are never used
    EXPECT_EQ(v.nextFreeHint, 0);         // the search wrapped
    setFatEntry(v, 3, kFreeCluster);
    EXPECT_EQ(allocateCluster(v, 7), 3);
    EXPECT_EQ(fatEntry(v, 7), 3);
}

TEST(FatAllocation, LayoutRefusalRulesOnBootSectorValues) {
    // The pure check, on boot sectors assembled by hand, at the FAT16 cluster-count bounds.
    auto boot = [](std::uint32_t clusters) {
        std::vector<std::uint8_t> b(512, 0);
        store16(b, bootsector::kBytesPerSector, 512);
        b[bootsector::kSectorsPerCluster] = 1;
        store16(b, bootsector::kReservedSectors, 1);
        b[bootsector::kNumberOfFats] = 2;
        store16(b, bootsector::kRootEntries, 512);
        store16(b, bootsector::kSectorsPerFat, 256);
        store32(b, bootsector::kHiddenSectors, 63);
        store32(b, bootsector::kTotalSectors32, 1 + 512 + 32 + clusters);
        return b;
    };
    struct Case {
        std::uint32_t clusters;
        bool accepted;
    };
    for (const Case c : {Case{4084, false}, Case{4085, true}, Case{65524, true}, Case{65525, false}}) {
        const auto b = boot(c.clusters);
        EXPECT_EQ(layoutProblem(b, 63, 1 + 512 + 32 + c.clusters) == VolumeProblem::None, c.accepted) << c.clusters;
    }
    // The partition entry bounds the volume even when the boot sector claims more.
    const auto b = boot(5000);
    FatVolume v;
    computeVolumeLayout(v, b, 63, 1 + 512 + 32 + 4500);
    EXPECT_EQ(v.clusterCount, 4500);
}

}  // namespace
}  // namespace dorvix
