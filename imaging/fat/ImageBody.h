#pragma once
// Layout of the body of a FAT-aware image file. The body is a sparse copy of a small virtual
// disk, each part at the sector where it lies on that disk:
//
//   image sector 0        MBR template (partition entry 1 starts at sector 32)
//   P = 32                the source volume's boot sector, byte for byte
//   F = hidden + reserved first FAT of the compacted volume, then the second FAT
//   R = F + FATs x fatSectors   root directory (packed, no deleted entries)
//   D = R + rootSectors   data area: cluster c at D + sectorsPerCluster x (c - 2)
//
// Image sector s is stored at file offset 512 + 512 x s (the header takes the first 512 bytes).
// Every file and directory occupies one contiguous ascending run of clusters; directory entries
// keep their fields except the first cluster, and a directory's size field counts 32 bytes for
// each of its surviving entries (".", "..", long-name entries included). Layout values are the
// source volume's: the body is not re-laid-out.

#include <cstdint>
#include <span>

#include "fat/FatVolume.h"
#include "records/KmvHeader.h"

namespace dorvix {

inline constexpr std::uint32_t kImageSectorBytes = 512;
inline constexpr std::uint32_t kImageHeaderBytes = kmvheader::kSize;
inline constexpr std::uint32_t kImageBootSector = 32;         // first sector of the template's partition
inline constexpr std::uint32_t kImageTemplateSectors = 125024;  // its sector count

struct ImageBodyLayout {
    std::uint32_t bootSector = 0;        // P, from the MBR's partition entry 1
    std::uint32_t fatSector = 0;         // F
    std::uint32_t fatSectors = 0;
    std::uint32_t numberOfFats = 0;
    std::uint32_t rootSector = 0;        // R
    std::uint32_t rootSectors = 0;
    std::uint32_t dataSector = 0;        // D
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t bytesPerSector = 0;
};

// The layout from the body's MBR and stored boot sector (512 bytes each). Pure.
ImageBodyLayout imageBodyLayout(std::span<const std::uint8_t> mbrSector, std::span<const std::uint8_t> bootSector);

// File offset of image sector `sector`.
constexpr std::uint64_t imageSectorOffset(std::uint32_t sector) {
    return kImageHeaderBytes + std::uint64_t{sector} * kImageSectorBytes;
}

// First image sector of cluster `cluster` (2 and above).
std::uint32_t imageClusterSector(const ImageBodyLayout& layout, std::uint16_t cluster);

// True when the body can carry the source volume: its first FAT must begin behind the boot
// sector's place (sector 32) so the two do not overlap.
bool imageBodyCanCarry(const FatVolume& source);

// The volume written into the image: the source's layout, an empty FAT (entries 0 and 1 set),
// a zeroed root directory, and `disk` (the image file's sectors behind its header, an
// ImageFileDisk with bias 1) as its disk.
FatVolume makeImageVolume(const FatVolume& source, SectorDisk& disk);

// The program's MBR template (512 bytes).
std::span<const std::uint8_t> mbrTemplate();

}  // namespace dorvix
