#pragma once
// The "ModDate=" stamp of \Hard Disk\IMAGE.INI, which dates the installed image. A capture reads
// the device's stamp, writes the capture time so the image carries it, and puts the old stamp
// back afterwards. Only the first 256 bytes of the file are examined or rewritten.
//
// "\Hard Disk" is the first partition of the disk being captured: a directory on the host when
// that partition is mounted there, otherwise the volume itself, reached through the FAT engine
// (the file's first cluster is rewritten in place).

#include <filesystem>

#include "disk/ImageStamp.h"
#include "platform/Clock.h"

namespace dorvix {

struct FatVolume;

// Where IMAGE.INI is: a file on the host, or the root of a mounted FAT volume.
struct StampLocation {
    std::filesystem::path hostFile;  // used when not empty
    FatVolume* volume = nullptr;     // otherwise \IMAGE.INI of this volume
};

// Rewrites \IMAGE.INI in the root of `volume` with withModDate: its clusters are rewritten,
// clusters added or freed as the length demands, its size, the FATs and the root directory
// written. True when done or when there is nothing to stamp (no file, no "ModDate=" line);
// false when the file's chain is damaged, the volume is full (then `noRoom` is set, when
// given) or a write fails. Nothing is written when the volume is full.
bool stampVolumeIni(FatVolume& volume, const SystemTime& date, bool* noRoom = nullptr);

// Reads the stamp of the IMAGE.INI at `where`; false when the file, the key or a field is missing.
bool readModDate(const StampLocation& where, SystemTime& date);

// Writes `date` into the stamp of the IMAGE.INI at `where`. A read-only file is written and is
// read-only again afterwards; without the key nothing is written.
void writeModDate(const StampLocation& where, SystemTime date);

}  // namespace dorvix
