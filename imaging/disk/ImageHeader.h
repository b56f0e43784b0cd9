#pragma once
// The 512-byte header at the start of every image file ("KMV style file"): signature,
// source geometry, body length, the BIOS families the image is meant for, the body kind and
// a checksum that makes the 8-bit sum of all 512 bytes zero. Little-endian throughout.

#include "platform/Operator.h"
#include "records/KmvHeader.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

namespace dorvix {

class ImageFile;

struct KmvImageHeader {
    std::array<std::uint8_t, kmvheader::kSize> bytes{};
};

enum class HeaderCheck { Valid, NoHeader, Invalid, ReadFailure };

// Stores the checksum that makes the 8-bit sum of all 512 bytes 0. Called last.
void sealImageHeader(KmvImageHeader& header);

// Reads the file's first 512 bytes into `header` and tells what they are, reporting to the
// operator as it goes. NoHeader leaves the bytes read in `header` as the first sector of the body.
HeaderCheck validateImageHeader(ProgressWindow window, ImageFile& imageFile, KmvImageHeader& header);

// Zeroed header with size, signature and the reserved constants of every capture.
KmvImageHeader newImageHeader();

// The target-BIOS list as written (up to its NUL or the end of the field).
std::string headerTargetBios(const KmvImageHeader& header);
// Sets the target-BIOS list; a list longer than 255 characters does not fit and is refused.
bool setHeaderTargetBios(KmvImageHeader& header, std::string_view list);

// 8-bit sum of all header bytes.
std::uint8_t headerByteSum(std::span<const std::uint8_t> bytes);

}  // namespace dorvix
