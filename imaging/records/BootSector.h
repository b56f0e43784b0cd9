#pragma once
// Volume boot sector of a FAT volume (first sector of its partition): jump, BIOS parameter
// block, extended fields, boot code and signature. Offsets in bytes; multi-byte fields are
// little-endian. And the one check of its parameter block, with the limits each caller sets.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace dorvix {

namespace bootsector {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kJump = 0;
inline constexpr std::size_t kJumpBytes = 3;
inline constexpr std::size_t kBytesPerSector = 11;     // 16-bit
inline constexpr std::size_t kSectorsPerCluster = 13;  // 8-bit
inline constexpr std::size_t kReservedSectors = 14;    // 16-bit, boot sector included
inline constexpr std::size_t kNumberOfFats = 16;       // 8-bit
inline constexpr std::size_t kRootEntries = 17;        // 16-bit
inline constexpr std::size_t kTotalSectors16 = 19;     // 16-bit, 0 when the 32-bit field is used
inline constexpr std::size_t kSectorsPerFat = 22;      // 16-bit
inline constexpr std::size_t kSectorsPerTrack = 24;    // 16-bit
inline constexpr std::size_t kHeads = 26;              // 16-bit
inline constexpr std::size_t kHiddenSectors = 28;      // 32-bit: first sector of the partition
inline constexpr std::size_t kTotalSectors32 = 32;     // 32-bit
inline constexpr std::size_t kExtendedSignature = 38;  // 0x29 when serial number and label follow
inline constexpr std::size_t kSerialNumber = 39;       // 32-bit
inline constexpr std::size_t kVolumeLabel = 43;        // 11 bytes
inline constexpr std::size_t kVolumeLabelBytes = 11;
inline constexpr std::size_t kBootCode = 62;           // 448 bytes, offsets 62-509
inline constexpr std::size_t kBootCodeEnd = 510;       // exclusive: the signature follows
inline constexpr std::size_t kSignature = 510;         // 0x55 0xAA
}  // namespace bootsector

// The sector count the boot sector states: the 16-bit field, or the 32-bit one when that is 0.
std::uint32_t bootTotalSectors(std::span<const std::uint8_t> boot);

// What a caller accepts beyond a FAT16 parameter block with 512-byte sectors.
struct BootSectorLimits {
    std::uint32_t maxSectorsPerCluster = 128;  // a power of two up to this
    std::uint32_t maxNumberOfFats = 255;
    // The hidden-sectors field must equal this (the partition's first sector) when given.
    std::optional<std::uint32_t> hiddenSectors;
    // The partition's size bounds the volume when given: a stated size of 0 or one past the
    // partition counts as the partition's size.
    std::optional<std::uint32_t> partitionSectors;
    // The first data sector (hidden sectors included) must lie below this.
    std::uint64_t dataStartLimit = std::numeric_limits<std::uint64_t>::max();
};

enum class BootSectorProblem {
    None,
    SectorSize,  // sectors are not 512 bytes
    NotFat16,    // a parameter that is not a FAT16 volume within the limits
};

// Checks the parameter block: 512-byte sectors; a power-of-two cluster size; reserved sectors,
// FATs, root entries and sectors per FAT not 0; the limits; a data area inside the volume with
// a FAT16 cluster count (4085-65524) whose entries all fit in one FAT.
BootSectorProblem checkBootSector(std::span<const std::uint8_t> boot, const BootSectorLimits& limits);

}  // namespace dorvix
