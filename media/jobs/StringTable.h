#pragma once
// pellorin's own texts: the numbered strings of its message boxes and dialogs, and the texts of
// its command line. Every text the program shows comes from here.

#include <string>
#include <string_view>

namespace pellorin {

// Caption of every message box, and the application's name.
inline constexpr std::string_view kAppName = "QZ Tarvex Thin Client Imaging Tool";

enum StringId : unsigned {
    IDS_NOT_A_USB_DEVICE = 1,
    IDS_NETWORK_DRIVE = 2,
    IDS_USB_WRITE_FAILED = 3,
    IDS_USB_FORMAT_DONE = 5,
    IDS_IMAGE_SOURCE_FAILED = 6,
    IDS_USB_OPEN_FAILED = 7,
    IDS_ISO_CREATE_FAILED = 10,
    IDS_ISO_CREATE_DONE = 12,
    IDS_DEPLOYMENT_DONE = 13,
    IDS_DEPLOYMENT_FAILED = 14,
    IDS_CONFIRM_CANCEL_FORMAT = 15,
    IDS_CONFIRM_CANCEL_ISO = 16,
    IDS_CALCULATING_HEADER = 17,
    IDS_FORMATTING_PERCENT = 20,
    IDS_CONFIRM_OVERWRITE_TOOL = 21,
    IDS_CONFIRM_OVERWRITE_IMAGE = 22,
    IDS_CONFIRM_OVERWRITE_DOCS = 23,
    IDS_EXTRACTING_TOOL = 24,
    IDS_EXTRACTING_IMAGE = 25,
    IDS_EXTRACTING_DOCS = 26,
    IDS_CONFIRM_OVERWRITE_USB = 27,
    IDS_CONFIRM_CANCEL_EXTRACT = 28,
};

// The text of a numbered string; empty for an id the table does not hold.
std::string_view LoadStringText(unsigned id);

// String 20 formatted with a percentage: "Formatting: 45%."
std::string FormatPercentText(unsigned percent);

// A failure box's text: the table's string, then on a paragraph of its own the file or disk
// concerned and the reason ("/media/x/FLASH.IMG: Read-only file system"). No paragraph when
// `subject` is empty.
std::string WithDetail(std::string_view message, std::string_view subject, std::string_view reason);
// The same with the system's text of an error number as the reason.
std::string WithErrorDetail(std::string_view message, std::string_view subject, int code);

// A success box's text: the table's string, then the file or folder written on a paragraph of
// its own.
std::string WithSubject(std::string_view message, std::string_view subject);

// Texts of the command line.
namespace cli {
inline constexpr std::string_view kDescription =
    "Builds the recovery media of the thin-client image from the files next to the program.\n"
    "Without a command it opens the desktop application.";
inline constexpr std::string_view kIsoCommand = "Write a bootable ISO image file";
inline constexpr std::string_view kIsoFileOption = "The ISO image file to write";
inline constexpr std::string_view kPayloadOption =
    "Directory holding FLASH.IMG, KMV.EXE, RECOVERY.PDF and the FreeDOS start-up files "
    "(default: the program's own directory)";
inline constexpr std::string_view kAppPayloadOption =
    "Without a command: open the application on the payload in DIR (default: the program's own "
    "directory)";
// Follows a first argument that is no command.
inline constexpr std::string_view kUnknownCommand = "not a subcommand (iso, deploy, drives, usb)";
inline constexpr std::string_view kYesOption = "Replace an existing file without asking";
inline constexpr std::string_view kExitCodes =
    "Exit codes: 0 done, 2 cancelled (Ctrl-C, or an existing file kept), 3 failed, "
    "64 wrong arguments.";
// Each of these follows the file's path.
inline constexpr std::string_view kReplacePrompt = " already exists.\nDo you want to replace it? [y/N] ";
inline constexpr std::string_view kNotAPlainFile = " exists and is not a plain file; it is left alone.";
inline constexpr std::string_view kCancelled = "Cancelled.";
// After a cancelled USB job: the disk holds a partly written or unchecked volume.
inline constexpr std::string_view kUsbIncomplete =
    "The USB flash device is incomplete and must be formatted again before it is used.";
// After the path of a file the user chose not to replace.
inline constexpr std::string_view kKept = " was kept.";
// Follows the program's name on a missing payload file's line; then the path.
inline constexpr std::string_view kMissingPayload = "warning: not found, the medium is built without ";
inline constexpr std::string_view kDeployCommand =
    "Copy KMV.EXE, the flash image and RECOVERY.PDF into a folder";
inline constexpr std::string_view kDeployFolderOption = "The folder to copy the files into";
inline constexpr std::string_view kDeployYesOption = "Replace files that exist in the folder without asking";
inline constexpr std::string_view kNoOverwriteOption = "Keep files that exist in the folder without asking";
// Follows an overwrite question.
inline constexpr std::string_view kOverwritePrompt = " [y]es, [n]o, [c]ancel: ";
inline constexpr std::string_view kDrivesCommand =
    "List the disks, and whether each one can be made a recovery USB disk";
inline constexpr std::string_view kUsbCommand = "Make a USB disk a bootable recovery disk (erases it)";
inline constexpr std::string_view kUsbDeviceOption = "The whole USB disk, for example /dev/sdb";
inline constexpr std::string_view kUsbYesOption = "Do not ask before overwriting the disk";
inline constexpr std::string_view kNoVerifyOption = "Do not read the written data back to compare it";
inline constexpr std::string_view kNoDisplay =
    "pellorin: no display to open the application on (neither DISPLAY nor WAYLAND_DISPLAY is set); "
    "see pellorin --help for the commands that run in a terminal.";
inline constexpr std::string_view kViewsRefusedElevated =
    "pellorin: --sysfs, --mountinfo, --swaps and --dev-dir are for tests and are refused in a run "
    "with administrator rights (through pkexec or sudo); nothing was done.";
// The display variables that were tried ("DISPLAY=:99").
inline constexpr char kDisplayNotAnswering[] =
    "pellorin: the display does not answer (%s); see pellorin --help for the commands that run in "
    "a terminal.";
}  // namespace cli

// Texts of the main window's payload line and its chooser (our own addition to dialog 102).
namespace apptext {
inline constexpr char kPayloadFolderButton[] = "&Payload folder...";
inline constexpr char kPayloadFolderTitle[] = "Select the Payload Folder";
// The folder, then the flash image's name and its size.
inline constexpr char kPayloadReady[] = "Payload: %s\nFlash image: %s (%s)";
// The folder, then what it lacks.
inline constexpr char kPayloadMissing[] = "Payload: %s\nMissing: %s.";
inline constexpr char kMissingKernel[] = "KERNEL.SYS";
inline constexpr char kMissingImage[] = "a flash image (FLASH.*)";
inline constexpr char kNoPayloadFolder[] = "Payload: no folder chosen.";
}  // namespace apptext

// Refusals of the ISO job that are not about space or permissions (printf formats). Each is
// shown instead of string 10, before the ISO file is touched.
namespace isotext {
// The path, the reason.
inline constexpr char kPayloadUnreadable[] =
    "The payload file %s cannot be read: %s.\r\n\r\nThe ISO image was not created.";
// The payload directory.
inline constexpr char kNoKernel[] =
    "KERNEL.SYS is missing or empty in %s.\r\n\r\nA medium without it could not start; the ISO "
    "image was not created.";
// The path, its size, the limit.
inline constexpr char kFileTooLargeForFat16[] =
    "The payload file %s (%llu bytes) is larger than a FAT16 disk can hold (%llu bytes).\r\n\r\n"
    "The ISO image was not created.";
// The disk's size in MiB, the limit in MiB.
inline constexpr char kBeyondCdLimit[] =
    "The payload needs an emulated hard disk of %u MiB, but a CD's emulated hard disk can be "
    "read by the BIOS only up to %u MiB (1024 cylinders).\r\n\r\nThe ISO image was not "
    "created. Write the payload to a USB disk instead; it has no such limit.";
// The ISO path.
inline constexpr char kTargetIsPayload[] =
    "%s is one of the payload files.\r\n\r\nChoose another name for the ISO image file.";
// The status line while the finished image is written from the cache to the disk.
inline constexpr char kFlushing[] = "Writing the image to the disk...";
}  // namespace isotext

// Texts of the USB job that go beyond the numbered strings (printf formats where noted).
namespace usbtext {
// Follows string 7 when the disk could not be opened for lack of rights; the disk's group.
inline constexpr char kNoPermission[] =
    "\r\n\r\nYou are not allowed to write to this disk. Run pellorin as root, or as a member of "
    "the disk's group (%s).";
// Follows string 7 when a partition of the disk could not be unmounted; its mount point.
inline constexpr char kStillMounted[] =
    "\r\n\r\n%s could not be unmounted; nothing was written to the disk.";
// Follows string 3 when the read-back differs; the region and its first and last sector.
inline constexpr char kVerifyMismatch[] =
    "\r\n\r\nThe data read back from the %s (sectors %llu to %llu) differs from what was "
    "written. The device may be failing or smaller than it claims.";
// The disk's path, the reason.
inline constexpr char kNotFormattable[] =
    "%s cannot be formatted: it %s.";
inline constexpr char kSystemDisk[] = "holds the running system";
// The path, the reason.
inline constexpr char kPayloadUnreadable[] =
    "The payload file %s cannot be read: %s.\r\n\r\nNothing was written to the USB flash device.";
// Follows string 3 when a payload file changed between its check and the write; its path.
inline constexpr char kPayloadChanged[] =
    "\r\n\r\nThe payload file %s was removed, replaced or changed while the disk was being "
    "prepared. Nothing was written to the USB flash device.";
// The payload directory.
inline constexpr char kNoKernel[] =
    "KERNEL.SYS is missing or empty in %s.\r\n\r\nA disk without it could not start; nothing "
    "was written to the USB flash device.";
// Asked by the desktop application when the disk cannot be written without administrator rights.
inline constexpr char kOfferElevation[] =
    "You are not allowed to write to this disk.\r\n\r\nFormat it with administrator rights? The "
    "system will ask for an administrator's password.";
// The drive list's one row when no disk can be formatted.
inline constexpr char kNoFormattableDisk[] = "(no USB disk)";
// The status line while the written data is read back.
inline constexpr char kVerifying[] = "Verifying...";
// The status line while the written data goes from the cache to the device.
inline constexpr char kFlushing[] = "Writing the cached data to the USB flash device...";
// Follow string 3 when the disk is refused before anything is written to it.
// The disk's path, its logical sector size.
inline constexpr char kSectorSize[] =
    "\r\n\r\n%s has %u-byte logical sectors; a recovery disk needs 512-byte sectors (its boot "
    "code, FAT16 and FreeDOS count in them). Nothing was written to the USB flash device.";
// The disk's path, its size in bytes, the least size in bytes.
inline constexpr char kDiskTooSmall[] =
    "\r\n\r\n%s (%llu bytes) is too small for a FAT16 disk, which needs at least %llu bytes. "
    "Nothing was written to the USB flash device.";
// The payload's size in bytes, the disk's path, its size in bytes.
inline constexpr char kPayloadTooLarge[] =
    "\r\n\r\nThe payload (%llu bytes) does not fit on %s (%llu bytes) together with its FAT16 "
    "tables. Nothing was written to the USB flash device.";
// The path, its size, the limit.
inline constexpr char kFileTooLargeForFat16[] =
    "\r\n\r\nThe payload file %s (%llu bytes) is larger than a FAT16 disk can hold (%llu "
    "bytes). Nothing was written to the USB flash device.";
// Follows string 3 when the read-back fails; the region, its first and last sector, the reason.
inline constexpr char kVerifyReadFailed[] =
    "\r\n\r\nThe %s (sectors %llu to %llu) could not be read back: %s. The device may be "
    "failing or smaller than it claims.";
}  // namespace usbtext

}  // namespace pellorin
