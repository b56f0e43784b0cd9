#pragma once
// The "ModDate=" stamp of \Hard Disk\IMAGE.INI, which dates the installed image. A capture reads
// the device's stamp, writes the capture time so the image carries it, and puts the old stamp
// back afterwards. Only the first 256 bytes of the file are examined or rewritten.
//
// "\Hard Disk" is the first partition of the disk being captured: a directory on the host when
// that partition is mounted there, otherwise the volume itself, reached through the FAT engine
// (the file's first cluster is rewritten in place).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace dorvix {

struct FatVolume;

inline constexpr std::size_t kStampHeadBytes = 256;  // bytes of IMAGE.INI that are examined
inline constexpr std::size_t kStampValueChars = 16;  // "MM/DD/YYYY hh:mm"
inline constexpr std::string_view kStampKey = "\nModDate=";

// Where IMAGE.INI is: a file on the host, or the root of a mounted FAT volume.
struct StampLocation {
    std::filesystem::path hostFile;  // used when not empty
    FatVolume* volume = nullptr;     // otherwise \IMAGE.INI of this volume
};

// Position of the first occurrence of `key` in `text` (up to its first NUL byte), comparing
// characters after ASCII case folding; none when absent.
std::optional<std::size_t> findNoCase(std::string_view text, std::string_view key);

// Parses the stamp in the bytes read from the file's start. True when all five fields were
// converted (seconds are then 0); fields converted before a failure stay in `date`.
bool parseModDate(std::span<const std::uint8_t> head, SystemTime& date);

// Puts the date over the 16 bytes behind the key, as far as they lie inside `head`. False, and
// `head` unchanged, when the key is not there.
bool applyModDate(std::span<std::uint8_t> head, const SystemTime& date);

// The whole file `text` with the value of its "ModDate=" line (everything behind the key up to
// the line's end) replaced by `date` as "MM/DD/YYYY hh:mm"; every other byte stays, the file
// grows or shrinks with the value. Unchanged when the file has no such line.
std::vector<std::uint8_t> withModDate(std::span<const std::uint8_t> text, const SystemTime& date);

// Rewrites \IMAGE.INI in the root of `volume` with withModDate: its clusters are rewritten,
// clusters added or freed as the length demands, its size, the FATs and the root directory
// written. True when done or when there is nothing to stamp (no file, no "ModDate=" line);
// false when the file's chain is damaged, the volume is full or a write fails.
bool stampVolumeIni(FatVolume& volume, const SystemTime& date);

// Reads the stamp of the IMAGE.INI at `where`; false when the file, the key or a field is missing.
bool readModDate(const StampLocation& where, SystemTime& date);

// Writes `date` into the stamp of the IMAGE.INI at `where`. A read-only file is written and is
// read-only again afterwards; without the key nothing is written.
void writeModDate(const StampLocation& where, SystemTime date);

}  // namespace dorvix
