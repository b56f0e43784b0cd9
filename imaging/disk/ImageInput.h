#pragma once
// The length an image file with a valid header must have. The header's body-sector count is what
// tells a complete image from one that was cut short while it was copied.

#include "disk/ImageHeader.h"

#include <cstdint>

namespace dorvix {

// 512 + bodySectors x (512 for a FAT-aware body, the header's bytes per sector for a flat one).
std::uint64_t announcedImageLength(const KmvImageHeader& header);

}  // namespace dorvix
