#include "disk/ImageFile.h"

#include "platform/InputFile.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace dorvix {

ImageFile::~ImageFile() {
    close();
}

bool ImageFile::create(const std::filesystem::path& path) {
    close();
    m_file = std::fopen(path.c_str(), "w+b");
    return m_file != nullptr;
}

bool ImageFile::open(const std::filesystem::path& path) {
    close();
    m_file = std::fopen(path.c_str(), "r+b");
    return m_file != nullptr;
}

void ImageFile::close() {
    if (!m_finalPath.empty()) {
        discard();
        return;
    }
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
}

bool ImageFile::createTemporary(const std::filesystem::path& finalPath) {
    close();
    std::filesystem::path folder = finalPath.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    std::filesystem::path named;
    if (fd < 0) {
        // File systems without unnamed files: a hidden name beside the final one.
        std::string hidden = ".";
        hidden += finalPath.filename().string();
        hidden += ".XXXXXX";
        std::string pattern = (folder / hidden).string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        fd = ::mkostemp(buffer.data(), O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        named = buffer.data();
    }
    m_file = ::fdopen(fd, "w+b");
    if (m_file == nullptr) {
        ::close(fd);
        if (!named.empty()) {
            ::unlink(named.c_str());
        }
        return false;
    }
    m_finalPath = finalPath;
    m_tempPath = named;
    return true;
}

bool ImageFile::commit() {
    if (m_file == nullptr || m_finalPath.empty()) {
        return false;
    }
    const int fd = ::fileno(m_file);
    bool ok = std::fflush(m_file) == 0 && ::fsync(fd) == 0;
    std::filesystem::path placed = m_tempPath;
    if (ok && placed.empty()) {
        // An unnamed file gets a hidden name first: linkat cannot replace an existing file.
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
        std::filesystem::path folder = m_finalPath.parent_path();
        if (folder.empty()) {
            folder = ".";
        }
        for (int attempt = 0; attempt < 100 && placed.empty(); ++attempt) {
            std::string hidden = ".";
            hidden += m_finalPath.filename().string();
            hidden += '.';
            hidden += std::to_string(::getpid());
            hidden += '.';
            hidden += std::to_string(attempt);
            const std::filesystem::path candidate = folder / hidden;
            if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                placed = candidate;
            } else if (errno != EEXIST) {
                break;
            }
        }
        ok = !placed.empty();
        m_tempPath = placed;
    }
    // rename() would put the image in place of a device node or FIFO that appeared there.
    ok = ok && outputPathReplaceable(m_finalPath.string()) && ::rename(placed.c_str(), m_finalPath.c_str()) == 0;
    if (!ok) {
        discard();
        return false;
    }
    std::fclose(m_file);
    m_file = nullptr;
    m_tempPath.clear();
    std::filesystem::path folder = m_finalPath.parent_path();
    m_finalPath.clear();
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return false;
    }
    const bool synced = ::fsync(dir) == 0;
    ::close(dir);
    return synced;
}

void ImageFile::discard() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
    }
    m_tempPath.clear();
    m_finalPath.clear();
}

bool ImageFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (m_file == nullptr || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    if (::fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return false;
    }
    return std::fwrite(bytes.data(), 1, bytes.size(), m_file) == bytes.size();
}

bool ImageFile::readAt(std::uint64_t offset, std::span<std::uint8_t> bytes) {
    if (m_file == nullptr || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    if (::fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        return false;
    }
    return std::fread(bytes.data(), 1, bytes.size(), m_file) == bytes.size();
}

std::int64_t ImageFile::length() {
    if (m_file == nullptr || ::fseeko(m_file, 0, SEEK_END) != 0) {
        return -1;
    }
    return ::ftello(m_file);
}

bool ImageFile::flush() {
    return m_file != nullptr && std::fflush(m_file) == 0;
}

namespace {

// Byte offset and length of a sector transfer; nothing when the buffer cannot hold it all.
bool sectorRegion(std::uint32_t firstSector, std::uint32_t count, std::uint32_t bias, std::size_t bufferBytes,
                  std::uint64_t& offset, std::size_t& bytes) {
    bytes = std::size_t{count} * ImageFileDisk::kSectorBytes;
    offset = (std::uint64_t{firstSector} + bias) * ImageFileDisk::kSectorBytes;
    return bytes <= bufferBytes;
}

}  // namespace

std::uint32_t ImageFileDisk::read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) {
    std::uint64_t offset = 0;
    std::size_t bytes = 0;
    if (!sectorRegion(firstSector, count, m_bias, buffer.size(), offset, bytes)) {
        return EINVAL;
    }
    return m_file.readAt(offset, buffer.first(bytes)) ? 0 : EIO;
}

std::uint32_t ImageFileDisk::write(std::uint32_t firstSector, std::uint32_t count,
                                   std::span<const std::uint8_t> buffer) {
    std::uint64_t offset = 0;
    std::size_t bytes = 0;
    if (!sectorRegion(firstSector, count, m_bias, buffer.size(), offset, bytes)) {
        return EINVAL;
    }
    return m_file.writeAt(offset, buffer.first(bytes)) ? 0 : EIO;
}

std::uint32_t ImageFileDisk::flush() { return m_file.flush() ? 0 : EIO; }

}  // namespace dorvix
