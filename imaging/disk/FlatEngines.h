#pragma once
// The two flat engines of the main flow. Each reports to the operator itself (through
// platform/Operator.h) and returns its result, which becomes the exit code:
//   writeFlatImage    0, 3 (disk or image could not be opened, seek failed) or 4 (image unusable, copy failed)
//   captureFlatImage  0, 3 (open, create, read or write failed) or 5 (no buffer, volume not mountable)
// Engines never throw and never end the process. Each works on the disks of the provider it
// is given (the device table's in the program) and reaches for no other.

#include "platform/DiskDriver.h"
#include "platform/Operator.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace dorvix {

class ImageFile;

// Writes a flat image (with or without header) onto DSKn: sector by sector.
int writeFlatImage(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath,
                   std::uint8_t targetDevice);

// A sector read of a volume that the disk failed.
struct FailedRead {
    std::uint32_t firstSector = 0;
    std::uint32_t count = 0;
};

// What became of the volume inside a flat image when the FAT engine prepared it.
enum class ImageVolumeResult {
    Prepared,     // the documents folder left out and IMAGE.INI stamped (or nothing to stamp)
    NotMountable, // no FAT16 volume could be mounted in the image
    WriteFailed,  // rewriting the image's volume failed
    NoRoomForStamp,  // IMAGE.INI grows with its stamp and the volume has no free cluster
};

// The FAT engine's part in a flat capture, wired in by the main flow: the disk's target-BIOS
// list from its IMAGE.INI, and the step that works on the image's copy of the volume once the
// disk is copied (the disk itself is never changed). The image file holds the header in its
// first 512 bytes and the disk's sectors behind it.
struct FlatCaptureVolumeSteps {
    // `failed` is set when the disk failed a read: a list that could not be read is not the
    // same as one that is not there.
    std::function<std::optional<std::string>(DeviceProvider& devices, std::uint8_t diskNumber,
                                             std::optional<FailedRead>& failed)>
        readTargetBiosList;
    std::function<ImageVolumeResult(ImageFile& image)> prepareImageVolume;
};

// Captures the whole of DSKn: (its whole cylinders, and each partition of its table to the
// partition's end) into a flat image file with header.
int captureFlatImage(DeviceProvider& devices, ProgressWindow window, std::uint8_t sourceDevice,
                     const std::string& imagePath, const FlatCaptureVolumeSteps& volumeSteps);

}  // namespace dorvix
