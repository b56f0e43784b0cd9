#include "platform/DiskDescription.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace dorvix {

namespace {

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n')) {
        line.pop_back();
    }
    return line;
}

}  // namespace

DiskDescription describeDisk(const std::string& path, const std::filesystem::path& sysfsRoot) {
    DiskDescription d;
    // Non-blocking: a FIFO or a device that waits must not hold the dump up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        d.kind = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return d;
    }
    if (S_ISBLK(st.st_mode)) {
        d.kind = "block device";
        std::uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
            d.sizeBytes = bytes;
        }
        const auto node = sysfsRoot / "dev" / "block" /
                          (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
        d.model = firstLine(node / "device" / "model");
        if (d.model.empty()) {
            d.model = firstLine(node / "device" / "name");  // MMC and SD cards
        }
        const std::string vendor = firstLine(node / "device" / "vendor");
        if (!vendor.empty() && vendor.rfind("0x", 0) != 0) {
            d.model = d.model.empty() ? vendor : vendor + " " + d.model;
        }
    } else if (S_ISREG(st.st_mode)) {
        d.kind = "image file";
        d.sizeBytes = static_cast<std::uint64_t>(st.st_size);
    } else {
        d.kind = "neither a block device nor an image file";
    }
    ::close(fd);
    return d;
}

}  // namespace dorvix
