#include "disk/ImageHeader.h"

#include "disk/DiskTexts.h"
#include "platform/ImageFile.h"
#include "records/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace dorvix {

using namespace kmvheader;

std::uint8_t headerByteSum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    return sum;
}

void sealImageHeader(KmvImageHeader& header) {
    header.bytes[kChecksum] = 0;
    header.bytes[kChecksum] = static_cast<std::uint8_t>(0x100 - headerByteSum(header.bytes));
}

HeaderCheck validateImageHeader(ProgressWindow window, ImageFile& imageFile, KmvImageHeader& header) {
    header = KmvImageHeader{};
    if (!imageFile.readAt(0, header.bytes)) {
        showError(window, text::kHeaderReadFailed);
        return HeaderCheck::ReadFailure;
    }
    if (std::memcmp(header.bytes.data() + kSignature, kSignatureText, kSignatureLength) == 0) {
        showStatus(window, text::kHeaderValidating);
        if (load16(header.bytes, kHeaderSize) == kSize && headerByteSum(header.bytes) == 0) {
            return HeaderCheck::Valid;
        }
        showError(window, text::kHeaderInvalid);
        return HeaderCheck::Invalid;
    }
    showStatus(window, text::kHeaderMissing);
    return HeaderCheck::NoHeader;
}

KmvImageHeader newImageHeader() {
    KmvImageHeader header;
    store16(header.bytes, kHeaderSize, static_cast<std::uint16_t>(kSize));
    std::memcpy(header.bytes.data() + kSignature, kSignatureText, kSignatureLength);
    header.bytes[kReserved40] = kReserved40Value;
    header.bytes[kReserved41] = kReserved41Value;
    return header;
}

std::string headerTargetBios(const KmvImageHeader& header) {
    const auto* first = header.bytes.data() + kTargetBios;
    const auto* last = first + kTargetBiosField;
    return std::string(first, std::find(first, last, std::uint8_t{0}));
}

bool setHeaderTargetBios(KmvImageHeader& header, std::string_view list) {
    if (list.size() > kTargetBiosMaxLength || list.find('\0') != std::string_view::npos) {
        return false;
    }
    std::fill_n(header.bytes.data() + kTargetBios, kTargetBiosField, std::uint8_t{0});
    std::memcpy(header.bytes.data() + kTargetBios, list.data(), list.size());
    return true;
}

}  // namespace dorvix
