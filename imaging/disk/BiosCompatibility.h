#pragma once
// BIOS compatibility of an image: the machine's BIOS family (first word of the BIOS version
// that the BIOS publishes in its SMBIOS table) must occur in the image's target-BIOS list.
//
// The SMBIOS entry point and structure table are searched inside the 64 KiB window of
// physical memory 0xF0000-0xFFFFF. Every read stays inside that window: an entry point whose
// table lies outside it, or a structure that runs past its end, counts as no SMBIOS.

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
inline constexpr std::size_t kEntryTableAddress = 24;
inline constexpr std::size_t kEntryStructureCount = 28;
inline constexpr std::size_t kEntryFieldsEnd = 30;
// Structure header fields.
inline constexpr std::size_t kStructType = 0;
inline constexpr std::size_t kStructLength = 1;
inline constexpr std::size_t kStructHeaderSize = 4;
// BIOS information (type 0): string number of the BIOS version.
inline constexpr std::size_t kBiosInfoVersionString = 5;

// The first accepted structure table: its offset inside the window and its structure count.
struct SmbiosTable {
    std::size_t offset = 0;
    std::uint16_t count = 0;
};

// Scans the window in 16-byte steps for a valid entry point whose table lies in the window.
std::optional<SmbiosTable> findSmbiosTable(std::span<const std::uint8_t> window);

// Offset of the first structure of `type` among the table's structures, or none (also when a
// structure would run past the end of the window).
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

// This machine's BIOS version, through readBiosWindow(); debug lines follow the process's
// debug flag.
bool getBiosVersion(std::string& version, std::size_t& size, std::size_t capacity);

// True when the image may be written on this machine; otherwise tells the operator
// "***ERROR*** The system is not supported by the image!" and returns false.
bool checkBiosCompatibility(ProgressWindow window, const KmvImageHeader& header);

// A target-BIOS list longer than the header's 255 characters, cut after the last whole code
// (comma-separated) that fits; shorter lists are returned as they are.
std::string cutTargetBiosList(std::string_view list);

}  // namespace dorvix
