#pragma once
// The "ModDate=" stamp of IMAGE.INI, which dates the installed image, as text: finding it,
// reading its date and writing a new one into the file's bytes. Where the file is read from
// and written to is the FAT engine's part (fat/ImageIniStamp.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

namespace dorvix {

inline constexpr std::size_t kStampHeadBytes = 256;  // bytes of IMAGE.INI that are examined
inline constexpr std::size_t kStampValueChars = 16;  // "MM/DD/YYYY hh:mm"
inline constexpr std::string_view kStampKey = "\nModDate=";

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

}  // namespace dorvix
