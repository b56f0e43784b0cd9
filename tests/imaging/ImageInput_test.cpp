#include "disk/ImageInput.h"

#include "records/ByteOrder.h"

#include <gtest/gtest.h>

namespace {

using namespace dorvix;

// The length a complete image must have: a FAT-aware body counts 512-byte sectors whatever the
// header's sector size says; a flat body counts sectors of the header's size.
TEST(ImageInput, AnnouncedLengthFollowsTheBodyKind) {
    struct Case {
        std::uint8_t kind;
        std::uint16_t bytesPerSector;
        std::uint32_t bodySectors;
        std::uint64_t length;
    };
    const Case cases[] = {
        {kmvheader::kKindFat, 512, 0, 512},
        {kmvheader::kKindFat, 512, 1000, 512 + 512 * 1000ull},
        {kmvheader::kKindFat, 4096, 1000, 512 + 512 * 1000ull},
        {kmvheader::kKindFlat, 512, 0, 512},
        {kmvheader::kKindFlat, 512, 3024, 512 + 512 * 3024ull},
        {kmvheader::kKindFlat, 4096, 10, 512 + 40960},
        {kmvheader::kKindFlat, 512, 0xFFFFFFFFu, 512 + 512 * 0xFFFFFFFFull},  // no 32-bit overflow
    };
    for (const auto& c : cases) {
        KmvImageHeader header = newImageHeader();
        header.bytes[kmvheader::kImageKind] = c.kind;
        store16(header.bytes, kmvheader::kBytesPerSector, c.bytesPerSector);
        store32(header.bytes, kmvheader::kBodySectors, c.bodySectors);
        EXPECT_EQ(announcedImageLength(header), c.length) << int(c.kind) << " " << c.bodySectors;
    }
}

}  // namespace
