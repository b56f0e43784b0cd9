#pragma once
// Texts the front shows: banner, usage, main flow, device dump, the progress dialog and the
// progress window sources. Formats are printf formats over UTF-8. Each layer keeps the texts
// it shows in a header of its own that includes the one of the layer below, so this header
// reaches every text of dorvix.

#include "fat/FatTexts.h"

namespace dorvix::text {

// ---- Banner, usage and main flow ----------------------------------------------------------
inline constexpr char kBanner[] = "QZ Keldan Imaging Tool, Version 3.03.000\n";
inline constexpr char kBannerNotice[] = "Run \"dorvix -?\" for the list of options.\n\n";
// The usage lists the keys the parser knows: the restore by default, "-writeflat" for a flat
// image, and the two captures, whose <imgfile> is the file they write.
inline constexpr char kUsage[] =
    "\nUsage: dorvix -devdump\r\n\t\tTo print disk device number and associated CHS parameters.\r\n\r\n"
    "\tdorvix [-targetdev:n] [-y] [-w] [<imgfile>]\r\n\t\tTo image a disk with an KMV style file (the default).\r\n\r\n"
    "\tdorvix -writeflat [-targetdev:n] [-y] [-w] [<imgfile>]\r\n\t\tTo image a disk with a flat KMV style file.\r\n\r\n"
    "\tdorvix -imgcopy [-targetdev:n] [<imgfile>]\r\n\t\tTo copy a disk to an KMV style file.\r\n\r\n"
    "\tdorvix -flatcopy [-targetdev:n] [<imgfile>]\r\n\t\tTo copy a disk to a flat KMV style file.\r\n\r\n"
    "[Optional] Parameter Definitions:\r\n"
    "-icmbr:<file>\t\tinserts MBR code from specified bin file.\r\n-icpbr:<file>\t\tinserts PBR code from specified bin "
    "file.\r\n"
    "-targetdev:n\t\tWhere n=1 (default) thru 9, Sets the disk device number to image.\r\n"
    "-y\t\t\t\t\tSuppresses confirmation prompts.\r\n-w\t\t\t\t\tWindowed mode.\r\n"
    "<imgfile>\t\t\tSpecifies the image file name [FLASH.IMG] (written by -imgcopy and -flatcopy).\r\n\r\n";
inline constexpr char kDefaultImage[] = "FLASH.IMG";
inline constexpr char kImageMissing[] = "ERROR: The image file does not exist.";
// A box stands apart from the command line that named the file, so it names the file too.
inline constexpr char kImageMissingBox[] = "ERROR: The image file does not exist.\r\n\r\n%s";
inline constexpr char kImageNotRegular[] = "ERROR: The image file is not a regular file.\n";
inline constexpr char kTargetProtected[] = "ERROR: %s is not written: %s.\n";
inline constexpr char kImagePathNotReplaceable[] =
    "ERROR: The image path names a directory, device or FIFO; a capture writes only regular files.\n";
// Arguments are held in buffers of 99 characters; a longer one is refused rather than cut,
// because a cut image path could name another file.
inline constexpr char kArgumentTooLong[] = "ERROR: Argument longer than 99 characters: %.40s...\n";
inline constexpr char kModeNotAvailable[] = "ERROR: The %s mode is not available in this build yet.\n";
inline constexpr char kModeRestore[] = "restore";
inline constexpr char kModeWriteFlat[] = "writeflat";
inline constexpr char kModeFlatCopy[] = "flatcopy";
inline constexpr char kModeImgCopy[] = "imgcopy";

// ---- Progress dialog of windowed mode ----------------------------------------------------
inline constexpr char kDialogTitle[] = "QZ Keldan Imaging Utility V3.03.000";
inline constexpr char kDialogHeading[] =
    "One moment please, while your flash disk is formatted and the factory installation is restored....";
inline constexpr char kDialogStatus[] = "Static";

// ---- Device dump --------------------------------------------------------------------------
inline constexpr char kDumpDevice[] = "\\DSK%i: TS:%08X BS:%04X CYLS:%04X TRKS:%02X SECS:%02X\r\n";
inline constexpr char kDumpNoDevice[] = "DSK%i: <no device>\r\n";
// After the system's lines: where the table came from, and what stands behind each DSKn:.
inline constexpr char kDumpOrigin[] = "\r\nDevices from %s:\r\n";
inline constexpr char kDumpDetail[] = "DSK%i: %s, %s%s%s, %s, CHS %u/%u/%u\r\n";
inline constexpr char kDumpDetailClosed[] = "DSK%i: %s, %s\r\n";

// ---- Progress window sources -------------------------------------------------------------
inline constexpr char kNoWindowNotice[] =
    "dorvix: no window can be shown (no display, or dorvix was built without windows); reporting on the "
    "console.\n";
inline constexpr char kChannelNotOpen[] =
    "dorvix: -pm:%lld names no descriptor open for writing; reporting on the console.\n";
inline constexpr char kChannelBroken[] =
    "dorvix: the progress channel of -pm: broke off; reporting on the console.\n";

}  // namespace dorvix::text
