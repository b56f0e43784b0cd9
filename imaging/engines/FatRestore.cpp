#include "engines/FatRestore.h"

#include "disk/BiosCompatibility.h"
#include "disk/DiskDevice.h"
#include "disk/ImageCopy.h"
#include "disk/ImageInput.h"
#include "engines/Engines.h"
#include "fat/FatTexts.h"
#include "fat/RebuildDirectory.h"
#include "fat/RestoreLayout.h"
#include "platform/Clock.h"
#include "platform/ImageFile.h"
#include "platform/Pause.h"
#include "platform/ProcessFlags.h"
#include "records/ByteOrder.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace dorvix {

namespace {

// The step of the progress shown while the root directory and data area are copied.
constexpr std::uint32_t kProgressStepSectors = 16;

// Images keep their first FAT at sector 32 or later.
constexpr std::uint32_t kFirstFatSector = 32;

// Reads exactly 512 bytes of a code file.
bool readCodeFile(const std::string& path, Sector& code) {
    ImageFile file;
    return file.openForReading(path) && file.readAt(0, code);
}

// A read of the image file that the system failed (an I/O error, not the file's end): the
// first one is kept, so that the restore reports it as what it is.
struct ImageReadError {
    int error = 0;
    std::uint64_t offset = 0;  // where the bytes read stopped
};

bool readImageBytes(ImageFile& file, std::uint64_t offset, std::span<std::uint8_t> into, ImageReadError& noted) {
    int error = 0;
    const std::size_t got = file.readSomeAt(offset, into, error);
    if (got == into.size()) {
        return true;
    }
    if (error != 0 && noted.error == 0) {
        noted = {error, offset + got};
    }
    return false;
}

bool readRecord(ImageFile& file, std::uint64_t offset, Sector& record, ImageReadError& noted) {
    return readImageBytes(file, offset, record, noted);
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

// A directory rewritten in the target's form, waiting for the write phase.
struct PlannedWrite {
    std::uint32_t firstSector = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> bytes;
};

// The target as the directory rebuild sees it while the restore plans: target sector s of the
// root and data area is image sector R + (s - rootStart), where the copy will put it, and each
// rewritten directory is kept for the write phase. Reads outside what the image brings along
// fail.
class PlanDisk : public SectorDisk {
public:
    PlanDisk(const RestoreLayout& layout, ImageFile& image, std::vector<PlannedWrite>& directories,
             ImageReadError& readError)
        : m_layout(layout), m_image(image), m_directories(directories), m_readError(readError) {}

    std::uint32_t read(std::uint32_t s, std::uint32_t n, std::span<std::uint8_t> b) override {
        if (s < m_layout.rootStart || std::uint64_t{s} - m_layout.rootStart + n > m_layout.copySectors ||
            b.size() < std::size_t{n} * kSectorBytes) {
            return EINVAL;
        }
        const std::uint64_t at = (std::uint64_t{m_layout.imageRootSector} + (s - m_layout.rootStart)) * kSectorBytes;
        return readImageBytes(m_image, at, b.first(std::size_t{n} * kSectorBytes), m_readError) ? 0 : EIO;
    }
    // Behind its end marker a directory is zeros in the image (the rebuild checks that), so the
    // copy already put those sectors right: only the sectors up to the last entry are kept.
    std::uint32_t write(std::uint32_t s, std::uint32_t n, std::span<const std::uint8_t> b) override {
        const std::size_t bytes = std::min(b.size(), std::size_t{n} * kSectorBytes);
        const auto last = std::find_if(std::make_reverse_iterator(b.begin() + static_cast<std::ptrdiff_t>(bytes)),
                                       std::make_reverse_iterator(b.begin()), [](std::uint8_t v) { return v != 0; });
        const std::size_t used = static_cast<std::size_t>(std::make_reverse_iterator(b.begin()) - last);
        const auto sectors = static_cast<std::uint32_t>((used + kSectorBytes - 1) / kSectorBytes);
        if (sectors == 0) {
            return 0;
        }
        try {
            m_directories.push_back(
                {s, sectors, std::vector<std::uint8_t>(b.begin(), b.begin() + sectors * kSectorBytes)});
        } catch (const std::bad_alloc&) {
            return ENOMEM;
        }
        return 0;
    }

private:
    const RestoreLayout& m_layout;
    ImageFile& m_image;
    std::vector<PlannedWrite>& m_directories;
    ImageReadError& m_readError;
};

// Refusals of the layout, reported before anything is written.
void reportRefusal(ProgressWindow window, LayoutRefusal why, const RestoreLayout& layout) {
    switch (why) {
    case LayoutRefusal::None:
        break;
    case LayoutRefusal::InvalidMbr:
        showError(window, text::kRestoreInvalidMbr);
        break;
    case LayoutRefusal::ImageLargerThanDisk:
        showError(window, text::kRestoreImageTooLarge);
        break;
    case LayoutRefusal::DiskTooSmall:
        showError(window, text::kRestoreDiskTooSmall);
        break;
    case LayoutRefusal::ClustersTooSmall:
        showError(window, text::kRestoreClustersTooSmall, layout.imageSectorsPerCluster);
        break;
    case LayoutRefusal::SectorSize:
        showError(window, text::kRestoreSectorSize);
        break;
    case LayoutRefusal::NotFat16:
        showError(window, text::kRestoreNotFat16);
        break;
    case LayoutRefusal::TooManyClusters:
        showError(window, text::kRestoreTooManyClusters);
        break;
    case LayoutRefusal::ImageDamaged:
        showError(window, text::kRestoreImageDamaged);
        break;
    case LayoutRefusal::FatMisplaced:
        showError(window, text::kRestoreFatMisplaced);
        break;
    case LayoutRefusal::DataDoesNotFit:
        showError(window, text::kRestoreDataDoesNotFit, layout.copySectors,
                  layout.partitionSectors - (layout.rootStart - layout.partitionStart));
        break;
    }
}

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
    // After a failed read of the image: an I/O error is reported as a read error of the image,
    // with its offset, not as what the missing bytes would have shown.
    int failImageRead(const char* otherwise) {
        if (m_readError.error != 0) {
            return fail(text::kRestoreImageReadFailed, static_cast<unsigned long long>(m_readError.offset),
                        std::strerror(m_readError.error));
        }
        return fail(otherwise);
    }
    int failed() {
        m_image.reset();
        m_disk.MountFirstPartition();
        m_disk.Close();
        return -1;
    }
    int copyRootAndData(const RestoreLayout& layout, PartitionGuard& guard);
    int planDirectories(RestoreLayout& layout, std::span<std::uint8_t> fat,
                        std::span<const std::uint8_t> imageFat, std::vector<PlannedWrite>& directories);

    DeviceProvider& m_devices;
    ProgressWindow m_window;
    const std::string& m_imagePath;
    std::uint8_t m_target;
    const std::optional<std::string>& m_mbrCode;
    const std::optional<std::string>& m_bootCode;
    DiskDevice m_disk;
    std::unique_ptr<ImageFile> m_image;
    ImageReadError m_readError;
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

    KmvImageHeader header;
    std::uint32_t headerSectors = 0;
    std::uint32_t imageSectorBytes = kSectorBytes;
    Sector imageMbr{};
    switch (validateImageHeader(m_window, *m_image, header)) {
    case HeaderCheck::ReadFailure:
    case HeaderCheck::Invalid:
        return failed();
    case HeaderCheck::NoHeader:
        std::copy(header.bytes.begin(), header.bytes.end(), imageMbr.begin());
        break;
    case HeaderCheck::Valid:
        headerSectors = 1;
        imageSectorBytes = load16(header.bytes, kmvheader::kBytesPerSector);
        if (!processFlags().skipBiosCheck && !checkBiosCompatibility(m_window, header)) {
            return failed();
        }
        if (header.bytes[kmvheader::kImageKind] == kmvheader::kKindFlat) {
            m_image.reset();
            m_disk.Close();
            return writeFlatImage(m_devices, m_window, m_imagePath, m_target);
        }
        if (imageSectorBytes != kSectorBytes) {
            return fail(text::kRestoreSectorSize);
        }
        if (announcedImageLength(header) != *length) {
            return fail(text::kBodyLengthMismatch, static_cast<unsigned long long>(*length),
                        static_cast<unsigned long long>(announcedImageLength(header)));
        }
        if (!readRecord(*m_image, imageSectorBytes, imageMbr, m_readError)) {
            return failImageRead(text::kRestoreReadMbr);
        }
        break;
    }

    if (!imageMbrUsable(imageMbr)) {
        return fail(text::kRestoreInvalidMbr);
    }
    const std::uint64_t imageSectors = *length / imageSectorBytes;
    if (imageSectors > m_disk.totalSectors) {
        return fail(text::kRestoreImageTooLarge);
    }
    Sector imageBoot{};
    const std::uint64_t bootSector = std::uint64_t{imagePartitionStart(imageMbr)} + headerSectors;
    if (bootSector >= imageSectors ||
        !readRecord(*m_image, bootSector * imageSectorBytes, imageBoot, m_readError)) {
        return failImageRead(text::kRestoreReadPbr);
    }

    RestoreInput input;
    input.imageMbr = imageMbr;
    input.imageBoot = imageBoot;
    input.disk = {m_disk.cylinders, m_disk.heads, m_disk.sectorsPerTrack, m_disk.bytesPerSector};
    input.imageSectors = static_cast<std::uint32_t>(imageSectors);
    input.headerSectors = headerSectors;
    input.mbrCodeGiven = m_mbrCode.has_value();
    input.serialNumber = tickCount();
    LayoutResult computed = computeRestoreLayout(input);
    // A track length taken from the old partition must leave the new first FAT at sector 32
    // or later, where every image (and a capture of this disk) expects it.
    if (m_disk.trackFromPartition &&
        (computed.refusal != LayoutRefusal::None || computed.layout.fatStart < kFirstFatSector)) {
        m_disk.UseDriverTrackLength();
        input.disk = {m_disk.cylinders, m_disk.heads, m_disk.sectorsPerTrack, m_disk.bytesPerSector};
        computed = computeRestoreLayout(input);
    }
    RestoreLayout& layout = computed.layout;
    if (computed.refusal != LayoutRefusal::None) {
        reportRefusal(m_window, computed.refusal, layout);
        return failed();
    }

    // Each FAT copy of the image begins with the FAT ID (media byte, then 0xFF). Checking
    // them confirms that the boot sector's reserved, hidden and FAT sizes lead to where the
    // image holds its root directory; damaged values would restore unrelated sectors as the
    // volume's folders.
    const std::uint32_t imageFatSectors = load16(imageBoot, bootsector::kSectorsPerFat);
    for (std::uint32_t copy = 0; copy < layout.numberOfFats; ++copy) {
        const std::uint64_t fatSector =
            layout.imageRootSector - std::uint64_t{layout.numberOfFats - copy} * imageFatSectors;
        Sector fatStart{};
        if (!readRecord(*m_image, fatSector * kSectorBytes, fatStart, m_readError) || fatStart[0] < 0xF0 ||
            fatStart[1] != 0xFF) {
            return failImageRead(text::kRestoreFatMisplaced);
        }
    }

    // The code files are read before the disk is touched, so that a missing one refuses the
    // restore instead of leaving a half-written disk.
    if (m_mbrCode && readMbrCodeBlock(layout.targetMbr, *m_mbrCode) != 1) {
        return fail(text::kRestoreReadMbrCode);
    }
    if (m_bootCode && readBootCodeBlock(layout.targetBoot, *m_bootCode) != 1) {
        return fail(text::kRestoreReadBootCode);
    }
    std::vector<std::uint8_t> fat;
    std::vector<std::uint8_t> bootArea;
    std::vector<std::uint8_t> imageFat;
    try {
        fat.assign(std::size_t{layout.sectorsPerFat} * kSectorBytes, 0);
        bootArea.assign(std::size_t{layout.reservedSectors} * kSectorBytes, 0);
        imageFat.assign(std::size_t{imageFatSectors} * kSectorBytes, 0);
    } catch (const std::bad_alloc&) {
        return fail(text::kRestoreAllocation);
    }
    const std::uint64_t imageFatSector =
        layout.imageRootSector - std::uint64_t{layout.numberOfFats} * imageFatSectors;
    if (!readImageBytes(*m_image, imageFatSector * kSectorBytes, imageFat, m_readError)) {
        return failImageRead(text::kRestoreReadData);
    }

    // The plan: the new FAT and every rewritten directory are built in memory from the image
    // alone, so that a damaged tree is refused while the disk still holds what it held.
    store16(fat, 0, kMediaEntry);
    store16(fat, 2, kEndOfChain);
    std::vector<PlannedWrite> directories;
    if (int result = planDirectories(layout, fat, imageFat, directories); result != 0) {
        return result;
    }

    // From here on the disk's old contents are replaced. A disk whose file systems stay
    // mounted would have them write back over the new volume: it is not written at all.
    if (!m_disk.Dismount() || !m_disk.LockExclusive()) {
        return fail(text::kRestoreTargetNotAccessible);
    }
    if (!m_disk.WriteSectors(0, 1, layout.targetMbr)) {
        return fail(text::kRestoreWriteMbr);
    }
    PartitionGuard guard{m_disk, layout.partitionStart, layout.partitionStart + layout.partitionSectors};
    std::copy(layout.targetBoot.begin(), layout.targetBoot.end(), bootArea.begin());
    if (!guard.write(layout.partitionStart, layout.reservedSectors, bootArea)) {
        return fail(text::kRestoreWritePbr);
    }
    if (int result = copyRootAndData(layout, guard); result != 0) {
        return result;
    }

    showStatus(m_window, text::kRestorePostProcessing);
    for (const PlannedWrite& planned : directories) {
        if (!guard.write(planned.firstSector, planned.count, planned.bytes)) {
            return fail(text::kRestoreRebuildFailed);
        }
    }
    // As many FAT copies as the boot sector names, each at its own place.
    for (std::uint32_t copy = 0; copy < layout.numberOfFats; ++copy) {
        if (!guard.write(layout.fatStart + copy * layout.sectorsPerFat, layout.sectorsPerFat, fat)) {
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

// Runs the directory rebuild against the image file instead of the disk (PlanDisk) and keeps
// each rewritten directory for the write phase.
int FatRestore::planDirectories(RestoreLayout& layout, std::span<std::uint8_t> fat,
                                std::span<const std::uint8_t> imageFat, std::vector<PlannedWrite>& directories) {
    PlanDisk planDisk(layout, *m_image, directories, m_readError);
    // The new boot sector names the volume as the root's label entry does; without such an
    // entry its label is "NO NAME    ", as fsck.fat expects.
    std::vector<std::uint8_t> root(std::size_t{layout.rootSectors} * kSectorBytes, 0);
    if (planDisk.read(layout.rootStart, layout.rootSectors, root) != 0) {
        return failImageRead(text::kRestoreTreeDamaged);
    }
    bool labelled = false;
    for (std::size_t at = 0; at + direntry::kBytes <= root.size() && root[at] != direntry::kEndOfDirectory;
         at += direntry::kBytes) {
        const std::uint8_t attributes = root[at + direntry::kAttributes];
        labelled = labelled || (root[at] != direntry::kDeleted && attributes != direntry::kLongName &&
                                (attributes & (direntry::kLabelBit | direntry::kDirectoryBit)) == direntry::kLabelBit);
    }
    if (!labelled && layout.targetBoot[bootsector::kExtendedSignature] == 0x29) {
        std::copy_n("NO NAME    ", bootsector::kVolumeLabelBytes, layout.targetBoot.begin() + bootsector::kVolumeLabel);
    }

    const RebuildContext context = restoreRebuildContext(layout, planDisk, fat, imageFat);
    if (rebuildDirectory(context, layout.rootStart, layout.rootSectors) != 0) {
        return failImageRead(text::kRestoreTreeDamaged);
    }
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
