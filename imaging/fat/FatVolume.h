#pragma once
// One FAT16 volume in the first primary partition of a disk (or of the virtual disk that is
// written into an image file). The record keeps the volume's layout, its first FAT and its
// root directory in memory; every sector goes through its SectorDisk, so the engine works
// the same on a disk device, an image file or a test buffer.
//
// Life cycle: zero-initialise, set `disk`, call `mountVolume`, use, call `releaseVolume`. The in-memory FAT and root directory are working
// copies: operations that change them write them back themselves; `releaseVolume` writes nothing.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/DiskDriver.h"
#include "records/BootSector.h"
#include "records/FatEntry.h"
#include "records/Mbr.h"

namespace dorvix {

// Limits of the volumes this engine (and the image format) carries.
inline constexpr std::uint16_t kSupportedSectorSize = 512;
inline constexpr std::uint32_t kMaxSectorsPerCluster = 64;  // the capture copies 64 sectors at a time

struct FatVolume {
    std::uint16_t fatStart = 0;           // first sector of FAT 1 (hidden + reserved), disk-absolute
    std::uint16_t rootStart = 0;          // fatStart + number of FATs x sectors per FAT
    std::uint16_t dataStart = 0;          // first sector of cluster 2
    std::uint16_t fatSectors = 0;         // sectors per FAT
    std::uint16_t bytesPerSector = 0;
    std::uint16_t rootSectors = 0;
    std::uint16_t rootEntries = 0;
    std::uint16_t sectorsPerCluster = 0;
    std::uint16_t clusterCount = 0;       // data clusters; valid cluster numbers are 2..clusterCount+1
    std::uint16_t entriesPerCluster = 0;  // bytesPerCluster / 32
    std::uint16_t nextFreeHint = 0;       // where the next free-cluster search starts
    std::size_t overlongPath = 0;         // length of a path the walker refused as too long
    std::uint8_t numberOfFats = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t partitionSectors = 0;   // sector count of partition entry 1
    std::uint32_t partitionStart = 0;     // first sector of partition entry 1
    std::vector<std::uint8_t> fat;        // the first FAT, fatSectors x bytesPerSector bytes
    std::vector<std::uint8_t> rootDir;    // the root directory, rootSectors x bytesPerSector bytes
    SectorDisk* disk = nullptr;           // where the sectors are; disk-absolute sector numbers
};

// Why a volume was refused by `mountVolume` (or `checkCaptureSource`).
enum class VolumeProblem {
    None,
    ReadFailed,              // a sector read failed
    NoPartition,             // no signature, empty or unaddressable partition entry 1
    NotFat16,                // boot sector values that are not a FAT16 volume this engine can carry
};

// Reads the MBR into `mbrBuffer` and the partition's boot sector into `bootBuffer` (512 bytes
// each), fills the record and reads the first FAT and the root directory. Volumes that are not
// FAT16 in the range the record describes are refused before anything else is read.
// Returns VolumeProblem::None when the volume is mounted, else why it is not.
VolumeProblem mountVolume(FatVolume& volume, std::span<std::uint8_t> mbrBuffer, std::span<std::uint8_t> bootBuffer);

// Frees the in-memory FAT and root directory; safe to call twice.
void releaseVolume(FatVolume& volume);

// Fills the layout fields from a boot sector and the partition entry's values; the check of
// the values is `layoutProblem`. Pure; used by `mountVolume` and by tests.
void computeVolumeLayout(FatVolume& volume, std::span<const std::uint8_t> bootSector,
                         std::uint32_t partitionStart, std::uint32_t partitionSectors);

// Checks the boot sector values of a FAT16 volume the engine can carry: 512-byte sectors,
// 1..64 sectors per cluster (a power of two), one or more FATs, a FAT large enough for every
// cluster, 4085..65524 clusters, a data area below disk sector 65536, hidden sectors equal to
// the partition's first sector. Returns VolumeProblem::None when acceptable.
VolumeProblem layoutProblem(std::span<const std::uint8_t> bootSector, std::uint32_t partitionStart,
                            std::uint32_t partitionSectors);

// dataStart + sectorsPerCluster x (cluster - 2).
std::uint32_t clusterToSector(const FatVolume& volume, std::uint16_t cluster);

// True for 2..clusterCount+1: the numbers that name a data cluster of this volume.
bool isDataCluster(const FatVolume& volume, std::uint32_t cluster);

// FAT entry of `cluster` from the in-memory FAT; entries outside the FAT read as end of chain.
std::uint16_t fatEntry(const FatVolume& volume, std::uint32_t cluster);
// Sets a FAT entry in the in-memory FAT; entries outside the FAT are ignored.
void setFatEntry(FatVolume& volume, std::uint32_t cluster, std::uint16_t value);

// Counts the clusters of the chain from `first`: returns the count, or -1 when a link names no
// cluster of the volume (free, reserved or beyond the last cluster) or the chain is longer than
// the volume (a cycle). A `first` of 0 or at/above 0xFFF8 is an empty chain.
long chainLength(const FatVolume& volume, std::uint16_t first);

// `count` sectors from `firstSector` of the volume's disk; 0, or -1 when there is no disk, the
// buffer cannot hold the whole transfer (a short transfer must not pass for a complete one) or
// the disk reports a failure.
int readVolumeSectors(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                      std::span<std::uint8_t> buffer);
int writeVolumeSectors(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                       std::span<const std::uint8_t> buffer);

// One cluster through the disk; the buffer holds at least bytesPerCluster bytes.
int readCluster(FatVolume& volume, std::uint16_t cluster, std::uint8_t* buffer, std::size_t bufferBytes);
int writeCluster(FatVolume& volume, std::uint16_t cluster, std::uint8_t* buffer, std::size_t bufferBytes);

// Reads up to `maxClusters` clusters of a chain into `buffer` (room for maxClusters whole
// clusters), following the FAT. Returns the number read (0 when `cluster` is already at the end
// of its chain or maxClusters is 0), or -1 on a read failure or a cluster number outside the
// volume. On return `cluster` holds the first cluster not yet read (or the end-of-chain value).
long readClusterRun(FatVolume& volume, std::uint8_t* buffer, std::uint16_t& cluster, std::uint32_t maxClusters);

// Finds a free cluster (from nextFreeHint, wrapping once to 0), links `previous` to it when
// `previous` is not 0, marks it end of chain and returns it; 0 when the volume is full.
// Clusters are handed out in increasing order on a FAT that is built from empty, so each run
// allocated without interruption is contiguous.
std::uint16_t allocateCluster(FatVolume& volume, std::uint16_t previous);

// Writes the in-memory FAT to every FAT copy and the root directory to its sectors; returns 0
// or -1.
int writeFatsAndRoot(FatVolume& volume);

}  // namespace dorvix
