#pragma once
// Size of the emulated hard disk inside the ISO image. The disk has 512-byte sectors, 32 sectors
// a track and 64 tracks a cylinder, so one cylinder is exactly 1 MiB; its cylinder count follows
// the payload's size.

#include <cstdint>
#include <span>

namespace pellorin {

inline constexpr std::uint32_t kIsoBytesPerSector = 512;
inline constexpr std::uint32_t kIsoSectorsPerTrack = 32;
inline constexpr std::uint32_t kIsoTracksPerCylinder = 64;
inline constexpr std::uint32_t kIsoSectorsPerCylinder = kIsoSectorsPerTrack * kIsoTracksPerCylinder;

// The most cylinders a CD's emulated hard disk can have: the BIOS reaches it through cylinder,
// head and sector numbers only (no extended reads in the emulation), and the cylinder number
// has 10 bits. 1024 cylinders are 1 GiB, the spare cylinder below included.
inline constexpr std::uint32_t kIsoMaxCylinders = 1024;

// Cylinders at the disk's end that hold no data. The BIOS takes the emulated disk's cylinder
// count from the partition's end, but its geometry query (INT 13h function 08h) reports one
// cylinder fewer, keeping the last one back as hard disks traditionally do; a DOS that reads
// through the reported geometry cannot reach that cylinder, so no file may lie in it.
inline constexpr std::uint32_t kIsoSpareCylinders = 1;

// The largest file any FAT16 disk of 512-byte sectors holds: 65,524 clusters of 32 KiB.
inline constexpr std::uint64_t kLargestFat16File = std::uint64_t{65524} * 64 * 512;

// Whole MiB that hold the payload: (sum + 0xFFFFF) >> 20, without 32-bit wrap-around.
std::uint32_t PayloadCylinders(std::uint64_t payloadBytes);

// True when a bootable FAT16 disk of `cylinders` accepts files of these sizes: the disk is
// larger than the smallest size the FAT16 writer takes (8,400 sectors), its partition is within
// FAT16's reach, and the files' clusters fit the data region and end before the spare
// cylinders.
bool PayloadFitsDisk(std::uint32_t cylinders, std::span<const std::uint64_t> fileSizes);

// The cylinder count the ISO builder gives the emulated disk. It starts from PayloadCylinders and
// adds whole cylinders until PayloadFitsDisk holds, so a small payload still makes a disk the
// writer accepts, every payload gets its spare cylinder, and a payload that fills its last MiB
// still finds room for the boot track, the FATs, the root directory and the clusters' slack. When no disk within FAT16's reach holds the
// payload, the plain count is returned and the writer refuses it.
std::uint32_t IsoDiskCylinders(std::uint64_t payloadBytes, std::span<const std::uint64_t> fileSizes);

}  // namespace pellorin
