#pragma once
// Sector callbacks of a FatVolume whose device is an ImageFile (disk/ImageFile.h).

#include <cstddef>
#include <cstdint>

#include "fat/FatVolume.h"

namespace dorvix {

// Image-file write callback: `volume.device` is an ImageFile. Writes min(count x bytesPerSector,
// bufferBytes) bytes at (sector + sectorBias) x bytesPerSector; 0 when all were written, else -1.
int imageFileSectorWriter(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                          std::uint8_t* buffer, std::size_t bufferBytes);

// Read counterpart over the same addressing; used to read an image body back.
int imageFileSectorReader(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                          std::uint8_t* buffer, std::size_t bufferBytes);

}  // namespace dorvix
