// Finding the disks on a made-up machine: USB disks of SCSI type 0 are formattable; disks on
// other buses, USB devices of another type and every disk that holds the running system (its
// mount points, swap, stacked devices, protected paths) are not, with their reasons. And the walk
// to a disk's SCSI device and host, which removes and rescans only that disk.

#include "usb/UsbDrives.h"

#include "UsbFakeSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;
using pellorin::testing_support::FakeSystem;
using testsupport::readFileBytes;

std::string readText(const fs::path& file) {
    const auto bytes = readFileBytes(file);
    return {bytes.begin(), bytes.end()};
}

struct DriveCase {
    const char* name;
    bool usb;
    bool system;
    const char* reason;  // empty: formattable
    std::size_t mounts;
};

TEST(UsbDrives, ListsEveryDiskWithItsBusAndGuards) {
    using testing_support::kNvmeBusPath;
    using testing_support::kSataBusPath;
    using testing_support::kUsbBusPath;
    using testing_support::kUsbBusPath2;
    FakeSystem sys;
    sys.AddDisk({"sda", "250:0", kSataBusPath, "0", 1000000, {"sda1", "sda2", "sda3"}});
    sys.AddDisk({"nvme0n1", "251:0", kNvmeBusPath, "", 1000000, {"nvme0n1p1"}});
    sys.AddDisk({"sdb", "250:16", kUsbBusPath, "0", 30000000, {"sdb1"}, "SanCo", "Cruzer Blade"});
    sys.AddDisk({"sdc", "250:32", kUsbBusPath2, "5", 0, {}});                    // card reader, type 5
    sys.AddDisk({"sdd", "250:48", "pci0000:00/usb3/3-1/3-1:1.0/host8/target8:0:0/8:0:0:0", "0", 2000000, {"sdd1"}});
    sys.AddDisk({"sde", "250:64", "pci0000:00/usb3/3-2/3-2:1.0/host9/target9:0:0/9:0:0:0", "0", 2000000, {"sde1"}});
    sys.AddDisk({"sdf", "250:80", "pci0000:00/usb3/3-3/3-3:1.0/host10/target10:0:0/10:0:0:0", "0", 2000000, {"sdf1"}});
    sys.AddDisk({"sdg", "250:96", "pci0000:00/usb3/3-4/3-4:1.0/host11/target11:0:0/11:0:0:0", "0", 0, {}});
    sys.AddDisk({"loop0", "7:0", "virtual/loop0", "", 0, {}});
    sys.AddStacked("dm-0", "252:0", {"sda2"});
    // / on a stacked device over sda2; /boot on sda1; a stick's partition mounted elsewhere.
    sys.AddMount("252:0", "/");
    sys.AddMount("250:1", "/boot");
    sys.AddMount("250:17", "/media/user/STICK\\040ONE");
    sys.AddMount("0:45", "/home", sys.Dev().string() + "/sdd1");  // anonymous number: found by source
    sys.AddSwap(sys.Dev().string() + "/sde1");
    // The payload lives on sdf: its folder is a mount of sdf1.
    sys.AddMount("250:81", fs::canonical(sys.Root()).string());
    sys.protectedPaths.push_back(sys.Root());

    const std::vector<DriveInfo> drives = ListDrives(sys.Views());
    std::map<std::string, DriveInfo> byName;
    for (const auto& d : drives) byName[d.name] = d;
    EXPECT_FALSE(byName.contains("loop0")) << "unused loop devices are not listed";

    const DriveCase cases[] = {
        {"sda", false, true, "holds the running system", 2},  // / through dm-0, and /boot
        {"nvme0n1", false, false, "not on the USB bus", 0},
        {"sdb", true, false, "", 1},
        {"sdc", false, false, "a USB device that is not a disk (SCSI type 5)", 0},
        {"sdd", true, true, "holds the running system", 1},
        {"sde", true, true, "holds the running system", 0},
        {"sdf", true, true, "holds the running system", 1},
        {"sdg", true, false, "no medium", 0},
    };
    for (const DriveCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(byName.contains(c.name));
        const DriveInfo& d = byName[c.name];
        EXPECT_EQ(d.usb, c.usb);
        EXPECT_EQ(d.systemDisk, c.system);
        EXPECT_EQ(d.reason, c.reason);
        EXPECT_EQ(d.formattable, std::string(c.reason).empty());
        EXPECT_EQ(d.mounts.size(), c.mounts);
    }
    const DriveInfo& stick = byName["sdb"];
    EXPECT_EQ(stick.devicePath, (sys.Dev() / "sdb").string());
    EXPECT_EQ(stick.model, "SanCo Cruzer Blade");
    EXPECT_EQ(stick.sizeBytes, 30000000ULL * 512);
    ASSERT_EQ(stick.mounts.size(), 1U);
    EXPECT_EQ(stick.mounts[0].device, "sdb1");
    EXPECT_EQ(stick.mounts[0].mountPoint, "/media/user/STICK ONE");

    // Only whole disks of the device folder are found by path.
    EXPECT_TRUE(FindDrive(sys.Views(), (sys.Dev() / "sdb").string()));
    EXPECT_TRUE(FindDrive(sys.Views(), "sdb"));
    EXPECT_FALSE(FindDrive(sys.Views(), (sys.Dev() / "sdb1").string()));
    EXPECT_FALSE(FindDrive(sys.Views(), "/elsewhere/sdb"));
    EXPECT_FALSE(FindDrive(sys.Views(), (sys.Dev() / "sdz").string()));
    // A persistent name links to the device node of the disk, or of a partition.
    fs::create_directories(sys.Root() / "by-id");
    sys.MakeImage("sdb", 512);
    sys.MakeImage("sdb1", 512);
    fs::create_symlink(sys.Dev() / "sdb", sys.Root() / "by-id/usb-SanCo_Cruzer");
    fs::create_symlink(sys.Dev() / "sdb1", sys.Root() / "by-id/usb-SanCo_Cruzer-part1");
    const auto linked = FindDrive(sys.Views(), (sys.Root() / "by-id/usb-SanCo_Cruzer").string());
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->devicePath, (sys.Dev() / "sdb").string());
    EXPECT_FALSE(FindDrive(sys.Views(), (sys.Root() / "by-id/usb-SanCo_Cruzer-part1").string()));
}

// The payload's disk is found from the mount that holds its folder, through every layer a
// machine stacks: each case stages one such machine. `sdb` (the stick the payload is on) must
// never be offered (unless the payload is on no local disk at all); `sdc` (another stick) stays
// formattable unless the guard cannot tell.
struct StackCase {
    const char* name;
    std::function<void(FakeSystem&, const std::string& payload)> stage;
    const char* sdbReason;
    bool sdcFormattable;
};

TEST(UsbDrives, TracesThePayloadThroughEveryLayerToItsDisk) {
    using testing_support::kUsbBusPath;
    using testing_support::kUsbBusPath2;
    using testsupport::writeFileText;
    const auto btrfsMembers = [](FakeSystem& m, const std::vector<std::string>& members) {
        for (const std::string& member : members)
            fs::create_directories(m.Sys() / "fs/btrfs/6d1f7b2a-0c44-4d5e-9a61-1f2e3d4c5b6a/devices" / member);
    };
    const auto mapper = [](FakeSystem& m, const std::string& dm, const std::string& name, bool link) {
        fs::create_directories(m.Sys() / "block" / dm / "dm");
        writeFileText(m.Sys() / "block" / dm / "dm/name", name + "\n");
        if (link) {
            fs::create_directories(m.Dev() / "mapper");
            fs::create_symlink("../" + dm, m.Dev() / "mapper" / name);
            m.MakeImage(dm, 512);
        }
    };
    const StackCase cases[] = {
        {"btrfs on the stick (anonymous device number)",
         [&](FakeSystem& m, const std::string& p) {
             btrfsMembers(m, {"sdb1"});
             m.AddMountLine("40 1 0:52 / " + p + " rw - btrfs " + m.Dev().string() + "/sdb1 rw,subvol=/");
         },
         "holds the running system", true},
        {"btrfs over two sticks, mounted from the other member",
         [&](FakeSystem& m, const std::string& p) {
             btrfsMembers(m, {"sdd1", "sdb1"});
             m.AddMountLine("40 1 0:52 /data " + p + " rw - btrfs " + m.Dev().string() + "/sdd1 rw");
         },
         "holds the running system", true},
        {"btrfs whose members are not listed",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 0:52 / " + p + " rw - btrfs " + m.Dev().string() + "/sdb1 rw");
         },
         "may hold the running system", false},
        {"overlay whose upper layer is on the stick",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 250:17 / /media/stick rw - ext4 " + m.Dev().string() + "/sdb1 rw");
             m.AddMountLine("41 1 0:60 / " + p + " rw - overlay overlay rw,lowerdir=/usr/lib/a:/usr/lib/b,upperdir=/media/stick/up,workdir=/media/stick/work");
         },
         "holds the running system", true},
        {"root of btrfs on LUKS on the stick, through the mapper link",
         [&](FakeSystem& m, const std::string&) {
             m.AddStacked("dm-0", "252:0", {"sdb2"});
             mapper(m, "dm-0", "luks-5a1e", true);
             btrfsMembers(m, {"dm-0"});
             m.AddMountLine("40 1 0:33 /@ / rw - btrfs " + m.Dev().string() + "/mapper/luks-5a1e rw");
         },
         "holds the running system", true},
        {"root of btrfs on LUKS on the stick, by the mapper name alone",
         [&](FakeSystem& m, const std::string&) {
             m.AddStacked("dm-0", "252:0", {"sdb2"});
             mapper(m, "dm-0", "luks-5a1e", false);
             btrfsMembers(m, {"dm-0"});
             m.AddMountLine("40 1 0:33 /@ / rw - btrfs " + m.Dev().string() + "/mapper/luks-5a1e rw");
         },
         "holds the running system", true},
        {"bind mount of a folder of the stick",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 250:17 /recovery " + p + " rw - vfat " + m.Dev().string() + "/sdb1 rw");
         },
         "holds the running system", true},
        {"loop device whose image lives on the stick",
         [&](FakeSystem& m, const std::string& p) {
             m.AddDisk({"loop0", "7:0", "virtual/block/loop0", "", 20000, {}});
             fs::create_directories(m.Sys() / "block/loop0/loop");
             writeFileText(m.Sys() / "block/loop0/loop/backing_file", "/media/stick/disk.img\n");
             m.AddMountLine("40 1 250:17 / /media/stick rw - vfat " + m.Dev().string() + "/sdb1 rw");
             m.AddMountLine("41 1 7:0 / " + p + " rw - ext4 /dev/loop0 rw");
         },
         "holds the running system", true},
        {"a network file system holds the payload",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 0:70 / " + p + " rw - fuse.sshfs user@server:/srv rw");
         },
         "may hold the running system", false},
        {"a folder of the stick under an encrypting FUSE file system",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 250:17 / /media/stick rw - vfat " + m.Dev().string() + "/sdb1 rw");
             m.AddMountLine("41 1 0:71 / " + p + " rw - fuse.gocryptfs /media/stick/cipher rw");
         },
         "holds the running system", true},
        {"an NFS share from another machine holds nothing local",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 0:72 / " + p + " rw - nfs4 fileserver:/export/recovery rw");
         },
         "", true},
        {"an NFS share this machine serves itself may hold any of its folders",
         [&](FakeSystem& m, const std::string& p) {
             m.AddMountLine("40 1 0:72 / " + p + " rw - nfs4 127.0.0.1:/media/stick rw");
         },
         "may hold the running system", false},
        {"live root: an overlay whose lower layer is on a medium mounted under another name",
         [&](FakeSystem& m, const std::string&) {
             // The layer's folder exists; its path runs through no mount point but the overlay's
             // own, and only its device numbers lead to the medium's mount.
             const fs::path layer = fs::canonical(m.Root()) / "medium/live/rootfs";
             fs::create_directories(layer);
             struct stat st {};
             ASSERT_EQ(::stat(layer.c_str(), &st), 0);
             const std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
             m.AddMountLine("40 1 0:99 / / rw - overlay overlay rw,lowerdir=" + layer.string() +
                            ",upperdir=/run/live/overlay/rw,workdir=/run/live/overlay/work");
             m.AddMountLine("41 1 0:98 / /run rw - tmpfs tmpfs rw");
             m.AddMountLine("42 41 " + number + " / /run/live/medium ro - iso9660 " + m.Dev().string() + "/sdb1 ro");
         },
         "holds the running system", true},
        {"device-mapper slaves that run in a circle",
         [&](FakeSystem& m, const std::string&) {
             m.AddStacked("dm-1", "252:1", {"dm-2"});
             m.AddStacked("dm-2", "252:2", {"dm-1", "sdb1"});
             m.AddMount("252:1", "/");
         },
         "holds the running system", true},
    };
    for (const StackCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSystem sys;
        sys.AddDisk({"sdb", "250:16", kUsbBusPath, "0", 30000, {"sdb1", "sdb2"}});
        sys.AddDisk({"sdc", "250:32", kUsbBusPath2, "0", 30000, {"sdc1"}});
        sys.AddDisk({"sdd", "250:48", "pci0000:00/usb3/3-1/3-1:1.0/host8/target8:0:0/8:0:0:0", "0", 30000, {"sdd1"}});
        const fs::path payload = fs::canonical(sys.Root()) / "payload";
        fs::create_directories(payload);
        testsupport::writeFileText(payload / "FLASH.IMG", "image");
        sys.protectedPaths = {payload, payload / "FLASH.IMG"};
        c.stage(sys, payload.string());

        std::map<std::string, DriveInfo> byName;
        for (auto& d : ListDrives(sys.Views())) byName[d.name] = d;
        ASSERT_TRUE(byName.contains("sdb"));
        EXPECT_EQ(byName["sdb"].formattable, std::string(c.sdbReason).empty());
        EXPECT_TRUE(byName["sdb"].reason.starts_with(c.sdbReason)) << byName["sdb"].reason;
        EXPECT_EQ(byName["sdc"].formattable, c.sdcFormattable) << byName["sdc"].reason;
    }
}

// Swap on a partition named by a device node outside the device folder: the node's device
// numbers name the partition, and so the stick, which alone is refused.
TEST(UsbDrives, SwapOnANodeOutsideTheDeviceFolderIsTracedByItsNumbers) {
    FakeSystem sys;
    sys.AddDisk({"sdb", "250:16", testing_support::kUsbBusPath, "0", 30000, {"sdb1"}});
    sys.AddDisk({"sdc", "250:32", testing_support::kUsbBusPath2, "0", 30000, {"sdc1"}});
    const fs::path node = sys.Root() / "swapnode";
    if (::mknod(node.c_str(), S_IFBLK | 0600, makedev(250, 17)) != 0)
        GTEST_SKIP() << "no device node can be made here: " << std::strerror(errno);
    sys.AddSwap(node.string());

    std::map<std::string, DriveInfo> byName;
    for (auto& d : ListDrives(sys.Views())) byName[d.name] = d;
    EXPECT_EQ(byName["sdb"].reason, "holds the running system");
    EXPECT_TRUE(byName["sdc"].formattable) << byName["sdc"].reason;
}

TEST(UsbDrives, RemovesAndRescansOnlyTheFormattedDisk) {
    using testing_support::kUsbBusPath;
    using testing_support::kUsbBusPath2;
    FakeSystem sys;
    sys.AddDisk({"sdb", "250:16", kUsbBusPath, "0", 1000, {}});
    sys.AddDisk({"sdc", "250:32", kUsbBusPath2, "0", 1000, {}});
    // A second LUN on sdb's host (a card reader's other slot) must stay.
    sys.AddDisk({"sdd", "250:48", "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:1", "0", 1000, {}});

    const auto place = FindScsiPlace(sys.Sys(), "sdd");
    ASSERT_TRUE(place);
    EXPECT_EQ(place->hostName, "host6");
    EXPECT_EQ(place->channelTargetLun, "0 0 1");
    EXPECT_EQ(place->deviceDir.filename(), "6:0:0:1");
    ASSERT_TRUE(RemoveScsiDevice(sys.Sys(), *place));
    ASSERT_TRUE(RescanScsiDevice(sys.Sys(), *place));

    const fs::path devices = sys.Sys() / "devices";
    const fs::path host6 = devices / "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6";
    EXPECT_EQ(readText(host6 / "target6:0:0/6:0:0:1/delete"), "1");
    EXPECT_EQ(readText(host6 / "target6:0:0/6:0:0:0/delete"), "");
    EXPECT_EQ(readText(host6 / "scsi_host/host6/scan"), "0 0 1");
    EXPECT_EQ(readText(devices / "pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/scsi_host/host7/scan"), "");
    EXPECT_EQ(readText(devices / testing_support::kUsbBusPath2 / "delete"), "");

    // A planted link never redirects the write, and nothing outside the sysfs tree is written.
    testsupport::TempDir outside;
    testsupport::writeFileText(outside / "victim", "keep");
    const fs::path sdbDelete = devices / testing_support::kUsbBusPath / "delete";
    fs::remove(sdbDelete);
    fs::create_symlink(outside / "victim", sdbDelete);
    const auto sdb = FindScsiPlace(sys.Sys(), "sdb");
    ASSERT_TRUE(sdb);
    EXPECT_FALSE(RemoveScsiDevice(sys.Sys(), *sdb));
    ScsiPlace away = *sdb;
    away.deviceDir = outside.path();
    EXPECT_FALSE(RemoveScsiDevice(sys.Sys(), away));
    EXPECT_EQ(readText(outside / "victim"), "keep");
    EXPECT_FALSE(fs::exists(outside / "delete"));

    // A disk without a SCSI device (NVMe, a vanished disk) has no place.
    sys.AddDisk({"nvme0n1", "251:0", testing_support::kNvmeBusPath, "", 1000, {}});
    EXPECT_FALSE(FindScsiPlace(sys.Sys(), "nvme0n1"));
    EXPECT_FALSE(FindScsiPlace(sys.Sys(), "sdz"));
}

TEST(UsbDrives, FormatsSizes) {
    EXPECT_EQ(FormatSize(0), "0 B");
    EXPECT_EQ(FormatSize(512), "512 B");
    EXPECT_EQ(FormatSize(16008609792ULL), "14.9 GiB");
}

}  // namespace
