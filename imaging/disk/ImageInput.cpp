#include "disk/ImageInput.h"

#include "records/ByteOrder.h"

namespace dorvix {

std::optional<std::uint64_t> imageFileLength(std::FILE* file) {
    if (::fseeko(file, 0, SEEK_END) != 0) {
        return std::nullopt;
    }
    const off_t end = ::ftello(file);
    if (end < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(end);
}

bool seekImageFile(std::FILE* file, std::uint64_t offset) {
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::uint64_t announcedImageLength(const KmvImageHeader& header) {
    using namespace kmvheader;
    const std::uint64_t body = load32(header.bytes, kBodySectors);
    const std::uint64_t sectorBytes =
        header.bytes[kImageKind] == kKindFlat ? load16(header.bytes, kBytesPerSector) : kSize;
    return kSize + body * sectorBytes;
}

}  // namespace dorvix
