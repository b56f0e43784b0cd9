#include "platform/StorageManager.h"

#include "platform/Console.h"
#include "platform/PlatformTexts.h"

#include <cerrno>
#include <cstring>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace dorvix {

namespace {

// mountinfo escapes blanks and a few other characters as \ooo.
std::string unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

std::string readSmallFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    return text;
}

bool hasOption(const std::string& options, std::string_view option) {
    std::stringstream list(options);
    std::string item;
    while (std::getline(list, item, ',')) {
        if (item == option) {
            return true;
        }
    }
    return false;
}

unsigned long mountFlags(const std::string& options) {
    unsigned long flags = 0;
    const struct {
        const char* name;
        unsigned long flag;
    } known[] = {{"ro", MS_RDONLY},        {"nosuid", MS_NOSUID},   {"nodev", MS_NODEV},
                 {"noexec", MS_NOEXEC},    {"noatime", MS_NOATIME}, {"nodiratime", MS_NODIRATIME},
                 {"relatime", MS_RELATIME}, {"sync", MS_SYNCHRONOUS}};
    for (const auto& k : known) {
        if (hasOption(options, k.name)) {
            flags |= k.flag;
        }
    }
    return flags;
}

// The file-system options without the read/write state, which the flags carry.
std::string dataOptions(const std::string& superOptions) {
    std::stringstream list(superOptions);
    std::string item;
    std::string out;
    while (std::getline(list, item, ',')) {
        if (item == "rw" || item == "ro" || item.empty()) {
            continue;
        }
        out += (out.empty() ? "" : ",") + item;
    }
    return out;
}

}  // namespace

std::vector<MountRecord> parseMountInfo(std::string_view text) {
    std::vector<MountRecord> records;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        std::string word;
        while (fields >> word) {
            words.push_back(word);
        }
        // id parent major:minor root mount-point options [optional...] - type source super
        std::size_t dash = 6;
        while (dash < words.size() && words[dash] != "-") {
            ++dash;
        }
        if (words.size() < 7 || dash + 2 >= words.size()) {
            continue;
        }
        MountRecord record;
        if (std::sscanf(words[2].c_str(), "%u:%u", &record.major, &record.minor) != 2) {
            continue;
        }
        record.root = unescape(words[3]);
        record.mountPoint = unescape(words[4]);
        record.mountOptions = words[5];
        record.fsType = words[dash + 1];
        record.source = unescape(words[dash + 2]);
        record.superOptions = dash + 3 < words.size() ? words[dash + 3] : "";
        records.push_back(std::move(record));
    }
    return records;
}

int partitionOfDisk(const std::filesystem::path& sysfsRoot, unsigned diskMajor, unsigned diskMinor,
                    unsigned major, unsigned minor) {
    if (major == diskMajor && minor == diskMinor) {
        return 0;
    }
    const auto node = sysfsRoot / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor));
    const std::string partition = readSmallFile(node / "partition");
    if (partition.empty()) {
        return -1;
    }
    const std::string parent = readSmallFile(node / ".." / "dev");
    if (parent != std::to_string(diskMajor) + ":" + std::to_string(diskMinor)) {
        return -1;
    }
    try {
        return std::stoi(partition);
    } catch (...) {
        return -1;
    }
}

std::optional<PartitionNumber> firstPartitionOfDisk(const std::filesystem::path& sysfsRoot, unsigned diskMajor,
                                                    unsigned diskMinor) {
    const auto disk = sysfsRoot / "dev" / "block" / (std::to_string(diskMajor) + ":" + std::to_string(diskMinor));
    std::optional<PartitionNumber> first;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(disk, error)) {
        const std::string number = readSmallFile(entry.path() / "partition");
        PartitionNumber found;
        if (number.empty() || std::sscanf(number.c_str(), "%d", &found.number) != 1 ||
            std::sscanf(readSmallFile(entry.path() / "dev").c_str(), "%u:%u", &found.major, &found.minor) != 2) {
            continue;
        }
        if (!first || found.number < first->number) {
            first = found;
        }
    }
    return first;
}

std::vector<DismountedMount> mountsToRestore(const std::vector<DismountedMount>& dismounted, bool diskWritten) {
    if (!diskWritten) {
        return dismounted;
    }
    // The new partition table may differ in everything but that there is a first partition.
    const DismountedMount* lowest = nullptr;
    for (const auto& d : dismounted) {
        if (lowest == nullptr || d.partition < lowest->partition) {
            lowest = &d;
        }
    }
    std::vector<DismountedMount> chosen;
    if (lowest == nullptr) {
        return chosen;
    }
    for (const auto& d : dismounted) {
        if (d.partition == lowest->partition) {
            chosen.push_back(d);
        }
    }
    return chosen;
}

StorageManager& StorageManager::instance() {
    static StorageManager manager("/proc/self/mountinfo", "/sys");
    return manager;
}

namespace {

std::string errorText(std::uint32_t error) { return std::strerror(static_cast<int>(error)); }

// Opens a directory that mountinfo named, refusing any symbolic link on the way: the kernel
// lists resolved paths, so a link there now was put in since and may point anywhere.
int openMountPoint(const std::string& path) {
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    return static_cast<int>(fd);
}

std::string fdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void warn(const char* format, const std::string& a, const std::string& b, const std::string& c) {
    char line[1024];
    std::snprintf(line, sizeof line, format, a.c_str(), b.c_str(), c.c_str());
    consoleWrite(line);
}

}  // namespace

std::uint32_t StorageManager::dismount(const std::string& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return static_cast<std::uint32_t>(errno);
    }
    if (!S_ISBLK(st.st_mode)) {
        return 0;
    }
    std::ifstream in(m_mountInfo);
    if (!in) {
        return EIO;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::vector<DismountedMount> ours;
    for (const MountRecord& record : parseMountInfo(text.str())) {
        const int partition =
            partitionOfDisk(m_sysfsRoot, major(st.st_rdev), minor(st.st_rdev), record.major, record.minor);
        if (partition >= 0) {
            ours.push_back({partition, record});
        }
    }
    // Innermost mounts come last in the table: unmount from the end so nested mounts go first.
    std::vector<DismountedMount> unmounted;
    for (auto it = ours.rbegin(); it != ours.rend(); ++it) {
        // The file system's last writes reach the disk before it lets go of it.
        if (const int dir = ::open(it->record.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::syncfs(dir);
            ::close(dir);
        }
        // A real unmount or none: a lazily detached file system would go on writing to the disk.
        if (::umount2(it->record.mountPoint.c_str(), UMOUNT_NOFOLLOW) != 0) {
            const auto error = static_cast<std::uint32_t>(errno);
            warn(text::kUnmountRefused, it->record.source, it->record.mountPoint, errorText(error));
            std::vector<DismountedMount> again(unmounted.rbegin(), unmounted.rend());
            std::vector<DismountedMount> done;
            for (const auto& mount : again) {
                if (remount(mount, done) == 0) {
                    done.push_back(mount);
                }
            }
            return error;
        }
        unmounted.push_back(*it);
    }
    auto& held = m_dismounted[devicePath];
    held.insert(held.end(), unmounted.rbegin(), unmounted.rend());  // in mount-table order
    return 0;
}

std::uint32_t StorageManager::mountFirst(const std::string& devicePath, bool diskWritten) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return static_cast<std::uint32_t>(errno);
    }
    if (!S_ISBLK(st.st_mode)) {
        return 0;
    }
    std::vector<DismountedMount> dismounted;
    if (auto found = m_dismounted.find(devicePath); found != m_dismounted.end()) {
        dismounted = std::move(found->second);
        m_dismounted.erase(found);
    }
    std::vector<DismountedMount> wanted = mountsToRestore(dismounted, diskWritten);
    if (diskWritten) {
        // Called once this process has closed its own descriptors of the disk: the kernel
        // refuses to re-read a table while the disk is held. udev may look at the disk for a
        // moment after it was written, so a busy disk is asked again a few times.
        const int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const auto error = static_cast<std::uint32_t>(errno);
            warn(text::kRereadFailed, devicePath, errorText(error), "");
            return error;
        }
        int result = -1;
        int error = 0;
        for (int attempt = 0; attempt < 50; ++attempt) {
            result = ::ioctl(fd, BLKRRPART);
            error = errno;
            if (result == 0 || error != EBUSY) {
                break;
            }
            ::usleep(100 * 1000);
        }
        ::close(fd);
        // EINVAL: a disk the kernel does not partition (a loop device without partition scan).
        if (result != 0 && error != EINVAL) {
            warn(text::kRereadFailed, devicePath, errorText(static_cast<std::uint32_t>(error)), "");
            return static_cast<std::uint32_t>(error);
        }
        if (!wanted.empty() && wanted.front().partition > 0) {
            // The first partition of the new table takes the old first partition's places.
            const auto first = firstPartitionOfDisk(m_sysfsRoot, major(st.st_rdev), minor(st.st_rdev));
            if (!first) {
                warn(text::kMountAgainFailed, devicePath, wanted.front().record.mountPoint,
                     errorText(ENOENT));
                return ENOENT;
            }
            for (auto& mount : wanted) {
                mount.record.major = first->major;
                mount.record.minor = first->minor;
                mount.partition = first->number;
            }
        }
    }
    std::uint32_t failure = 0;
    std::vector<DismountedMount> done;
    for (const auto& mount : wanted) {
        if (const auto error = remount(mount, done); error != 0) {
            failure = failure != 0 ? failure : error;
        } else {
            done.push_back(mount);
        }
    }
    return failure;
}

std::uint32_t StorageManager::remount(const DismountedMount& mount, const std::vector<DismountedMount>& done) {
    const MountRecord& r = mount.record;
    const auto fail = [&](std::uint32_t error) {
        warn(text::kMountAgainFailed, r.source, r.mountPoint, errorText(error));
        return error;
    };
    const int target = openMountPoint(r.mountPoint);
    if (target < 0) {
        return fail(static_cast<std::uint32_t>(errno));
    }
    int result = 0;
    if (r.root != "/") {
        // A bind mount of a directory inside the file system: bound again from where the whole
        // file system went back.
        const DismountedMount* whole = nullptr;
        for (const auto& d : done) {
            if (d.record.major == r.major && d.record.minor == r.minor && d.record.root == "/") {
                whole = &d;
                break;
            }
        }
        const int source = whole != nullptr ? openMountPoint(whole->record.mountPoint + r.root) : -1;
        if (source < 0) {
            ::close(target);
            return fail(whole != nullptr ? static_cast<std::uint32_t>(errno) : ENOENT);
        }
        result = ::mount(fdPath(source).c_str(), fdPath(target).c_str(), nullptr, MS_BIND, nullptr);
        const int error = errno;
        ::close(source);
        errno = error;
    } else {
        // The node mounted is the one with the partition's device number, whatever its name.
        std::string node = r.source;
        struct stat st {};
        const auto matches = [&](const std::string& path) {
            return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && major(st.st_rdev) == r.major &&
                   minor(st.st_rdev) == r.minor;
        };
        if (!matches(node)) {
            node = (m_devRoot / "block" / (std::to_string(r.major) + ":" + std::to_string(r.minor))).string();
            if (!matches(node)) {
                ::close(target);
                return fail(ENODEV);
            }
        }
        const std::string data = dataOptions(r.superOptions);
        result = ::mount(node.c_str(), fdPath(target).c_str(), r.fsType.c_str(), mountFlags(r.mountOptions),
                         data.empty() ? nullptr : data.c_str());
    }
    const int error = errno;
    ::close(target);
    return result == 0 ? 0 : fail(static_cast<std::uint32_t>(error));
}

}  // namespace dorvix
