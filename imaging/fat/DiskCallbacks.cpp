#include "fat/DiskCallbacks.h"

#include "disk/DiskDevice.h"

namespace dorvix {

int diskSectorReader(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count, std::uint8_t* buffer,
                     std::size_t bufferBytes) {
    auto* disk = static_cast<DiskDevice*>(volume.device);
    if (disk == nullptr) {
        return -1;
    }
    return disk->ReadSectors(firstSector, count, {buffer, bufferBytes}) ? 0 : -1;
}

int diskSectorWriter(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count, std::uint8_t* buffer,
                     std::size_t bufferBytes) {
    auto* disk = static_cast<DiskDevice*>(volume.device);
    if (disk == nullptr) {
        return -1;
    }
    return disk->WriteSectors(firstSector, count, {buffer, bufferBytes}) ? 0 : -1;
}

}  // namespace dorvix
