#pragma once
// Disks that hold the running system and must never be written: the disks below /, /boot,
// /boot/efi and /usr, below active swap and below the file the image is read from. Each is
// traced from its mount (mountinfo) by device numbers, never by names: a partition leads to
// its disk, device-mapper, md, LUKS and LVM devices to their slaves, a loop device to the file
// behind it, a btrfs file system to all its member devices, an overlay to its layers. What
// cannot be traced is reported as unknown, and the caller refuses rather than guess.
//
// A target is written through itself and, for device-mapper and md, through its slaves; a loop
// device only writes its file, so its backing file is not followed there. An image file that a
// loop device stands for is refused while that loop device is mounted or held.

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace dorvix {

using DeviceNumber = std::pair<unsigned, unsigned>;  // major, minor

struct SystemRoots {
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path swaps = "/proc/swaps";
    std::filesystem::path sysfs = "/sys";
    // The paths whose disks are protected.
    std::vector<std::string> protectedPaths = {"/", "/boot", "/boot/efi", "/usr"};
};

// Why a target may not be written; empty when it may.
struct Protection {
    std::string reason;
    bool refused() const { return !reason.empty(); }
};

// Every device a protected thing lives on, each with the reason it is protected; or the first
// thing that could not be traced.
struct ProtectedSet {
    std::vector<std::pair<DeviceNumber, std::string>> devices;
    std::optional<std::string> unknown;
    const std::string* reasonFor(DeviceNumber device) const;
};

ProtectedSet protectedDevices(const SystemRoots& roots, const std::string& imagePath);

// The check before a restore or flat write onto `targetPath` (block device or image file)
// with the image `imagePath`.
Protection checkWriteTarget(const SystemRoots& roots, const std::string& targetPath, const std::string& imagePath);

}  // namespace dorvix
