#pragma once
// Every text dorvix shows: operator messages, prompts, the usage text, diagnostic lines of
// the disk layer and the lines of the platform layer. Formats are printf formats over UTF-8.

namespace dorvix::text {

// ---- Banner, usage and main flow ----------------------------------------------------------
inline constexpr char kBanner[] = "QZ Keldan Imaging Tool, Version 3.03.000\n";
inline constexpr char kBannerNotice[] = "Run \"dorvix -?\" for the list of options.\n\n";
inline constexpr char kUsage[] =
    "\nUsage: dorvix -devdump\r\n\t\tTo print disk device number and associated CHS parameters.\r\n\r\n"
    "\tdorvix -imgwrite [-targetdev:n] [<imgfile>]\r\n\t\tTo image a disk with an KMV style file.\r\n\r\n"
    "\tdorvix -imgcopy [-targetdev:n] [<imgfile>]\r\n\t\tTo copy a disk to an KMV style file.\r\n\r\n"
    "\tdorvix -flatimg [-targetdev:n] [<imgfile>]\r\n\t\tTo copy a disk to a flat KMV style file.\r\n\r\n"
    "\tdorvix -flatcopy [-targetdev:n] [<imgfile>]\r\n\t\tTo image a disk with a flat KMV style file.\r\n\r\n"
    "or\r\n\tdorvix [-targetdev:n] [-y] [-w] [<imgfile>]\r\n\r\n[Optional] Parameter Definitions:\r\n"
    "-icmbr:<file>\t\tinserts MBR code from specified bin file.\r\n-icpbr:<file>\t\tinserts PBR code from specified bin "
    "file.\r\n"
    "-targetdev:n\t\tWhere n=1 (default) thru 9, Sets the disk device number to image.\r\n"
    "-y\t\t\t\t\tSuppresses confirmation prompts.\r\n-w\t\t\t\t\tWindowed mode.\r\n"
    "<imgfile>\t\t\tSpecifies the image file name [FLASH.IMG].\r\n\r\n";
inline constexpr char kDefaultImage[] = "FLASH.IMG";
inline constexpr char kImageMissing[] = "ERROR: The image file does not exist.";
// Arguments are held in buffers of 99 characters; a longer one is refused rather than cut,
// because a cut image path could name another file.
inline constexpr char kArgumentTooLong[] = "ERROR: Argument longer than 99 characters: %.40s...\n";
inline constexpr char kModeNotAvailable[] = "ERROR: The %s mode is not available in this build yet.\n";
inline constexpr char kModeRestore[] = "restore";
inline constexpr char kModeWriteFlat[] = "writeflat";
inline constexpr char kModeFlatCopy[] = "flatcopy";
inline constexpr char kModeImgCopy[] = "imgcopy";
// Engines refuse a disk whose sectors are not 512 bytes before anything is written.
inline constexpr char kSectorSizeUnsupported[] =
    "ERROR: DSK%d: has sectors of %u bytes; only 512-byte sectors can be imaged.\n";

// ---- Operator interaction -----------------------------------------------------------------
inline constexpr char kErrorTitle[] = "QZ Tarvex Thin Client Imaging Tool, Version 3.03.000";
inline constexpr char kConfirmTitle[] = "QZ Keldan Imaging Tool, Version 3.03.000";
inline constexpr char kDialogTitle[] = "QZ Keldan Imaging Utility V3.03.000";
inline constexpr char kDialogHeading[] =
    "One moment please, while your flash disk is formatted and the factory installation is restored....";
inline constexpr char kDialogStatus[] = "Static";
inline constexpr char kConfirmBox[] =
    "WARNING! This utility will FORMAT your flash disk and ERASE ALL DATA currently on the disk. It will then "
    "RESTORE the operating system to the state captured in the Keldan image file (*.KMV).\r\n\r\nPress OK to "
    "continue or CANCEL to abort\r\n";
inline constexpr char kConfirmConsole[] =
    "This utility will FORMAT your flash disk and ERASE ALL DATA currently on the\r\ndisk. It will then RESTORE the "
    "operating system to the state captured in the\r\nKeldan image file (*.KMV).\r\n\r\nAre you sure you want to do "
    "this?.\r\n\r\n";
inline constexpr char kConfirmPrompt[] = "Type NO to exit, or YES to continue: ";
inline constexpr char kAnswerYes[] = "yes\n";
inline constexpr char kAnswerNo[] = "no\n";
inline constexpr char kRebootBox[] = "The system will now be rebooted.\r\n\r\nPress OK to continue...";
inline constexpr char kRebootConsole[] = "The system will now be rebooted.\r\n\r\nPress <enter> to continue...";
inline constexpr char kPercentCompleted[] = "\r%d%% completed.";

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

// ---- BIOS compatibility -------------------------------------------------------------------
inline constexpr char kSmbiosNotFound[] = "***ERROR*** SMBIOS was not found!\n";
inline constexpr char kSmbiosTable[] = "wStructCount = %04X, lpbySMBIOSTable = %p\n";
inline constexpr char kSmbiosType0At[] = "lpbySMBIOSStruct_Type0 = %p\n";
inline constexpr char kSmbiosNoType0[] = "***ERROR*** An SMBIOS structure of type 0 was not found!\n";
inline constexpr char kBiosDebug[] = "BIOS = (%s), ih.targetBIOS = %s\n";
inline constexpr char kBiosNotSupported[] = "***ERROR*** The system is not supported by the image!\n";
inline constexpr char kBiosEmptyListStandsFor[] = "KQ7B2";

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
inline constexpr char kRestoreNotFat16[] = "***ERROR*** The image does not hold a FAT16 volume.\n";
inline constexpr char kRestoreImageDamaged[] =
    "***ERROR*** The image is damaged: it ends before the end of its root directory.\n";
inline constexpr char kRestoreFatMisplaced[] =
    "***ERROR*** The image is damaged: its FAT is not where its boot sector puts it.\n";
inline constexpr char kRestoreTreeDamaged[] =
    "***ERROR*** The image is damaged: its folders, files and FAT chains do not agree; nothing was written.\n";
inline constexpr char kRestoreDataDoesNotFit[] =
    "***ERROR*** The image's folders and data (%u sectors) do not fit the target partition (%u sectors).\n";

// ---- Device dump --------------------------------------------------------------------------
inline constexpr char kDumpDevice[] = "\\DSK%i: TS:%08X BS:%04X CYLS:%04X TRKS:%02X SECS:%02X\r\n";
inline constexpr char kDumpNoDevice[] = "DSK%i: <no device>\r\n";

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
inline constexpr char kImageIsSource[] = "***ERROR*** The KMV file named is the source disk itself...\r\n";
inline constexpr char kCannotOpenImage[] = "***ERROR*** Couldn't open target KMV file...\r\n";
inline constexpr char kCannotAllocateFat[] = "ERROR: Couldn't allocate target FAT...\r\n";
inline constexpr char kCannotAllocateBuffer[] = "ERROR: Couldn't allocate target cluster buffer...\r\n";
inline constexpr char kCopying[] = "Copying folder and data areas...\r\n";
inline constexpr char kCopyFailed[] = "ERROR: An error occurred, copy failed...\r\n";
inline constexpr char kCannotWriteImage[] = "***ERROR*** Couldn't write target KMV file...\r\n";

// ---- Platform layer -----------------------------------------------------------------------
inline constexpr char kTableLinePrefix[] = "dorvix: device table ";
inline constexpr char kTableUnreadable[] = "dorvix: cannot read the device table ";
inline constexpr char kTableBadDevice[] = "expected a device name DSKn: (n from 0 to 255), found ";
inline constexpr char kTableNoPath[] = "no block device or image file named for ";
inline constexpr char kTableBadSetting[] = "unknown setting (heads=, sectors=, total=, bytes=): ";
inline constexpr char kTableRepeatedSetting[] = "setting given twice: ";
inline constexpr char kTableBadValue[] = "not a usable 32-bit decimal value: ";
inline constexpr char kTableDuplicate[] = "device named on more than one line, left out: ";
inline constexpr char kRestartByHand[] =
    "\nThe device must now be restarted (no reset command is configured in DORVIX_RESET_COMMAND).\n";
inline constexpr char kResetCommandFailed[] = "\nThe reset command failed; the device must now be restarted.\n";
inline constexpr char kNoWindowNotice[] =
    "dorvix: no window can be shown (no display, or dorvix was built without windows); reporting on the "
    "console.\n";
inline constexpr char kChannelNotOpen[] =
    "dorvix: -pm:%lld names no descriptor open for writing; reporting on the console.\n";
inline constexpr char kChannelBroken[] =
    "dorvix: the progress channel of -pm: broke off; reporting on the console.\n";

}  // namespace dorvix::text
