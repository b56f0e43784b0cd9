#pragma once
// Texts the FAT engine shows: the FAT-aware restore and capture. Formats are printf formats
// over UTF-8.

#include "disk/DiskTexts.h"

namespace dorvix::text {

// ---- FAT-aware restore --------------------------------------------------------------------
inline constexpr char kRestoreTargetNotAccessible[] = "ERROR: The target device could not be accessed.";
inline constexpr char kFixupChsFailed[] = "***ERROR*** Couldn't fixup CHS parms for disk device!\n";
inline constexpr char kRestoreInvalidImage[] = "***ERROR*** Invalid image file!\r\n";
inline constexpr char kRestoreReadMbr[] = "***ERROR*** Couldn't read IMG MBR!\n";
inline constexpr char kRestoreInvalidMbr[] = "***ERROR*** invalid settings in image file MBR.\r\n";
inline constexpr char kRestoreImageTooLarge[] = "***ERROR*** FATAL: Target disk is too small.\r\n";
inline constexpr char kRestoreReadPbr[] = "***ERROR*** Couldn't read IMG PBR!\n";
inline constexpr char kRestoreDiskTooSmall[] = "***ERROR*** Target disk is too small.\n";
inline constexpr char kRestoreReadMbrCode[] = "***ERROR*** Couldn't read MBR code block from file.\n";
inline constexpr char kRestoreWriteMbr[] = "***ERROR*** Couldn't write MBR to disk.\n";
inline constexpr char kRestoreTooManyClusters[] = "***ERROR*** Number of disk clusters is too big.\n";
inline constexpr char kRestoreAllocation[] = "***ERROR*** fatal allocation error!\r\n";
inline constexpr char kRestoreReadBootCode[] = "***ERROR*** Couldn't read BOOTSECTOR code block from file.\n";
inline constexpr char kRestoreWritePbr[] = "***ERROR*** Couldn't write PBR to target disk.\n";
inline constexpr char kRestoreExtracting[] = "Extracting the image...";
inline constexpr char kRestoreCopying[] = "Copying folder and data areas....\r\n";
inline constexpr char kRestoreReadData[] = "***ERROR*** error while reading data area from IMG file....\n";
inline constexpr char kRestoreWriteData[] = "***ERROR*** error while writing data to target disk....\n";
inline constexpr char kRestoreClearLine[] = "\r                     \r";
inline constexpr char kRestorePostProcessing[] = "Post-processing allocation structures....";
inline constexpr char kRestoreRebuildFailed[] = "***ERROR*** error while updating FATs and directories....\n";
inline constexpr char kRestoreWriteFat[] = "***ERROR*** While writing fixed up FAT";
inline constexpr char kRestoreCompleted[] = "Completed successfully! (%ld seconds)\r\n";
inline constexpr char kRebuildAllocation[] = "DISKDUMP: WRIMG: Fatal allocation error.\r\n";
inline constexpr char kRebuildReadFailed[] = "***ERROR*** ReadSectors(%08lX,%04X,pBuffer,%04X) failed!\n";
inline constexpr char kRebuildWriteFailed[] = "***ERROR*** WriteSectors(%08lX,%04X,pDirBuffer,%04X) failed!\n";
// Refusals made before the disk is touched.
inline constexpr char kRestoreClustersTooSmall[] =
    "***ERROR*** The image's clusters (%u sectors) are too small for a FAT16 volume on the target disk.\n";
inline constexpr char kRestoreSectorSize[] =
    "***ERROR*** The image and the target disk must both use 512-byte sectors.\n";
// The system failed a read of the image file (a bad sector of the medium that holds it).
inline constexpr char kRestoreImageReadFailed[] =
    "***ERROR*** Couldn't read the image file at byte %llu: %s\n";
inline constexpr char kRestoreNotFat16[] = "***ERROR*** The image does not hold a FAT16 volume.\n";
inline constexpr char kRestoreImageDamaged[] =
    "***ERROR*** The image is damaged: it ends before the end of its root directory.\n";
inline constexpr char kRestoreFatMisplaced[] =
    "***ERROR*** The image is damaged: its FAT is not where its boot sector puts it.\n";
inline constexpr char kRestoreTreeDamaged[] =
    "***ERROR*** The image is damaged: its folders, files and FAT chains do not agree; nothing was written.\n";
inline constexpr char kRestoreDataDoesNotFit[] =
    "***ERROR*** The image's folders and data (%u sectors) do not fit the target partition (%u sectors).\n";

// ---- FAT engine ---------------------------------------------------------------------------
inline constexpr char kCannotAccessDevice[] = "ERROR: The target device could not be accessed.";
inline constexpr char kCompletedLine[] = "\r100% completed.\r\n";
inline constexpr char kCopyingHeading[] = "Copying volume to KMV file, one moment please...";
inline constexpr char kCannotAllocateJob[] = "ERROR: Couldn't allocate internal copy structure...\r\n";
inline constexpr char kCannotMountSource[] = "***ERROR*** Couldn't mount source volume...\r\n";
inline constexpr char kSourceNotCarried[] =
    "***ERROR*** The source volume is not a FAT16 volume that a KMV file can carry...\r\n";
inline constexpr char kSourceDamaged[] =
    "***ERROR*** The source volume is damaged (invalid cluster chain or directory), copy failed...\r\n";
inline constexpr char kSourceEntryRefused[] =
    "***ERROR*** The source volume holds %s, which no restore of its image would accept: %s\r\n";
inline constexpr char kEntrySizePastChain[] = "a file whose size runs past its cluster chain";
inline constexpr char kEntrySizeWithoutChain[] = "a file with a size but no cluster chain";
inline constexpr char kEntryEmptyWithChain[] = "an empty file with a cluster chain";
inline constexpr char kEntryLongNameCluster[] = "a long-name entry that names a cluster";
inline constexpr char kEntryLabelCluster[] = "a volume label that names a cluster";
inline constexpr char kEntryLongNameBroken[] = "a long name whose slots do not belong to their entry";
inline constexpr char kEntryLabelInvalid[] = "a volume label with characters a label cannot hold";
inline constexpr char kEntryShortNameInvalid[] = "an entry whose short name holds characters a name cannot hold";
inline constexpr char kSourcePathTooLong[] =
    "***ERROR*** The source volume holds a path of %zu characters; an image carries at most %zu...\r\n";
inline constexpr char kSourceClustersNeverRestored[] =
    "***ERROR*** The source volume's clusters are too small for any disk to take its image; nothing was "
    "written...\r\n";
inline constexpr char kSourceDataNeverRestored[] =
    "***ERROR*** The source volume's data does not fit the largest volume its cluster size allows on any disk; "
    "nothing was written...\r\n";
inline constexpr char kSizing[] = "Sizing the source volume...\r\n";
inline constexpr char kCannotOpenImage[] = "***ERROR*** Couldn't open target KMV file...\r\n";
inline constexpr char kCannotAllocateFat[] = "ERROR: Couldn't allocate target FAT...\r\n";
inline constexpr char kCannotAllocateBuffer[] = "ERROR: Couldn't allocate target cluster buffer...\r\n";
inline constexpr char kCopying[] = "Copying folder and data areas...\r\n";
inline constexpr char kCopyFailed[] = "ERROR: An error occurred, copy failed...\r\n";
inline constexpr char kCannotWriteImage[] = "***ERROR*** Couldn't write target KMV file...\r\n";

}  // namespace dorvix::text
