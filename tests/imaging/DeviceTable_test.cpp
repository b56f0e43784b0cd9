#include "platform/DeviceTable.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using dorvix::DeviceTable;
using dorvix::DeviceTableEntry;

namespace {

struct Parsed {
    DeviceTable table;
    std::vector<std::string> complaints;
};

Parsed parse(const std::string& text) {
    Parsed p;
    p.table = DeviceTable::parse(text, "devices", [&](const std::string& line) { p.complaints.push_back(line); });
    return p;
}

TEST(DeviceTable, AcceptsEntriesWithOptionalDriverValues) {
    const auto p = parse(
        "# flash disks of the test rig\n"
        "DSK1: /tmp/disk1.img heads=16 sectors=32 total=40960 bytes=512\n"
        "\n"
        "   DSK2:\t/dev/loop7   # a loop device\r\n"
        "dsk12: /images/big.img total=4294967295\n"
        "DSK0: zero.img bytes=4096 sectors=0\n");
    EXPECT_TRUE(p.complaints.empty());
    ASSERT_EQ(p.table.entries().size(), 4u);
    const DeviceTableEntry* one = p.table.find(1);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->path, "/tmp/disk1.img");
    EXPECT_EQ(one->heads, 16u);
    EXPECT_EQ(one->sectors, 32u);
    EXPECT_EQ(one->total, 40960u);
    EXPECT_EQ(one->bytes, 512u);
    const DeviceTableEntry* two = p.table.find(2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(two->path, "/dev/loop7");
    EXPECT_FALSE(two->heads || two->sectors || two->total || two->bytes);
    EXPECT_EQ(p.table.find(12)->total, 0xFFFFFFFFu);
    EXPECT_EQ(p.table.find(0)->sectors, 0u);
    EXPECT_EQ(p.table.find(3), nullptr);
}

TEST(DeviceTable, MalformedLinesAreReportedAndLeaveTheirDeviceAbsent) {
    struct Case {
        const char* line;
        const char* complaint;  // end of the complaint line
    };
    const Case cases[] = {
        {"DSK1:", "no block device or image file named for DSK1:"},
        {"DSK1 disk.img", "found DSK1"},
        {"DSKX: disk.img", "found DSKX:"},
        {"DSK256: disk.img", "found DSK256:"},
        {"DSK: disk.img", "found DSK:"},
        {"disk.img DSK1:", "found disk.img"},
        {"DSK1: disk.img heads", "heads"},
        {"DSK1: disk.img cylinders=4", "cylinders=4"},
        {"DSK1: disk.img heads=16 heads=32", "setting given twice: heads=32"},
        {"DSK1: disk.img heads=-1", "heads=-1"},
        {"DSK1: disk.img sectors=0x3F", "sectors=0x3F"},
        {"DSK1: disk.img total=4294967296", "total=4294967296"},
        {"DSK1: disk.img bytes=0", "bytes=0"},
        {"DSK1: disk.img heads=", "heads="},
        {"DSK1: disk.img Heads=4", "Heads=4"},
    };
    for (const Case& c : cases) {
        const auto p = parse(std::string("DSK2: good.img\n") + c.line + "\n");
        ASSERT_EQ(p.complaints.size(), 1u) << c.line;
        EXPECT_TRUE(p.complaints[0].starts_with("dorvix: device table devices:2: ")) << p.complaints[0];
        EXPECT_TRUE(p.complaints[0].ends_with(c.complaint)) << p.complaints[0];
        EXPECT_EQ(p.table.find(1), nullptr) << c.line;
        EXPECT_NE(p.table.find(2), nullptr) << c.line;
    }
}

TEST(DeviceTable, DeviceNamedTwiceIsLeftOutAltogether) {
    const auto p = parse("DSK1: first.img\nDSK1: second.img\nDSK1: third.img\nDSK2: other.img\n");
    EXPECT_EQ(p.table.find(1), nullptr);
    EXPECT_NE(p.table.find(2), nullptr);
    EXPECT_EQ(p.complaints.size(), 2u);
}

TEST(DeviceTable, UnreadableFileGivesAnEmptyTable) {
    testsupport::TempDir dir;
    EXPECT_TRUE(DeviceTable::load(dir / "missing").entries().empty());
    EXPECT_TRUE(DeviceTable::load(dir.path()).entries().empty());  // a directory
    testsupport::writeFileText(dir / "devices", "DSK5: five.img heads=2\n");
    const DeviceTable table = DeviceTable::load(dir / "devices");
    ASSERT_NE(table.find(5), nullptr);
    EXPECT_EQ(table.find(5)->heads, 2u);
}

TEST(DeviceTable, PathComesFromTheEnvironment) {
    const char* saved = std::getenv("DORVIX_DEVICES");
    const std::string keep = saved ? saved : "";
    ::setenv("DORVIX_DEVICES", "/somewhere/devices", 1);
    EXPECT_EQ(dorvix::deviceTablePath(), "/somewhere/devices");
    ::unsetenv("DORVIX_DEVICES");
    EXPECT_EQ(dorvix::deviceTablePath(), "/etc/dorvix/devices");
    if (saved) {
        ::setenv("DORVIX_DEVICES", keep.c_str(), 1);
    }
}

}  // namespace

namespace {

// A staged /sys/block entry: name, then the files below it.
void stageDisk(const testsupport::TempDir& root, const std::string& name,
               const std::map<std::string, std::string>& files) {
    const auto dir = root / "block" / name;
    std::filesystem::create_directories(dir / "slaves");
    for (const auto& [file, text] : files) {
        std::filesystem::create_directories((dir / file).parent_path());
        testsupport::writeFileText(dir / file, text + "\n");
    }
}

TEST(DeviceTable, KernelNameOrder) {
    const std::vector<std::string> sorted = {"mmcblk0", "mmcblk1", "mmcblk10", "nvme0n1", "nvme0n2",
                                             "nvme1n1", "nvme10n1", "sda",     "sdb",     "sdz",
                                             "sdaa",    "sdab",    "vda"};
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        for (std::size_t j = 0; j < sorted.size(); ++j) {
            EXPECT_EQ(dorvix::kernelNameLess(sorted[i], sorted[j]), i < j) << sorted[i] << " " << sorted[j];
        }
    }
}

// Without a table file DSK1: to DSK9: are the machine's whole disks: fixed ones first, then
// removable ones, each in name order; virtual, optical and empty devices are left out.
TEST(DeviceTable, WholeDisksFromSysfs) {
    testsupport::TempDir root;
    stageDisk(root, "sdb", {{"removable", "1"}, {"size", "7987200"}});
    stageDisk(root, "sda", {{"removable", "0"}, {"size", "500118192"}});
    stageDisk(root, "nvme0n1", {{"removable", "0"}, {"size", "1000215216"}});
    stageDisk(root, "mmcblk0", {{"removable", "0"}, {"size", "30535680"}});
    stageDisk(root, "sdc", {{"removable", "1"}, {"size", "0"}});  // a card reader without a card
    stageDisk(root, "loop0", {{"removable", "0"}, {"size", "2048"}});
    stageDisk(root, "zram0", {{"removable", "0"}, {"size", "2048"}});
    stageDisk(root, "ram0", {{"removable", "0"}, {"size", "2048"}});
    stageDisk(root, "sr0", {{"removable", "1"}, {"size", "2048"}});
    stageDisk(root, "sdd", {{"removable", "1"}, {"size", "2048"}, {"device/type", "5"}});  // optical
    stageDisk(root, "dm-0", {{"removable", "0"}, {"size", "2048"}, {"slaves/sda2", "x"}});
    stageDisk(root, "sda1", {{"partition", "1"}, {"size", "2048"}});

    const DeviceTable table = DeviceTable::fromSysfs(root.path(), "/staged/dev");
    std::vector<std::string> paths;
    for (const auto& [n, entry] : table.entries()) {
        EXPECT_EQ(n, paths.size() + 1);
        EXPECT_FALSE(entry.heads || entry.sectors || entry.total || entry.bytes);
        paths.push_back(entry.path);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"/staged/dev/mmcblk0", "/staged/dev/nvme0n1", "/staged/dev/sda",
                                               "/staged/dev/sdb"}));
    EXPECT_NE(table.origin().find((root / "block").string()), std::string::npos);
}

TEST(DeviceTable, AtMostNineDisksAndNoneWithoutSysfs) {
    testsupport::TempDir root;
    for (char c = 'a'; c <= 'l'; ++c) {
        stageDisk(root, std::string("sd") + c, {{"removable", "0"}, {"size", "2048"}});
    }
    const DeviceTable table = DeviceTable::fromSysfs(root.path(), "/dev");
    ASSERT_EQ(table.entries().size(), 9u);
    EXPECT_EQ(table.find(9)->path, "/dev/sdi");
    EXPECT_TRUE(DeviceTable::fromSysfs(root / "absent", "/dev").entries().empty());
}

}  // namespace
