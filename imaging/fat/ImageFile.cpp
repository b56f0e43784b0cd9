#include "fat/ImageFile.h"

#include <algorithm>

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
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
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

int imageFileSectorWriter(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                          std::uint8_t* buffer, std::size_t bufferBytes) {
    auto* file = static_cast<ImageFile*>(volume.device);
    if (file == nullptr) {
        return -1;
    }
    const std::size_t bytes =
        std::min<std::size_t>(std::size_t{count} * volume.bytesPerSector, bufferBytes);
    const std::uint64_t offset =
        (std::uint64_t{firstSector} + volume.sectorBias) * volume.bytesPerSector;
    return file->writeAt(offset, {buffer, bytes}) ? 0 : -1;
}

int imageFileSectorReader(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                          std::uint8_t* buffer, std::size_t bufferBytes) {
    auto* file = static_cast<ImageFile*>(volume.device);
    if (file == nullptr) {
        return -1;
    }
    const std::size_t bytes =
        std::min<std::size_t>(std::size_t{count} * volume.bytesPerSector, bufferBytes);
    const std::uint64_t offset =
        (std::uint64_t{firstSector} + volume.sectorBias) * volume.bytesPerSector;
    return file->readAt(offset, {buffer, bytes}) ? 0 : -1;
}

}  // namespace dorvix
