#pragma once
// Where "\Hard Disk" of a disk is on this machine: the directory where the first partition of
// the disk's block device is mounted. An image file, or a disk whose first partition is not
// mounted, has none; its IMAGE.INI is then reached inside the volume through the FAT engine.

#include <filesystem>
#include <optional>

namespace dorvix {

// The mount point of partition 1 of `devicePath` as /proc/self/mountinfo lists it.
std::optional<std::filesystem::path> firstPartitionMountPoint(const std::filesystem::path& devicePath);

}  // namespace dorvix
