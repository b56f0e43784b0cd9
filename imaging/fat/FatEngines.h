#pragma once
// The FAT engines of the main flow, the reader of the target-BIOS list that precedes the
// FAT-aware capture, and the FAT engine's part in a flat capture. Each engine reports to the
// operator itself (through platform/Operator.h) and returns its result, which becomes the
// exit code:
//   restoreFatImage   0, -1, or the flat write's result for a flat image
//   captureFatImage   0 or -1
// Engines never throw and never end the process. Each works on the disks of the provider it
// is given (the device table's in the program) and reaches for no other.

#include "disk/FlatEngines.h"
#include "platform/DiskDriver.h"
#include "platform/Operator.h"

#include <cstdint>
#include <optional>
#include <string>

namespace dorvix {

// Restores an image file onto DSKn:, re-laying out its FAT16 volume for the disk. The two
// code files (512 bytes each) replace the boot code of the new MBR and boot sector.
int restoreFatImage(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath,
                    std::uint8_t targetDevice, const std::optional<std::string>& mbrCodePath,
                    const std::optional<std::string>& bootCodePath);

// Captures the FAT16 volume of DSKn: into a compact image file.
int captureFatImage(DeviceProvider& devices, ProgressWindow window, std::uint8_t sourceDevice,
                    const std::optional<std::string>& targetBiosList, const std::string& imagePath);

// The "KMVBIOS" list of IMAGE.INI in the root of DSKn:'s volume, or nothing when the disk,
// the volume, the file or the key is not there.
std::optional<std::string> readTargetBiosList(DeviceProvider& devices, std::uint8_t diskNumber);

// The same, and `failed` set to the first read the disk failed: a list that could not be read
// is not the same as one that is not there.
std::optional<std::string> readTargetBiosList(DeviceProvider& devices, std::uint8_t diskNumber,
                                              std::optional<FailedRead>& failed);

// In the volume of a flat image (header, then the disk's sectors): "\Documents and Settings"
// left out and IMAGE.INI stamped with the capture time.
ImageVolumeResult prepareFlatImageVolume(ImageFile& image);

// The steps of a flat capture that need the FAT engine: readTargetBiosList and
// prepareFlatImageVolume.
FlatCaptureVolumeSteps flatCaptureVolumeSteps();

}  // namespace dorvix
