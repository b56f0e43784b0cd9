// Finding the disks on a made-up machine: USB disks of SCSI type 0 are formattable; disks on
// other buses, USB devices of another type and every disk that holds the running system (its
// mount points, swap, stacked devices, protected paths) are not, with their reasons. And the walk
// to a disk's SCSI device and host, which removes and rescans only that disk.

#include "usb/UsbDrives.h"

#include "UsbFakeSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

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
    // The payload lives on sdf: the fake partition takes the real number of a scratch folder.
    struct stat st {};
    ASSERT_EQ(::stat(sys.Root().c_str(), &st), 0);
    const std::string realNumber = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    fs::remove(sys.Sys() / "block/sdf/sdf1/dev");
    testsupport::writeFileText(sys.Sys() / "block/sdf/sdf1/dev", realNumber + "\n");
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
        {"sdf", true, true, "holds the running system", 0},
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
    ASSERT_TRUE(RemoveScsiDevice(*place));
    ASSERT_TRUE(RescanScsiDevice(sys.Sys(), *place));

    const fs::path devices = sys.Sys() / "devices";
    const fs::path host6 = devices / "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6";
    EXPECT_EQ(readText(host6 / "target6:0:0/6:0:0:1/delete"), "1");
    EXPECT_EQ(readText(host6 / "target6:0:0/6:0:0:0/delete"), "");
    EXPECT_EQ(readText(host6 / "scsi_host/host6/scan"), "0 0 1");
    EXPECT_EQ(readText(devices / "pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/scsi_host/host7/scan"), "");
    EXPECT_EQ(readText(devices / testing_support::kUsbBusPath2 / "delete"), "");

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
