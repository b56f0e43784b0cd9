// Images the restore must refuse: each refusal comes with its message and a failure exit code,
// and leaves the target disk exactly as it was.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace restoretest;
using testsupport::TempDir;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kUntouched = 0x5A;
constexpr std::size_t kCheckedBytes = 2 << 20;  // the MBR and everything a restore writes first

// A BIOS window whose version is `version`.
fs::path biosWindowFile(const fs::path& dir, const std::string& version) {
    Bytes w(0x10000, 0);
    std::uint8_t* e = w.data() + 0x100;
    std::copy_n("_SM_", 4, e);
    e[5] = 0x1F;
    std::copy_n("_DMI_", 5, e + 16);
    put32(w, 0x100 + 24, 0xF0800);
    e[28] = 1;
    std::uint8_t sum = 0;
    for (int i = 16; i < 0x1F; ++i) sum = static_cast<std::uint8_t>(sum + e[i]);
    e[21] = static_cast<std::uint8_t>(-sum);
    sum = 0;
    for (int i = 0; i < 0x1F; ++i) sum = static_cast<std::uint8_t>(sum + e[i]);
    e[4] = static_cast<std::uint8_t>(-sum);
    std::uint8_t* s = w.data() + 0x800;
    s[1] = 0x18;
    s[5] = 1;
    std::copy(version.begin(), version.end(), s + 0x18);
    const fs::path file = dir / "bios.window";
    testsupport::writeFileBytes(file, w);
    return file;
}

void fillDisk(const fs::path& disk, std::uint64_t sectors) {
    std::ofstream out(disk, std::ios::binary | std::ios::trunc);
    Bytes chunk(1 << 20, kUntouched);
    for (std::uint64_t left = sectors * 512; left > 0;) {
        auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, chunk.size()));
        out.write(reinterpret_cast<const char*>(chunk.data()), n);
        left -= static_cast<std::uint64_t>(n);
    }
}

bool diskUntouched(const fs::path& disk, std::uint64_t sectors) {
    if (fs::file_size(disk) != sectors * 512) return false;
    Bytes head = readRange(disk, 0, std::min<std::uint64_t>(kCheckedBytes, sectors * 512));
    return std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == kUntouched; });
}

// Rewrites the header's checksum after a change.
void reseal(Bytes& image) {
    image[511] = 0;
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < 512; ++i) sum = static_cast<std::uint8_t>(sum + image[i]);
    image[511] = static_cast<std::uint8_t>(0x100 - sum);
}

void setBodySectors(Bytes& image) {
    put32(image, 32, static_cast<std::uint32_t>(image.size() / 512 - 1));
    reseal(image);
}

// Byte offset of the image boot sector inside an image with header (partition at 32).
constexpr std::size_t kImageBoot = 512 + 32 * 512;

struct RefusalCase {
    const char* name;
    std::function<void(Bytes&)> damage;  // applied to a valid image with header
    std::string args;                    // extra arguments
    std::string bios;                    // BIOS version of the machine ("" = no SMBIOS)
    std::string device;                  // device-table settings of the target
    std::uint64_t targetSectors;
    std::string message;
};

TEST(RestoreRefusals, RefusedBeforeTheDiskIsTouched) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) GTEST_SKIP();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, 81920, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "valid.img", true, "KQ3A3,KQ3A0");
    const fs::path spc1 = dir / "spc1.disk";
    makeSourceDisk(spc1, 40000, 1, rootFilesFill(dir / "files1"));
    imageFromSourceDisk(spc1, dir / "spc1.img", true);
    const Bytes valid = testsupport::readFileBytes(dir / "valid.img");
    const Bytes oneSectorClusters = testsupport::readFileBytes(dir / "spc1.img");

    const std::string geometry = " heads=16 sectors=63";
    const RefusalCase cases[] = {
        {"truncated image", [](Bytes& i) { i.erase(i.end() - 512, i.end()); }, "", "", "", 48195,
         "it is truncated or damaged"},
        {"length not a multiple of 512", [](Bytes& i) { i.push_back(0); }, "", "", "", 48195,
         "***ERROR*** Invalid image file!\r\n"},
        {"header checksum wrong", [](Bytes& i) { i[300] ^= 1; }, "", "", "", 48195,
         "***ERROR*** Invalid image file!\n"},
        {"machine not in the target list", nullptr, "", "KQ7B2 V1.0", "", 48195,
         "***ERROR*** The system is not supported by the image!\n"},
        {"one sector per cluster above 32680 sectors", [&](Bytes& i) { i = oneSectorClusters; }, "", "", "",
         48195, "are too small for a FAT16 volume"},
        {"image sectors of 1024 bytes",
         [](Bytes& i) { i[kImageBoot + 11] = 0; i[kImageBoot + 12] = 4; }, "", "", "", 48195,
         "must both use 512-byte sectors"},
        {"header sectors of 1024 bytes", [](Bytes& i) { i[14] = 0; i[15] = 4; reseal(i); }, "", "", "", 48195,
         "must both use 512-byte sectors"},
        {"target disk with 4096-byte sectors", nullptr, "", "", " bytes=4096", 48195,
         "only 512-byte sectors can be imaged"},
        {"boot sector not FAT16", [](Bytes& i) { i[kImageBoot + 13] = 3; }, "", "", "", 48195,
         "does not hold a FAT16 volume"},
        {"data larger than the stepped-down partition",
         [](Bytes& i) { i.resize(std::size_t{270000} * 512, 0); setBodySectors(i); }, "", "", geometry, 302400,
         "do not fit the target partition"},
        {"image MBR not active", [](Bytes& i) { i[512 + 446] = 0; }, "", "", "", 48195,
         "***ERROR*** invalid settings in image file MBR.\r\n"},
        {"image longer than the disk", nullptr, "", "", " heads=8 sectors=63", 504,
         "***ERROR*** FATAL: Target disk is too small.\r\n"},
        {"disk of at most 8400 sectors", nullptr, "", "", geometry, 8400,
         "***ERROR*** Target disk is too small.\n"},
        {"MBR code file missing", nullptr, "-icmbr:nothere.bin", "", "", 48195,
         "***ERROR*** Couldn't read MBR code block from file.\n"},
        {"boot code file too short", nullptr, "-icpbr:short.bin", "", "", 48195,
         "***ERROR*** Couldn't read BOOTSECTOR code block from file.\n"},
        {"image FAT before its boot sector", [](Bytes& i) { i[kImageBoot + 28] = 2; }, "", "", "", 48195,
         "its FAT is not where its boot sector puts it"},
        {"image FAT size that misses the root directory", [](Bytes& i) { i[kImageBoot + 22] += 3; }, "", "", "",
         48195, "its FAT is not where its boot sector puts it"},
        {"image with more FATs than it holds", [](Bytes& i) { i[kImageBoot + 16] = 3; }, "", "", "", 48195,
         "its FAT is not where its boot sector puts it"},
        {"image boot sector past the end of the image",
         [](Bytes& i) { i.resize(512 + 32 * 512); setBodySectors(i); }, "", "", "", 48195,
         "***ERROR*** Couldn't read IMG PBR!\n"},
    };
    testsupport::writeFileBytes(dir / "short.bin", Bytes(100, 0x90));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = valid;
        if (c.damage) c.damage(image);
        testsupport::writeFileBytes(dir / "FLASH.IMG", image);
        const fs::path target = dir / "target.disk";
        fillDisk(target, c.targetSectors);
        const fs::path table = writeDeviceTable(dir.path(), {{1, target.string() + c.device}});
        const std::string window = c.bios.empty() ? "/nonexistent" : biosWindowFile(dir.path(), c.bios).string();
        auto run = runDorvix(table, "-y -nor " + c.args, window);
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("Completed successfully"), std::string::npos) << run.output;
        EXPECT_TRUE(diskUntouched(target, c.targetSectors));
    }
}

// The BIOS test: a listed family is accepted, "-XB" skips the test, a headerless image is
// never tested.
TEST(RestoreRefusals, BiosTestAppliesToImagesWithHeaderUnlessSkipped) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) GTEST_SKIP();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, 81920, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "listed.img", true, "KQ3A3,KQ3A0");
    imageFromSourceDisk(source, dir / "other.img", true, "KQ7B2,KQ3A1");
    imageFromSourceDisk(source, dir / "plain.img", false);
    const fs::path window = biosWindowFile(dir.path(), "kq3a3 V1.10");
    struct Case {
        const char* image;
        const char* args;
        int exitCode;
    };
    const Case cases[] = {
        {"listed.img", "", 0}, {"other.img", "", 255}, {"other.img", "-XB", 0}, {"plain.img", "", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.image) + " " + c.args);
        const fs::path target = dir / "target.disk";
        makeBlankDisk(target, 48195);
        const fs::path table = writeDeviceTable(dir.path(), {{1, target.string()}});
        auto run = runDorvix(table, std::string("-y -nor ") + c.args + " " + c.image, window.string());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        if (c.exitCode == 0) {
            expectFsckClean(extractPartition(target, dir / "restored.vol"));
        }
    }
}

// Code files replace the boot code of the new MBR (and make the partition type 0x0E) and of the
// new boot sector; partition table and parameter block stay the restore's own.
TEST(RestoreRefusals, CodeFilesReplaceOnlyTheBootCode) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) GTEST_SKIP();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, 81920, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "FLASH.IMG", true);
    Bytes code = testsupport::patternBytes(512, 7);
    testsupport::writeFileBytes(dir / "code.bin", code);
    const fs::path target = dir / "target.disk";
    makeBlankDisk(target, 48195);
    const fs::path table = writeDeviceTable(dir.path(), {{1, target.string()}});
    auto run = runDorvix(table, "-y -nor -icmbr:code.bin -icpbr:code.bin");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    Bytes mbr = readRange(target, 0, 512);
    EXPECT_TRUE(std::equal(code.begin(), code.begin() + 446, mbr.begin()));
    EXPECT_EQ(mbr[446 + 4], 0x0E);
    EXPECT_EQ(mbr[510], 0x55);
    Bytes boot = readRange(target, 63 * 512, 512);
    EXPECT_TRUE(std::equal(code.begin(), code.begin() + 3, boot.begin()));
    EXPECT_TRUE(std::equal(code.begin() + 62, code.begin() + 510, boot.begin() + 62));
    EXPECT_EQ(boot[11], 0x00);
    EXPECT_EQ(boot[12], 0x02);
    EXPECT_EQ(boot[510], 0x55);
    expectFsckClean(extractPartition(target, dir / "restored.vol"));
}

}  // namespace

namespace {

// Offset of the root directory entry named `name11` in an image with header, or 0.
std::size_t rootEntryOffset(const Bytes& image, const std::string& name11) {
    const std::size_t boot = 512 + std::size_t{le32(image, 512 + 454)} * 512;
    const unsigned reserved = image[boot + 14] | (image[boot + 15] << 8);
    const unsigned fats = image[boot + 16];
    const unsigned rootEntries = image[boot + 17] | (image[boot + 18] << 8);
    const unsigned spf = image[boot + 22] | (image[boot + 23] << 8);
    const std::size_t root = (1 + std::size_t{le32(image, boot + 28)} + reserved + fats * spf) * 512;
    for (std::size_t at = root; at < root + rootEntries * 32u && at + 32 <= image.size(); at += 32) {
        if (std::equal(name11.begin(), name11.end(), image.begin() + static_cast<std::ptrdiff_t>(at))) return at;
    }
    return 0;
}

// Byte offset of cluster `cluster` of an image with header.
std::size_t clusterOffset(const Bytes& image, unsigned cluster) {
    const std::size_t boot = 512 + std::size_t{le32(image, 512 + 454)} * 512;
    const unsigned spc = image[boot + 13];
    const unsigned reserved = image[boot + 14] | (image[boot + 15] << 8);
    const unsigned fats = image[boot + 16];
    const unsigned rootEntries = image[boot + 17] | (image[boot + 18] << 8);
    const unsigned spf = image[boot + 22] | (image[boot + 23] << 8);
    const std::size_t data = 1 + std::size_t{le32(image, boot + 28)} + reserved + fats * spf + (rootEntries * 32 + 511) / 512;
    return (data + std::size_t{cluster - 2} * spc) * 512;
}

unsigned entryCluster(const Bytes& image, std::size_t entry) { return image[entry + 26] | (image[entry + 27] << 8); }

// Damaged FAT-aware images and plain dumps whose tree or chains do not hold together are
// refused while the target still holds its old volume: the whole disk is byte-identical
// afterwards, whatever part of the tree the damage is in.
TEST(RestoreRefusals, DamagedTreesAreRefusedWithTheTargetUntouched) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy")) GTEST_SKIP();
    TempDir dir;
    const fs::path source = dir / "source.disk";
    const std::string files = shellQuote((dir / "files").string());
    makeSourceDisk(source, 20000, 2,
                   "mkdir -p " + files + " && cd " + files +
                       " && head -c 30000 /dev/urandom > KERNEL.BIN && head -c 3000 /dev/urandom > NOTE.TXT"
                       " && head -c 500 /dev/urandom > 'A long file name.txt'"
                       " && mcopy -i \"$V\" KERNEL.BIN 'A long file name.txt' :: && mmd -i \"$V\" ::/WINDOWS ::/WINDOWS/SUB"
                       " && mcopy -i \"$V\" NOTE.TXT ::/WINDOWS/SUB");
    // A plain dump of a volume with a fragmented file: B.BIN is deleted between A and C, and
    // D.BIN fills its gap and goes on behind C.
    const fs::path fragmented = dir / "fragmented.disk";
    makeSourceDisk(fragmented, 20000, 2,
                   "mkdir -p " + files + " && cd " + files +
                       " && for f in A B C; do head -c 6000 /dev/urandom > $f.BIN; done"
                       " && head -c 20000 /dev/urandom > D.BIN"
                       " && mcopy -i \"$V\" A.BIN B.BIN C.BIN :: && mdel -i \"$V\" ::/B.BIN"
                       " && mcopy -i \"$V\" D.BIN ::");
    const fs::path target = dir / "target.disk";
    makeBlankDisk(target, 40320);
    const fs::path table = writeDeviceTable(dir.path(), {{1, source.string()}, {2, target.string() + " heads=16 sectors=63"}});
    auto capture = runDorvix(table, "-y -nor -imgcopy -td:1 GOOD.IMG");
    ASSERT_EQ(capture.exitCode, 0) << capture.output;
    const Bytes good = testsupport::readFileBytes(dir / "GOOD.IMG");
    const std::size_t kernel = rootEntryOffset(good, "KERNEL  BIN");
    const std::size_t windows = rootEntryOffset(good, "WINDOWS    ");
    const std::size_t longName = rootEntryOffset(good, "ALONGF~1TXT");
    ASSERT_NE(kernel, 0u);
    ASSERT_NE(windows, 0u);
    ASSERT_NE(longName, 0u);
    ASSERT_EQ(good[longName - 32 + 11], 0x0F);  // the long-name slot in front of its short entry
    const std::size_t windowsDir = clusterOffset(good, entryCluster(good, windows));
    const std::size_t sub = windowsDir + 2 * 32;
    const std::size_t clusterBytes = std::size_t{good[512 + 32 * 512 + 13]} * 512;

    // The target holds a healthy volume beforehand: the good image restored.
    testsupport::writeFileBytes(dir / "FLASH.IMG", good);
    ASSERT_EQ(runDorvix(table, "-y -nor -td:2 FLASH.IMG").exitCode, 0);
    expectFsckClean(extractPartition(target, dir / "before.vol"));
    const Bytes healthy = testsupport::readFileBytes(target);

    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"directory size beyond any directory", [&](Bytes& i) { put32(i, windows + 28, 0x7FFFFFF0); }},
        {"directory size past the image's data", [&](Bytes& i) { put32(i, windows + 28, 1 << 20); }},
        {"file size past the image's data", [&](Bytes& i) { put32(i, kernel + 28, 40u << 20); }},
        {"file size past its run", [&](Bytes& i) { put32(i, kernel + 28, 30000 + 2 * clusterBytes); }},
        {"empty file with a chain", [&](Bytes& i) { put32(i, kernel + 28, 0); }},
        {"first cluster beyond the partition", [&](Bytes& i) { i[kernel + 26] = 0xF0; i[kernel + 27] = 0xFF; }},
        {"first cluster 1", [&](Bytes& i) { i[kernel + 26] = 1; i[kernel + 27] = 0; }},
        {"file with a size but no cluster", [&](Bytes& i) { i[kernel + 26] = 0; i[kernel + 27] = 0; }},
        {"file turned into a directory without a cluster",
         [&](Bytes& i) { i[kernel + 11] = 0x10; i[kernel + 26] = 0; i[kernel + 27] = 0; put32(i, kernel + 28, 0); }},
        {"directory sharing the file's clusters",
         [&](Bytes& i) { std::copy_n(i.begin() + static_cast<std::ptrdiff_t>(kernel + 26), 2,
                                     i.begin() + static_cast<std::ptrdiff_t>(windows + 26)); }},
        {"two files sharing a first cluster",
         [&](Bytes& i) { std::copy_n(i.begin() + static_cast<std::ptrdiff_t>(kernel + 26), 2,
                                     i.begin() + static_cast<std::ptrdiff_t>(longName + 26)); }},
        {"long-name slot with a cluster", [&](Bytes& i) { i[longName - 32 + 26] = 5; }},
        {"\".\" naming another cluster", [&](Bytes& i) { i[windowsDir + 26] ^= 1; }},
        {"\"..\" naming a directory", [&](Bytes& i) { i[windowsDir + 32 + 26] = 3; }},
        {"end marker in the middle of a directory", [&](Bytes& i) { i[sub] = 0; }},
        {"image cut short with a resealed header",
         [&](Bytes& i) { i.erase(i.end() - 4 * 512, i.end()); setBodySectors(i); }},
        {"plain dump of a fragmented volume",
         [&](Bytes& i) { i = testsupport::readFileBytes(fragmented); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = good;
        c.damage(image);
        testsupport::writeFileBytes(dir / "FLASH.IMG", image);
        auto run = runDorvix(table, "-y -nor -td:2 FLASH.IMG");
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_NE(run.output.find("***ERROR*** "), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("Completed successfully"), std::string::npos) << run.output;
        EXPECT_TRUE(testsupport::readFileBytes(target) == healthy);
    }

    // An image whose root lost its label entry gets a boot sector naming no label.
    Bytes unlabelled = good;
    const std::size_t label = rootEntryOffset(good, "SOURCE     ");
    ASSERT_NE(label, 0u);
    unlabelled[label] = 0xE5;
    testsupport::writeFileBytes(dir / "FLASH.IMG", unlabelled);
    auto relabelled = runDorvix(table, "-y -nor -td:2 FLASH.IMG");
    EXPECT_EQ(relabelled.exitCode, 0) << relabelled.output;
    const fs::path noLabel = extractPartition(target, dir / "nolabel.vol");
    expectFsckClean(noLabel);
    const Bytes boot = readRange(noLabel, 43, 11);
    EXPECT_EQ(std::string(boot.begin(), boot.end()), "NO NAME    ");

    // The same plain dump without the fragmentation is restored.
    makeSourceDisk(fragmented, 20000, 2,
                   "mkdir -p " + files + " && cd " + files + " && mcopy -i \"$V\" A.BIN C.BIN D.BIN ::");
    testsupport::writeFileBytes(dir / "FLASH.IMG", testsupport::readFileBytes(fragmented));
    auto run = runDorvix(table, "-y -nor -td:2 FLASH.IMG");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    expectFsckClean(extractPartition(target, dir / "after.vol"));
}

// A disk another program holds (here: a lock on the image file, as O_EXCL is for a block
// device) is neither written nor captured, and nothing is left under the image's name.
TEST(RestoreRefusals, DiskHeldByAnotherProgramIsLeftAlone) {
    if (!testsupport::haveProgram("mkfs.fat") || !testsupport::haveProgram("mcopy") ||
        !testsupport::haveProgram("flock")) {
        GTEST_SKIP();
    }
    TempDir dir;
    const fs::path source = dir / "source.disk";
    makeSourceDisk(source, 81920, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "FLASH.IMG", true);
    const fs::path target = dir / "target.disk";
    fillDisk(target, 48195);
    const fs::path table = writeDeviceTable(dir.path(), {{1, target.string()}, {2, source.string()}});
    const Bytes sourceBefore = testsupport::readFileBytes(source);
    struct Case {
        const char* args;
        fs::path held;
        int exitCode;
    };
    const Case cases[] = {
        {"-y -nor FLASH.IMG", target, 255},
        {"-y -nor -writeflat FLASH.IMG", target, 3},
        {"-y -nor -imgcopy -td:2 CAPTURE.IMG", source, 255},
        {"-y -nor -flatcopy -td:2 CAPTURE.IMG", source, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        auto held = testsupport::runCommand("cd " + shellQuote(dir.path().string()) + " && flock " +
                                            shellQuote(c.held.string()) + " env DORVIX_DEVICES=" +
                                            shellQuote(table.string()) +
                                            " DORVIX_PAUSE_MS=0 DORVIX_SMBIOS_WINDOW=/nonexistent " +
                                            shellQuote(DORVIX_PROGRAM) + " " + c.args + " </dev/null");
        EXPECT_EQ(held.exitCode, c.exitCode) << held.output;
        EXPECT_EQ(held.output.find("Completed successfully"), std::string::npos) << held.output;
        EXPECT_TRUE(diskUntouched(target, 48195));
        EXPECT_TRUE(testsupport::readFileBytes(source) == sourceBefore);
        EXPECT_FALSE(fs::exists(dir / "CAPTURE.IMG"));
    }
}

}  // namespace
