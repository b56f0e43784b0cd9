#pragma once
// The "KMVBIOS" key of \IMAGE.INI in the root of a volume: the BIOS families a captured image
// is meant for. Read straight from the volume through the FAT engine, so the volume need not be
// mounted by the operating system.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fat/FatVolume.h"

namespace dorvix {

inline constexpr std::size_t kIniLineBytes = 512;   // a line, blanks removed, with its terminator
inline constexpr std::size_t kIniTokenBytes = 64;   // a key or a value, with its terminator
inline constexpr std::size_t kTargetBiosListBytes = 768;

// Copies the next non-empty line of `text` from `position` into `line` (zeroed first) without
// any white space; text beyond the buffer's last byte is cut (the terminator stays). Returns the
// position of the character that ended the line, or none at the end of the text or when the line
// held nothing but white space up to the end.
std::optional<std::size_t> nextIniLine(std::string_view text, std::size_t position, std::span<char> line);

// Copies the next token of `line` from `position` into `token` (zeroed first), skipping white
// space, up to a character of `delimiters` (" \r\n" when null). A token longer than the buffer is
// cut and the rest of it is passed over. Returns the position just after the delimiter, or none
// when nothing was copied or the line ended first.
std::optional<std::size_t> nextIniToken(std::string_view line, std::size_t position, std::span<char> token,
                                        const char* delimiters);

// The value of the first "KMVBIOS=" line of an IMAGE.INI text (the key compared without case),
// or none when no line has that key. A key line with nothing after "=" gives an empty value.
std::optional<std::string> findKmvBiosValue(std::string_view text);

// Scans the root directory of a mounted volume for \IMAGE.INI (by its long name when it has one)
// and returns its "KMVBIOS" value; none when the file or the key is missing or reading fails.
std::optional<std::string> scanTargetBiosList(FatVolume& volume);

}  // namespace dorvix
