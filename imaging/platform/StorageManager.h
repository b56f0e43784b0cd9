#pragma once
// Stand-in for the device's storage manager: dismount a disk's store and mount its first
// partition again. For a block device the partitions of that disk that are mounted are
// unmounted and remembered; mounting re-reads the partition table and mounts the first
// partition where it was. An image file has no store: both operations do nothing.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace dorvix {

// One line of /proc/self/mountinfo, the parts the storage manager needs.
struct MountRecord {
    unsigned major = 0;
    unsigned minor = 0;
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

class StorageManager {
public:
    StorageManager(std::filesystem::path mountInfo, std::filesystem::path sysfsRoot)
        : m_mountInfo(std::move(mountInfo)), m_sysfsRoot(std::move(sysfsRoot)) {}

    // The process's storage manager over /proc/self/mountinfo and /sys.
    static StorageManager& instance();

    // Both return 0 or an errno value.
    std::uint32_t dismount(const std::string& devicePath);
    std::uint32_t mountFirst(const std::string& devicePath);

private:
    struct Dismounted {
        int partition = 0;
        MountRecord record;
    };

    std::filesystem::path m_mountInfo;
    std::filesystem::path m_sysfsRoot;
    std::map<std::string, std::vector<Dismounted>> m_dismounted;  // by device path
};

}  // namespace dorvix
