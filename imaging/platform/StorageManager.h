#pragma once
// Stand-in for the device's storage manager: dismount a disk's store and mount its first
// partition again. For a block device the file systems on that disk are flushed, really
// unmounted (never detached lazily) and remembered. Mounting again comes after the caller
// has closed its own descriptors of the disk: when the disk was written, the partition table
// is re-read and the first partition mounted where it was; when it was not (a capture, or a
// run refused before its first write), everything unmounted goes back where it was. An image
// file has no store: both operations do nothing. Failures to mount again and to re-read are
// warnings on the console; they never change a run's result.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dorvix {

// One line of /proc/self/mountinfo, the parts the storage manager needs.
struct MountRecord {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;          // the mounted directory inside the file system ("/" for all of it)
    std::string mountPoint;
    std::string mountOptions;  // per-mount options ("rw,nosuid,...")
    std::string fsType;
    std::string source;        // the device node, e.g. /dev/sdb1
    std::string superOptions;  // file-system options
};

std::vector<MountRecord> parseMountInfo(std::string_view text);

// Number of the partition major:minor on the whole disk diskMajor:diskMinor (0 for the disk
// itself), or -1 when it is not part of that disk; asks sysfs below `sysfsRoot`.
int partitionOfDisk(const std::filesystem::path& sysfsRoot, unsigned diskMajor, unsigned diskMinor,
                    unsigned major, unsigned minor);

// The lowest-numbered partition of the whole disk major:minor as sysfs lists it, as its
// major:minor and number; nothing when the disk has no partitions.
struct PartitionNumber {
    unsigned major = 0;
    unsigned minor = 0;
    int number = 0;
};
std::optional<PartitionNumber> firstPartitionOfDisk(const std::filesystem::path& sysfsRoot, unsigned diskMajor,
                                                    unsigned diskMinor);

// Of the mounts `records` that `dismounted` held, the ones to mount again: all of them, in
// their order, when the disk is unchanged; else those of its lowest partition at their first
// mount point (with their bind mounts).
struct DismountedMount {
    int partition = 0;
    MountRecord record;
};
std::vector<DismountedMount> mountsToRestore(const std::vector<DismountedMount>& dismounted, bool diskWritten);

class StorageManager {
public:
    StorageManager(std::filesystem::path mountInfo, std::filesystem::path sysfsRoot,
                   std::filesystem::path devRoot = "/dev")
        : m_mountInfo(std::move(mountInfo)), m_sysfsRoot(std::move(sysfsRoot)), m_devRoot(std::move(devRoot)) {}

    // The process's storage manager over /proc/self/mountinfo and /sys.
    static StorageManager& instance();

    // Both return 0 or an errno value. A dismount that fails part-way mounts again what it
    // had unmounted, says on the console which file system stayed, and leaves nothing held.
    std::uint32_t dismount(const std::string& devicePath);
    // `diskWritten`: the disk's sectors may have changed since the dismount.
    std::uint32_t mountFirst(const std::string& devicePath, bool diskWritten);

private:
    std::uint32_t remount(const DismountedMount& mount, const std::vector<DismountedMount>& done);

    std::filesystem::path m_mountInfo;
    std::filesystem::path m_sysfsRoot;
    std::filesystem::path m_devRoot;
    std::map<std::string, std::vector<DismountedMount>> m_dismounted;  // by device path
};

}  // namespace dorvix
