#include "engines/RestorePlan.h"

#include "disk/BiosCompatibility.h"
#include "disk/ImageHeader.h"
#include "disk/ImageInput.h"
#include "fat/FatTexts.h"
#include "fat/RebuildDirectory.h"
#include "platform/ImageFile.h"
#include "records/ByteOrder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>

namespace dorvix {

namespace {

// Images keep their first FAT at sector 32 or later.
constexpr std::uint32_t kFirstFatSector = 32;

// Refusals of the layout.
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

}  // namespace

// The target as the directory rebuild sees it while the restore plans: target sector s of the
// root and data area is image sector R + (s - rootStart), where the copy will put it, and each
// rewritten directory is kept for the write phase. Reads outside what the image brings along
// fail.
class RestorePlan::PlanDisk : public SectorDisk {
public:
    explicit PlanDisk(RestorePlan& plan) : m_plan(plan) {}

    std::uint32_t read(std::uint32_t s, std::uint32_t n, std::span<std::uint8_t> b) override {
        const RestoreLayout& layout = m_plan.m_layout;
        if (s < layout.rootStart || std::uint64_t{s} - layout.rootStart + n > layout.copySectors ||
            b.size() < std::size_t{n} * kSectorBytes) {
            return EINVAL;
        }
        const std::uint64_t at = (std::uint64_t{layout.imageRootSector} + (s - layout.rootStart)) * kSectorBytes;
        return m_plan.readBytes(at, b.first(std::size_t{n} * kSectorBytes)) ? 0 : EIO;
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
            m_plan.m_directories.push_back(
                {s, sectors, std::vector<std::uint8_t>(b.begin(), b.begin() + sectors * kSectorBytes)});
        } catch (const std::bad_alloc&) {
            return ENOMEM;
        }
        return 0;
    }

private:
    RestorePlan& m_plan;
};

RestorePlan::RestorePlan(ProgressWindow window, ImageFile& image, std::uint64_t length)
    : m_window(window), m_image(image), m_length(length) {}

PlanOutcome RestorePlan::plan(const RestoreTarget& target) {
    if (const PlanOutcome start = readImageStart(target); start != PlanOutcome::Planned) {
        return start;
    }
    if (!readBootSector(target) || !computeLayout(target) || !checkFatIds()) {
        return PlanOutcome::Refused;
    }
    // The restore's own refusals (a code file that cannot be read) come before the FAT is read.
    if (target.completeLayout && !target.completeLayout(m_layout)) {
        return PlanOutcome::Refused;
    }
    if (!readImageFat() || !planDirectories()) {
        return PlanOutcome::Refused;
    }
    return PlanOutcome::Planned;
}

// The image header, when the image has one, and the image's MBR behind it (or in its place).
PlanOutcome RestorePlan::readImageStart(const RestoreTarget& target) {
    KmvImageHeader header;
    switch (validateImageHeader(m_window, m_image, header)) {
    case HeaderCheck::ReadFailure:
    case HeaderCheck::Invalid:
        return PlanOutcome::Refused;
    case HeaderCheck::NoHeader:
        std::copy(header.bytes.begin(), header.bytes.end(), m_imageMbr.begin());
        break;
    case HeaderCheck::Valid:
        m_headerSectors = 1;
        m_imageSectorBytes = load16(header.bytes, kmvheader::kBytesPerSector);
        if (target.checkBios && !checkBiosCompatibility(m_window, header)) {
            return PlanOutcome::Refused;
        }
        if (header.bytes[kmvheader::kImageKind] == kmvheader::kKindFlat) {
            return PlanOutcome::FlatImage;
        }
        if (m_imageSectorBytes != kSectorBytes) {
            refuse(text::kRestoreSectorSize);
            return PlanOutcome::Refused;
        }
        if (announcedImageLength(header) != m_length) {
            refuse(text::kBodyLengthMismatch, static_cast<unsigned long long>(m_length),
                   static_cast<unsigned long long>(announcedImageLength(header)));
            return PlanOutcome::Refused;
        }
        if (!readBytes(m_imageSectorBytes, m_imageMbr)) {
            refuseRead(text::kRestoreReadMbr);
            return PlanOutcome::Refused;
        }
        break;
    }
    return PlanOutcome::Planned;
}

bool RestorePlan::readBootSector(const RestoreTarget& target) {
    if (!imageMbrUsable(m_imageMbr)) {
        return refuse(text::kRestoreInvalidMbr);
    }
    m_imageSectors = m_length / m_imageSectorBytes;
    if (m_imageSectors > target.totalSectors) {
        return refuse(text::kRestoreImageTooLarge);
    }
    const std::uint64_t bootSector = std::uint64_t{imagePartitionStart(m_imageMbr)} + m_headerSectors;
    if (bootSector >= m_imageSectors || !readBytes(bootSector * m_imageSectorBytes, m_imageBoot)) {
        return refuseRead(text::kRestoreReadPbr);
    }
    return true;
}

bool RestorePlan::computeLayout(const RestoreTarget& target) {
    RestoreInput input;
    input.imageMbr = m_imageMbr;
    input.imageBoot = m_imageBoot;
    input.disk = target.geometry;
    input.imageSectors = static_cast<std::uint32_t>(m_imageSectors);
    input.headerSectors = m_headerSectors;
    input.mbrCodeGiven = target.mbrCodeGiven;
    input.serialNumber = target.serialNumber;
    LayoutResult computed = computeRestoreLayout(input);
    if ((computed.refusal != LayoutRefusal::None || computed.layout.fatStart < kFirstFatSector) &&
        target.otherGeometry) {
        if (const std::optional<TargetGeometry> other = target.otherGeometry()) {
            input.disk = *other;
            computed = computeRestoreLayout(input);
        }
    }
    m_layout = computed.layout;
    if (computed.refusal != LayoutRefusal::None) {
        reportRefusal(m_window, computed.refusal, m_layout);
        return false;
    }
    return true;
}

// Each FAT copy of the image begins with the FAT ID (media byte, then 0xFF). Checking them
// confirms that the boot sector's reserved, hidden and FAT sizes lead to where the image holds
// its root directory; damaged values would restore unrelated sectors as the volume's folders.
bool RestorePlan::checkFatIds() {
    m_imageFatSectors = load16(m_imageBoot, bootsector::kSectorsPerFat);
    for (std::uint32_t copy = 0; copy < m_layout.numberOfFats; ++copy) {
        const std::uint64_t fatSector =
            m_layout.imageRootSector - std::uint64_t{m_layout.numberOfFats - copy} * m_imageFatSectors;
        Sector fatStart{};
        if (!readBytes(fatSector * kSectorBytes, fatStart) || fatStart[0] < 0xF0 || fatStart[1] != 0xFF) {
            return refuseRead(text::kRestoreFatMisplaced);
        }
    }
    return true;
}

bool RestorePlan::readImageFat() {
    try {
        m_fat.assign(std::size_t{m_layout.sectorsPerFat} * kSectorBytes, 0);
        m_bootArea.assign(std::size_t{m_layout.reservedSectors} * kSectorBytes, 0);
        m_imageFat.assign(std::size_t{m_imageFatSectors} * kSectorBytes, 0);
    } catch (const std::bad_alloc&) {
        return refuse(text::kRestoreAllocation);
    }
    const std::uint64_t imageFatSector =
        m_layout.imageRootSector - std::uint64_t{m_layout.numberOfFats} * m_imageFatSectors;
    if (!readBytes(imageFatSector * kSectorBytes, m_imageFat)) {
        return refuseRead(text::kRestoreReadData);
    }
    return true;
}

// The new FAT and every rewritten directory are built in memory from the image alone (the
// directory rebuild runs against PlanDisk), so that a damaged tree is refused before the disk
// is touched.
bool RestorePlan::planDirectories() {
    store16(m_fat, 0, kMediaEntry);
    store16(m_fat, 2, kEndOfChain);
    PlanDisk planDisk(*this);
    // The new boot sector names the volume as the root's label entry does; without such an
    // entry its label is "NO NAME    ", as fsck.fat expects.
    std::vector<std::uint8_t> root(std::size_t{m_layout.rootSectors} * kSectorBytes, 0);
    if (planDisk.read(m_layout.rootStart, m_layout.rootSectors, root) != 0) {
        return refuseRead(text::kRestoreTreeDamaged);
    }
    bool labelled = false;
    for (std::size_t at = 0; at + direntry::kBytes <= root.size() && root[at] != direntry::kEndOfDirectory;
         at += direntry::kBytes) {
        const std::uint8_t attributes = root[at + direntry::kAttributes];
        labelled = labelled || (root[at] != direntry::kDeleted && attributes != direntry::kLongName &&
                                (attributes & (direntry::kLabelBit | direntry::kDirectoryBit)) == direntry::kLabelBit);
    }
    if (!labelled && m_layout.targetBoot[bootsector::kExtendedSignature] == 0x29) {
        std::copy_n("NO NAME    ", bootsector::kVolumeLabelBytes, m_layout.targetBoot.begin() + bootsector::kVolumeLabel);
    }

    const RebuildContext context = restoreRebuildContext(m_layout, planDisk, m_fat, m_imageFat);
    if (rebuildDirectory(context, m_layout.rootStart, m_layout.rootSectors) != 0) {
        return refuseRead(text::kRestoreTreeDamaged);
    }
    std::copy(m_layout.targetBoot.begin(), m_layout.targetBoot.end(), m_bootArea.begin());
    return true;
}

bool RestorePlan::readBytes(std::uint64_t offset, std::span<std::uint8_t> into) {
    int error = 0;
    const std::size_t got = m_image.readSomeAt(offset, into, error);
    if (got == into.size()) {
        return true;
    }
    if (error != 0 && m_readError.error == 0) {
        m_readError = {error, offset + got};
    }
    return false;
}

bool RestorePlan::refuseRead(const char* otherwise) {
    if (m_readError.error != 0) {
        return refuse(text::kRestoreImageReadFailed, static_cast<unsigned long long>(m_readError.offset),
                      std::strerror(m_readError.error));
    }
    return refuse(otherwise);
}

}  // namespace dorvix
