#pragma once
// Target layout of a FAT-aware restore: from the image's MBR and boot sector and the target
// disk's geometry, the new partition entry, the new boot sector and where FAT, root directory
// and data area go on the target. Pure functions; every check that can refuse a restore is
// made here, so a refused restore never touches the disk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "records/BootSector.h"
#include "records/FatEntry.h"
#include "records/Mbr.h"

namespace dorvix {

inline constexpr std::uint32_t kSectorBytes = 512;
inline constexpr std::uint32_t kFat16ClusterLimit = 0xFFF7;  // 65527

using Sector = std::array<std::uint8_t, kSectorBytes>;

// FAT16 disk-size table: largest disk size in sectors and its sectors per cluster; 0 marks a
// size the table does not serve.
struct ClusterSizeRow {
    std::uint32_t maxSectors;
    std::uint8_t sectorsPerCluster;
};
inline constexpr std::array<ClusterSizeRow, 8> kFat16ClusterSizes{{
    {8400, 0}, {32680, 2}, {262144, 4}, {524288, 8},
    {1048576, 16}, {2097152, 32}, {4194304, 64}, {0xFFFFFFFFu, 0},
}};

// Why a restore is refused before anything is written.
enum class LayoutRefusal {
    None,
    InvalidMbr,           // partition 1 not active, or its start sector byte above 0x3F
    ImageLargerThanDisk,  // the whole image is longer than the disk
    DiskTooSmall,         // no table row for the disk, or too few clusters for FAT16
    ClustersTooSmall,     // the image's clusters are smaller than any row can serve
    SectorSize,           // image or disk sectors are not 512 bytes
    NotFat16,             // the image boot sector does not describe a FAT16 volume
    TooManyClusters,      // 65527 or more clusters in the target partition
    ImageDamaged,         // the image does not reach the end of its own root directory
    FatMisplaced,         // the image's boot sector puts its first FAT at or before itself
    DataDoesNotFit,       // root directory + data of the image exceed the target partition
};

struct TargetGeometry {
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
};

struct RestoreInput {
    std::span<const std::uint8_t> imageMbr;   // 512 bytes
    std::span<const std::uint8_t> imageBoot;  // 512 bytes
    TargetGeometry disk;
    std::uint32_t imageSectors = 0;  // file length / image sector size (header included)
    std::uint32_t headerSectors = 0; // h: 1 with a header, 0 without
    bool mbrCodeGiven = false;
    std::uint32_t serialNumber = 0;  // the tick count at the time of the restore
};

struct RestoreLayout {
    std::uint32_t diskSectors = 0;
    std::uint32_t usedSectors = 0;     // all of the disk, or the stepped-down row's size
    std::uint32_t usedCylinders = 0;
    std::uint32_t imageSectorsPerCluster = 0;
    std::uint32_t sectorsPerCluster = 0;  // target's
    std::uint32_t clusterScale = 1;       // L: target clusters per image cluster
    std::uint32_t partitionStart = 0;
    std::uint32_t partitionSectors = 0;
    std::uint32_t reservedSectors = 0;
    std::uint32_t numberOfFats = 0;
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t rootEntries = 0;
    std::uint32_t rootSectors = 0;
    std::uint32_t fatStart = 0;
    std::uint32_t rootStart = 0;
    std::uint32_t dataStart = 0;
    std::uint32_t dataClusters = 0;      // clusters 2 .. dataClusters + 1 exist on the target
    std::uint32_t imageRootSector = 0;   // R: where the image's root directory lies
    std::uint32_t copySectors = 0;       // image sectors from R on: root directory and data
    Sector targetMbr{};
    Sector targetBoot{};
};

struct LayoutResult {
    LayoutRefusal refusal = LayoutRefusal::None;
    RestoreLayout layout;
};

// Partition entry 1 of an image MBR may start a restore: active and start-sector byte <= 0x3F.
bool imageMbrUsable(std::span<const std::uint8_t> mbr);

// First sector of partition entry 1 (where the image boot sector lies, before the header bias).
std::uint32_t imagePartitionStart(std::span<const std::uint8_t> mbr);

// Cluster size for a disk: the row index of the table, after the step-down for images whose
// clusters are smaller than the row's. Returns 0 when no row serves (row 0).
std::size_t chooseClusterRow(std::uint32_t diskSectors, std::uint32_t imageSectorsPerCluster);

LayoutResult computeRestoreLayout(const RestoreInput& input);

// Overlays the boot code of a 512-byte code file on an MBR (bytes 0-445) or a boot sector
// (bytes 0-2 and 62-509); partition table, parameter block and signature stay.
void overlayMbrCode(std::span<std::uint8_t> mbr, std::span<const std::uint8_t> code);
void overlayBootCode(std::span<std::uint8_t> boot, std::span<const std::uint8_t> code);

}  // namespace dorvix
