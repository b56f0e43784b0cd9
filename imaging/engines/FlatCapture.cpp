// captureFlatImage: the whole of DSKn: (whole cylinders, and every partition to its end),
// cylinder by cylinder, into an image file with a flat header. The disk is only read: the copy
// goes to an unnamed (or hidden) file in the image's folder, and there the FAT engine
// leaves "\Documents and Settings" out and gives IMAGE.INI the
// capture time. The image gets its name once it is sealed and on the disk.

#include "disk/BiosCompatibility.h"
#include "disk/DiskDevice.h"
#include "disk/DiskTexts.h"
#include "engines/Engines.h"
#include "platform/ImageFile.h"
#include "disk/ImageInput.h"
#include "platform/Clock.h"
#include "records/ByteOrder.h"
#include "records/Mbr.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <new>
#include <vector>

namespace dorvix {

namespace {

constexpr int kCaptureFailed = 3;
constexpr int kCaptureNoResources = 5;

// The image would take the place of the file behind the source disk, changing the source.
bool imageIsSource(const std::string& sourcePath, const std::string& imagePath) {
    std::error_code error;
    return !sourcePath.empty() && std::filesystem::equivalent(sourcePath, imagePath, error) && !error;
}

class FlatCapture {
public:
    FlatCapture(DeviceProvider& devices, ProgressWindow window, std::uint8_t source, const std::string& imagePath)
        : m_devices(devices), m_window(window), m_source(source), m_imagePath(imagePath), m_disk(devices),
          m_image(devices.newImageFile()) {}
    ~FlatCapture() { cleanUp(); }
    FlatCapture(const FlatCapture&) = delete;
    FlatCapture& operator=(const FlatCapture&) = delete;

    int run();

private:
    // The sectors the image holds, or nothing (the refusal shown) when a partition cannot be
    // captured whole.
    std::optional<std::uint32_t> sectorsToCapture();
    int copyDisk(std::uint32_t sectors);
    // Leaves the documents folder out of the image's volume and stamps its IMAGE.INI.
    int prepareImageVolume();
    // Mounts the disk again and closes everything; an unfinished image is removed.
    void cleanUp();
    // After a failed write of the image: where, and the system's reason, when it gave one.
    void reportImageError(bool asError);

    DeviceProvider& m_devices;
    ProgressWindow m_window;
    std::uint8_t m_source;
    const std::string& m_imagePath;
    DiskDevice m_disk;
    std::unique_ptr<ImageFile> m_image;
    bool m_dismounted = false;
};

int FlatCapture::run() {
    const std::uint32_t started = tickCount();
    KmvImageHeader header = newImageHeader();
    if (!m_disk.Open(m_source)) {
        return kCaptureFailed;
    }
    // Transfers and the FAT engine work in 512-byte sectors; other disks are refused untouched.
    if (!m_disk.hasImageSectors()) {
        showError(m_window, text::kSectorSizeUnsupported, static_cast<int>(m_source), m_disk.bytesPerSector);
        return kCaptureNoResources;
    }
    if (imageIsSource(m_devices.backingPath(m_source), m_imagePath)) {
        showError(m_window, "%s", text::kImageIsSource);
        return kCaptureFailed;
    }
    std::optional<FailedRead> failedRead;
    const std::optional<std::string> listed = readTargetBiosList(m_devices, m_source, failedRead);
    if (failedRead) {
        // The default list in its place would make an image meant for other devices.
        showStatus(m_window, text::kFlatCaptureReadFailed, static_cast<unsigned long>(failedRead->firstSector),
                   failedRead->count);
        return kCaptureFailed;
    }
    const std::string list = listed ? cutTargetBiosList(*listed) : std::string();
    const std::optional<std::uint32_t> sectors = sectorsToCapture();
    if (!sectors) {
        return kCaptureFailed;
    }
    if (!m_image->createTemporary(m_imagePath)) {
        showError(m_window, text::kFlatCaptureOpenForWrite, m_imagePath.c_str());
        return kCaptureFailed;
    }
    using namespace kmvheader;
    store16(header.bytes, kBytesPerSector, static_cast<std::uint16_t>(m_disk.bytesPerSector));
    store16(header.bytes, kSectorsPerTrack, static_cast<std::uint16_t>(m_disk.sectorsPerTrack));
    store16(header.bytes, kHeads, static_cast<std::uint16_t>(m_disk.heads));
    store32(header.bytes, kCylinders, m_disk.cylinders);
    header.bytes[kReserved170] = 0;
    setHeaderTargetBios(header, list.empty() ? std::string_view(text::kFlatDefaultTargetBios) : list);
    header.bytes[kImageKind] = kKindFlat;
    if (!m_image->writeAt(0, header.bytes)) {
        showError(m_window, text::kFlatCaptureHeaderWriteFailed, 512L);
        reportImageError(true);
        return kCaptureFailed;
    }

    int result = copyDisk(*sectors);
    if (result == 0) {
        result = prepareImageVolume();
    }
    if (result != 0) {
        return result;
    }
    store32(header.bytes, kBodySectors, *sectors);
    sealImageHeader(header);
    // Sealed, flushed, then named: nothing reports the image done before it is on the disk.
    if (!m_image->writeAt(0, header.bytes) || !m_image->commit()) {
        showError(m_window, text::kFlatCaptureHeaderWriteFailed, 512L);
        reportImageError(true);
        return kCaptureFailed;
    }
    showStatus(m_window, text::kFlatCaptureCompleted, static_cast<long>((tickCount() - started) / 1000));
    return 0;
}

std::optional<std::uint32_t> FlatCapture::sectorsToCapture() {
    // Whole cylinders, as the geometry gives them; a partition of the table in sector 0 that
    // runs past the last whole cylinder is taken to its end, so that no image lacks the end of
    // a volume. A partition that runs past the end of the disk cannot be captured whole.
    std::uint64_t sectors = m_disk.totalSectors;
    std::array<std::uint8_t, mbr::kSize> sector0{};
    if (!m_disk.ReadSectors(0, 1, sector0)) {
        showStatus(m_window, text::kFlatCaptureReadFailed, 0UL, 1U);
        return std::nullopt;
    }
    if (load16(sector0, mbr::kSignature) != mbr::kSignatureValue) {
        return static_cast<std::uint32_t>(sectors);
    }
    const std::uint64_t limit = std::min<std::uint64_t>(m_disk.deviceSectors(), UINT32_MAX);
    for (int n = 0; n < 4; ++n) {
        const std::size_t entry = mbr::kPartition1 + std::size_t(n) * mbr::partition::kBytes;
        const std::uint32_t count = load32(sector0, entry + mbr::partition::kSectorCount);
        if (sector0[entry + mbr::partition::kType] == 0 || count == 0) {
            continue;
        }
        const std::uint64_t end = std::uint64_t{load32(sector0, entry + mbr::partition::kFirstSector)} + count;
        if (end > limit) {
            showError(m_window, text::kFlatCapturePartitionPastDisk, n + 1, static_cast<unsigned long long>(end),
                      static_cast<unsigned long long>(limit));
            return std::nullopt;
        }
        sectors = std::max(sectors, end);
    }
    return static_cast<std::uint32_t>(sectors);
}

int FlatCapture::copyDisk(std::uint32_t sectors) {
    showStatus(m_window, text::kFlatCaptureTotalSectors, static_cast<unsigned long>(sectors),
               static_cast<unsigned long>(sectors));
    const std::uint32_t chunk = m_disk.heads * m_disk.sectorsPerTrack;
    const std::size_t chunkBytes = std::size_t{chunk} * m_disk.bytesPerSector;
    std::vector<std::uint8_t> buffer;
    try {
        buffer.assign(chunkBytes, 0);
    } catch (const std::bad_alloc&) {
        showStatus(m_window, text::kFlatCaptureNoBuffer, static_cast<int>(chunkBytes));
        return kCaptureNoResources;
    }
    showStatus(m_window, text::kFlatCapturing);
    showStatus(m_window, text::kFlatCaptureZeroPercent);
    // A disk that stays mounted (or that another program holds) is not read behind its
    // file system's back. A disk whose file systems stay mounted has nothing to mount again.
    if (!m_disk.Dismount()) {
        return kCaptureFailed;
    }
    m_dismounted = true;
    if (!m_disk.LockExclusive()) {
        return kCaptureFailed;
    }

    int result = 0;
    std::uint32_t position = 0;
    std::uint32_t lastPercent = 0;
    while (position < sectors) {
        const std::uint32_t n = std::min(chunk, sectors - position);
        if (!m_disk.ReadSectors(position, n, buffer)) {
            showStatus(m_window, text::kFlatCaptureReadFailed, static_cast<unsigned long>(position), n);
            result = kCaptureFailed;
            break;
        }
        const std::size_t bytes = std::size_t{n} * m_disk.bytesPerSector;
        if (!m_image->writeAt(std::uint64_t{kmvheader::kSize} + std::uint64_t{position} * m_disk.bytesPerSector,
                             std::span(buffer).first(bytes))) {
            showStatus(m_window, text::kFlatCaptureWriteFailed, static_cast<long>(bytes));
            reportImageError(false);
            result = kCaptureFailed;
            break;
        }
        position += n;
        const auto percent = static_cast<std::uint32_t>(std::uint64_t{position} * 100 / sectors);
        if (percent != lastPercent) {
            lastPercent = percent;
            showProgress(m_window, static_cast<int>(percent));
        }
    }
    m_disk.MountFirstPartition();
    m_dismounted = false;
    return result;
}

int FlatCapture::prepareImageVolume() {
    // The image's copy of the volume is changed for good; the disk never is.
    const ImageVolumeResult result = prepareFlatImageVolume(*m_image);
    switch (result) {
    case ImageVolumeResult::Prepared:
        return 0;
    case ImageVolumeResult::NotMountable:
        showStatus(m_window, text::kFlatCaptureOpenVolumeFailed);
        return kCaptureNoResources;
    case ImageVolumeResult::NoRoomForStamp:
        showError(m_window, "%s", text::kStampNoRoom);
        return kCaptureFailed;
    case ImageVolumeResult::WriteFailed:
        break;
    }
    showStatus(m_window, text::kFlatCaptureWriteFailed, 512L);
    reportImageError(false);
    return kCaptureFailed;
}

void FlatCapture::reportImageError(bool asError) {
    if (m_image->lastError() == 0) {
        return;
    }
    const std::string folder = imageFolder(m_imagePath);
    if (asError) {
        showError(m_window, text::kImageFileWriteError, folder.c_str(), std::strerror(m_image->lastError()));
    } else {
        showStatus(m_window, text::kImageFileWriteError, folder.c_str(), std::strerror(m_image->lastError()));
    }
}

void FlatCapture::cleanUp() {
    if (m_dismounted) {
        m_disk.MountFirstPartition();
        m_dismounted = false;
    }
    m_image->discard();
    m_disk.Close();
}

}  // namespace

int captureFlatImage(DeviceProvider& devices, ProgressWindow window, std::uint8_t sourceDevice,
                     const std::string& imagePath) {
    FlatCapture capture(devices, window, sourceDevice, imagePath);
    return capture.run();
}

}  // namespace dorvix
