#pragma once
// The device table: which block device or image file stands for each disk device DSKn:, and
// optionally the geometry its driver reports. One device per line:
//
//   DSKn: PATH [heads=H] [sectors=S] [total=T] [bytes=B]   # comment
//
// The file is named by the environment variable DORVIX_DEVICES (default /etc/dorvix/devices).
// An unreadable table or a malformed line is reported and leaves that device absent.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace dorvix {

struct DeviceTableEntry {
    std::string path;
    // The driver's DISK_INFO values; absent ones come from the block device or the file.
    std::optional<std::uint32_t> heads;
    std::optional<std::uint32_t> sectors;  // sectors per track
    std::optional<std::uint32_t> total;    // total sectors
    std::optional<std::uint32_t> bytes;    // bytes per sector
};

class DeviceTable {
public:
    // The entry for DSKn:, or nullptr when the table has none.
    const DeviceTableEntry* find(unsigned deviceNumber) const;
    const std::map<unsigned, DeviceTableEntry>& entries() const { return m_entries; }

    // Parses the text of a table. Each complaint goes to `report` as one line of text
    // (without a line end) naming `source` and the line number.
    static DeviceTable parse(std::string_view text, std::string_view source,
                             const std::function<void(const std::string&)>& report);

    // Reads and parses a table file; complaints go to standard error.
    static DeviceTable load(const std::filesystem::path& file);

private:
    std::map<unsigned, DeviceTableEntry> m_entries;
};

// The table file named by DORVIX_DEVICES, or /etc/dorvix/devices.
std::filesystem::path deviceTablePath();

}  // namespace dorvix
