#pragma once
// Texts of pellorin's developer trace (printf formats, each with its own line end).

namespace pellorin::text {

// Disk object.
inline constexpr char kInvalidGeometryTarget[] = "***ERROR*** Invalid parameter (pDiskGeometry == NULL)!\n";
inline constexpr char kBufferTooSmall[] = "***ERROR*** Invalid parameter (cbBufSize < dwBytesToWrite)!\n";
inline constexpr char kNoSectorSize[] = "***ERROR*** The drive reports no sector size!\n";
inline constexpr char kGeometryName[] = "%30s = %s\n";
inline constexpr char kGeometryWide[] = "%30s = %lld (0x%llX)\n";
inline constexpr char kGeometryNumber[] = "%30s = %u (0x%X)\n";
inline constexpr char kEmptyLine[] = "\n";

// Error lines: with a context, and without one.
inline constexpr char kErrorWithContext[] = "***ERROR*** %s: %s\n";
inline constexpr char kErrorWithoutContext[] = "***ERROR*** %s\n";

// Error contexts.
inline constexpr char kContextGeometry[] = "IOCTL_DISK_GET_DRIVE_GEOMETRY";
inline constexpr char kContextGeometryEx[] = "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX";
inline constexpr char kContextWriteSectors[] = "WriteSectors";
inline constexpr char kContextWriteMbr[] = "WriteMBR";
inline constexpr char kContextWritePbr[] = "WritePBR";
inline constexpr char kContextWriteFat1[] = "WriteFAT1";
inline constexpr char kContextWriteFat2[] = "WriteFAT2";
inline constexpr char kContextWriteRoot[] = "WriteRoot";

// Volume writer.
inline constexpr char kInvalidParameters[] = "***ERROR*** Invalid parameter(s)!\n";
inline constexpr char kTooManyFiles[] = "***ERROR*** Too many files!\n";
inline constexpr char kVolumeTooSmall[] = "***ERROR*** Volume is too small!\n";
inline constexpr char kVolumeCapped[] =
    "Volume of %llu sectors is larger than FAT16 serves; the partition covers %u of them.\n";
inline constexpr char kPartitionTooBig[] = "***ERROR*** The partition is too big for FAT16!\n";
inline constexpr char kNoMoreSpace[] = "***ERROR*** No more space on the target device!\n";
inline constexpr char kOutOfMemory[] = "***ERROR*** Out of memory!\n";
inline constexpr char kUpdatingPbr[] = "Updating PBR...\n";
inline constexpr char kUpdatingFat[] = "Updating FAT tables...\n";
inline constexpr char kUpdatingRoot[] = "Updating root directories...\n";
inline constexpr char kPopulating[] = "Populating partition data...\n";
inline constexpr char kFailedToWrite[] = "***ERROR*** Failed to write %02X sectors at %08X!\n";
inline constexpr char kFileGrew[] = "%s grew since it was sized; only its first %u clusters were written.\n";
inline constexpr char kFileReadFailed[] = "***ERROR*** Failed to read %s: %s\n";
// The path, its size now, its size when it was checked.
inline constexpr char kFileChangedSize[] = "***ERROR*** %s is %llu bytes now, %llu bytes when it was checked!\n";
inline constexpr char kFileShrank[] =
    "***ERROR*** %s shrank since it was sized: %llu of its %llu bytes were there.\n";
inline constexpr char kNotARegularFile[] = "***ERROR*** %s: not a regular file\n";
inline constexpr char kFileTooBig[] = "***ERROR*** %s (%llu bytes) does not fit the volume!\n";

// The jobs: a file, folder or disk that could not be opened (its path).
inline constexpr char kCouldNotOpen[] = "***ERROR*** Could not open [%s]!\n";
inline constexpr char kNoKernel[] = "***ERROR*** KERNEL.SYS is missing or empty!\n";

// ISO job.
inline constexpr char kIsPayloadFile[] = "***ERROR*** [%s] is one of the payload files!\n";
inline constexpr char kReadWriteMismatch[] = "***ERROR*** Read/Write mismatch: %s\n";
inline constexpr char kCouldNotFinish[] = "***ERROR*** Could not finish [%s]: %s\n";
// The cylinders the payload needs, the most a CD serves.
inline constexpr char kBeyondCdLimit[] = "***ERROR*** The emulated disk would need %u cylinders; a CD serves %u!\n";

// Deployment job.
inline constexpr char kCopyMismatch[] = "***ERROR*** Read/Write mismatch!\n";
inline constexpr char kLinkOfOtherUser[] = "***ERROR*** [%s] is a link owned by another user!\n";
inline constexpr char kCopyDiffers[] = "***ERROR*** [%s] does not read back as written!\n";

// USB format job.
inline constexpr char kCouldNotDismount[] = "***ERROR*** Could not dismount [%s]!\n";
inline constexpr char kNoPhysicalDevice[] = "***ERROR*** Could not find physical device [%s]!\n";
inline constexpr char kUsbWriteFailed[] = "***ERROR*** Exception while writing to USB device!\n";
inline constexpr char kPayloadChanged[] = "***ERROR*** %s changed while the disk was prepared!\n";
inline constexpr char kCouldNotReenum[] = "***ERROR*** Could not re-enum [%s]!\n";
// The first and the last sector of the region read back.
inline constexpr char kReadBackFailed[] = "***ERROR*** Read-back of sectors %llu to %llu failed!\n";
inline constexpr char kReadBackDiffers[] = "***ERROR*** Read-back of sectors %llu to %llu differs!\n";

}  // namespace pellorin::text
