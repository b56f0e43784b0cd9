#pragma once
// Texts the platform layer shows: the operator's questions, the error box's title, the
// percentage line, and the lines of the device table and the reset. Formats are printf
// formats over UTF-8.

namespace dorvix::text {

// ---- Operator interaction -----------------------------------------------------------------
inline constexpr char kErrorTitle[] = "QZ Tarvex Thin Client Imaging Tool, Version 3.03.000";
inline constexpr char kConfirmTitle[] = "QZ Keldan Imaging Tool, Version 3.03.000";
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

// ---- Device table and reset --------------------------------------------------------------
inline constexpr char kTableLinePrefix[] = "dorvix: device table ";
inline constexpr char kTableUnreadable[] = "dorvix: cannot read the device table ";
inline constexpr char kTableBadDevice[] = "expected a device name DSKn: (n from 0 to 255), found ";
inline constexpr char kTableNoPath[] = "no block device or image file named for ";
inline constexpr char kTableBadSetting[] = "unknown setting (heads=, sectors=, total=, bytes=): ";
inline constexpr char kTableRepeatedSetting[] = "setting given twice: ";
inline constexpr char kTableBadValue[] = "not a usable 32-bit decimal value: ";
inline constexpr char kTableDuplicate[] = "device named on more than one line, left out: ";
inline constexpr char kRestartByHand[] = "\nThe device must now be restarted by hand.\n";
inline constexpr char kResetFailed[] = "\nThe restart failed; the device must now be restarted by hand.\n";
inline constexpr char kOriginFile[] = "the device table ";
inline constexpr char kOriginEnvironment[] = "the device table named by DORVIX_DEVICES: ";
inline constexpr char kOriginSysfs[] = "the machine's whole disks, fixed ones first, from ";

// ---- Storage manager ----------------------------------------------------------------------
inline constexpr char kUnmountRefused[] =
    "ERROR: %s (%s) could not be unmounted: %s. The disk is left as it was.\n";
inline constexpr char kRereadFailed[] =
    "WARNING: The partition table of %s was not re-read: %s. The system may still show the old partitions.\n";
inline constexpr char kMountAgainFailed[] = "WARNING: %s was not mounted again on %s: %s.\n";

}  // namespace dorvix::text
