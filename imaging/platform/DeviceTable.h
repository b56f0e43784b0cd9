#pragma once
// The device table: which block device or image file stands for each disk device DSKn:, and
// optionally the geometry its driver reports. One device per line:
//
//   DSKn: PATH [heads=H] [sectors=S] [total=T] [bytes=B]   # comment
//
// The file is named by the environment variable DORVIX_DEVICES (default /etc/dorvix/devices).
// An unreadable table or a malformed line is reported and leaves that device absent. Without
// either file, DSK1: to DSK9: are the machine's whole disks as sysfs lists them (see
// fromSysfs).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvix {

struct DeviceTableEntry {
    std::string path;
    // The driver's DISK_INFO values; absent ones come from the block device or the file.
    std::optional<std::uint32_t> heads;
    std::optional<std::uint32_t> sectors;  // sectors per track
    std::optional<std::uint32_t> total;    // total sectors
    std::optional<std::uint32_t> bytes;    // bytes per sector
};

// A whole disk as sysfs shows it under <sysfs>/block.
struct SysfsDisk {
    std::string name;  // "sda", "nvme0n1"
    bool removable = false;
};

class DeviceTable {
public:
    // The entry for DSKn:, or nullptr when the table has none.
    const DeviceTableEntry* find(unsigned deviceNumber) const;
    const std::map<unsigned, DeviceTableEntry>& entries() const { return m_entries; }
    // Where the table came from, for the device dump.
    const std::string& origin() const { return m_origin; }

    // Parses the text of a table. Each complaint goes to `report` as one line of text
    // (without a line end) naming `source` and the line number.
    static DeviceTable parse(std::string_view text, std::string_view source,
                             const std::function<void(const std::string&)>& report);

    // Reads and parses a table file; complaints go to standard error.
    static DeviceTable load(const std::filesystem::path& file);

    // DSK1: to DSK9: over the machine's whole disks below <sysfsRoot>/block, their nodes in
    // `devRoot`: no loop, zram, ram or optical (sr) device, no device built on others
    // (device-mapper, md: it has slaves) and none without a medium (size 0); the fixed disks
    // first, then the removable ones, each group in the kernel's name order (kernelNameLess).
    static DeviceTable fromSysfs(const std::filesystem::path& sysfsRoot, const std::filesystem::path& devRoot);

    // The process's table: the file DORVIX_DEVICES names, else /etc/dorvix/devices when it
    // exists, else the machine's whole disks.
    static DeviceTable forThisMachine();

private:
    std::map<unsigned, DeviceTableEntry> m_entries;
    std::string m_origin;
};

// The disks fromSysfs takes, in DSKn: order.
std::vector<SysfsDisk> listWholeDisks(const std::filesystem::path& sysfsRoot);

// Names in the kernel's order: runs of digits by value (nvme2n1, nvme10n1), and within the sd,
// vd, hd and xvd families the shorter letter suffix first (sdz, sdaa).
bool kernelNameLess(const std::string& a, const std::string& b);

// The table file named by DORVIX_DEVICES, or /etc/dorvix/devices.
std::filesystem::path deviceTablePath();

}  // namespace dorvix
