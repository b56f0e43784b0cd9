#pragma once
// A made-up machine for the USB tests: a sysfs tree, a mount table, a swap table and a device
// folder in a scratch directory. Disks are added with their bus path; a disk's device node is an
// image file in the device folder, so the USB job can write it.

#include "usb/UsbDrives.h"

#include "TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pellorin::testing_support {

inline constexpr const char* kUsbBusPath = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";
inline constexpr const char* kUsbBusPath2 = "pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0";
inline constexpr const char* kSataBusPath = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
inline constexpr const char* kNvmeBusPath = "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1";

class FakeSystem {
public:
    FakeSystem();

    struct Disk {
        std::string name;
        std::string number;      // "250:16"
        std::string busPath;     // below <sysfs>/devices
        std::string type = "0";  // SCSI peripheral type; empty writes no type file
        std::uint64_t sectors = 32768;
        std::vector<std::string> partitions;  // names; numbers follow the disk's minor
        std::string vendor = "Acme";
        std::string model = "Stick";
    };
    void AddDisk(const Disk& disk);
    // A stacked device (device-mapper) over the given block devices.
    void AddStacked(const std::string& name, const std::string& number, const std::vector<std::string>& slaves);
    // A line of the mount table: the device's number, the mount point, the source.
    void AddMount(const std::string& number, const std::string& mountPoint, const std::string& source = "none");
    void SetMounts(const std::vector<std::string>& lines);
    // One line of mountinfo as it stands. Without a line for "/", the table gets a root in memory.
    void AddMountLine(const std::string& line);
    void AddSwap(const std::string& file, const std::string& type = "partition");
    // An image file standing for the disk's device node.
    std::filesystem::path MakeImage(const std::string& name, std::uint64_t bytes);

    SystemViews Views() const;
    const std::filesystem::path& Sys() const { return m_sys; }
    const std::filesystem::path& Dev() const { return m_dev; }
    const std::filesystem::path& Root() const { return m_dir.path(); }

private:
    void writeMounts();

    testsupport::TempDir m_dir;
    std::filesystem::path m_sys;
    std::filesystem::path m_dev;
    std::vector<std::string> m_mountLines;
    std::vector<std::string> m_swapLines;
    int m_mountId = 20;

public:
    std::vector<std::filesystem::path> protectedPaths;
};

}  // namespace pellorin::testing_support
