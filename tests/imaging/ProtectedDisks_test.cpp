// The disks of the running system, traced through staged sysfs trees and mount tables: the
// fixtures build just the sysfs links the tracing follows (dev/block/M:m, partition, slaves,
// loop/backing_file, fs/btrfs/<fsid>/devices).

#include "platform/ProtectedDisks.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

namespace fs = std::filesystem;
using dorvix::DeviceNumber;

class StagedSystem {
public:
    StagedSystem() {
        roots.sysfs = dir / "sys";
        roots.mountInfo = dir / "mountinfo";
        roots.swaps = dir / "swaps";
        roots.protectedPaths = {"/"};
        fs::create_directories(roots.sysfs / "dev" / "block");
        testsupport::writeFileText(roots.swaps, "Filename Type Size Used Priority\n");
    }

    // A block device `name` with number M:m; a partition names its disk.
    void device(const std::string& name, DeviceNumber d, const std::string& disk = "") {
        const fs::path node = disk.empty() ? roots.sysfs / "devices" / name : path(disk) / name;
        fs::create_directories(node / "slaves");
        fs::create_directories(node / "holders");
        testsupport::writeFileText(node / "dev", text(d) + "\n");
        if (!disk.empty()) testsupport::writeFileText(node / "partition", "1\n");
        fs::create_directory_symlink(node, roots.sysfs / "dev" / "block" / text(d));
        m_paths[name] = node;
    }
    void slave(const std::string& upper, const std::string& lower) {
        fs::create_directory_symlink(path(lower), path(upper) / "slaves" / lower);
    }
    void loop(const std::string& name, const std::string& backing) {
        fs::create_directories(path(name) / "loop");
        testsupport::writeFileText(path(name) / "loop" / "backing_file", backing + "\n");
        fs::create_directories(roots.sysfs / "block");
        fs::create_directory_symlink(path(name), roots.sysfs / "block" / name);
    }
    void mounts(const std::string& text) { testsupport::writeFileText(roots.mountInfo, text); }
    // A device node with the number `d` (needs root), for mounts by device node and targets.
    std::string node(const std::string& name, DeviceNumber d) {
        const fs::path p = dir / ("node-" + name);
        if (::mknod(p.c_str(), S_IFBLK | 0600, makedev(d.first, d.second)) != 0) return {};
        return p.string();
    }
    fs::path path(const std::string& name) { return m_paths.at(name); }
    static std::string text(DeviceNumber d) { return std::to_string(d.first) + ":" + std::to_string(d.second); }

    testsupport::TempDir dir;
    dorvix::SystemRoots roots;

private:
    std::map<std::string, fs::path> m_paths;
};

std::string mountLine(const std::string& dev, const std::string& point, const std::string& type,
                      const std::string& source, const std::string& options = "rw") {
    return "30 1 " + dev + " / " + point + " rw - " + type + " " + source + " " + options + "\n";
}

std::set<DeviceNumber> numbers(const dorvix::ProtectedSet& set) {
    std::set<DeviceNumber> out;
    for (const auto& [d, reason] : set.devices) out.insert(d);
    return out;
}

struct TraceCase {
    const char* name;
    std::function<void(StagedSystem&)> stage;
    std::set<DeviceNumber> expected;
    bool unknown;
};

TEST(ProtectedDisks, TracesTheRootFileSystemToItsDisks) {
    const TraceCase cases[] = {
        {"a partition and its disk",
         [](StagedSystem& s) {
             s.device("sda", {8, 0});
             s.device("sda2", {8, 2}, "sda");
             s.mounts(mountLine("8:2", "/", "ext4", "/dev/sda2"));
         },
         {{8, 2}, {8, 0}}, false},
        {"LVM on LUKS on a partition (device-mapper stack)",
         [](StagedSystem& s) {
             s.device("sdb", {8, 16});
             s.device("sdb3", {8, 19}, "sdb");
             s.device("dm-0", {253, 0});
             s.device("dm-1", {253, 1});
             s.slave("dm-1", "dm-0");
             s.slave("dm-0", "sdb3");
             s.mounts(mountLine("253:1", "/", "xfs", "/dev/mapper/vg-root"));
         },
         {{253, 1}, {253, 0}, {8, 19}, {8, 16}}, false},
        {"md mirror over two disks",
         [](StagedSystem& s) {
             s.device("sda", {8, 0});
             s.device("sda1", {8, 1}, "sda");
             s.device("sdb", {8, 16});
             s.device("sdb1", {8, 17}, "sdb");
             s.device("md0", {9, 0});
             s.slave("md0", "sda1");
             s.slave("md0", "sdb1");
             s.mounts(mountLine("9:0", "/", "ext4", "/dev/md0"));
         },
         {{9, 0}, {8, 1}, {8, 0}, {8, 17}, {8, 16}}, false},
        {"a loop device whose file lies on another disk",
         [](StagedSystem& s) {
             s.device("loop0", {7, 0});
             s.loop("loop0", "/srv/images/root.img");
             s.device("sdc", {8, 32});
             s.device("sdc1", {8, 33}, "sdc");
             s.mounts(mountLine("7:0", "/", "ext4", "/dev/loop0") + mountLine("8:33", "/srv", "ext4", "/dev/sdc1"));
         },
         {{7, 0}, {8, 33}, {8, 32}}, false},
        {"overlay: every layer's disk",
         [](StagedSystem& s) {
             s.device("sda", {8, 0});
             s.device("sda2", {8, 2}, "sda");
             s.device("sdb", {8, 16});
             s.device("sdb1", {8, 17}, "sdb");
             s.mounts(mountLine("8:2", "/media/lower", "ext4", "/dev/sda2") +
                      mountLine("8:17", "/media/upper", "ext4", "/dev/sdb1") +
                      mountLine("0:40", "/", "overlay", "overlay",
                                "rw,lowerdir=/media/lower/a:/media/lower/b,upperdir=/media/upper/u,workdir=/media/upper/w"));
         },
         {{8, 2}, {8, 0}, {8, 17}, {8, 16}}, false},
        {"slaves that lead round in a circle end",
         [](StagedSystem& s) {
             s.device("dm-2", {253, 2});
             s.device("dm-3", {253, 3});
             s.slave("dm-2", "dm-3");
             s.slave("dm-3", "dm-2");
             s.mounts(mountLine("253:2", "/", "ext4", "/dev/dm-2"));
         },
         {{253, 2}, {253, 3}}, false},
        {"a file system whose source is no device",
         [](StagedSystem& s) { s.mounts(mountLine("0:50", "/", "fuse.rootfs", "rootfs-daemon")); }, {}, true},
        {"a device sysfs does not know",
         [](StagedSystem& s) { s.mounts(mountLine("8:99", "/", "ext4", "/dev/sdx9")); }, {{8, 99}}, true},
        {"a root in memory keeps no disk",
         [](StagedSystem& s) { s.mounts(mountLine("0:20", "/", "tmpfs", "tmpfs")); }, {}, false},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(c.name);
        StagedSystem s;
        c.stage(s);
        const auto set = dorvix::protectedDevices(s.roots, "");
        EXPECT_EQ(numbers(set), c.expected);
        EXPECT_EQ(set.unknown.has_value(), c.unknown) << set.unknown.value_or("");
    }
}

// btrfs mounts show an anonymous device number: its members come from the node it was mounted
// from and from /sys/fs/btrfs/<fsid>/devices.
TEST(ProtectedDisks, BtrfsProtectsEveryMember) {
    StagedSystem s;
    s.device("nvme0n1", {259, 0});
    s.device("nvme0n1p2", {259, 2}, "nvme0n1");
    s.device("sdd", {8, 48});
    const std::string source = s.node("nvme0n1p2", {259, 2});
    if (source.empty()) GTEST_SKIP() << "needs root to make a device node";
    const fs::path members = s.roots.sysfs / "fs" / "btrfs" / "5c1e-fsid" / "devices";
    fs::create_directories(members);
    fs::create_directory_symlink(s.path("nvme0n1p2"), members / "nvme0n1p2");
    fs::create_directory_symlink(s.path("sdd"), members / "sdd");
    s.mounts(mountLine("0:33", "/", "btrfs", source, "rw,subvol=/root"));
    const auto set = dorvix::protectedDevices(s.roots, "");
    EXPECT_EQ(numbers(set), (std::set<DeviceNumber>{{259, 2}, {259, 0}, {8, 48}}));
    EXPECT_FALSE(set.unknown);
}

TEST(ProtectedDisks, SwapAndTheImageFileProtectTheirDisks) {
    StagedSystem s;
    s.device("sda", {8, 0});
    s.device("sda2", {8, 2}, "sda");
    s.device("sdb", {8, 16});
    s.device("sdb1", {8, 17}, "sdb");
    s.device("sdc", {8, 32});
    s.device("sdc1", {8, 33}, "sdc");
    s.mounts(mountLine("8:2", "/", "ext4", "/dev/sda2") + mountLine("8:17", "/swapdisk", "ext4", "/dev/sdb1") +
             mountLine("8:33", "/media/stick", "vfat", "/dev/sdc1"));
    testsupport::writeFileText(s.roots.swaps,
                               "Filename Type Size Used Priority\n/swapdisk/swap\\040file file 1024 0 -2\n");
    const auto set = dorvix::protectedDevices(s.roots, "/media/stick/FLASH.IMG");
    EXPECT_EQ(numbers(set), (std::set<DeviceNumber>{{8, 2}, {8, 0}, {8, 17}, {8, 16}, {8, 33}, {8, 32}}));
    ASSERT_NE(set.reasonFor({8, 32}), nullptr);
    EXPECT_EQ(*set.reasonFor({8, 32}), "the image file /media/stick/FLASH.IMG is read from it");
    EXPECT_EQ(*set.reasonFor({8, 16}), "active swap /swapdisk/swap file is on it");
}

// What a write reaches decides: a whole disk under the system is refused, another disk or a
// spare partition of the system disk is not; device-mapper targets are judged by their slaves.
TEST(ProtectedDisks, WriteTargets) {
    StagedSystem s;
    s.device("sda", {8, 0});
    s.device("sda2", {8, 2}, "sda");
    s.device("sda3", {8, 3}, "sda");
    s.device("sdb", {8, 16});
    s.device("dm-5", {253, 5});
    s.slave("dm-5", "sda2");
    s.mounts(mountLine("8:2", "/", "ext4", "/dev/sda2"));
    struct Target {
        const char* name;
        DeviceNumber d;
        bool refused;
    };
    for (const Target& t : {Target{"sda", {8, 0}, true}, Target{"sdb", {8, 16}, false},
                            Target{"sda3", {8, 3}, false}, Target{"dm-5", {253, 5}, true}}) {
        SCOPED_TRACE(t.name);
        const std::string node = s.node(t.name, t.d);
        if (node.empty()) GTEST_SKIP() << "needs root to make a device node";
        const auto p = dorvix::checkWriteTarget(s.roots, node, "");
        EXPECT_EQ(p.refused(), t.refused) << p.reason;
        if (t.refused) {
            EXPECT_NE(p.reason.find("/ is on it"), std::string::npos) << p.reason;
        }
    }
    // Where the system cannot be traced, no disk is written.
    s.mounts(mountLine("0:50", "/", "fuse.rootfs", "rootfs-daemon"));
    const auto unknown = dorvix::checkWriteTarget(s.roots, s.dir.path().string() + "/node-sdb", "");
    EXPECT_NE(unknown.reason.find("cannot be told"), std::string::npos) << unknown.reason;
}

TEST(ProtectedDisks, ImageFileDiskBehindAMountedLoopDevice) {
    StagedSystem s;
    testsupport::writeFileText(s.dir / "disk.img", std::string(4096, '\0'));
    s.device("loop3", {7, 3});
    s.device("loop3p1", {259, 9}, "loop3");
    s.loop("loop3", (s.dir / "disk.img").string());
    s.mounts(mountLine("8:2", "/", "ext4", "/dev/sda2"));
    EXPECT_FALSE(dorvix::checkWriteTarget(s.roots, (s.dir / "disk.img").string(), "").refused());
    s.mounts(mountLine("8:2", "/", "ext4", "/dev/sda2") + mountLine("259:9", "/mnt", "vfat", "/dev/loop3p1"));
    const auto mounted = dorvix::checkWriteTarget(s.roots, (s.dir / "disk.img").string(), "");
    EXPECT_NE(mounted.reason.find("/dev/loop3"), std::string::npos) << mounted.reason;
    s.mounts(mountLine("8:2", "/", "ext4", "/dev/sda2"));
    fs::create_directories(s.path("loop3p1") / "holders" / "dm-7");  // held by device-mapper
    EXPECT_TRUE(dorvix::checkWriteTarget(s.roots, (s.dir / "disk.img").string(), "").refused());
}

}  // namespace
