#include "platform/StorageManager.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

const char kMountInfo[] =
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
    "40 22 8:17 / /media/flash rw,nosuid,nodev,relatime shared:30 - vfat /dev/sdb1 rw,fmask=0022,dmask=0022\n"
    "41 22 8:18 / /media/My\\040Stick ro,relatime - vfat /dev/sdb2 ro,codepage=437\n"
    "42 22 8:16 / /mnt/whole rw - vfat /dev/sdb rw\n"
    "malformed line\n"
    "43 22 0:5 / /dev rw,nosuid master:2 - devtmpfs udev rw,size=8000k\n";

TEST(ParseMountInfo, ReadsDeviceMountPointTypeAndOptions) {
    const auto records = dorvix::parseMountInfo(kMountInfo);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[1].major, 8u);
    EXPECT_EQ(records[1].minor, 17u);
    EXPECT_EQ(records[1].mountPoint, "/media/flash");
    EXPECT_EQ(records[1].mountOptions, "rw,nosuid,nodev,relatime");
    EXPECT_EQ(records[1].fsType, "vfat");
    EXPECT_EQ(records[1].source, "/dev/sdb1");
    EXPECT_EQ(records[1].superOptions, "rw,fmask=0022,dmask=0022");
    EXPECT_EQ(records[2].mountPoint, "/media/My Stick");  // \040 is a blank
    EXPECT_EQ(records[4].fsType, "devtmpfs");
}

TEST(PartitionOfDisk, AsksSysfsForTheWholeDisk) {
    testsupport::TempDir root;
    // sysfs: /sys/dev/block/M:m links to the block node; partitions sit below their disk.
    const auto disks = root / "devices";
    std::filesystem::create_directories(disks / "sdb" / "sdb1");
    std::filesystem::create_directories(disks / "sdb" / "sdb2");
    std::filesystem::create_directories(disks / "sda" / "sda2");
    testsupport::writeFileText(disks / "sdb" / "dev", "8:16\n");
    testsupport::writeFileText(disks / "sdb" / "sdb1" / "partition", "1\n");
    testsupport::writeFileText(disks / "sdb" / "sdb2" / "partition", "2\n");
    testsupport::writeFileText(disks / "sda" / "dev", "8:0\n");
    testsupport::writeFileText(disks / "sda" / "sda2" / "partition", "2\n");
    std::filesystem::create_directories(root / "dev" / "block");
    std::filesystem::create_directory_symlink(disks / "sdb" / "sdb1", root / "dev" / "block" / "8:17");
    std::filesystem::create_directory_symlink(disks / "sdb" / "sdb2", root / "dev" / "block" / "8:18");
    std::filesystem::create_directory_symlink(disks / "sda" / "sda2", root / "dev" / "block" / "8:2");

    struct Case {
        unsigned major, minor;
        int partition;
    };
    const Case cases[] = {{8, 16, 0}, {8, 17, 1}, {8, 18, 2}, {8, 2, -1}, {0, 5, -1}, {8, 99, -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(dorvix::partitionOfDisk(root.path(), 8, 16, c.major, c.minor), c.partition)
            << c.major << ":" << c.minor;
    }
}

TEST(FirstPartitionOfDisk, TakesTheLowestNumberSysfsLists) {
    testsupport::TempDir root;
    const auto loop = root / "devices" / "loop3";
    for (const auto& [name, number, dev] : {std::tuple{"loop3p2", "2", "259:1"}, std::tuple{"loop3p1", "1", "259:7"},
                                            std::tuple{"loop3p5", "5", "259:2"}}) {
        std::filesystem::create_directories(loop / name);
        testsupport::writeFileText(loop / name / "partition", std::string(number) + "\n");
        testsupport::writeFileText(loop / name / "dev", std::string(dev) + "\n");
    }
    std::filesystem::create_directories(loop / "queue");  // not a partition
    std::filesystem::create_directories(root / "dev" / "block");
    std::filesystem::create_directory_symlink(loop, root / "dev" / "block" / "7:3");
    const auto first = dorvix::firstPartitionOfDisk(root.path(), 7, 3);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->number, 1);
    EXPECT_EQ(first->major, 259u);
    EXPECT_EQ(first->minor, 7u);
    EXPECT_FALSE(dorvix::firstPartitionOfDisk(root.path(), 7, 4));  // no such disk
}

// What goes back after a run: everything when the disk is as it was, else its first partition.
TEST(MountsToRestore, AllWhenUnchangedTheLowestPartitionWhenWritten) {
    const auto records = dorvix::parseMountInfo(
        "40 22 8:18 / /media/second rw - ext4 /dev/sdb2 rw\n"
        "41 22 8:17 / /media/flash rw - vfat /dev/sdb1 rw\n"
        "42 22 8:17 /sub /srv/bound rw - vfat /dev/sdb1 rw\n"
        "43 22 8:19 / /media/third rw - ext4 /dev/sdb3 rw\n");
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2].root, "/sub");
    const std::vector<dorvix::DismountedMount> held = {
        {2, records[0]}, {1, records[1]}, {1, records[2]}, {3, records[3]}};
    const auto points = [](const std::vector<dorvix::DismountedMount>& mounts) {
        std::vector<std::string> out;
        for (const auto& m : mounts) out.push_back(m.record.mountPoint);
        return out;
    };
    EXPECT_EQ(points(dorvix::mountsToRestore(held, false)),
              (std::vector<std::string>{"/media/second", "/media/flash", "/srv/bound", "/media/third"}));
    EXPECT_EQ(points(dorvix::mountsToRestore(held, true)), (std::vector<std::string>{"/media/flash", "/srv/bound"}));
    EXPECT_TRUE(dorvix::mountsToRestore({}, true).empty());
}

TEST(StorageManager, ImageFilesHaveNothingToDismountOrMount) {
    testsupport::TempDir dir;
    testsupport::writeFileText(dir / "disk.img", std::string(4096, '\0'));
    // Point the manager at a mount table that would name the file's mounts if it looked.
    testsupport::writeFileText(dir / "mountinfo", kMountInfo);
    dorvix::StorageManager manager(dir / "mountinfo", dir.path());
    EXPECT_EQ(manager.dismount((dir / "disk.img").string()), 0u);
    EXPECT_EQ(manager.mountFirst((dir / "disk.img").string(), true), 0u);
    EXPECT_NE(manager.dismount((dir / "absent.img").string()), 0u);
}

}  // namespace
