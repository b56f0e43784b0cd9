#pragma once
// The disks a recovery stick can be made on. Everything is read from a sysfs tree, a mount table
// (mountinfo format) and a swap table, whose paths tests point at fake files:
//   - every whole disk under <sysfs>/block, with its vendor/model and size;
//   - whether it is a USB disk: SCSI peripheral type 0 (device/type) and a device path that runs
//     through the USB bus;
//   - whether it holds the running system: /, /boot, /boot/efi, /usr, /home, an active swap
//     area, the payload folder and files or the running program. Each is traced from the mount
//     that holds it to the mount's source and on to whole disks, through partitions,
//     device-mapper, md, LUKS and LVM, loop devices, btrfs member devices and overlay layers.
//     A file's st_dev names no block device on btrfs or overlay, so it is used only to find the
//     mount that carries it (an overlay layer whose path no longer runs through its mount point);
//     a swap partition's node is matched by its st_rdev wherever it lies. When one of them
//     cannot be traced, no disk is offered;
//   - which of its partitions are mounted.
// And, for the re-reading of a new partition table, the disk's SCSI device and host, so that
// exactly that disk is deleted and rescanned.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pellorin {

// Where the kernel's views are read from; tests point these at fake files.
struct SystemViews {
    std::filesystem::path sysfsRoot = "/sys";
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path swaps = "/proc/swaps";
    std::filesystem::path devRoot = "/dev";  // where the device nodes are ("/dev/sdb")
    // Files and folders whose disks are never formatted besides the system's own mount points:
    // the payload folder, each payload file and the running program (links are followed).
    std::vector<std::filesystem::path> protectedPaths;
};

struct MountedPartition {
    std::string device;      // the block device's name, "sdb1"
    std::string mountPoint;  // as in the mount table, escapes decoded
};

struct DriveInfo {
    std::string name;        // kernel name, "sdb"
    std::string devicePath;  // devRoot/name, "/dev/sdb"
    std::string model;       // "vendor model", trimmed; empty when unknown
    std::uint64_t sizeBytes = 0;
    unsigned logicalSectorSize = 0;  // queue/logical_block_size; 0 when the kernel does not say
    bool usb = false;        // SCSI type 0 on the USB bus
    bool systemDisk = false;  // holds the running system, or may (then `reason` says why)
    std::vector<MountedPartition> mounts;  // partitions of this disk (or the disk) that are mounted
    bool formattable = false;
    std::string reason;  // why not, when not formattable
};

// All whole disks, sorted by name.
std::vector<DriveInfo> ListDrives(const SystemViews& views);

// The one disk whose device path or kernel name is `device` ("/dev/sdb", "sdb"); a partition
// ("/dev/sdb1") is not a whole disk and is not found.
std::optional<DriveInfo> FindDrive(const SystemViews& views, const std::string& device);

// "14.9 GiB"-style size text.
std::string FormatSize(std::uint64_t bytes);

// The SCSI device of a disk and the host it hangs on, found by walking the disk's sysfs device
// path upwards.
struct ScsiPlace {
    std::filesystem::path deviceDir;  // .../host6/target6:0:0/6:0:0:0
    std::filesystem::path hostDir;    // .../host6
    std::string hostName;             // "host6"
    std::string channelTargetLun;     // "0 0 0", what the host's scan file takes for this disk only
};
std::optional<ScsiPlace> FindScsiPlace(const std::filesystem::path& sysfsRoot, const std::string& diskName);

// Deletes the SCSI device (writes "1" to its delete file). Trace: "Removing %s..." and
// "\t...successfully done!". Both writes refuse an attribute that is a link or lies outside
// `sysfsRoot`.
bool RemoveScsiDevice(const std::filesystem::path& sysfsRoot, const ScsiPlace& place);
// Asks the disk's host to scan for exactly that channel, target and LUN again.
bool RescanScsiDevice(const std::filesystem::path& sysfsRoot, const ScsiPlace& place);

}  // namespace pellorin
