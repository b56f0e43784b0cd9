#pragma once
// The image file as the writers read it: an owned stdio stream with 64-bit positions, and
// the length a file with a valid header must have. The header's body-sector count is what
// tells a complete image from one that was cut short while it was copied.

#include "disk/ImageHeader.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace dorvix {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using ImageFilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The file's length (its end position), or nothing when the seek fails; the position is
// left at the end.
std::optional<std::uint64_t> imageFileLength(std::FILE* file);
bool seekImageFile(std::FILE* file, std::uint64_t offset);

// 512 + bodySectors x (512 for a FAT-aware body, the header's bytes per sector for a flat one).
std::uint64_t announcedImageLength(const KmvImageHeader& header);

}  // namespace dorvix
