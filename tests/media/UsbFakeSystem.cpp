#include "UsbFakeSystem.h"

#include <algorithm>
#include <fstream>

namespace pellorin::testing_support {

namespace fs = std::filesystem;
using testsupport::writeFileText;

FakeSystem::FakeSystem() : m_sys(m_dir / "sys"), m_dev(m_dir / "dev") {
    fs::create_directories(m_sys / "block");
    fs::create_directories(m_dev);
    writeMounts();
}

void FakeSystem::AddDisk(const Disk& disk) {
    const fs::path device = m_sys / "devices" / disk.busPath;
    fs::create_directories(device);
    if (!disk.type.empty()) writeFileText(device / "type", disk.type + "\n");
    writeFileText(device / "vendor", disk.vendor + "    \n");
    writeFileText(device / "model", disk.model + "  \n");
    writeFileText(device / "delete", "");
    // The SCSI host's scan file, when the path has a host.
    for (fs::path dir = device; dir != m_sys / "devices"; dir = dir.parent_path()) {
        const std::string name = dir.filename().string();
        if (name.starts_with("host")) {
            fs::create_directories(dir / "scsi_host" / name);
            writeFileText(dir / "scsi_host" / name / "scan", "");
        }
    }
    const fs::path block = m_sys / "block" / disk.name;
    fs::create_directories(block);
    fs::create_directory_symlink(device, block / "device");
    writeFileText(block / "dev", disk.number + "\n");
    writeFileText(block / "size", std::to_string(disk.sectors) + "\n");
    const auto colon = disk.number.find(':');
    const int major = std::stoi(disk.number.substr(0, colon));
    const int minor = std::stoi(disk.number.substr(colon + 1));
    for (std::size_t i = 0; i < disk.partitions.size(); ++i) {
        fs::create_directories(block / disk.partitions[i]);
        writeFileText(block / disk.partitions[i] / "partition", std::to_string(i + 1) + "\n");
        writeFileText(block / disk.partitions[i] / "dev",
                      std::to_string(major) + ":" + std::to_string(minor + 1 + static_cast<int>(i)) + "\n");
    }
}

void FakeSystem::AddStacked(const std::string& name, const std::string& number, const std::vector<std::string>& slaves) {
    const fs::path block = m_sys / "block" / name;
    fs::create_directories(block / "slaves");
    writeFileText(block / "dev", number + "\n");
    writeFileText(block / "size", "1000\n");
    for (const std::string& slave : slaves) fs::create_directories(block / "slaves" / slave);
}

void FakeSystem::AddMount(const std::string& number, const std::string& mountPoint, const std::string& source) {
    m_mountLines.push_back(std::to_string(m_mountId) + " 1 " + number + " / " + mountPoint +
                           " rw,relatime shared:1 - vfat " + source + " rw");
    ++m_mountId;
    writeMounts();
}

void FakeSystem::SetMounts(const std::vector<std::string>& lines) {
    m_mountLines = lines;
    writeMounts();
}

void FakeSystem::AddSwap(const std::string& file, const std::string& type) {
    m_swapLines.push_back(file + "\t" + type + "\t1000\t0\t-2");
    writeMounts();
}

void FakeSystem::AddMountLine(const std::string& line) {
    m_mountLines.push_back(line);
    writeMounts();
}

void FakeSystem::writeMounts() {
    // A machine always has a root; unless a test mounts one, it is a file system in memory.
    std::string mounts;
    const bool root = std::any_of(m_mountLines.begin(), m_mountLines.end(),
                                  [](const std::string& line) { return line.find(" / / ") != std::string::npos; });
    if (!root) mounts += "1 0 0:1 / / rw - tmpfs rootfs rw\n";
    for (const auto& line : m_mountLines) mounts += line + "\n";
    writeFileText(m_dir / "mountinfo", mounts);
    std::string swaps = "Filename\tType\tSize\tUsed\tPriority\n";
    for (const auto& line : m_swapLines) swaps += line + "\n";
    writeFileText(m_dir / "swaps", swaps);
}

fs::path FakeSystem::MakeImage(const std::string& name, std::uint64_t bytes) {
    const fs::path image = m_dev / name;
    { std::ofstream create(image, std::ios::binary); }
    fs::resize_file(image, bytes);
    return image;
}

SystemViews FakeSystem::Views() const {
    SystemViews views;
    views.sysfsRoot = m_sys;
    views.mountInfo = m_dir.path() / "mountinfo";
    views.swaps = m_dir.path() / "swaps";
    views.devRoot = m_dev;
    views.protectedPaths = protectedPaths;
    return views;
}

}  // namespace pellorin::testing_support
