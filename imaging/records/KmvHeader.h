#pragma once
// The 512-byte header at the start of every image file ("KMV style file"). Offsets in bytes;
// multi-byte fields are little-endian.

#include <cstddef>
#include <cstdint>

namespace dorvix {

namespace kmvheader {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kHeaderSize = 0;        // 16-bit, 512
inline constexpr std::size_t kSignature = 2;         // 12 ASCII characters, no terminator
inline constexpr std::size_t kSignatureLength = 12;
inline constexpr std::size_t kBytesPerSector = 14;   // 16-bit
inline constexpr std::size_t kSectorsPerTrack = 16;  // 16-bit
inline constexpr std::size_t kHeads = 18;            // 16-bit
inline constexpr std::size_t kCylinders = 20;        // 32-bit
inline constexpr std::size_t kBodySectors = 32;      // 32-bit
inline constexpr std::size_t kReserved40 = 40;       // written as 2
inline constexpr std::size_t kReserved41 = 41;       // written as 0x34
inline constexpr std::size_t kReserved170 = 170;     // 0 flat capture, 4 FAT-aware capture
inline constexpr std::size_t kTargetBios = 171;      // ASCII list, NUL-terminated
inline constexpr std::size_t kTargetBiosField = 256;
inline constexpr std::size_t kTargetBiosMaxLength = 255;
inline constexpr std::size_t kReserved427 = 427;     // 4 bytes nobody reads
inline constexpr std::size_t kImageKind = 510;
inline constexpr std::size_t kChecksum = 511;

inline constexpr char kSignatureText[] = "!QZ_WRX_STAR";
inline constexpr std::uint8_t kReserved40Value = 2;
inline constexpr std::uint8_t kReserved41Value = 0x34;
inline constexpr std::uint8_t kKindFlat = 2;
inline constexpr std::uint8_t kKindFat = 3;
}  // namespace kmvheader

}  // namespace dorvix
