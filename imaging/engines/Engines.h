#pragma once
// The four engines of the main flow and the reader of the target-BIOS list that precedes the
// FAT-aware capture. Each engine reports to the operator itself (through platform/Operator.h)
// and returns its result, which becomes the exit code:
//   restoreFatImage   0, -1, or the flat write's result for a flat image
//   captureFatImage   0 or -1
//   writeFlatImage    0, 3 (disk or image could not be opened, seek failed) or 4 (image unusable, copy failed)
//   captureFlatImage  0, 3 (open, create, read or write failed) or 5 (no buffer, volume not mountable)
// Engines never throw and never end the process. Each works on the disks of the provider it
// is given (the device table's in the program) and reaches for no other.

#include "platform/DiskDriver.h"
#include "platform/Operator.h"

#include <cstdint>
#include <optional>
#include <string>

namespace dorvix {

class ImageFile;

// Restores an image file onto DSKn:, re-laying out its FAT16 volume for the disk. The two
// code files (512 bytes each) replace the boot code of the new MBR and boot sector.
int restoreFatImage(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath,
                    std::uint8_t targetDevice, const std::optional<std::string>& mbrCodePath,
                    const std::optional<std::string>& bootCodePath);

// Captures the FAT16 volume of DSKn: into a compact image file.
int captureFatImage(DeviceProvider& devices, ProgressWindow window, std::uint8_t sourceDevice,
                    const std::optional<std::string>& targetBiosList, const std::string& imagePath);

// Writes a flat image (with or without header) onto DSKn: sector by sector.
int writeFlatImage(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath,
                   std::uint8_t targetDevice);

// Captures the whole of DSKn: (its whole cylinders, and each partition of its table to the
// partition's end) into a flat image file with header; the image's copy of the volume then
// leaves "\Documents and Settings" out and has its IMAGE.INI stamped.
int captureFlatImage(DeviceProvider& devices, ProgressWindow window, std::uint8_t sourceDevice,
                     const std::string& imagePath);

// A sector read of a volume that the disk failed.
struct FailedRead {
    std::uint32_t firstSector = 0;
    std::uint32_t count = 0;
};

// The "KMVBIOS" list of IMAGE.INI in the root of DSKn:'s volume, or nothing when the disk,
// the volume, the file or the key is not there.
std::optional<std::string> readTargetBiosList(DeviceProvider& devices, std::uint8_t diskNumber);

// The same, and `failed` set to the first read the disk failed: a list that could not be read
// is not the same as one that is not there.
std::optional<std::string> readTargetBiosList(DeviceProvider& devices, std::uint8_t diskNumber,
                                              std::optional<FailedRead>& failed);

// What became of the volume inside a flat image when the FAT engine prepared it.
enum class ImageVolumeResult {
    Prepared,        // the documents folder left out and IMAGE.INI stamped (or nothing to stamp)
    NotMountable,    // no FAT16 volume could be mounted in the image
    WriteFailed,     // rewriting the image's volume failed
    NoRoomForStamp,  // IMAGE.INI grows with its stamp and the volume has no free cluster
};

// In the volume of a flat image (header in the first 512 bytes, then the disk's sectors):
// "\Documents and Settings" left out and IMAGE.INI stamped with the capture time.
ImageVolumeResult prepareFlatImageVolume(ImageFile& image);

}  // namespace dorvix
