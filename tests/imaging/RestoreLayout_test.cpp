#include "fat/RestoreLayout.h"

#include "records/ByteOrder.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace dorvix;
using Bytes = std::vector<std::uint8_t>;

// Image MBR as a FAT-aware capture writes it: active entry at sector 32.
Bytes imageMbr(std::uint8_t bootIndicator = 0x80, std::uint8_t startSectorByte = 1) {
    Bytes mbr(512, 0);
    mbr[446] = bootIndicator;
    mbr[447] = 1;
    mbr[448] = startSectorByte;
    mbr[450] = 0x06;  // the image's partition type
    store32(mbr, 446 + 8, 32);
    store32(mbr, 446 + 12, 125024);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    return mbr;
}

struct BootParams {
    std::uint16_t bytesPerSector = 512;
    std::uint8_t spc = 4;
    std::uint16_t reserved = 4;
    std::uint8_t fats = 2;
    std::uint16_t rootEntries = 512;
    std::uint16_t spf = 64;
    std::uint32_t total = 65536;
    std::uint32_t hidden = 32;
};

Bytes imageBoot(const BootParams& p) {
    Bytes b(512, 0);
    b[0] = 0xEB; b[1] = 0x3C; b[2] = 0x90;
    store16(b, 11, p.bytesPerSector);
    b[13] = p.spc;
    store16(b, 14, p.reserved);
    b[16] = p.fats;
    store16(b, 17, p.rootEntries);
    if (p.total < 65536) store16(b, 19, static_cast<std::uint16_t>(p.total));
    else store32(b, 32, p.total);
    b[21] = 0xF8;
    store16(b, 22, p.spf);
    store32(b, 28, p.hidden);
    for (std::size_t i = 62; i < 510; ++i) b[i] = 0x90;
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

// R for the parameters above with a header: 1 + hidden + reserved + fats x spf.
std::uint32_t imageRoot(const BootParams& p) { return 1 + p.hidden + p.reserved + p.fats * p.spf; }

struct LayoutCase {
    const char* name;
    BootParams boot;
    TargetGeometry disk;
    std::uint32_t imageSectors;  // 0: just past the image's root directory
    LayoutRefusal refusal;
    std::uint32_t spc;         // expected target sectors per cluster
    std::uint32_t usedSectors; // expected used size
};

TEST(RestoreLayout, ClusterSizeStepDownAndRefusals) {
    BootParams spc8{512, 8, 4, 2, 512, 128, 262144, 32};
    BootParams spc4{};
    BootParams spc64{512, 64, 4, 2, 512, 256, 4000000, 32};
    BootParams spc1{512, 1, 4, 2, 512, 32, 8000, 32};
    BootParams spc2{512, 2, 4, 2, 512, 32, 16000, 32};
    BootParams bps1024 = spc4; bps1024.bytesPerSector = 1024;
    BootParams spc3 = spc4; spc3.spc = 3;
    BootParams noFats = spc4; noFats.fats = 0;
    BootParams fat12 = spc4; fat12.total = 8000;     // fewer than 4085 clusters
    BootParams smallFat = spc4; smallFat.spf = 8;     // FAT cannot hold its clusters
    BootParams lowHidden = spc4; lowHidden.hidden = 2;  // FAT would lie before the boot sector
    BootParams fatAtBoot = spc4; fatAtBoot.hidden = 28;  // FAT at the boot sector's place
    const TargetGeometry d100k{100, 16, 63, 512};    // 100800 sectors: row 2 (4 spc)
    const LayoutCase cases[] = {
        {.name = "same cluster size", .boot = spc4, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::None, .spc = 4, .usedSectors = 100800},
        {.name = "image clusters larger: L = 2", .boot = spc8, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::None, .spc = 4, .usedSectors = 100800},
        {.name = "small disk: 2 sectors per cluster", .boot = spc2, .disk = {20, 16, 63, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::None, .spc = 2, .usedSectors = 20160},
        {.name = "image clusters smaller: step down", .boot = spc4, .disk = {600, 16, 63, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::None, .spc = 4, .usedSectors = 262144},
        {.name = "above the table, small image clusters: step down", .boot = spc4,
         .disk = {300, 255, 63, 512}, .imageSectors = 0, .refusal = LayoutRefusal::None, .spc = 4,
         .usedSectors = 262144},
        // A row's full size holds 65527 or more clusters of the row's size: the partition
        // ends where 65526 still fit, whether the row was stepped down to or not.
        {.name = "above the table, 64 sectors per cluster", .boot = spc64, .disk = {300, 255, 63, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::None, .spc = 64, .usedSectors = 63 + 65526 * 64},
        {.name = "step down to row 3 at its full size", .boot = spc8, .disk = {2100, 16, 63, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::None, .spc = 8, .usedSectors = 63 + 65526 * 8},
        {.name = "disk at the top of row 2 with 4-sector tracks", .boot = spc4, .disk = {4096, 16, 4, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::None, .spc = 4, .usedSectors = 4 + 65526 * 4},
        {.name = "disk of 8400 sectors", .boot = spc4, .disk = {140, 1, 60, 512}, .imageSectors = 0,
         .refusal = LayoutRefusal::DiskTooSmall, .spc = 0, .usedSectors = 0},
        {.name = "image longer than the disk", .boot = spc4, .disk = d100k, .imageSectors = 100801,
         .refusal = LayoutRefusal::ImageLargerThanDisk, .spc = 0, .usedSectors = 0},
        {.name = "1 sector per cluster above 32680", .boot = spc1, .disk = {40, 16, 63, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::ClustersTooSmall, .spc = 0, .usedSectors = 0},
        {.name = "1 sector per cluster, small disk", .boot = spc1, .disk = {10, 16, 63, 512},
         .imageSectors = 0, .refusal = LayoutRefusal::ClustersTooSmall, .spc = 0, .usedSectors = 0},
        {.name = "image sectors of 1024 bytes", .boot = bps1024, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::SectorSize, .spc = 0, .usedSectors = 0},
        {.name = "disk sectors of 4096 bytes", .boot = spc4, .disk = {100, 16, 63, 4096}, .imageSectors = 0,
         .refusal = LayoutRefusal::SectorSize, .spc = 0, .usedSectors = 0},
        {.name = "cluster size not a power of two", .boot = spc3, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::NotFat16, .spc = 0, .usedSectors = 0},
        {.name = "no FAT", .boot = noFats, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::NotFat16, .spc = 0, .usedSectors = 0},
        {.name = "FAT12 cluster count", .boot = fat12, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::NotFat16, .spc = 0, .usedSectors = 0},
        {.name = "FAT too small for its clusters", .boot = smallFat, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::NotFat16, .spc = 0, .usedSectors = 0},
        {.name = "image data larger than the stepped-down partition", .boot = spc4,
         .disk = {600, 16, 63, 512}, .imageSectors = 300000, .refusal = LayoutRefusal::DataDoesNotFit,
         .spc = 0, .usedSectors = 0},
        {.name = "image ends inside its root directory", .boot = spc4, .disk = d100k,
         .imageSectors = imageRoot(spc4) + 10, .refusal = LayoutRefusal::ImageDamaged, .spc = 0,
         .usedSectors = 0},
        {.name = "image FAT before its boot sector", .boot = lowHidden, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::FatMisplaced, .spc = 0, .usedSectors = 0},
        {.name = "image FAT at its boot sector", .boot = fatAtBoot, .disk = d100k, .imageSectors = 0,
         .refusal = LayoutRefusal::FatMisplaced, .spc = 0, .usedSectors = 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes mbr = imageMbr();
        Bytes boot = imageBoot(c.boot);
        RestoreInput in{mbr, boot, c.disk,
                        c.imageSectors ? c.imageSectors : imageRoot(c.boot) + 32, 1, false, 0};
        LayoutResult r = computeRestoreLayout(in);
        EXPECT_EQ(r.refusal, c.refusal);
        if (c.refusal == LayoutRefusal::None) {
            EXPECT_EQ(r.layout.sectorsPerCluster, c.spc);
            EXPECT_EQ(r.layout.usedSectors, c.usedSectors);
            EXPECT_EQ(r.layout.clusterScale, c.boot.spc / c.spc);
            EXPECT_EQ(r.layout.partitionSectors, c.usedSectors - c.disk.sectorsPerTrack);
            EXPECT_GE(r.layout.dataClusters, kMinFat16Clusters);
            EXPECT_LT(r.layout.dataClusters + 2, kFat16ClusterLimit);
            EXPECT_LE(r.layout.dataClusters + 2, r.layout.sectorsPerFat * 256);
        }
    }
}

TEST(RestoreLayout, MbrEntryChecks) {
    struct Case { std::uint8_t indicator, startByte; bool usable; };
    const Case cases[] = {{0x80, 1, true}, {0x80, 0x3F, true}, {0x80, 0x40, false},
                          {0x00, 1, false}, {0x81, 1, false}};
    for (const auto& c : cases) {
        Bytes mbr = imageMbr(c.indicator, c.startByte);
        EXPECT_EQ(imageMbrUsable(mbr), c.usable) << int(c.indicator) << "/" << int(c.startByte);
        Bytes boot = imageBoot({});
        RestoreInput in{mbr, boot, {100, 16, 63, 512}, 200, 1, false, 0};
        EXPECT_EQ(computeRestoreLayout(in).refusal == LayoutRefusal::InvalidMbr, !c.usable);
    }
}

// Every field of the new partition entry and boot sector, for a disk with 32 sectors per
// cluster and one beyond 1023 cylinders.
TEST(RestoreLayout, PartitionEntryAndBootSectorFields) {
    BootParams p{512, 32, 4, 2, 512, 256, 2000000, 32};
    Bytes mbr = imageMbr();
    Bytes boot = imageBoot(p);
    RestoreInput in{mbr, boot, {100, 255, 63, 512}, imageRoot(p) + 100, 1, false, 0x12345678};
    LayoutResult r = computeRestoreLayout(in);
    ASSERT_EQ(r.refusal, LayoutRefusal::None);
    const RestoreLayout& l = r.layout;
    EXPECT_EQ(l.partitionSectors, 1606437u);
    EXPECT_EQ(l.sectorsPerFat, (1606437u / 32 + 257) / 256);
    EXPECT_EQ(l.rootSectors, 32u);
    EXPECT_EQ((l.reservedSectors + 2 * l.sectorsPerFat + l.rootSectors) % 8, 0u);
    EXPECT_EQ(l.fatStart, 63 + l.reservedSectors);
    EXPECT_EQ(l.rootStart, l.fatStart + 2 * l.sectorsPerFat);
    EXPECT_EQ(l.dataStart, l.rootStart + 32);
    EXPECT_EQ(l.imageRootSector, imageRoot(p));
    EXPECT_EQ(l.copySectors, 100u);

    auto e = std::span<const std::uint8_t>(l.targetMbr).subspan(446, 16);
    EXPECT_EQ(e[0], 0x80);          // boot indicator and start CHS stay
    EXPECT_EQ(e[1], 1);
    EXPECT_EQ(e[2], 1);
    EXPECT_EQ(e[4], 0x06);          // without MBR code the image's type stays
    EXPECT_EQ(e[5], 254);
    EXPECT_EQ(e[6], 0x3F);          // cylinder 99 needs no high bits
    EXPECT_EQ(e[7], 99);
    EXPECT_EQ(load32(e, 8), 63u);
    EXPECT_EQ(load32(e, 12), 1606437u);
    EXPECT_EQ(l.targetMbr[510], 0x55);

    std::span<const std::uint8_t> tb(l.targetBoot);
    EXPECT_EQ(tb[13], 32);
    EXPECT_EQ(load16(tb, 14), l.reservedSectors);
    EXPECT_EQ(tb[16], 2);
    EXPECT_EQ(load16(tb, 17), 512);
    EXPECT_EQ(load16(tb, 19), 0);
    EXPECT_EQ(load32(tb, 32), 1606437u);
    EXPECT_EQ(load16(tb, 22), l.sectorsPerFat);
    EXPECT_EQ(load16(tb, 24), 63);
    EXPECT_EQ(load16(tb, 26), 255);
    EXPECT_EQ(load32(tb, 28), 63u);
    EXPECT_EQ(load32(tb, 39), 0x12345678u);
    EXPECT_EQ(tb[21], 0xF8);        // untouched fields stay
    EXPECT_EQ(tb[100], 0x90);

    // With MBR code the type becomes 0x0E; 1000 cylinders put bits 8-9 into the sector byte.
    in.mbrCodeGiven = true;
    in.disk = {1000, 16, 63, 512};
    LayoutResult big = computeRestoreLayout(in);
    ASSERT_EQ(big.refusal, LayoutRefusal::None);
    EXPECT_EQ(big.layout.targetMbr[446 + 4], 0x0E);
    EXPECT_EQ(big.layout.targetMbr[446 + 6], 0xFF);
    EXPECT_EQ(big.layout.targetMbr[446 + 7], 0xE7);
    EXPECT_EQ(load16(big.layout.targetBoot, 19), 0);

    // A small partition uses the 16-bit total.
    BootParams q{512, 2, 4, 2, 512, 32, 16000, 32};
    Bytes boot2 = imageBoot(q);
    RestoreInput small{mbr, boot2, {20, 16, 63, 512}, imageRoot(q) + 40, 1, false, 0};
    LayoutResult s = computeRestoreLayout(small);
    ASSERT_EQ(s.refusal, LayoutRefusal::None);
    EXPECT_EQ(load16(s.layout.targetBoot, 19), 20160 - 63);
    EXPECT_EQ(load32(s.layout.targetBoot, 32), 0u);

    // A root directory that ends inside a sector gets that whole sector, as fsck.fat expects.
    BootParams odd = q;
    odd.rootEntries = 500;
    Bytes boot3 = imageBoot(odd);
    RestoreInput oddRoot{mbr, boot3, {20, 16, 63, 512}, imageRoot(odd) + 40, 1, false, 0};
    LayoutResult o = computeRestoreLayout(oddRoot);
    ASSERT_EQ(o.refusal, LayoutRefusal::None);
    EXPECT_EQ(o.layout.rootSectors, 32u);
    EXPECT_EQ(load16(o.layout.targetBoot, 17), 512);
}

TEST(RestoreLayout, StepDownUsesCylindersOfTheRowSize) {
    // 600 x 16 x 63 = 604800 sectors, image clusters of 4: row 2 (262144 sectors) is used.
    BootParams p{};
    Bytes mbr = imageMbr();
    Bytes boot = imageBoot(p);
    LayoutResult r = computeRestoreLayout({mbr, boot, {600, 16, 63, 512}, imageRoot(p) + 40, 1, false, 0});
    ASSERT_EQ(r.refusal, LayoutRefusal::None);
    EXPECT_EQ(r.layout.usedCylinders, 262144u / (16 * 63));
    EXPECT_EQ(r.layout.targetMbr[446 + 7], (262144 / (16 * 63) - 1) & 0xFF);
    EXPECT_EQ(chooseClusterRow(604800, 4), 2u);
    EXPECT_EQ(chooseClusterRow(604800, 16), 4u);
    EXPECT_EQ(chooseClusterRow(5000000, 128), 6u);
    EXPECT_EQ(chooseClusterRow(8400, 4), 0u);
    EXPECT_EQ(chooseClusterRow(40000, 1), 0u);
}

TEST(RestoreLayout, CodeOverlaysKeepTablesAndParameters) {
    Bytes code(512);
    for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(i * 7 + 1);
    Bytes mbr = imageMbr();
    Bytes before = mbr;
    overlayMbrCode(mbr, code);
    for (std::size_t i = 0; i < 512; ++i) {
        EXPECT_EQ(mbr[i], i < 446 ? code[i] : before[i]) << i;
    }
    Bytes boot = imageBoot({});
    Bytes bootBefore = boot;
    overlayBootCode(boot, code);
    for (std::size_t i = 0; i < 512; ++i) {
        bool fromCode = i < 3 || (i >= 62 && i < 510);
        EXPECT_EQ(boot[i], fromCode ? code[i] : bootBefore[i]) << i;
    }
}

}  // namespace
