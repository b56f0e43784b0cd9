#pragma once
// Sector callbacks of a FatVolume whose device is a DiskDevice (the disk record of DSKn:).

#include <cstddef>
#include <cstdint>

#include "fat/FatVolume.h"

namespace dorvix {

// `volume.device` is a DiskDevice: ReadSectors / WriteSectors; 0 when they succeed, else -1.
int diskSectorReader(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count, std::uint8_t* buffer,
                     std::size_t bufferBytes);
int diskSectorWriter(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count, std::uint8_t* buffer,
                     std::size_t bufferBytes);

}  // namespace dorvix
