// Leaving "\Documents and Settings" out of a volume and putting it back, checked with
// fsck.fat and mtools and byte for byte against the disk before.

#include "fat/FolderExclusion.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "FatTestDisk.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"

namespace dorvix {
namespace {

using namespace testsupport;
using testing::TestVolume;

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// fsck.fat on the partition part of the disk image.
CommandResult fsckPartition(const std::filesystem::path& disk, const TempDir& dir) {
    const auto partition = dir / "partition.img";
    runCommand("dd if=" + shellQuote(disk.string()) + " of=" + shellQuote(partition.string()) +
               " bs=512 skip=32 status=none");
    return runCommand("fsck.fat -n " + shellQuote(partition.string()));
}

class Exclusion : public ::testing::Test {
protected:
    void SetUp() override {
        DiskShape shape;
        shape.sectorsPerCluster = 1;
        ASSERT_TRUE(makeFatDisk(disk, shape));
    }
    void mmd(const std::string& path) { ASSERT_TRUE(mtoolsOk(disk, 32, "mmd", shellQuote(path))); }
    void put(const std::string& path, std::size_t size) {
        ASSERT_TRUE(putFile(disk, 32, path, patternBytes(size, static_cast<std::uint32_t>(path.size()))));
    }
    void makeTree(const std::string& folder) {
        put("::/KEEP.TXT", 700);
        mmd("::/" + folder);
        mmd("::/" + folder + "/Default User");
        mmd("::/" + folder + "/Default User/Application Data");
        for (int i = 0; i < 20; ++i) {  // more entries than one 512-byte cluster holds
            put("::/" + folder + "/Default User/file number " + std::to_string(i) + ".dat", 600 + 100 * i);
        }
        put("::/" + folder + "/Default User/Application Data/settings.xml", 3000);
        mmd("::/Documents and Settings Old");
        put("::/Documents and Settings Old/kept.txt", 100);
        put("::/AFTER.TXT", 1200);
    }
    TempDir dir;
    std::filesystem::path disk = dir / "disk.img";
};

TEST_F(Exclusion, FolderIsGoneWhileExcludedAndBackByteForByteAfterwards) {
    makeTree("Documents and Settings");
    // Make the second FAT differ so that its rewriting shows.
    TestVolume probe;
    ASSERT_TRUE(probe.openAndMount(disk));
    const std::uint64_t secondFat = (std::uint64_t{probe.volume.fatStart} + probe.volume.fatSectors) * 512;
    const std::uint64_t fatBytes = std::uint64_t{probe.volume.fatSectors} * 512;
    std::vector<std::uint8_t> before = readFileBytes(disk);
    before[secondFat + fatBytes - 1] ^= 0x5A;
    writeFileBytes(disk, before);

    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    dorvix::Exclusion exclusion;
    excludeFolder(tv.volume, kExcludedFolder, exclusion);

    const std::vector<std::string> during = listTree(disk, 32);
    EXPECT_FALSE(contains(during, "::/Documents and Settings/"));
    EXPECT_FALSE(contains(during, "::/Documents and Settings/Default User/"));
    EXPECT_TRUE(contains(during, "::/Documents and Settings Old/"));
    EXPECT_TRUE(contains(during, "::/Documents and Settings Old/kept.txt"));
    EXPECT_TRUE(contains(during, "::/KEEP.TXT"));
    EXPECT_TRUE(contains(during, "::/AFTER.TXT"));
    const CommandResult fsck = fsckPartition(disk, dir);
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;  // a consistent volume: entries deleted, clusters free

    restoreExcludedFolder(tv.volume, exclusion);
    std::vector<std::uint8_t> after = readFileBytes(disk);
    ASSERT_EQ(after.size(), before.size());
    // Everything is as before except the second FAT, which now equals the first.
    std::vector<std::uint8_t> expected = before;
    std::copy_n(before.begin() + static_cast<std::ptrdiff_t>(secondFat - fatBytes), fatBytes,
                expected.begin() + static_cast<std::ptrdiff_t>(secondFat));
    EXPECT_TRUE(after == expected);
    EXPECT_TRUE(contains(listTree(disk, 32), "::/Documents and Settings/Default User/Application Data/settings.xml"));
    EXPECT_TRUE(exclusion.savedEntries.empty());
}

TEST_F(Exclusion, NameIsComparedWithoutCase) {
    makeTree("DOCUMENTS AND SETTINGS");
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    dorvix::Exclusion exclusion;
    excludeFolder(tv.volume, kExcludedFolder, exclusion);
    EXPECT_FALSE(contains(listTree(disk, 32), "::/DOCUMENTS AND SETTINGS/"));
    restoreExcludedFolder(tv.volume, exclusion);
    EXPECT_TRUE(contains(listTree(disk, 32), "::/DOCUMENTS AND SETTINGS/"));
}

TEST_F(Exclusion, VolumeWithoutTheFolderIsLeftAsItIs) {
    put("::/KEEP.TXT", 700);
    mmd("::/Documents and Settings Old");
    const std::vector<std::uint8_t> before = readFileBytes(disk);
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    dorvix::Exclusion exclusion;
    const unsigned writesBefore = tv.disk.writes;
    excludeFolder(tv.volume, kExcludedFolder, exclusion);
    EXPECT_EQ(tv.disk.writes, writesBefore);
    EXPECT_TRUE(exclusion.savedEntries.empty());
    restoreExcludedFolder(tv.volume, exclusion);
    EXPECT_TRUE(readFileBytes(disk) == before);
}

TEST_F(Exclusion, CyclicTreeBelowTheFolderEndsAndIsPutBack) {
    mmd("::/Documents and Settings");
    mmd("::/Documents and Settings/Loop");
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    // Make Loop's chain point back at the folder's own cluster, and the folder's chain at itself.
    std::uint16_t folder = 0;
    for (std::size_t i = 0; i < tv.volume.rootEntries; ++i) {
        if (tv.volume.rootDir[i * 32 + 11] == 0x10) {
            folder = static_cast<std::uint16_t>(tv.volume.rootDir[i * 32 + 26] | (tv.volume.rootDir[i * 32 + 27] << 8));
        }
    }
    ASSERT_GE(folder, 2);
    setFatEntry(tv.volume, folder, folder);
    setFatEntry(tv.volume, folder + 1, folder);
    ASSERT_EQ(writeFatsAndRoot(tv.volume), 0);
    const std::vector<std::uint8_t> before = readFileBytes(disk);

    dorvix::Exclusion exclusion;
    excludeFolder(tv.volume, kExcludedFolder, exclusion);
    restoreExcludedFolder(tv.volume, exclusion);
    EXPECT_TRUE(readFileBytes(disk) == before);
}

}  // namespace
}  // namespace dorvix
