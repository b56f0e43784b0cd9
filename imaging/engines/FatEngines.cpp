// The FAT-aware capture of DSKn: into an image file ("-imgcopy"), the target-BIOS list of its
// IMAGE.INI that precedes it, and the FAT engine's part in a flat capture.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>

#include "disk/DiskDevice.h"
#include "platform/ImageFile.h"
#include "disk/ImageHeader.h"
#include "disk/ImageStamp.h"
#include "fat/FatCapture.h"
#include "engines/Engines.h"
#include "fat/FatTexts.h"
#include "fat/FolderExclusion.h"
#include "fat/ImageBody.h"
#include "fat/ImageIniStamp.h"
#include "fat/TargetBiosList.h"
#include "platform/Clock.h"
#include "platform/DiskDriver.h"
#include "records/ByteOrder.h"

namespace dorvix {

namespace {

constexpr char kDefaultFatTargetBios[] = "KQ7B2,KQ3A1,KQ3A0";
constexpr std::uint8_t kFatCaptureMarker = 4;  // header byte 170 of a FAT-aware capture

// Creating the image file anew would empty the source when both are the same file.
bool imageIsSource(const std::string& sourcePath, const std::string& imagePath) {
    std::error_code error;
    return !sourcePath.empty() && std::filesystem::equivalent(sourcePath, imagePath, error) && !error;
}

// Passes every transfer on to `disk` and remembers the first failed one that lies within the
// disk's first `sectors` sectors (a partition entry pointing past the disk's end only means
// that there is no volume to read).
class WatchedDisk : public SectorDisk {
public:
    WatchedDisk(SectorDisk& disk, std::uint32_t sectors) : m_disk(disk), m_sectors(sectors) {}
    std::uint32_t read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        return noted(m_disk.read(firstSector, count, buffer), firstSector, count);
    }
    std::uint32_t write(std::uint32_t firstSector, std::uint32_t count, std::span<const std::uint8_t> buffer) override {
        return noted(m_disk.write(firstSector, count, buffer), firstSector, count);
    }
    std::uint32_t flush() override { return noted(m_disk.flush(), 0, 0); }
    const std::optional<FailedRead>& failed() const { return m_failed; }

private:
    std::uint32_t noted(std::uint32_t error, std::uint32_t firstSector, std::uint32_t count) {
        if (error != 0 && !m_failed && std::uint64_t{firstSector} + count <= m_sectors) {
            m_failed = FailedRead{firstSector, count};
        }
        return error;
    }

    SectorDisk& m_disk;
    std::uint32_t m_sectors;
    std::optional<FailedRead> m_failed;
};

KmvImageHeader fatImageHeader(const DiskDevice& disk, const std::optional<std::string>& targetBiosList,
                              std::int64_t fileLength) {
    using namespace kmvheader;
    KmvImageHeader header = newImageHeader();
    store16(header.bytes, kBytesPerSector, static_cast<std::uint16_t>(kImageSectorBytes));
    store16(header.bytes, kSectorsPerTrack, static_cast<std::uint16_t>(disk.sectorsPerTrack));
    store16(header.bytes, kHeads, static_cast<std::uint16_t>(disk.heads));
    // The FAT-aware format records one cylinder less than the source has.
    store32(header.bytes, kCylinders, disk.cylinders > 0 ? disk.cylinders - 1 : 0);
    store32(header.bytes, kBodySectors, static_cast<std::uint32_t>((fileLength - kImageHeaderBytes) / kImageSectorBytes));
    header.bytes[kReserved170] = kFatCaptureMarker;
    if (!targetBiosList || targetBiosList->empty() || !setHeaderTargetBios(header, *targetBiosList)) {
        setHeaderTargetBios(header, kDefaultFatTargetBios);
    }
    header.bytes[kImageKind] = kKindFat;
    sealImageHeader(header);
    return header;
}

}  // namespace

int captureFatImage(DeviceProvider& devices, ProgressWindow window, std::uint8_t sourceDevice,
                    const std::optional<std::string>& targetBiosList, const std::string& imagePath) {
    DiskDevice disk(devices);
    if (!disk.Open(sourceDevice)) {
        showError(window, "%s", text::kCannotAccessDevice);
        return -1;
    }
    // The FAT engine and the image body work in 512-byte sectors; another disk is left untouched.
    if (!disk.hasImageSectors()) {
        showError(window, text::kSectorSizeUnsupported, static_cast<int>(sourceDevice), disk.bytesPerSector);
        disk.Close();
        return -1;
    }
    if (imageIsSource(devices.backingPath(sourceDevice), imagePath)) {
        showError(window, "%s", text::kImageIsSource);
        disk.Close();
        return -1;
    }
    CaptureHooks hooks;
    hooks.heading = [window](const std::string& text) { showHeading(window, text); };
    hooks.status = [window](const std::string& text) { showStatus(window, "%s", text.c_str()); };
    hooks.error = [window](const std::string& text) { showError(window, "%s", text.c_str()); };
    // On the console the closing line says "100% completed." once, after the image is on the disk.
    hooks.progress = [window](unsigned percent, bool final) {
        if (final && window == nullptr) {
            showStatus(nullptr, "%s", text::kCompletedLine);
        } else if (window != nullptr || percent < 100) {
            showProgress(window, static_cast<int>(percent));
        }
    };
    // A disk whose file systems stay mounted has nothing to mount again.
    bool dismounted = false;
    hooks.dismount = [&disk, &dismounted] {
        dismounted = disk.Dismount();
        return dismounted && disk.LockExclusive();
    };
    hooks.mountFirstPartition = [&disk, &dismounted] {
        if (dismounted) {
            disk.MountFirstPartition();
            dismounted = false;
        }
    };
    hooks.now = [] { return localTime(); };
    hooks.writeHeader = [&disk, &targetBiosList](ImageFile& file, std::int64_t length) {
        const KmvImageHeader header = fatImageHeader(disk, targetBiosList, length);
        return file.writeAt(0, header.bytes);
    };

    FatVolume source;
    source.disk = &disk;
    const std::unique_ptr<ImageFile> image = devices.newImageFile();
    const int result = captureVolume(source, *image, imagePath, hooks);
    disk.Close();
    return result;
}

std::optional<std::string> readTargetBiosList(DeviceProvider& devices, std::uint8_t diskNumber) {
    std::optional<FailedRead> failed;
    return readTargetBiosList(devices, diskNumber, failed);
}

std::optional<std::string> readTargetBiosList(DeviceProvider& devices, std::uint8_t diskNumber,
                                              std::optional<FailedRead>& failed) {
    failed.reset();
    DiskDevice disk(devices);
    // A disk of other sectors holds no volume the engine reads; its capture refuses it.
    if (!disk.Open(diskNumber) || !disk.hasImageSectors()) {
        return std::nullopt;
    }
    // IMAGE.INI is read once the file systems have let go of the disk (their last writes are on
    // it then) and the disk's older cached sectors are dropped; the disk goes back afterwards.
    if (!disk.Dismount()) {
        return std::nullopt;
    }
    if (!disk.LockExclusive()) {
        disk.MountFirstPartition();
        return std::nullopt;
    }
    WatchedDisk watched(disk, disk.totalSectors);
    FatVolume volume;
    volume.disk = &watched;
    std::uint8_t mbrBuffer[mbr::kSize];
    std::uint8_t bootBuffer[bootsector::kSize];
    std::optional<std::string> list;
    if (mountVolume(volume, mbrBuffer, bootBuffer) == VolumeProblem::None) {
        list = scanTargetBiosList(volume);
    }
    releaseVolume(volume);
    disk.MountFirstPartition();
    disk.Close();
    failed = watched.failed();
    return failed ? std::nullopt : list;
}

ImageVolumeResult prepareFlatImageVolume(ImageFile& image) {
    ImageFileDisk imageDisk(image, 1);  // the header takes the file's first sector
    FatVolume volume;
    volume.disk = &imageDisk;
    std::uint8_t mbrBuffer[mbr::kSize];
    std::uint8_t bootBuffer[bootsector::kSize];
    if (mountVolume(volume, mbrBuffer, bootBuffer) != VolumeProblem::None) {
        releaseVolume(volume);
        return ImageVolumeResult::NotMountable;
    }
    Exclusion exclusion;
    excludeFolder(volume, kExcludedFolder, exclusion);
    bool noRoom = false;
    const bool stamped = stampVolumeIni(volume, localTime(), &noRoom);
    releaseVolume(volume);
    return stamped ? ImageVolumeResult::Prepared
           : noRoom ? ImageVolumeResult::NoRoomForStamp
                    : ImageVolumeResult::WriteFailed;
}

}  // namespace dorvix
