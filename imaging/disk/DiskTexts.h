#pragma once
// Texts the disk layer shows: the flat write and flat capture, the BIOS check, the disk
// record's diagnostic lines and the image header. Formats are printf formats over UTF-8.

#include "platform/PlatformTexts.h"

namespace dorvix::text {

// ---- Disk access -------------------------------------------------------------------------
// Engines refuse a disk whose sectors are not 512 bytes before anything is written.
inline constexpr char kSectorSizeUnsupported[] =
    "ERROR: DSK%d: has sectors of %u bytes; only 512-byte sectors can be imaged.\n";

// Follows a capture's failure to write its image: the folder and the system's reason (a full
// disk, a file-size limit).
inline constexpr char kImageFileWriteError[] = "***ERROR*** Writing the image file in %s failed: %s\n";

// A capture gives the image's IMAGE.INI its date; a value longer than the old one can make
// the file need another cluster, which a full volume does not have.
inline constexpr char kStampNoRoom[] =
    "***ERROR*** The volume has no room for the capture date in \\IMAGE.INI: its ModDate= line needs "
    "another cluster. Free some space on the volume and capture again.\n";

// Both captures refuse an image named as the file behind their source disk.
inline constexpr char kImageIsSource[] = "***ERROR*** The KMV file named is the source disk itself...\r\n";

// ---- Flat write ---------------------------------------------------------------------------
inline constexpr char kFlatOpenForRead[] = "***ERROR*** Failed to open image file (%s) for read!\n";
inline constexpr char kFlatSeekFailed[] = "***ERROR*** fseek(ifp, 0, %d) failed!\n";
inline constexpr char kFlatLengthMismatch[] = "***ERROR*** Flat file length does not match sector size!\n";
inline constexpr char kFlatImageOperationError[] = "***ERROR*** Image file operation error\r\n";
inline constexpr char kFlatPerforming[] = "Performing FLATCOPY to target device...";
inline constexpr char kFlatTotalSectors[] = "Total sectors to be copied = %08lX (%08lX)\n\n";
inline constexpr char kFlatTargetTooSmall[] = "***ERROR*** The target disk is too small!\n";
inline constexpr char kFlatReadError[] = "***ERROR*** Error reading the IMG file!\n";
inline constexpr char kFlatWriteError[] = "***ERROR*** Error writing to the disk device!\n";
inline constexpr char kFlatCompleted[] = "Operation completed successfully in %u seconds!\n";
inline constexpr char kFlatNoBuffer[] = "***ERROR*** fatal allocation error!\r\n";
// With a header, the file must hold every body sector the header announces.
inline constexpr char kBodyLengthMismatch[] =
    "***ERROR*** The image file is %llu bytes long, but its header announces %llu bytes; it is truncated or damaged!\n";

// ---- Flat capture -------------------------------------------------------------------------
inline constexpr char kFlatCaptureOpenForWrite[] = "***ERROR*** Failed to open image file (%s) for write!\n";
inline constexpr char kFlatCaptureHeaderWriteFailed[] = "***ERROR*** fwrite(pBuffer,%ld,1,ofp) failed!\n";
inline constexpr char kFlatCaptureTotalSectors[] = "Total sectors to be copied = %08lX (%08lX)\n\n";
inline constexpr char kFlatCaptureNoBuffer[] = "***ERROR*** malloc(%d) failed!\n";
inline constexpr char kFlatCapturing[] = "\rCapturing the image...\n";
inline constexpr char kFlatCaptureZeroPercent[] = "\r0%% completed.";
inline constexpr char kFlatCaptureOpenVolumeFailed[] = "***ERROR*** Open Volume failed!\n";
inline constexpr char kFlatCaptureReadFailed[] = "***ERROR*** ReadSectors(%08lX,%04X,...) failed!\n";
inline constexpr char kFlatCaptureWriteFailed[] = "***ERROR*** fwrite(pBuffer,1,%ld,ofp) failed!\n";
inline constexpr char kFlatCaptureSeekFailed[] = "***ERROR*** fseek(ofp, 0, %d) failed!\n";
inline constexpr char kFlatCaptureCompleted[] = "Completed successfully! (%ld seconds)\n\n";
inline constexpr char kFlatCaptureExcludedFolder[] = "\\Documents and Settings";
inline constexpr char kFlatDefaultTargetBios[] = "KQ3A3,KQ3A0";
// A partition of the disk's table that ends behind the disk's last sector.
inline constexpr char kFlatCapturePartitionPastDisk[] =
    "***ERROR*** Partition %d of the source disk ends at sector %llu, but the disk has only %llu sectors; "
    "it cannot be captured whole!\n";

// ---- BIOS compatibility -------------------------------------------------------------------
inline constexpr char kSmbiosNotFound[] = "***ERROR*** SMBIOS was not found!\n";
inline constexpr char kSmbiosTable[] = "wStructCount = %04X, lpbySMBIOSTable = %p\n";
inline constexpr char kSmbiosType0At[] = "lpbySMBIOSStruct_Type0 = %p\n";
inline constexpr char kSmbiosSource[] = "SMBIOS: reading %s\n";
inline constexpr char kSmbiosVersionRead[] = "SMBIOS: BIOS version \"%s\"\n";
inline constexpr char kSmbiosNoType0[] = "***ERROR*** An SMBIOS structure of type 0 was not found!\n";
inline constexpr char kBiosDebug[] = "BIOS = (%s), ih.targetBIOS = %s\n";
inline constexpr char kBiosNotSupported[] = "***ERROR*** The system is not supported by the image!\n";
inline constexpr char kBiosEmptyListStandsFor[] = "KQ7B2";

// ---- Disk record (debug output) -----------------------------------------------------------
inline constexpr char kDeviceNameFormat[] = "DSK%1d:";
inline constexpr char kDiagOpenFailed[] = "***ERROR*** Failed to open \"%s\" (%08X)!\n";
inline constexpr char kDiagGeometry1[] = "***ERROR*** (Attempt 1) Failed to get device geometry (%08X)!\n";
inline constexpr char kDiagGeometry2[] = "***ERROR*** (Attempt 2) Failed to get device geometry (%08X)!\n";
inline constexpr char kDiagCloseFailed[] = "***ERROR*** Failed to close device (%08X)!\n";
inline constexpr char kDiagBufferTooSmall[] = "***ERROR*** Buffer is too small!\n";
inline constexpr char kDiagReadFailed[] = "***ERROR*** Failed to read from device (%08X)!\n";
inline constexpr char kDiagWriteFailed[] = "***ERROR*** Failed to write to device (%08X)!\n";
inline constexpr char kDiagDismountFailed[] = "***ERROR*** Failed to dismount \"%s\"!\n";
inline constexpr char kDiagMountFailed[] = "***ERROR*** Failed to mount \"%s\"!\n";
inline constexpr char kDiagFindFirstPartitionFailed[] = "***ERROR*** Failed to FindFirstPartition \"%s\"!\n";
inline constexpr char kDiagMountPartitionFailed[] = "***ERROR*** Failed to MountPartition \"%s\"!\n";

// ---- Image header -------------------------------------------------------------------------
inline constexpr char kHeaderReadFailed[] = "***ERROR*** read failed while testing for header!\n";
inline constexpr char kHeaderValidating[] = "Validating the image header...";
inline constexpr char kHeaderInvalid[] = "***ERROR*** Invalid image file!\n";
inline constexpr char kHeaderMissing[] = "WARNING: Header signature not present, assuming NOHEADER!";

}  // namespace dorvix::text
