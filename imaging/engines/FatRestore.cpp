#include "engines/FatRestore.h"

#include "disk/DiskDevice.h"
#include "disk/ImageCopy.h"
#include "engines/Engines.h"
#include "engines/RestorePlan.h"
#include "fat/FatTexts.h"
#include "fat/RestoreLayout.h"
#include "platform/Clock.h"
#include "platform/ImageFile.h"
#include "platform/Pause.h"
#include "platform/ProcessFlags.h"

#include <memory>
#include <optional>
#include <string>

namespace dorvix {

namespace {

// The step of the progress shown while the root directory and data area are copied.
constexpr std::uint32_t kProgressStepSectors = 16;

// Reads exactly 512 bytes of a code file.
bool readCodeFile(const std::string& path, Sector& code) {
    ImageFile file;
    return file.openForReading(path) && file.readAt(0, code);
}

// Writes to the target go through here once the layout is known: nothing may land outside
// the partition (the MBR is written before, on its own).
struct PartitionGuard {
    DiskDevice& disk;
    std::uint32_t first;  // first sector writes may touch
    std::uint32_t end;    // one past the partition

    bool inside(std::uint32_t sector, std::uint32_t count) const {
        return sector >= first && std::uint64_t{sector} + count <= end;
    }
    bool read(std::uint32_t sector, std::uint32_t count, std::span<std::uint8_t> buffer) const {
        return inside(sector, count) && disk.ReadSectors(sector, count, buffer);
    }
    bool write(std::uint32_t sector, std::uint32_t count, std::span<const std::uint8_t> buffer) const {
        return inside(sector, count) && disk.WriteSectors(sector, count, buffer);
    }
};

class FatRestore {
public:
    FatRestore(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath, std::uint8_t target,
               const std::optional<std::string>& mbrCode, const std::optional<std::string>& bootCode)
        : m_devices(devices), m_window(window), m_imagePath(imagePath), m_target(target), m_mbrCode(mbrCode),
          m_bootCode(bootCode), m_disk(devices) {}

    int run();

private:
    // Shows the message, then the clean-up of every failure: the store is mounted again (also
    // when the device could not be opened) and the result is -1.
    template <typename... Args>
    int fail(const char* format, Args... args) {
        showError(m_window, format, args...);
        return failed();
    }
    int failed() {
        m_image.reset();
        m_disk.MountFirstPartition();
        m_disk.Close();
        return -1;
    }
    int copyRootAndData(const RestoreLayout& layout, PartitionGuard& guard);

    DeviceProvider& m_devices;
    ProgressWindow m_window;
    const std::string& m_imagePath;
    std::uint8_t m_target;
    const std::optional<std::string>& m_mbrCode;
    const std::optional<std::string>& m_bootCode;
    DiskDevice m_disk;
    std::unique_ptr<ImageFile> m_image;
};

int FatRestore::run() {
    const std::uint32_t started = tickCount();
    if (!m_disk.Open(m_target)) {
        return fail(text::kRestoreTargetNotAccessible);
    }
    if (m_disk.cylinders == 0 && m_disk.heads == 0 && m_disk.sectorsPerTrack == 0 && !m_disk.FixupCHS()) {
        return fail(text::kFixupChsFailed);
    }
    if (!m_disk.hasImageSectors()) {
        return fail(text::kSectorSizeUnsupported, static_cast<int>(m_target), m_disk.bytesPerSector);
    }
    m_image = m_devices.newImageFile();
    if (!m_image->openForReading(m_imagePath)) {
        return fail(text::kFlatOpenForRead, m_imagePath.c_str());
    }
    const std::int64_t fileLength = m_image->length();
    if (fileLength < 0) {
        return fail(text::kFlatImageOperationError);
    }
    const std::optional<std::uint64_t> length = static_cast<std::uint64_t>(fileLength);
    if (m_disk.bytesPerSector == 0 || *length % m_disk.bytesPerSector != 0) {
        return fail(text::kRestoreInvalidImage);
    }

    RestoreTarget target;
    target.geometry = {m_disk.cylinders, m_disk.heads, m_disk.sectorsPerTrack, m_disk.bytesPerSector};
    target.totalSectors = m_disk.totalSectors;
    target.mbrCodeGiven = m_mbrCode.has_value();
    target.serialNumber = tickCount();
    target.checkBios = !processFlags().skipBiosCheck;
    // A track length taken from the old partition must leave the new first FAT at sector 32
    // or later, where every image (and a capture of this disk) expects it: else the driver's
    // track length is used.
    target.otherGeometry = [this]() -> std::optional<TargetGeometry> {
        if (!m_disk.trackFromPartition) {
            return std::nullopt;
        }
        m_disk.UseDriverTrackLength();
        return TargetGeometry{m_disk.cylinders, m_disk.heads, m_disk.sectorsPerTrack, m_disk.bytesPerSector};
    };
    // The code files are read before the disk is touched, so that a missing one refuses the
    // restore instead of leaving a half-written disk.
    target.completeLayout = [this](RestoreLayout& layout) {
        if (m_mbrCode && readMbrCodeBlock(layout.targetMbr, *m_mbrCode) != 1) {
            showError(m_window, text::kRestoreReadMbrCode);
            return false;
        }
        if (m_bootCode && readBootCodeBlock(layout.targetBoot, *m_bootCode) != 1) {
            showError(m_window, text::kRestoreReadBootCode);
            return false;
        }
        return true;
    };

    RestorePlan plan(m_window, *m_image, *length);
    switch (plan.plan(target)) {
    case PlanOutcome::Refused:
        return failed();
    case PlanOutcome::FlatImage:
        m_image.reset();
        m_disk.Close();
        return writeFlatImage(m_devices, m_window, m_imagePath, m_target);
    case PlanOutcome::Planned:
        break;
    }
    const RestoreLayout& layout = plan.layout();

    // From here on the disk's old contents are replaced. A disk whose file systems stay
    // mounted would have them write back over the new volume: it is not written at all.
    if (!m_disk.Dismount() || !m_disk.LockExclusive()) {
        return fail(text::kRestoreTargetNotAccessible);
    }
    if (!m_disk.WriteSectors(0, 1, layout.targetMbr)) {
        return fail(text::kRestoreWriteMbr);
    }
    PartitionGuard guard{m_disk, layout.partitionStart, layout.partitionStart + layout.partitionSectors};
    if (!guard.write(layout.partitionStart, layout.reservedSectors, plan.bootArea())) {
        return fail(text::kRestoreWritePbr);
    }
    if (int result = copyRootAndData(layout, guard); result != 0) {
        return result;
    }

    showStatus(m_window, text::kRestorePostProcessing);
    for (const PlannedWrite& planned : plan.directories()) {
        if (!guard.write(planned.firstSector, planned.count, planned.bytes)) {
            return fail(text::kRestoreRebuildFailed);
        }
    }
    // As many FAT copies as the boot sector names, each at its own place.
    for (std::uint32_t copy = 0; copy < layout.numberOfFats; ++copy) {
        if (!guard.write(layout.fatStart + copy * layout.sectorsPerFat, layout.sectorsPerFat, plan.fat())) {
            return fail(text::kRestoreWriteFat);
        }
    }
    // Nothing is reported done before the disk holds it.
    if (!m_disk.Flush()) {
        return fail(text::kRestoreWriteData);
    }

    m_image.reset();
    m_disk.MountFirstPartition();
    showStatus(m_window, text::kRestoreCompleted, static_cast<long>((tickCount() - started) / 1000));
    pauseForOperator(2000);
    m_disk.Close();
    return 0;
}

int FatRestore::copyRootAndData(const RestoreLayout& layout, PartitionGuard& guard) {
    showStatus(m_window, text::kRestoreExtracting);
    showStatus(m_window, text::kRestoreCopying);
    if (!guard.inside(layout.rootStart, layout.copySectors)) {
        return fail(text::kRestoreWriteData);
    }
    // The operator sees the percentages of a copy in 16-sector steps, however large the requests.
    ChunkProgress progress(layout.copySectors, kProgressStepSectors);
    const ImageCopyResult copied =
        copyImageToDisk(*m_image, std::uint64_t{layout.imageRootSector} * kSectorBytes, guard.disk,
                        layout.rootStart, layout.copySectors, [&](std::uint32_t done) {
                            progress.advance(done, [this](int percent) { showProgress(m_window, percent); });
                        });
    switch (copied) {
    case ImageCopyResult::Done:
        break;
    case ImageCopyResult::ReadFailed:
        return fail(text::kRestoreReadData);
    case ImageCopyResult::WriteFailed:
        return fail(text::kRestoreWriteData);
    case ImageCopyResult::NoMemory:
        return fail(text::kRestoreAllocation);
    }
    if (m_window == nullptr) {
        showStatus(nullptr, text::kRestoreClearLine);
    }
    return 0;
}

}  // namespace

int readMbrCodeBlock(std::span<std::uint8_t> mbr, const std::string& path) {
    Sector code{};
    if (!readCodeFile(path, code)) {
        return 0;
    }
    overlayMbrCode(mbr, code);
    return 1;
}

int readBootCodeBlock(std::span<std::uint8_t> bootSector, const std::string& path) {
    Sector code{};
    if (!readCodeFile(path, code)) {
        return 0;
    }
    overlayBootCode(bootSector, code);
    return 1;
}

int restoreFatImage(DeviceProvider& devices, ProgressWindow window, const std::string& imagePath,
                    std::uint8_t targetDevice, const std::optional<std::string>& mbrCodePath,
                    const std::optional<std::string>& bootCodePath) {
    FatRestore restore(devices, window, imagePath, targetDevice, mbrCodePath, bootCodePath);
    return restore.run();
}

}  // namespace dorvix
