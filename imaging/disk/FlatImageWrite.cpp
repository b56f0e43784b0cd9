// writeFlatImage: a flat image (a whole-disk sector dump, with or without header) copied onto
// DSKn: from sector 0 on. Every check is made before the disk's store is taken away; the
// device is not mounted again afterwards, as the main flow resets it.

#include "disk/DiskDevice.h"
#include "disk/DiskTexts.h"
#include "disk/FlatEngines.h"
#include "disk/ImageInput.h"
#include "platform/Clock.h"
#include "platform/Pause.h"
#include "platform/ProcessFlags.h"

#include <vector>

namespace dorvix {

namespace {
constexpr std::uint32_t kTransferSectors = 32;  // 16 KiB per disk request
constexpr std::uint32_t kBlockBytes = 512;
constexpr int kFlatOpenFailure = 3;
constexpr int kFlatUnusable = 4;
}  // namespace

int writeFlatImage(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath,
                   std::uint8_t targetDevice) {
    const std::uint32_t started = tickCount();
    DiskDevice disk(devices);
    if (!disk.Open(targetDevice)) {
        return kFlatOpenFailure;
    }
    if (!disk.hasImageSectors()) {
        showError(window, text::kSectorSizeUnsupported, static_cast<int>(targetDevice), disk.bytesPerSector);
        return kFlatUnusable;
    }
    ImageFilePtr image(std::fopen(imagePath.c_str(), "rb"));
    if (!image) {
        showStatus(nullptr, text::kFlatOpenForRead, imagePath.c_str());
        return kFlatOpenFailure;
    }
    const std::optional<std::uint64_t> length = imageFileLength(image.get());
    if (!length) {
        showStatus(nullptr, text::kFlatSeekFailed, 2);
        return kFlatOpenFailure;
    }
    if (*length % disk.bytesPerSector != 0) {
        showStatus(nullptr, text::kFlatLengthMismatch);
        return kFlatUnusable;
    }
    if (!seekImageFile(image.get(), 0)) {
        showError(window, text::kFlatImageOperationError);
        return kFlatOpenFailure;
    }

    KmvImageHeader header;
    std::uint64_t bodyLength = 0;
    switch (validateImageHeader(window, image.get(), header)) {
    case HeaderCheck::Valid:
        if (announcedImageLength(header) != *length) {
            showError(window, text::kBodyLengthMismatch, static_cast<unsigned long long>(*length),
                      static_cast<unsigned long long>(announcedImageLength(header)));
            return kFlatUnusable;
        }
        bodyLength = *length - kmvheader::kSize;
        break;
    case HeaderCheck::NoHeader:
        if (!seekImageFile(image.get(), 0)) {
            showError(window, text::kFlatImageOperationError);
            return kFlatOpenFailure;
        }
        bodyLength = *length;
        break;
    case HeaderCheck::Invalid:
    case HeaderCheck::ReadFailure:
        return kFlatUnusable;
    }

    showStatus(window, text::kFlatPerforming);
    const std::uint64_t sectors = bodyLength / disk.bytesPerSector;
    if (processFlags().debug) {
        showStatus(nullptr, text::kFlatTotalSectors, static_cast<unsigned long>(sectors),
                   static_cast<unsigned long>(disk.totalSectors));
    }
    if (sectors > disk.totalSectors) {
        showStatus(nullptr, text::kFlatTargetTooSmall);
        return kFlatUnusable;
    }

    // A disk whose file systems stay mounted would have them write back over the image.
    if (!disk.Dismount() || !disk.LockExclusive()) {
        return kFlatOpenFailure;
    }
    std::vector<std::uint8_t> buffer(std::size_t{kTransferSectors} * kBlockBytes);
    const auto total = static_cast<std::uint32_t>(sectors);
    std::uint32_t position = 0;
    std::uint32_t lastPercent = 0;
    while (position < total) {
        const std::uint32_t n = std::min(kTransferSectors, total - position);
        if (std::fread(buffer.data(), kBlockBytes, n, image.get()) != n) {
            showStatus(nullptr, text::kFlatReadError);
            return kFlatUnusable;
        }
        if (!disk.WriteSectors(position, n, std::span(buffer).first(std::size_t{n} * kBlockBytes))) {
            showStatus(nullptr, text::kFlatWriteError);
            return kFlatUnusable;
        }
        position += n;
        const auto percent = static_cast<std::uint32_t>(std::uint64_t{position} * 100 / total);
        if (percent > lastPercent) {
            lastPercent = percent;
            showProgress(window, static_cast<int>(percent));
        }
    }
    // Done means on the disk: a failed flush is a failed write.
    if (!disk.Flush()) {
        showStatus(nullptr, text::kFlatWriteError);
        return kFlatUnusable;
    }
    showStatus(window, text::kFlatCompleted, (tickCount() - started) / 1000);
    pauseForOperator(2000);
    return 0;
}

}  // namespace dorvix
