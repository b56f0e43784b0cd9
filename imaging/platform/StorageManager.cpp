#include "platform/StorageManager.h"

#include <cerrno>
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

StorageManager& StorageManager::instance() {
    static StorageManager manager("/proc/self/mountinfo", "/sys");
    return manager;
}

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
    const auto records = parseMountInfo(text.str());
    // Innermost mounts last in the file: unmount from the end so nested mounts go first.
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const int partition = partitionOfDisk(m_sysfsRoot, major(st.st_rdev), minor(st.st_rdev), it->major, it->minor);
        if (partition < 0) {
            continue;
        }
        if (::umount2(it->mountPoint.c_str(), 0) != 0) {
            return static_cast<std::uint32_t>(errno);
        }
        m_dismounted[devicePath].push_back({partition, *it});
    }
    return 0;
}

std::uint32_t StorageManager::mountFirst(const std::string& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return static_cast<std::uint32_t>(errno);
    }
    if (!S_ISBLK(st.st_mode)) {
        return 0;
    }
    const int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return static_cast<std::uint32_t>(errno);
    }
    const int reread = ::ioctl(fd, BLKRRPART);
    const int rereadError = errno;
    ::close(fd);
    if (reread != 0 && rereadError != EINVAL) {  // EINVAL: a device without partitions
        return static_cast<std::uint32_t>(rereadError);
    }
    auto found = m_dismounted.find(devicePath);
    if (found == m_dismounted.end()) {
        return 0;  // nothing of this disk was mounted before
    }
    std::vector<Dismounted> dismounted = std::move(found->second);
    m_dismounted.erase(found);
    const Dismounted* first = nullptr;
    for (const auto& d : dismounted) {
        if (first == nullptr || d.partition < first->partition) {  // 0: a disk without partitions
            first = &d;
        }
    }
    if (first == nullptr) {
        return 0;
    }
    const MountRecord& r = first->record;
    const std::string data = dataOptions(r.superOptions);
    if (::mount(r.source.c_str(), r.mountPoint.c_str(), r.fsType.c_str(), mountFlags(r.mountOptions),
                data.empty() ? nullptr : data.c_str()) != 0) {
        return static_cast<std::uint32_t>(errno);
    }
    return 0;
}

}  // namespace dorvix
