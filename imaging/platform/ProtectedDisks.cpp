#include "platform/ProtectedDisks.h"

#include "platform/StorageManager.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace dorvix {

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::optional<DeviceNumber> parseDevice(const std::string& text) {
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(text.c_str(), "%u:%u", &major, &minor) != 2) {
        return std::nullopt;
    }
    return DeviceNumber{major, minor};
}

std::string deviceText(DeviceNumber d) { return std::to_string(d.first) + ":" + std::to_string(d.second); }

// True when `path` is `mountPoint` or lies below it.
bool isBelow(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") {
        return !path.empty() && path.front() == '/';
    }
    return path.rfind(mountPoint, 0) == 0 && (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

// File systems that keep nothing on a disk.
bool keepsNoDisk(const std::string& type) {
    static const char* const types[] = {"rootfs", "tmpfs",  "ramfs",    "devtmpfs", "proc",      "sysfs",   "cgroup",
                                        "cgroup2", "devpts",  "mqueue",   "hugetlbfs", "debugfs", "tracefs",
                                        "securityfs", "pstore", "efivarfs", "bpf",     "configfs", "fusectl",
                                        "autofs", "binfmt_misc", "nsfs", "rpc_pipefs"};
    for (const char* t : types) {
        if (type == t) {
            return true;
        }
    }
    return false;
}

// Splits an overlay's option list into its layer directories.
std::vector<std::string> overlayLayers(const std::string& options) {
    std::vector<std::string> layers;
    std::stringstream list(options);
    std::string option;
    while (std::getline(list, option, ',')) {
        for (const char* key : {"lowerdir=", "upperdir=", "workdir="}) {
            const std::string k = key;
            if (option.rfind(k, 0) != 0) {
                continue;
            }
            std::stringstream dirs(option.substr(k.size()));
            std::string dir;
            while (std::getline(dirs, dir, ':')) {
                if (!dir.empty()) {
                    layers.push_back(dir);
                }
            }
        }
    }
    return layers;
}

class Tracer {
public:
    Tracer(const SystemRoots& roots, std::vector<MountRecord> mounts) : m_roots(roots), m_mounts(std::move(mounts)) {}

    ProtectedSet result;

    // The disks behind the file system that holds `path`.
    void tracePath(const std::string& path, const std::string& reason) {
        const MountRecord* holder = nullptr;
        for (const MountRecord& m : m_mounts) {
            if (isBelow(path, m.mountPoint) && (holder == nullptr || m.mountPoint.size() >= holder->mountPoint.size())) {
                holder = &m;  // the longest mount point; of equal ones the last, which is on top
            }
        }
        if (holder == nullptr) {
            unknown("no file system holds " + path);
            return;
        }
        traceMount(*holder, reason);
    }

    void traceMount(const MountRecord& m, const std::string& reason) {
        const DeviceNumber fsDevice{m.major, m.minor};
        if (!m_visitedMounts.insert(fsDevice).second) {
            return;
        }
        if (m.major != 0) {
            traceBlock(fsDevice, reason);
            return;
        }
        if (m.fsType == "overlay") {
            const auto layers = overlayLayers(m.superOptions);
            if (layers.empty()) {
                unknown("overlay at " + m.mountPoint + " names no layers");
            }
            for (const auto& layer : layers) {
                tracePath(layer, reason);
            }
            return;
        }
        if (keepsNoDisk(m.fsType)) {
            return;
        }
        // btrfs and others with an anonymous device number: the device node they were mounted
        // from, and for btrfs every member device of the file system.
        struct stat st {};
        if (::stat(m.source.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
            unknown(m.fsType + " from " + m.source + " at " + m.mountPoint);
            return;
        }
        const DeviceNumber source{major(st.st_rdev), minor(st.st_rdev)};
        traceBlock(source, reason);
        if (m.fsType == "btrfs") {
            traceBtrfsMembers(source, reason);
        }
    }

    // `device` and every device it is stored on.
    void traceBlock(DeviceNumber device, const std::string& reason) {
        if (!m_visitedBlocks.insert(device).second) {
            return;
        }
        result.devices.emplace_back(device, reason);
        const fs::path node = m_roots.sysfs / "dev" / "block" / deviceText(device);
        std::error_code error;
        if (!fs::exists(node, error)) {
            unknown("block device " + deviceText(device) + " is not in sysfs");
            return;
        }
        if (fs::exists(node / "partition", error)) {
            if (const auto disk = parseDevice(firstLine(node / ".." / "dev"))) {
                traceBlock(*disk, reason);
            } else {
                unknown("the disk of partition " + deviceText(device));
            }
        }
        for (const auto& slave : fs::directory_iterator(node / "slaves", error)) {
            if (const auto below = parseDevice(firstLine(slave.path() / "dev"))) {
                traceBlock(*below, reason);
            } else {
                unknown("a device below " + deviceText(device));
            }
        }
        const fs::path backing = node / "loop" / "backing_file";
        if (fs::exists(backing, error)) {
            const std::string file = firstLine(backing);
            if (file.empty() || file.find(" (deleted)") != std::string::npos) {
                unknown("the file behind loop device " + deviceText(device));
            } else {
                tracePath(file, reason);
            }
        }
    }

private:
    void traceBtrfsMembers(DeviceNumber member, const std::string& reason) {
        std::error_code error;
        for (const auto& fsid : fs::directory_iterator(m_roots.sysfs / "fs" / "btrfs", error)) {
            std::vector<DeviceNumber> members;
            std::error_code inner;
            for (const auto& dev : fs::directory_iterator(fsid.path() / "devices", inner)) {
                if (const auto d = parseDevice(firstLine(dev.path() / "dev"))) {
                    members.push_back(*d);
                }
            }
            if (std::find(members.begin(), members.end(), member) != members.end()) {
                for (const auto& d : members) {
                    traceBlock(d, reason);
                }
            }
        }
    }

    void unknown(const std::string& what) {
        if (!result.unknown) {
            result.unknown = what;
        }
    }

    const SystemRoots& m_roots;
    std::vector<MountRecord> m_mounts;
    std::set<DeviceNumber> m_visitedBlocks;
    std::set<DeviceNumber> m_visitedMounts;
};

std::string absolutePath(const std::string& path) {
    std::error_code error;
    const fs::path canonical = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::absolute(path).lexically_normal().string() : canonical.string();
}

// /proc/swaps escapes blanks in names as \040, as mountinfo does.
std::string unescapeOctal(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

}  // namespace

const std::string* ProtectedSet::reasonFor(DeviceNumber device) const {
    for (const auto& [d, reason] : devices) {
        if (d == device) {
            return &reason;
        }
    }
    return nullptr;
}

ProtectedSet protectedDevices(const SystemRoots& roots, const std::string& imagePath) {
    Tracer tracer(roots, parseMountInfo(readText(roots.mountInfo)));
    for (const std::string& path : roots.protectedPaths) {
        // Only what is mounted there, or the file system the directory lies on.
        tracer.tracePath(path, path + " is on it");
    }
    std::istringstream swaps(readText(roots.swaps));
    std::string line;
    std::getline(swaps, line);  // the heading
    while (std::getline(swaps, line)) {
        std::istringstream words(line);
        std::string name;
        std::string type;
        if (!(words >> name >> type)) {
            continue;
        }
        name = unescapeOctal(name);
        const std::string reason = "active swap " + name + " is on it";
        if (type == "partition") {
            struct stat st {};
            if (::stat(name.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
                tracer.traceBlock({major(st.st_rdev), minor(st.st_rdev)}, reason);
            } else {
                tracer.result.unknown = tracer.result.unknown.value_or("swap " + name);
            }
        } else {
            tracer.tracePath(absolutePath(name), reason);
        }
    }
    if (!imagePath.empty()) {
        tracer.tracePath(absolutePath(imagePath), "the image file " + imagePath + " is read from it");
    }
    return tracer.result;
}

Protection checkWriteTarget(const SystemRoots& roots, const std::string& targetPath, const std::string& imagePath) {
    Protection protection;
    struct stat target {};
    if (::stat(targetPath.c_str(), &target) != 0) {
        return protection;  // nothing there to protect; opening it fails on its own
    }
    const auto mounts = parseMountInfo(readText(roots.mountInfo));
    if (S_ISREG(target.st_mode)) {
        // An image-file disk that a loop device stands for is written behind that device's back.
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(roots.sysfs / "block", error)) {
            const std::string backing = firstLine(entry.path() / "loop" / "backing_file");
            struct stat st {};
            if (backing.empty() || ::stat(backing.c_str(), &st) != 0 || st.st_dev != target.st_dev ||
                st.st_ino != target.st_ino) {
                continue;
            }
            const auto loop = parseDevice(firstLine(entry.path() / "dev"));
            if (!loop) {
                continue;
            }
            bool used = false;
            for (const MountRecord& m : mounts) {
                used = used || partitionOfDisk(roots.sysfs, loop->first, loop->second, m.major, m.minor) >= 0;
            }
            std::error_code inner;
            used = used || !fs::is_empty(entry.path() / "holders", inner);
            for (const auto& part : fs::directory_iterator(entry.path(), inner)) {
                std::error_code e;
                used = used || (fs::exists(part.path() / "partition", e) && !fs::is_empty(part.path() / "holders", e));
            }
            if (used) {
                protection.reason = "it is the file behind /dev/" + entry.path().filename().string() +
                                    ", which is mounted or in use";
                return protection;
            }
        }
        return protection;
    }
    if (!S_ISBLK(target.st_mode)) {
        return protection;
    }
    const ProtectedSet protectedSet = protectedDevices(roots, imagePath);
    // What a write to the target reaches: itself and, below device-mapper and md, the slaves.
    std::vector<DeviceNumber> reached{{major(target.st_rdev), minor(target.st_rdev)}};
    std::set<DeviceNumber> seen;
    for (std::size_t i = 0; i < reached.size(); ++i) {
        if (!seen.insert(reached[i]).second) {
            continue;
        }
        if (const std::string* reason = protectedSet.reasonFor(reached[i])) {
            protection.reason = "it holds the running system: " + *reason;
            return protection;
        }
        std::error_code error;
        const fs::path node = roots.sysfs / "dev" / "block" / deviceText(reached[i]);
        for (const auto& slave : fs::directory_iterator(node / "slaves", error)) {
            if (const auto below = parseDevice(firstLine(slave.path() / "dev"))) {
                reached.push_back(*below);
            }
        }
    }
    if (protectedSet.unknown) {
        protection.reason = "it cannot be told whether it holds the running system (" + *protectedSet.unknown + ")";
    }
    return protection;
}

}  // namespace dorvix
