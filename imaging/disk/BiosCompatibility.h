#pragma once
// BIOS compatibility of an image: the machine's BIOS family (first word of the BIOS version
// that the BIOS publishes in its SMBIOS table) must occur in the image's target-BIOS list.
//
// The tables come from the kernel (/sys/firmware/dmi/tables: the entry point, 2.x "_SM_" or
// 3.x "_SM3_", and the structure table it describes), which works under BIOS and UEFI
// firmware alike; where the kernel publishes none, the entry point and structure table are
// searched inside the 64 KiB window of physical memory 0xF0000-0xFFFFF. Every read stays
// inside the bytes read: a table outside the window, a table shorter than its entry point
// says, or a structure that runs past its end, counts as no SMBIOS.

#include "disk/ImageHeader.h"
#include "platform/Operator.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dorvix {

inline constexpr std::uint32_t kSmbiosWindowBase = 0xF0000;
inline constexpr std::size_t kSmbiosWindowSize = 0x10000;

// SMBIOS 2.x entry point ("_SM_") fields.
inline constexpr std::size_t kEntryAnchor = 0;
inline constexpr std::size_t kEntryLength = 5;
inline constexpr std::size_t kEntryIntermediateStart = 16;
inline constexpr std::size_t kEntryTableLength = 22;
inline constexpr std::size_t kEntryTableAddress = 24;
inline constexpr std::size_t kEntryStructureCount = 28;
inline constexpr std::size_t kEntryFieldsEnd = 30;
// SMBIOS 3.x entry point ("_SM3_") fields: no structure count, the table ends at its maximum
// size (or at the end-of-table structure).
inline constexpr std::size_t kEntry3Length = 6;
inline constexpr std::size_t kEntry3TableMaxSize = 12;
inline constexpr std::size_t kEntry3FieldsEnd = 24;
// Structure header fields.
inline constexpr std::size_t kStructType = 0;
inline constexpr std::size_t kStructLength = 1;
inline constexpr std::size_t kStructHeaderSize = 4;
// The end-of-table structure.
inline constexpr std::uint8_t kEndOfTableType = 127;
// BIOS information (type 0): string number of the BIOS version.
inline constexpr std::size_t kBiosInfoVersionString = 5;

// The first accepted structure table: its offset inside the window and its structure count.
struct SmbiosTable {
    std::size_t offset = 0;
    std::uint32_t count = 0;  // 3.x tables have none: kNoStructureCount
};
inline constexpr std::uint32_t kNoStructureCount = 0xFFFFFFFF;

// The largest structure table taken from the kernel; a larger size is a corrupt entry point.
inline constexpr std::uint32_t kMaxSmbiosTableSize = 16 * 1024 * 1024;

// Where the table was found: the bytes read (the kernel's structure table, or the whole BIOS
// window), the table inside them, and a name for the debug lines.
struct SmbiosTables {
    std::vector<std::uint8_t> bytes;
    SmbiosTable table;
    std::string source;
};

// What the kernel's entry point says of the structure table that it publishes beside it.
struct SmbiosEntryPoint {
    unsigned major = 0;              // 2 or 3
    std::uint32_t tableLength = 0;   // 2.x: its length; 3.x: its maximum size
    std::uint32_t count = 0;         // 2.x: number of structures; 3.x: kNoStructureCount
};

// A 2.x or 3.x entry point as the kernel publishes it: anchor, lengths and checksums right,
// a table of at most kMaxSmbiosTableSize bytes; none otherwise.
std::optional<SmbiosEntryPoint> parseSmbiosEntryPoint(std::span<const std::uint8_t> entry);

// The tables the kernel publishes under <sysfsRoot>/firmware/dmi/tables; none when they are
// missing, unreadable, corrupt, or the table is shorter than its entry point says.
std::optional<SmbiosTables> readSysfsSmbios(const std::string& sysfsRoot);

// This machine's tables: only the window file named by DORVIX_SMBIOS_WINDOW when set (tests);
// else the kernel's tables under `sysfsRoot`, else the BIOS window through /dev/mem. Nothing
// is written anywhere.
std::optional<SmbiosTables> readSmbios(const std::string& sysfsRoot = "/sys");

// The BIOS version of the type-0 structure of `tables` (see getBiosVersion below).
bool getBiosVersion(const SmbiosTables& tables, std::string& version, std::size_t& size, std::size_t capacity,
                    bool debug);

// Scans the window in 16-byte steps for a valid entry point whose table lies in the window.
std::optional<SmbiosTable> findSmbiosTable(std::span<const std::uint8_t> window);

// Offset of the first structure of `type` among the table's structures, or none (also when a
// structure or its string set would run past the end of the window).
std::optional<std::size_t> findSmbiosStructure(std::span<const std::uint8_t> window,
                                               SmbiosTable table, std::uint8_t type);

// The 1-based string `number` of the string set at `setOffset`; empty for 0, for a number past
// the last string, and for a set that runs past the end of the window.
std::string getSmbiosString(std::span<const std::uint8_t> window, std::size_t setOffset,
                            unsigned number);

// Version string of the BIOS information structure of the window. `size` receives the
// version's length + 1 in every case where a version was found; false when no SMBIOS, no
// type-0 structure, or the version does not fit `capacity` (length + 1 > capacity).
bool getBiosVersion(std::span<const std::uint8_t> window, std::string& version,
                    std::size_t& size, std::size_t capacity, bool debug);

// Reads the BIOS window: the file named by DORVIX_SMBIOS_WINDOW when set (tests), else
// physical 0xF0000-0xFFFFF through /dev/mem. Empty on any failure (behaves as no SMBIOS).
std::vector<std::uint8_t> readBiosWindow();

// The decision itself: the version, cut at its first blank and upper-cased, must occur as a
// substring of the upper-cased list; an empty list stands for "KQ7B2".
bool biosVersionAccepted(std::string_view version, std::string_view targetBios);

// This machine's BIOS version, through readSmbios(); debug lines follow the process's debug
// flag.
bool getBiosVersion(std::string& version, std::size_t& size, std::size_t capacity);

// True when the image may be written on this machine; otherwise tells the operator
// "***ERROR*** The system is not supported by the image!" and returns false.
bool checkBiosCompatibility(ProgressWindow window, const KmvImageHeader& header);

// A target-BIOS list longer than the header's 255 characters, cut after the last whole code
// (comma-separated) that fits; shorter lists are returned as they are.
std::string cutTargetBiosList(std::string_view list);

}  // namespace dorvix
