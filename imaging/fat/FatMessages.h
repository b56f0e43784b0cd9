#pragma once
// Operator texts of the FAT engine's callers (capture): used as they stand.

namespace dorvix::fatmsg {

inline constexpr const char* kCopyingHeading = "Copying volume to KMV file, one moment please...";
inline constexpr const char* kCannotAllocateJob = "ERROR: Couldn't allocate internal copy structure...\r\n";
inline constexpr const char* kCannotMountSource = "***ERROR*** Couldn't mount source volume...\r\n";
inline constexpr const char* kSourceNotCarried =
    "***ERROR*** The source volume is not a FAT16 volume that a KMV file can carry...\r\n";
inline constexpr const char* kSourceDamaged =
    "***ERROR*** The source volume is damaged (invalid cluster chain or directory), copy failed...\r\n";
inline constexpr const char* kSizing = "Sizing the source volume...\r\n";
inline constexpr const char* kCannotOpenImage = "***ERROR*** Couldn't open target KMV file...\r\n";
inline constexpr const char* kCannotAllocateFat = "ERROR: Couldn't allocate target FAT...\r\n";
inline constexpr const char* kCannotAllocateRoot = "ERROR: Couldn't allocate target root folder ...\r\n";
inline constexpr const char* kCannotAllocateBuffer = "ERROR: Couldn't allocate target cluster buffer...\r\n";
inline constexpr const char* kCopying = "Copying folder and data areas...\r\n";
inline constexpr const char* kCopyFailed = "ERROR: An error occurred, copy failed...\r\n";
inline constexpr const char* kCannotWriteImage = "***ERROR*** Couldn't write target KMV file...\r\n";

}  // namespace dorvix::fatmsg
