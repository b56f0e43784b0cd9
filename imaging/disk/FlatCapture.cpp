// captureFlatImage: the whole of DSKn: (whole cylinders), cylinder by cylinder, into an image
// file with a flat header. The volume is prepared as for a FAT-aware capture: IMAGE.INI carries
// the capture time and "\Documents and Settings" is taken out for the copy; both are put back
// afterwards, on every path.

#include "disk/BiosCompatibility.h"
#include "disk/ByteOrder.h"
#include "disk/DiskDevice.h"
#include "disk/ImageInput.h"
#include "disk/ImageStamp.h"
#include "fat/DiskCallbacks.h"
#include "fat/FatVolume.h"
#include "fat/FolderExclusion.h"
#include "front/Engines.h"
#include "front/StringTable.h"
#include "platform/Clock.h"

#include <array>
#include <new>
#include <vector>

namespace dorvix {

namespace {

constexpr int kCaptureFailed = 3;
constexpr int kCaptureNoResources = 5;

bool writeAll(std::FILE* file, std::span<const std::uint8_t> bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

class FlatCapture {
public:
    FlatCapture(ProgressWindow window, std::uint8_t source, const std::string& imagePath)
        : m_window(window), m_source(source), m_imagePath(imagePath) {}
    ~FlatCapture() { cleanUp(); }
    FlatCapture(const FlatCapture&) = delete;
    FlatCapture& operator=(const FlatCapture&) = delete;

    int run();

private:
    int copyDisk(KmvImageHeader& header);
    // Puts the folder and the stamp back, mounts the disk again and closes everything.
    void cleanUp();

    ProgressWindow m_window;
    std::uint8_t m_source;
    const std::string& m_imagePath;
    DiskDevice m_disk;
    ImageFilePtr m_image;
    FatVolume m_volume;
    bool m_mounted = false;
    Exclusion m_exclusion;
    bool m_excluded = false;
    SystemTime m_savedStamp{};
    bool m_haveStamp = false;
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
    const std::optional<std::string> listed = readTargetBiosList(m_source);
    const std::string list = listed ? cutTargetBiosList(*listed) : std::string();
    m_image.reset(std::fopen(m_imagePath.c_str(), "wb"));
    if (!m_image) {
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
    if (!writeAll(m_image.get(), header.bytes)) {
        showError(m_window, text::kFlatCaptureHeaderWriteFailed, 512L);
        return kCaptureFailed;
    }

    int result = copyDisk(header);
    if (result != 0) {
        return result;
    }
    store32(header.bytes, kBodySectors, m_disk.totalSectors);
    sealImageHeader(header);
    if (!seekImageFile(m_image.get(), 0)) {
        showError(m_window, text::kFlatCaptureSeekFailed, 0);
        return kCaptureFailed;
    }
    if (!writeAll(m_image.get(), header.bytes) || std::fflush(m_image.get()) != 0) {
        showError(m_window, text::kFlatCaptureHeaderWriteFailed, 512L);
        return kCaptureFailed;
    }
    showStatus(m_window, text::kFlatCaptureCompleted, static_cast<long>((tickCount() - started) / 1000));
    return 0;
}

int FlatCapture::copyDisk(KmvImageHeader&) {
    const std::uint32_t sectors = m_disk.totalSectors;
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
    m_disk.Dismount();
    m_dismounted = true;

    std::array<std::uint8_t, 512> mbr{};
    std::array<std::uint8_t, 512> boot{};
    m_volume.device = &m_disk;
    m_volume.sectorReader = diskSectorReader;
    m_volume.sectorWriter = diskSectorWriter;
    if (mountVolume(m_volume, mbr, boot) != 0) {
        showStatus(m_window, text::kFlatCaptureOpenVolumeFailed);
        return kCaptureNoResources;
    }
    m_mounted = true;
    // The disk is dismounted, so IMAGE.INI is reached inside the volume.
    const StampLocation stamp{{}, &m_volume};
    m_haveStamp = readModDate(stamp, m_savedStamp);
    writeModDate(stamp, localTime());
    excludeFolder(m_volume, kExcludedFolder, m_exclusion);
    m_excluded = true;

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
        if (!writeAll(m_image.get(), std::span(buffer).first(bytes))) {
            showStatus(m_window, text::kFlatCaptureWriteFailed, static_cast<long>(bytes));
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
    restoreExcludedFolder(m_volume, m_exclusion);
    m_excluded = false;
    return result;
}

void FlatCapture::cleanUp() {
    if (m_excluded) {
        restoreExcludedFolder(m_volume, m_exclusion);
        m_excluded = false;
    }
    if (m_mounted) {
        if (m_haveStamp) {
            writeModDate(StampLocation{{}, &m_volume}, m_savedStamp);
        }
        releaseVolume(m_volume);
        m_mounted = false;
    }
    if (m_dismounted) {
        m_disk.MountFirstPartition();
        m_dismounted = false;
    }
    m_image.reset();
    m_disk.Close();
}

}  // namespace

int captureFlatImage(ProgressWindow window, std::uint8_t sourceDevice, const std::string& imagePath) {
    FlatCapture capture(window, sourceDevice, imagePath);
    return capture.run();
}

}  // namespace dorvix
