#pragma once
// Master boot record (sector 0 of a disk): boot code, four partition entries of 16 bytes and
// the signature. Only partition entry 1 is used. Offsets in bytes; multi-byte fields are
// little-endian (records/ByteOrder.h).

#include <cstddef>
#include <cstdint>

namespace dorvix {

namespace mbr {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kBootCodeBytes = 446;  // bytes 0-445, ahead of the partition table
inline constexpr std::size_t kPartition1 = 446;
inline constexpr std::size_t kSignature = 510;      // 0x55 0xAA, read as the 16-bit kSignatureValue
inline constexpr std::uint16_t kSignatureValue = 0xAA55;

// Fields of a partition entry, from the entry's first byte.
namespace partition {
inline constexpr std::size_t kBytes = 16;
inline constexpr std::size_t kBootIndicator = 0;  // 0x80 = active
inline constexpr std::size_t kStartHead = 1;
inline constexpr std::size_t kStartSector = 2;    // bits 0-5 sector, 6-7 cylinder bits 8-9
inline constexpr std::size_t kStartCylinder = 3;
inline constexpr std::size_t kType = 4;
inline constexpr std::size_t kEndHead = 5;
inline constexpr std::size_t kEndSector = 6;      // bits 0-5 sector, 6-7 cylinder bits 8-9
inline constexpr std::size_t kEndCylinder = 7;
inline constexpr std::size_t kFirstSector = 8;    // 32-bit LBA
inline constexpr std::size_t kSectorCount = 12;   // 32-bit

inline constexpr std::uint8_t kActive = 0x80;
inline constexpr std::uint8_t kMaxSectorByte = 0x3F;  // above: the start needs cylinder bits 8-9
inline constexpr std::uint8_t kTypeFat16Lba = 0x0E;
}  // namespace partition

// The fields of partition entry 1, from the start of the MBR.
inline constexpr std::size_t kBootIndicator = kPartition1 + partition::kBootIndicator;
inline constexpr std::size_t kStartHead = kPartition1 + partition::kStartHead;
inline constexpr std::size_t kStartSector = kPartition1 + partition::kStartSector;
inline constexpr std::size_t kStartCylinder = kPartition1 + partition::kStartCylinder;
inline constexpr std::size_t kType = kPartition1 + partition::kType;
inline constexpr std::size_t kEndHead = kPartition1 + partition::kEndHead;
inline constexpr std::size_t kEndSector = kPartition1 + partition::kEndSector;
inline constexpr std::size_t kEndCylinder = kPartition1 + partition::kEndCylinder;
inline constexpr std::size_t kFirstSector = kPartition1 + partition::kFirstSector;
inline constexpr std::size_t kSectorCount = kPartition1 + partition::kSectorCount;
}  // namespace mbr

}  // namespace dorvix
