#include "fat/ImageFileSectors.h"

#include "disk/ImageFile.h"

namespace dorvix {

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
