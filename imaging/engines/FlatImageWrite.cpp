// writeFlatImage: a flat image (a whole-disk sector dump, with or without header) copied onto
// DSKn: from sector 0 on. Every check is made before the disk's store is taken away; the
// device is not mounted again afterwards, as the main flow resets it.

#include "disk/DiskDevice.h"
#include "disk/DiskTexts.h"
#include "engines/Engines.h"
#include "disk/ImageCopy.h"
#include "disk/ImageInput.h"
#include "platform/Clock.h"
#include "platform/ImageFile.h"
#include "platform/Pause.h"
#include "platform/ProcessFlags.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

namespace dorvix {

namespace {
// The step of the progress shown: 32 sectors, 16 KiB.
constexpr std::uint32_t kProgressStepSectors = 32;
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
    const std::unique_ptr<ImageFile> image = devices.newImageFile();
    if (!image->openForReading(imagePath)) {
        showStatus(nullptr, text::kFlatOpenForRead, imagePath.c_str());
        return kFlatOpenFailure;
    }
    const std::int64_t fileLength = image->length();
    const std::optional<std::uint64_t> length =
        fileLength < 0 ? std::nullopt : std::optional<std::uint64_t>(static_cast<std::uint64_t>(fileLength));
    if (!length) {
        showStatus(nullptr, text::kFlatSeekFailed, 2);
        return kFlatOpenFailure;
    }
    if (*length % disk.bytesPerSector != 0) {
        showStatus(nullptr, text::kFlatLengthMismatch);
        return kFlatUnusable;
    }

    KmvImageHeader header;
    std::uint64_t bodyLength = 0;
    std::uint64_t imageOffset = 0;  // where the body starts in the file
    switch (validateImageHeader(window, *image, header)) {
    case HeaderCheck::Valid:
        if (announcedImageLength(header) != *length) {
            showError(window, text::kBodyLengthMismatch, static_cast<unsigned long long>(*length),
                      static_cast<unsigned long long>(announcedImageLength(header)));
            return kFlatUnusable;
        }
        bodyLength = *length - kmvheader::kSize;
        imageOffset = kmvheader::kSize;
        break;
    case HeaderCheck::NoHeader:
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
    // A flat capture holds every sector of its partitions, also those behind the last whole
    // cylinder: the image must fit the disk, not its whole cylinders (and 32-bit sector numbers).
    if (sectors > std::min<std::uint64_t>(disk.deviceSectors(), UINT32_MAX)) {
        showStatus(nullptr, text::kFlatTargetTooSmall);
        return kFlatUnusable;
    }

    // A disk whose file systems stay mounted would have them write back over the image.
    if (!disk.Dismount()) {
        return kFlatOpenFailure;
    }
    if (!disk.LockExclusive()) {
        disk.MountFirstPartition();  // refused before any write: the disk goes back as it was
        return kFlatOpenFailure;
    }
    // The operator sees the percentages of a copy in 16 KiB steps, however large the requests;
    // 100 % only once the flush has put everything on the disk.
    const auto total = static_cast<std::uint32_t>(sectors);
    ChunkProgress progress(total, kProgressStepSectors);
    bool complete = false;
    bool progressOnConsole = false;
    const ImageCopyResult copied =
        copyImageToDisk(*image, imageOffset, disk, 0, total, [&](std::uint32_t done) {
            progress.advance(done, [&](int percent) {
                if (percent == 100) {
                    complete = true;
                } else {
                    showProgress(window, percent);
                    progressOnConsole = window == nullptr;
                }
            });
        });
    // A failure begins its own line, not the end of the percentage shown last.
    auto failure = [&](const char* message) {
        showStatus(nullptr, "%s%s", progressOnConsole ? "\n" : "", message);
        return kFlatUnusable;
    };
    switch (copied) {
    case ImageCopyResult::Done:
        break;
    case ImageCopyResult::ReadFailed:
        return failure(text::kFlatReadError);
    case ImageCopyResult::WriteFailed:
        return failure(text::kFlatWriteError);
    case ImageCopyResult::NoMemory:
        return failure(text::kFlatNoBuffer);
    }
    // Done means on the disk: a failed flush is a failed write.
    if (!disk.Flush()) {
        return failure(text::kFlatWriteError);
    }
    if (complete) {
        showProgress(window, 100);
    }
    showStatus(window, text::kFlatCompleted, (tickCount() - started) / 1000);
    pauseForOperator(2000);
    return 0;
}

}  // namespace dorvix
