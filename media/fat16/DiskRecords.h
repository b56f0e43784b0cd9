#pragma once
// The on-disk records of the bootable FAT16 disk that pellorin writes, as named byte offsets:
// the master boot record with its partition table, the partition boot sector with its
// parameter block, and the 32-byte directory entry. The records follow Microsoft's published
// FAT file system layout; multi-byte fields are little-endian (fat16/ByteOrder.h).

#include <cstddef>
#include <cstdint>

namespace pellorin {

// Master boot record (sector 0 of the disk). Only the first partition entry is used.
namespace mbr {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kPartitionTable = 0x1BE;  // four entries of 16 bytes
inline constexpr std::size_t kPartitionTableBytes = 64;

// Fields of a partition entry, from the entry's first byte.
namespace partition {
inline constexpr std::size_t kBytes = 16;
inline constexpr std::size_t kStatus = 0x0;        // 0x80 = active
inline constexpr std::size_t kStartHead = 0x1;
inline constexpr std::size_t kStartSector = 0x2;   // bits 0-5 sector, 6-7 cylinder bits 8-9
inline constexpr std::size_t kStartCylinder = 0x3;
inline constexpr std::size_t kType = 0x4;
inline constexpr std::size_t kEndHead = 0x5;
inline constexpr std::size_t kEndSector = 0x6;     // bits 0-5 sector, 6-7 cylinder bits 8-9
inline constexpr std::size_t kEndCylinder = 0x7;
inline constexpr std::size_t kFirstLba = 0x8;      // 32-bit
inline constexpr std::size_t kSectorCount = 0xC;   // 32-bit

inline constexpr std::uint8_t kActive = 0x80;
inline constexpr std::uint8_t kTypeFat16Chs = 0x06;  // FAT16 reached by cylinder, head and sector
inline constexpr std::uint8_t kTypeFat16Lba = 0x0E;  // FAT16 reached by logical block address
}  // namespace partition

// The type byte of the first partition entry, from the start of the record.
inline constexpr std::size_t kFirstPartitionType = kPartitionTable + partition::kType;
}  // namespace mbr

// Partition boot sector: the FAT parameter block and the extended parameter block.
namespace bootsector {
inline constexpr std::size_t kSize = 512;
inline constexpr std::size_t kOemName = 0x03;            // 8 bytes
inline constexpr std::size_t kBytesPerSector = 0x0B;     // 16-bit
inline constexpr std::size_t kSectorsPerCluster = 0x0D;  // 8-bit
inline constexpr std::size_t kReservedSectors = 0x0E;    // 16-bit, boot sector included
inline constexpr std::size_t kFatCount = 0x10;           // 8-bit
inline constexpr std::size_t kRootEntries = 0x11;        // 16-bit
inline constexpr std::size_t kTotalSectors16 = 0x13;     // 16-bit, 0 when the 32-bit field is used
inline constexpr std::size_t kMedia = 0x15;              // 8-bit
inline constexpr std::size_t kSectorsPerFat = 0x16;      // 16-bit
inline constexpr std::size_t kSectorsPerTrack = 0x18;    // 16-bit
inline constexpr std::size_t kHeads = 0x1A;              // 16-bit
inline constexpr std::size_t kHiddenSectors = 0x1C;      // 32-bit: first sector of the partition
inline constexpr std::size_t kTotalSectors32 = 0x20;     // 32-bit
inline constexpr std::size_t kDriveNumber = 0x24;        // 8-bit
inline constexpr std::size_t kSerialNumber = 0x27;       // 32-bit
inline constexpr std::size_t kVolumeLabel = 0x2B;        // 11 bytes
inline constexpr std::size_t kFileSystemType = 0x36;     // 8 bytes

// Fields of our own boot code (fdospbr.asm) behind the parameter block: absolute sectors of
// the disk, so that the loader needs no arithmetic of its own.
inline constexpr std::size_t kLoaderRootSectors = 0x40;  // 16-bit
inline constexpr std::size_t kLoaderFatStart = 0x42;     // 32-bit
inline constexpr std::size_t kLoaderRootStart = 0x46;    // 32-bit
inline constexpr std::size_t kLoaderDataStart = 0x4A;    // 32-bit
}  // namespace bootsector

// Directory entry (32 bytes).
namespace direntry {
inline constexpr std::size_t kBytes = 32;
inline constexpr std::size_t kName = 0x00;           // 11 bytes: name and extension
inline constexpr std::size_t kAttributes = 0x0B;
inline constexpr std::size_t kCreationTime = 0x0E;   // 16-bit
inline constexpr std::size_t kCreationDate = 0x10;   // 16-bit
inline constexpr std::size_t kAccessDate = 0x12;     // 16-bit
inline constexpr std::size_t kWriteTime = 0x16;      // 16-bit
inline constexpr std::size_t kWriteDate = 0x18;      // 16-bit
inline constexpr std::size_t kFirstCluster = 0x1A;   // 16-bit, 0 = no cluster
inline constexpr std::size_t kFileSize = 0x1C;       // 32-bit

inline constexpr std::uint8_t kDeleted = 0xE5;        // a first name byte that marks a free entry
inline constexpr std::uint8_t kDeletedEscape = 0x05;  // stands for a name's real first byte E5h
inline constexpr std::uint8_t kAttributeVolumeLabel = 0x08;
}  // namespace direntry

}  // namespace pellorin
