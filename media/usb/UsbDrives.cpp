#include "usb/UsbDrives.h"

#include "fat16/Trace.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

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

bool writeAttribute(const fs::path& file, const std::string& text) {
    std::FILE* f = std::fopen(file.c_str(), "w");
    if (f == nullptr) return false;
    const bool written = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && written;
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

std::string devNumber(dev_t dev) { return std::to_string(major(dev)) + ":" + std::to_string(minor(dev)); }

// The block devices the kernel lists: every whole disk and every partition, by name and by
// "major:minor", with the whole disk each partition belongs to.
struct BlockTable {
    std::vector<std::string> disks;                 // whole disks, sorted
    std::map<std::string, std::string> diskOf;      // any block name → its whole disk
    std::map<std::string, std::string> byNumber;    // "8:17" → "sdb1"
    std::map<std::string, std::vector<std::string>> slaves;  // device-mapper/md disk → its slaves

    explicit BlockTable(const fs::path& sysfsRoot) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(sysfsRoot / "block", ec)) {
            const std::string disk = entry.path().filename().string();
            disks.push_back(disk);
            diskOf[disk] = disk;
            const std::string number = readAttribute(entry.path() / "dev");
            if (!number.empty()) byNumber[number] = disk;
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

    // The whole disks that hold a block device, through partitions and stacked devices.
    void physicalDisks(const std::string& name, std::set<std::string>& out, int depth = 0) const {
        const auto it = diskOf.find(name);
        if (it == diskOf.end() || depth > 16) return;
        const auto stacked = slaves.find(it->second);
        if (stacked == slaves.end() || stacked->second.empty()) {
            out.insert(it->second);
            return;
        }
        for (const std::string& slave : stacked->second) physicalDisks(slave, out, depth + 1);
    }
};

struct MountEntry {
    std::string number;
    std::string mountPoint;
    std::string source;
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
        MountEntry entry{words[2], unescapeMountField(words[4]), {}};
        const auto dash = std::find(words.begin(), words.end(), "-");
        if (dash != words.end() && dash + 2 < words.end()) entry.source = unescapeMountField(*(dash + 2));
        mounts.push_back(std::move(entry));
    }
    return mounts;
}

// The block device a mount stands on: its device number, or (for file systems that show an
// anonymous number, such as subvolumes) its source under the device folder.
std::string mountDevice(const MountEntry& mount, const BlockTable& table, const fs::path& devRoot) {
    const auto it = table.byNumber.find(mount.number);
    if (it != table.byNumber.end()) return it->second;
    const fs::path source(mount.source);
    if (!mount.source.empty() && source.parent_path() == devRoot) return source.filename().string();
    return {};
}

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

    // Disks that hold the running system, and the mounted partitions of every disk.
    std::set<std::string> systemDisks;
    std::map<std::string, std::vector<MountedPartition>> mountsOf;
    for (const MountEntry& mount : readMounts(views.mountInfo)) {
        const std::string device = mountDevice(mount, table, views.devRoot);
        if (device.empty()) continue;
        std::set<std::string> disks;
        table.physicalDisks(device, disks);
        const bool system = std::find(std::begin(kSystemMountPoints), std::end(kSystemMountPoints),
                                      mount.mountPoint) != std::end(kSystemMountPoints);
        for (const std::string& disk : disks) {
            mountsOf[disk].push_back({device, mount.mountPoint});
            if (system) systemDisks.insert(disk);
        }
    }
    {
        std::ifstream in(views.swaps);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string file, type;
            if (!(fields >> file >> type)) continue;
            file = unescapeMountField(file);
            std::string device;
            if (type == "partition") {
                std::error_code ec;
                const fs::path real = fs::canonical(file, ec);
                device = (ec ? fs::path(file) : real).filename().string();
                if (!table.diskOf.contains(device)) device = fs::path(file).filename().string();
            } else {
                struct stat st {};
                if (::stat(file.c_str(), &st) == 0) {
                    const auto it = table.byNumber.find(devNumber(st.st_dev));
                    if (it != table.byNumber.end()) device = it->second;
                }
            }
            std::set<std::string> disks;
            table.physicalDisks(device, disks);
            systemDisks.insert(disks.begin(), disks.end());
        }
    }
    for (const fs::path& path : views.protectedPaths) {
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0) continue;
        const auto it = table.byNumber.find(devNumber(st.st_dev));
        if (it == table.byNumber.end()) continue;
        std::set<std::string> disks;
        table.physicalDisks(it->second, disks);
        systemDisks.insert(disks.begin(), disks.end());
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
        // Unused loop and RAM devices are not disks anyone could pick.
        if (drive.sizeBytes == 0 && (name.starts_with("loop") || name.starts_with("ram"))) continue;

        std::error_code ec;
        const fs::path device = fs::canonical(dir / "device", ec);
        const bool onUsb = !ec && isUsbPath(device);
        const std::string type = readAttribute(dir / "device/type");
        drive.usb = onUsb && type == "0";
        drive.systemDisk = systemDisks.contains(name);
        if (const auto it = mountsOf.find(name); it != mountsOf.end()) drive.mounts = it->second;

        if (drive.systemDisk) drive.reason = "holds the running system";
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

bool RemoveScsiDevice(const ScsiPlace& place) {
    DebugPrint(1, "Removing %s...", place.deviceDir.filename().c_str());
    if (!writeAttribute(place.deviceDir / "delete", "1")) {
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
    if (!writeAttribute(scan, place.channelTargetLun)) {
        DebugPrint(1, "ERROR@scan - (%s)", scan.c_str());
        ReportError("", static_cast<DWORD>(errno));
        return false;
    }
    return true;
}

}  // namespace pellorin
