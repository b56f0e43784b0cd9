#include "disk/ImageInput.h"

#include "records/ByteOrder.h"

namespace dorvix {

std::uint64_t announcedImageLength(const KmvImageHeader& header) {
    using namespace kmvheader;
    const std::uint64_t body = load32(header.bytes, kBodySectors);
    const std::uint64_t sectorBytes =
        header.bytes[kImageKind] == kKindFlat ? load16(header.bytes, kBytesPerSector) : kSize;
    return kSize + body * sectorBytes;
}

}  // namespace dorvix
