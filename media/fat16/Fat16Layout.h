#pragma once
// Every number of the bootable FAT16 disk that pellorin writes, as pure functions: the cluster
// size from the disk size, sizing an image disk to its files, the region starts, the cluster
// assignment, and the bytes of the partition entry, the boot sector's parameter block and the
// root directory entries. The records follow Microsoft's published FAT file system layout.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/FileFind.h"
#include "platform/WinTypes.h"

namespace pellorin {

// Cluster-size table for FAT16 disks of 512-byte sectors: (upper bound on the disk's total
// sectors, sectors per cluster); 0 marks a size that FAT16 does not serve.
struct DiskSizeEntry {
    DWORD dwDiskSize;
    BYTE bySectorsPerCluster;
};
inline constexpr DiskSizeEntry DiskSizeTable[8] = {
    {8400, 0},     {32680, 2},     {262144, 4},     {524288, 8},
    {1048576, 16}, {2097152, 32},  {4194304, 64},   {0xFFFFFFFF, 0},
};

// The largest disk the table serves; a larger disk gets a partition of this size and keeps
// the rest of its sectors unused.
inline constexpr ULONGLONG kLargestFat16Disk = 4194304;
// Cluster counts from this value on make a volume FAT32 to every reader.
inline constexpr DWORD kFat16ClusterLimit = 65525;

enum class ClusterSizeResult { Ok, TooSmall, Capped };

struct ClusterSizeChoice {
    ClusterSizeResult result = ClusterSizeResult::Ok;
    BYTE bySectorsPerCluster = 0;
};

// Sectors per cluster for a disk of `total` sectors; 0 sectors (a disk still to be sized)
// gets 64. A disk beyond the table is Capped with 64; one of 8,400 sectors or fewer TooSmall.
ClusterSizeChoice ChooseSectorsPerCluster(ULONGLONG total);

// Clusters a file of `size` bytes occupies; an empty file still takes one. A count beyond
// 32 bits (no FAT16 disk holds it) is 0xFFFFFFFF.
DWORD ClustersForFile(std::uint64_t size, DWORD bytesPerSector, DWORD sectorsPerCluster);

// Cylinders of an image disk sized to hold `clusters` clusters of data (`heads` and
// `sectorsPerTrack` as the disk's geometry).
DWORD CylindersForClusters(DWORD sectorsPerTrack, DWORD heads, DWORD sectorsPerCluster,
                           DWORD clusters);

// The regions of the disk. All sector numbers are absolute on the disk.
struct Fat16Layout {
    DWORD B = 0;   // bytes per sector
    DWORD S = 0;   // sectors per track; also the partition's first sector
    DWORD H = 0;   // heads
    DWORD C = 0;   // cylinders of the disk
    ULONGLONG T = 0;  // total sectors of the disk
    DWORD P = 0;   // sectors per cluster
    DWORD V = 0;   // sectors of the partition
    DWORD F = 0;   // sectors per FAT
    DWORD D = 0;   // root directory sectors
    DWORD R = 0;   // reserved sectors, boot sector included
    DWORD N = 0;   // clusters of the data region (2 .. N + 1)
    DWORD fat1Start = 0;
    DWORD fat2Start = 0;
    DWORD rootStart = 0;
    DWORD dataStart = 0;
    bool capped = false;  // the partition ends before the disk does
};

enum class LayoutResult { Ok, TooBigForFat16 };

// Computes the regions of a partition that starts at sector S and covers the disk's `total`
// sectors, at most the first kLargestFat16Disk of them, and ends early where its data region
// would otherwise hold kFat16ClusterLimit clusters or more; refuses a partition whose sectors
// make more than 65,535 clusters.
LayoutResult ComputeLayout(DWORD bytesPerSector, DWORD sectorsPerTrack, DWORD heads,
                           DWORD cylinders, ULONGLONG total, DWORD sectorsPerCluster,
                           Fat16Layout& layout);

// Where one entry of the file list goes: files found when the clusters are handed out get
// consecutive clusters from 2 on, in list order; missing entries and directories get none.
struct FilePlan {
    std::string path;
    bool assigned = false;  // found as a file: has clusters
    std::uint64_t size = 0;  // its size when the clusters were handed out
    DWORD firstCluster = 0;
    DWORD clusters = 0;     // E
};

// Hands out the clusters to the entries whose `size` is known (assigned set, size filled);
// false when a file's clusters would run past cluster N + 1.
bool AssignClusters(std::vector<FilePlan>& plans, const Fat16Layout& layout);

// Fills one FAT: entries 0 and 1, and a chain for every file with data. An empty file's
// cluster stays free (its directory entry names cluster 0, as FAT requires of empty files).
void FillFat(std::span<BYTE> fat, const std::vector<FilePlan>& plans);

// Clears the partition table of a boot record and fills its first entry for the layout.
void FillPartitionTable(std::span<BYTE, 512> mbr, const Fat16Layout& layout);

// Fills the parameter block of a partition boot sector; when the template's OEM name is
// "FreeDOS " also the four boot-loader fields at 0x40..0x4D. The volume label is "USBDISK"
// when the root directory gets the matching label entry (`labelled`), else "NO NAME".
void FillBootSector(std::span<BYTE, 512> pbr, const Fat16Layout& layout, DWORD serial,
                    bool labelled = true);

// DOS date and time of a point in time (UTC as given, two-second resolution). Times before
// 1980 become 1980-01-01 00:00:00, times after 2107 become 2107-12-31 23:59:58.
struct DosDateTime {
    WORD date = 0;
    WORD time = 0;
};
DosDateTime ToDosDateTime(const UnixTime& fileTime);

// The 11 bytes of a directory entry's name and extension.
using ShortName = std::array<char, 11>;

// The short name of a file: its 8.3 name in upper case when it has a valid one, else a name
// made from its long name ("BASIS~1.EXT" style) that differs from every name in `taken`.
// A valid name that is already taken also gets a numeric tail.
ShortName MakeShortName(const std::string& longName, const std::vector<ShortName>& taken);

// Fills one 32-byte root directory entry.
void FillDirectoryEntry(std::span<BYTE, 32> entry, const ShortName& name,
                        const FoundFile& found, WORD firstCluster, DWORD size);

// The root directory entry of the volume label "USBDISK" (after the files' entries, where the
// boot sector's label expects it).
void FillVolumeLabelEntry(std::span<BYTE, 32> entry);

}  // namespace pellorin
