#include "platform/HardDiskFolder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>

#include "platform/StorageManager.h"

namespace dorvix {

std::optional<std::filesystem::path> firstPartitionMountPoint(const std::filesystem::path& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        return std::nullopt;
    }
    std::ifstream in("/proc/self/mountinfo");
    if (!in) {
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    for (const MountRecord& record : parseMountInfo(text.str())) {
        if (partitionOfDisk("/sys", major(st.st_rdev), minor(st.st_rdev), record.major, record.minor) == 1) {
            return std::filesystem::path(record.mountPoint);
        }
    }
    return std::nullopt;
}

}  // namespace dorvix
