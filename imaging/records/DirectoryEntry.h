#pragma once
// FAT directory entry (32 bytes): the short entry of a file, folder or label, and the long-name
// slots that precede it. Offsets in bytes; multi-byte fields are little-endian.

#include <cstddef>
#include <cstdint>

namespace dorvix {

namespace direntry {
inline constexpr std::size_t kBytes = 32;
inline constexpr std::size_t kName = 0;           // 8 bytes; byte 0 also marks end/deleted/dot
inline constexpr std::size_t kExtension = 8;      // 3 bytes
inline constexpr std::size_t kShortNameBytes = 11;  // name and extension
inline constexpr std::size_t kAttributes = 11;
inline constexpr std::size_t kFirstCluster = 26;  // 16-bit, 0 = no cluster
inline constexpr std::size_t kSize = 28;          // 32-bit

inline constexpr std::uint8_t kEndOfDirectory = 0x00;
inline constexpr std::uint8_t kDeleted = 0xE5;
inline constexpr std::uint8_t kDot = 0x2E;

// Attribute values are compared as exact bytes, except the directory and label bits.
inline constexpr std::uint8_t kLongName = 0x0F;
inline constexpr std::uint8_t kVolumeLabel = 0x28;  // label bit with archive bit
inline constexpr std::uint8_t kLabelBit = 0x08;
inline constexpr std::uint8_t kDirectoryBit = 0x10;

// Long-name slot: sequence byte 0 (0x40 = stored first; low five bits = the slot's number, which
// for the slot stored first is the number of slots in the set: 1 to 20, since 20 x 13 characters
// hold the longest name, 255), a byte 12 that must be 0, the checksum of the short name at 13,
// and 13 UTF-16 characters at offsets 1-10, 14-25 and 28-31 (its first-cluster field at 26 stays
// 0).
inline constexpr std::size_t kLongSequence = 0;
inline constexpr std::size_t kLongReserved = 12;
inline constexpr std::size_t kLongChecksum = 13;
inline constexpr std::uint8_t kLastLongEntry = 0x40;
inline constexpr std::uint8_t kLongCountMask = 0x1F;
inline constexpr std::size_t kMaxLongSlots = 20;
inline constexpr std::size_t kLongNameChars = 13;
inline constexpr std::size_t kLongCharOffsets[kLongNameChars] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
}  // namespace direntry

}  // namespace dorvix
