#include "usb/UsbDrives.h"

#include "fat16/Trace.h"
#include "platform/FileFind.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

namespace pellorin {

namespace fs = std::filesystem;

namespace {

std::string trim(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// The first line of a sysfs attribute, trimmed; empty when it cannot be read.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return trim(line);
}

// Writes a sysfs attribute that lies inside `sysfsRoot`: its folder is resolved and checked to be
// there, and the attribute itself is opened without following a link, so that a planted link
// cannot turn the write towards another file.
bool writeAttribute(const fs::path& sysfsRoot, const fs::path& file, const std::string& text) {
    std::error_code ec;
    const fs::path root = fs::canonical(sysfsRoot, ec);
    if (ec) return false;
    const fs::path folder = fs::canonical(file.parent_path(), ec);
    const std::string rel = ec ? std::string() : folder.lexically_relative(root).string();
    if (ec || rel.empty() || rel.starts_with("..") || file.filename().empty()) {
        errno = EPERM;
        return false;
    }
    return WriteExistingFile(folder.string(), file.filename().string(), text);
}

// The mount table's octal escapes ("\040" for a blank) decoded.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && std::isdigit(static_cast<unsigned char>(field[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(field[i + 3]))) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// The block devices the kernel lists: every whole disk and every partition, by name and by
// "major:minor", with the whole disk each partition belongs to.
struct BlockTable {
    std::vector<std::string> disks;                 // whole disks, sorted
    std::map<std::string, std::string> diskOf;      // any block name → its whole disk
    std::map<std::string, std::string> byNumber;    // "8:17" → "sdb1"
    std::map<std::string, std::vector<std::string>> slaves;  // device-mapper/md disk → its slaves
    std::map<std::string, std::string> mapperName;  // device-mapper name ("luks-1234") → "dm-0"
    std::map<std::string, std::string> loopBacking;  // "loop3" → the file behind it

    explicit BlockTable(const fs::path& sysfsRoot) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(sysfsRoot / "block", ec)) {
            const std::string disk = entry.path().filename().string();
            disks.push_back(disk);
            diskOf[disk] = disk;
            const std::string number = readAttribute(entry.path() / "dev");
            if (!number.empty()) byNumber[number] = disk;
            const std::string mapped = readAttribute(entry.path() / "dm/name");
            if (!mapped.empty()) mapperName[mapped] = disk;
            const std::string backing = readAttribute(entry.path() / "loop/backing_file");
            if (!backing.empty()) loopBacking[disk] = backing;
            std::error_code inner;
            for (const auto& part : fs::directory_iterator(entry.path(), inner)) {
                if (!fs::exists(part.path() / "partition", inner)) continue;
                const std::string name = part.path().filename().string();
                diskOf[name] = disk;
                const std::string partNumber = readAttribute(part.path() / "dev");
                if (!partNumber.empty()) byNumber[partNumber] = name;
            }
            for (const auto& slave : fs::directory_iterator(entry.path() / "slaves", inner)) {
                slaves[disk].push_back(slave.path().filename().string());
            }
        }
        std::sort(disks.begin(), disks.end());
    }
};

struct MountEntry {
    std::string number;
    std::string mountPoint;
    std::string fsType;
    std::string source;
    std::string superOptions;
};

std::vector<MountEntry> readMounts(const fs::path& mountInfo) {
    std::vector<MountEntry> mounts;
    std::ifstream in(mountInfo);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        if (words.size() < 5) continue;
        MountEntry entry{words[2], unescapeMountField(words[4]), {}, {}, {}};
        const auto dash = std::find(words.begin() + 5, words.end(), "-");
        if (dash != words.end() && dash + 1 < words.end()) entry.fsType = *(dash + 1);
        if (dash != words.end() && dash + 2 < words.end()) entry.source = unescapeMountField(*(dash + 2));
        if (dash != words.end() && dash + 3 < words.end()) entry.superOptions = *(dash + 3);
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

// File systems that live in memory or in the kernel: they hold no disk.
bool isMemoryFileSystem(const std::string& type) {
    static const std::set<std::string> kTypes = {
        "rootfs", "tmpfs",  "ramfs",      "devtmpfs",  "proc",    "sysfs",      "devpts",  "mqueue",
        "cgroup", "cgroup2",    "securityfs", "debugfs", "tracefs",   "configfs", "hugetlbfs",
        "bpf",    "pstore",     "efivarfs",  "nsfs",    "binfmt_misc", "fusectl", "autofs",
        "rpc_pipefs", "selinuxfs"};
    return kTypes.contains(type);
}

// A network file system from another machine: it holds no local disk. One served by this
// machine itself could hold any of its folders, and is not taken as such.
bool isRemoteNetworkFileSystem(const MountEntry& mount) {
    static const std::set<std::string> kTypes = {"nfs", "nfs4", "cifs", "smb3"};
    if (!kTypes.contains(mount.fsType)) return false;
    std::string host = mount.source;
    if (host.starts_with("//")) host = host.substr(2, host.find('/', 2) - 2);
    else host = host.substr(0, host.rfind(':'));
    if (host.starts_with('[') && host.ends_with(']')) host = host.substr(1, host.size() - 2);
    return !host.empty() && host != "localhost" && !host.starts_with("127.") && host != "::1" &&
           !host.starts_with("localhost.");
}

// Whether `path` lies in the folder `mountPoint` (or is it), comparing whole components.
bool isUnder(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/") return path.starts_with("/");
    return path == mountPoint || (path.starts_with(mountPoint) && path[mountPoint.size()] == '/');
}

// The layers an overlay mount's options name (lowerdir, upperdir, workdir and their appended
// forms). The table writes a comma inside a value as an octal escape, so the options split at
// every comma and each is decoded afterwards.
std::vector<std::string> overlayLayers(const std::string& options) {
    std::vector<std::string> layers;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = options.find(',', start)) != std::string::npos; start = comma + 1) {
        parts.push_back(unescapeMountField(options.substr(start, comma - start)));
    }
    parts.push_back(unescapeMountField(options.substr(start)));
    for (const std::string& part : parts) {
        const auto equals = part.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = part.substr(0, equals);
        if (key != "lowerdir" && key != "upperdir" && key != "workdir" && key != "lowerdir+" && key != "datadir+")
            continue;
        // lowerdir holds several folders, separated by ':' ("::" before data-only layers).
        std::string value = part.substr(equals + 1);
        std::size_t from = 0;
        for (std::size_t colon; (colon = value.find(':', from)) != std::string::npos; from = colon + 1) {
            if (colon > from) layers.push_back(value.substr(from, colon - from));
        }
        if (from < value.size()) layers.push_back(value.substr(from));
    }
    return layers;
}

// Finds the whole disks that hold paths, mounts and block devices: through the mount table to a
// mount's source, and from there through partitions, device-mapper, md, LUKS and LVM (their
// `slaves`), loop devices (their backing files), btrfs (every member device of the file system)
// and overlays (their layers). What cannot be followed to a disk, or to nothing but memory, is
// reported as unknown: a guard must then refuse rather than guess.
class DiskResolver {
public:
    DiskResolver(const BlockTable& table, const std::vector<MountEntry>& mounts, const SystemViews& views)
        : m_table(table), m_mounts(mounts), m_views(views) {}

    // `path` as the kernel names it: no link is followed.
    bool Path(const std::string& path, std::set<std::string>& disks, std::string& why, int depth = 0) const {
        if (depth > kMaxDepth) {
            why = "the mounts under " + path + " nest too deeply";
            return false;
        }
        const MountEntry* holder = Holder(path);
        if (!holder) {
            why = "no mount holds " + path;
            return false;
        }
        return Mount(*holder, disks, why, depth + 1);
    }

    // The mount that holds `path` by the mount points: the longest one that contains it; of equal
    // ones, the last mounted (it hides the others).
    const MountEntry* Holder(const std::string& path) const {
        const MountEntry* holder = nullptr;
        for (const MountEntry& mount : m_mounts) {
            if (isUnder(path, mount.mountPoint) && (!holder || mount.mountPoint.size() >= holder->mountPoint.size()))
                holder = &mount;
        }
        return holder;
    }

    bool Mount(const MountEntry& mount, std::set<std::string>& disks, std::string& why, int depth = 0) const {
        if (isMemoryFileSystem(mount.fsType) || isRemoteNetworkFileSystem(mount)) return true;
        // A FUSE file system over a folder (an encrypted folder, say) lives where that folder does.
        if (mount.fsType.starts_with("fuse.") && mount.source.starts_with("/") && SourceDevice(mount.source).empty()) {
            if (isUnder(mount.source, mount.mountPoint)) {
                why = mount.mountPoint + " is a " + mount.fsType + " over a folder inside itself";
                return false;
            }
            return Path(mount.source, disks, why, depth + 1);
        }
        if (mount.fsType == "overlay") {
            const std::vector<std::string> layers = overlayLayers(mount.superOptions);
            if (layers.empty()) {
                why = "the overlay at " + mount.mountPoint + " names no layers";
                return false;
            }
            for (const std::string& layer : layers) {
                // The layer's folder as it is now: the mount whose device numbers it carries.
                // Its path may no longer name it through the mount points (a live system's
                // medium, mounted before the switch to its root, under another name since).
                if (const MountEntry* holder = MountHolding(layer)) {
                    if (holder->number == mount.number) {
                        why = "the overlay at " + mount.mountPoint + " has a layer " + layer + " that cannot be followed";
                        return false;
                    }
                    if (!Mount(*holder, disks, why, depth + 1)) return false;
                    continue;
                }
                // A layer inside the overlay itself cannot hold it; one under a mount below the
                // overlay's mount point (/run of a root overlay) lies on that mount.
                const MountEntry* holder = Holder(layer);
                if (holder != nullptr && (holder == &mount || holder->number == mount.number)) {
                    why = "the overlay at " + mount.mountPoint + " has a layer " + layer + " that cannot be followed";
                    return false;
                }
                if (!Path(layer, disks, why, depth + 1)) return false;
            }
            return true;
        }
        std::string name;
        if (const auto it = m_table.byNumber.find(mount.number); it != m_table.byNumber.end()) {
            name = it->second;
        } else {
            name = SourceDevice(mount.source);
        }
        if (name.empty()) {
            why = mount.mountPoint + " is a " + (mount.fsType.empty() ? "file system" : mount.fsType) + " from " +
                  (mount.source.empty() ? "an unknown source" : mount.source) + ", on no disk that can be found";
            return false;
        }
        if (mount.fsType == "btrfs") return BtrfsMembers(name, disks, why, depth);
        std::set<std::string> visited;
        return Device(name, disks, why, visited, depth);
    }

    // The block device a mount's source names: a node in the device folder, or a link there
    // (/dev/mapper/…, /dev/disk/by-uuid/…); empty when it names none.
    std::string SourceDevice(const std::string& source) const {
        if (source.empty() || source.front() != '/') return {};
        const fs::path path(source);
        std::error_code ec;
        const fs::path real = fs::canonical(path, ec);
        std::error_code devEc;
        const fs::path realDev = fs::canonical(m_views.devRoot, devEc);
        if (!ec && !devEc && real.parent_path() == realDev && m_table.diskOf.contains(real.filename().string()))
            return real.filename().string();
        if (path.parent_path() == m_views.devRoot && m_table.diskOf.contains(path.filename().string()))
            return path.filename().string();
        if (path.parent_path() == m_views.devRoot / "mapper") {
            if (const auto it = m_table.mapperName.find(path.filename().string()); it != m_table.mapperName.end())
                return it->second;
        }
        return NodeDevice(source);
    }

    // The block device a device node stands for, by its device numbers: a node anywhere (one
    // made with mknod outside the device folder names the same disk). Empty for anything else.
    std::string NodeDevice(const std::string& path) const {
        const std::string number = BlockDeviceNumber(path);
        if (number.empty()) return {};
        const auto it = m_table.byNumber.find(number);
        return it != m_table.byNumber.end() ? it->second : std::string();
    }

    // The mount of the file system that holds the existing `path`, found by the device numbers
    // that stat gives it; null when the path does not exist or no mount carries those numbers.
    const MountEntry* MountHolding(const std::string& path) const {
        const std::string number = FileSystemNumber(path);
        if (number.empty()) return nullptr;
        for (const MountEntry& mount : m_mounts) {
            if (mount.number == number) return &mount;
        }
        return nullptr;
    }

    // The whole disks under a block device, through partitions, stacked devices and loops.
    bool Device(const std::string& name, std::set<std::string>& disks, std::string& why,
                std::set<std::string>& visited, int depth) const {
        const auto it = m_table.diskOf.find(name);
        if (it == m_table.diskOf.end()) {
            why = name + " is not among the kernel's block devices";
            return false;
        }
        const std::string& disk = it->second;
        // A stack that loops back on itself is walked once.
        if (!visited.insert(disk).second) return true;
        if (const auto stacked = m_table.slaves.find(disk); stacked != m_table.slaves.end() && !stacked->second.empty()) {
            for (const std::string& slave : stacked->second) {
                if (!Device(slave, disks, why, visited, depth)) return false;
            }
            return true;
        }
        disks.insert(disk);
        if (const auto loop = m_table.loopBacking.find(disk); loop != m_table.loopBacking.end()) {
            if (loop->second.ends_with(" (deleted)")) {
                why = "the file behind " + disk + " (" + loop->second + ") cannot be followed";
                return false;
            }
            if (!Path(loop->second, disks, why, depth + 1)) return false;
        }
        return true;
    }

    // Every member device of the btrfs file system that `member` belongs to.
    bool BtrfsMembers(const std::string& member, std::set<std::string>& disks, std::string& why, int depth) const {
        std::error_code ec;
        for (const auto& fsid : fs::directory_iterator(m_views.sysfsRoot / "fs/btrfs", ec)) {
            std::vector<std::string> members;
            std::error_code inner;
            for (const auto& device : fs::directory_iterator(fsid.path() / "devices", inner)) {
                members.push_back(device.path().filename().string());
            }
            if (std::find(members.begin(), members.end(), member) == members.end()) continue;
            std::set<std::string> visited;
            for (const std::string& name : members) {
                if (!Device(name, disks, why, visited, depth)) return false;
            }
            return true;
        }
        why = "the devices of the btrfs file system on " + member + " are not listed under " +
              (m_views.sysfsRoot / "fs/btrfs").string();
        return false;
    }

private:
    static constexpr int kMaxDepth = 16;
    const BlockTable& m_table;
    const std::vector<MountEntry>& m_mounts;
    const SystemViews& m_views;
};

bool isUsbPath(const fs::path& devicePath) {
    for (const auto& part : devicePath) {
        const std::string name = part.string();
        if (name.size() > 3 && name.starts_with("usb") && std::isdigit(static_cast<unsigned char>(name[3]))) return true;
    }
    return false;
}

bool isScsiAddress(const std::string& name) {
    int count = 0;
    std::size_t i = 0;
    while (i < name.size()) {
        const std::size_t start = i;
        while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
        if (i == start) return false;
        ++count;
        if (i < name.size()) {
            if (name[i] != ':') return false;
            ++i;
        }
    }
    return count == 4;
}

const char* const kSystemMountPoints[] = {"/", "/boot", "/boot/efi", "/usr", "/home"};

}  // namespace

std::string FormatSize(std::uint64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::vector<DriveInfo> ListDrives(const SystemViews& views) {
    const BlockTable table(views.sysfsRoot);
    const std::vector<MountEntry> mounts = readMounts(views.mountInfo);
    const DiskResolver resolver(table, mounts, views);

    // The mounted file systems of every disk (all member disks of one that spans several).
    std::map<std::string, std::vector<MountedPartition>> mountsOf;
    for (const MountEntry& mount : mounts) {
        if (mount.fsType == "overlay" || isMemoryFileSystem(mount.fsType)) continue;
        std::set<std::string> disks;
        std::string why;
        resolver.Mount(mount, disks, why);
        const auto number = table.byNumber.find(mount.number);
        const std::string device = number != table.byNumber.end() ? number->second : resolver.SourceDevice(mount.source);
        if (device.empty()) continue;
        for (const std::string& disk : disks) mountsOf[disk].push_back({device, mount.mountPoint});
    }

    // Disks that hold the running system: its mount points, active swap, the payload and the
    // program. A path whose disk cannot be found makes every disk unsafe to offer.
    std::set<std::string> systemDisks;
    std::string unknown;
    const auto protect = [&](const std::string& path) {
        std::string why;
        if (!resolver.Path(path, systemDisks, why) && unknown.empty()) unknown = why;
    };
    for (const char* point : kSystemMountPoints) protect(point);
    {
        std::ifstream in(views.swaps);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string file, type;
            if (!(fields >> file >> type)) continue;
            file = unescapeMountField(file);
            if (type == "partition") {
                std::string device = resolver.SourceDevice(file);
                if (device.empty()) device = fs::path(file).filename().string();
                std::set<std::string> visited;
                std::string why;
                if (!resolver.Device(device, systemDisks, why, visited, 0) && unknown.empty()) unknown = why;
            } else {
                protect(file);
            }
        }
    }
    for (const fs::path& path : views.protectedPaths) {
        if (path.empty()) continue;
        // The payload and the program are real files: links are followed to where they lead.
        std::error_code ec;
        const fs::path real = fs::canonical(path, ec);
        protect((ec ? fs::absolute(path, ec).lexically_normal() : real).string());
    }

    std::vector<DriveInfo> drives;
    for (const std::string& name : table.disks) {
        const fs::path dir = views.sysfsRoot / "block" / name;
        DriveInfo drive;
        drive.name = name;
        drive.devicePath = (views.devRoot / name).string();
        drive.model = trim(readAttribute(dir / "device/vendor") + " " + readAttribute(dir / "device/model"));
        const std::string sectors = readAttribute(dir / "size");
        drive.sizeBytes = sectors.empty() ? 0 : std::strtoull(sectors.c_str(), nullptr, 10) * 512ULL;
        drive.logicalSectorSize =
            static_cast<unsigned>(std::strtoul(readAttribute(dir / "queue/logical_block_size").c_str(), nullptr, 10));
        // Unused loop and RAM devices are not disks anyone could pick.
        if (drive.sizeBytes == 0 && (name.starts_with("loop") || name.starts_with("ram"))) continue;

        std::error_code ec;
        const fs::path device = fs::canonical(dir / "device", ec);
        const bool onUsb = !ec && isUsbPath(device);
        const std::string type = readAttribute(dir / "device/type");
        drive.usb = onUsb && type == "0";
        drive.systemDisk = systemDisks.contains(name) || !unknown.empty();
        if (const auto it = mountsOf.find(name); it != mountsOf.end()) drive.mounts = it->second;

        if (systemDisks.contains(name)) drive.reason = "holds the running system";
        else if (!unknown.empty()) drive.reason = "may hold the running system: " + unknown;
        else if (!onUsb) drive.reason = "not on the USB bus";
        else if (type != "0") drive.reason = "a USB device that is not a disk (SCSI type " + (type.empty() ? "?" : type) + ")";
        else if (drive.sizeBytes == 0) drive.reason = "no medium";
        drive.formattable = drive.reason.empty();
        drives.push_back(std::move(drive));
    }
    return drives;
}

std::optional<DriveInfo> FindDrive(const SystemViews& views, const std::string& device) {
    fs::path path(device);
    if (device.find('/') != std::string::npos && path.parent_path() != views.devRoot) {
        // A link such as /dev/disk/by-id/usb-… names the device node it points to.
        std::error_code ec;
        const fs::path real = fs::canonical(path, ec);
        std::error_code devEc;
        const fs::path realDev = fs::canonical(views.devRoot, devEc);
        if (ec || devEc || real.parent_path() != realDev) return std::nullopt;
        path = views.devRoot / real.filename();
    }
    const std::string name = path.filename().string();
    if (name.empty()) return std::nullopt;
    for (DriveInfo& drive : ListDrives(views)) {
        if (drive.name == name) return std::move(drive);
    }
    return std::nullopt;
}

std::optional<ScsiPlace> FindScsiPlace(const fs::path& sysfsRoot, const std::string& diskName) {
    std::error_code ec;
    const fs::path device = fs::canonical(sysfsRoot / "block" / diskName / "device", ec);
    if (ec || !isScsiAddress(device.filename().string())) return std::nullopt;
    ScsiPlace place;
    place.deviceDir = device;
    const std::string address = device.filename().string();  // host:channel:target:lun
    const auto firstColon = address.find(':');
    place.channelTargetLun = address.substr(firstColon + 1);
    std::replace(place.channelTargetLun.begin(), place.channelTargetLun.end(), ':', ' ');
    const std::string hostName = "host" + address.substr(0, firstColon);
    for (fs::path dir = device.parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        DebugPrint(3, "%s", dir.c_str());
        if (dir.filename() == hostName) {
            place.hostDir = dir;
            place.hostName = hostName;
            return place;
        }
    }
    return std::nullopt;
}

bool RemoveScsiDevice(const fs::path& sysfsRoot, const ScsiPlace& place) {
    DebugPrint(1, "Removing %s...", place.deviceDir.filename().c_str());
    if (!writeAttribute(sysfsRoot, place.deviceDir / "delete", "1")) {
        ReportError("", static_cast<DWORD>(errno));
        return false;
    }
    DebugPrint(1, "\t...successfully done!");
    return true;
}

bool RescanScsiDevice(const fs::path& sysfsRoot, const ScsiPlace& place) {
    // The host's own scan file, or the same one under the scsi_host class.
    fs::path scan = place.hostDir / "scsi_host" / place.hostName / "scan";
    std::error_code ec;
    if (!fs::exists(scan, ec)) scan = sysfsRoot / "class/scsi_host" / place.hostName / "scan";
    if (!writeAttribute(sysfsRoot, scan, place.channelTargetLun)) {
        DebugPrint(1, "ERROR@scan - (%s)", scan.c_str());
        ReportError("", static_cast<DWORD>(errno));
        return false;
    }
    return true;
}

}  // namespace pellorin
