#pragma once
// What the device dump says about the file behind a DSKn: besides its geometry: the model the
// kernel reports for a block device and the size in bytes. Read-only: the device is opened for
// reading only and nothing is asked of it that changes it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace dorvix {

struct DiskDescription {
    std::string kind;                        // "block device", "image file", or the error
    std::string model;                       // empty when sysfs names none
    std::optional<std::uint64_t> sizeBytes;  // nothing when it could not be read
};

DiskDescription describeDisk(const std::string& path, const std::filesystem::path& sysfsRoot = "/sys");

}  // namespace dorvix
