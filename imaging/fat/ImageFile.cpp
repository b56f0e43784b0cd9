#include "fat/ImageFile.h"


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

namespace {

// The file region of a sector transfer: nothing when there is no file or the caller's buffer
// cannot hold the whole transfer (a short transfer must not pass for a complete one).
struct SectorTransfer {
    ImageFile* file = nullptr;
    std::uint64_t offset = 0;
    std::size_t bytes = 0;
};

SectorTransfer sectorTransfer(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                              std::size_t bufferBytes) {
    auto* file = static_cast<ImageFile*>(volume.device);
    const std::size_t bytes = std::size_t{count} * volume.bytesPerSector;
    if (file == nullptr || bytes > bufferBytes) {
        return {};
    }
    return {file, (std::uint64_t{firstSector} + volume.sectorBias) * volume.bytesPerSector, bytes};
}

}  // namespace

int imageFileSectorWriter(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                          std::uint8_t* buffer, std::size_t bufferBytes) {
    const SectorTransfer t = sectorTransfer(volume, firstSector, count, bufferBytes);
    return t.file != nullptr && t.file->writeAt(t.offset, {buffer, t.bytes}) ? 0 : -1;
}

int imageFileSectorReader(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                          std::uint8_t* buffer, std::size_t bufferBytes) {
    const SectorTransfer t = sectorTransfer(volume, firstSector, count, bufferBytes);
    return t.file != nullptr && t.file->readAt(t.offset, {buffer, t.bytes}) ? 0 : -1;
}

}  // namespace dorvix
