#pragma once
// The FAT-aware restore's planning over an image in memory, as the restore runs it before it
// writes anything: the image header, the target layout for the disk, the FAT ID check, and the
// rebuild of the new FAT and every directory. Shared by the restore-planning target and the
// walk target, which hands it the images its capture walk makes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "FuzzDisk.h"
#include "records/ByteOrder.h"
#include "disk/ImageHeader.h"
#include "disk/ImageInput.h"
#include "fat/RebuildDirectory.h"
#include "fat/RestoreLayout.h"

namespace dorvix::fuzz {

enum class PlanResult {
    Refused,      // the header, the layout or the FAT ID check refused the image
    TreeRefused,  // the directory rebuild refused it
    Planned,      // the disk would be written
};

struct PlannedWrite {
    std::uint32_t firstSector = 0;
    std::uint32_t count = 0;
};

// The new FAT may only name clusters of the target partition (or end a chain), and nothing
// past its last cluster may be in use: fsck.fat would have to repair anything else.
inline void checkPlan(const RestoreLayout& layout, std::span<const std::uint8_t> fat,
               const std::vector<PlannedWrite>& writes) {
    const std::uint32_t maxCluster = layout.dataClusters + 1;
    for (std::uint32_t c = 2; c * 2 + 2 <= fat.size(); ++c) {
        const std::uint16_t entry = load16(fat, c * 2);
        if (c > maxCluster ? entry != 0 : entry != 0 && entry < 0xFFF8 && (entry < 2 || entry > maxCluster)) {
            fuzzFailure("the planned FAT names a cluster outside the target partition");
        }
    }
    const std::uint64_t partitionEnd = std::uint64_t{layout.partitionStart} + layout.partitionSectors;
    for (const PlannedWrite& write : writes) {
        if (write.firstSector < layout.rootStart || std::uint64_t{write.firstSector} + write.count > partitionEnd) {
            fuzzFailure("a planned directory write lies outside the root and data area");
        }
    }
}

// The restore's plan runs the directory rebuild against the image: target sector s of the
// root and data area is image sector R + (s - rootStart), and each rewritten directory is kept
// for the write phase instead of being written.
class PlanDisk : public SectorDisk {
public:
    PlanDisk(const RestoreLayout& layout, const MemoryDisk& image, std::vector<PlannedWrite>& writes)
        : m_layout(layout), m_image(image), m_writes(writes) {}
    std::uint32_t read(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        if (first < m_layout.rootStart || std::uint64_t{first} - m_layout.rootStart + count > m_layout.copySectors) {
            return EIO;
        }
        return m_image.readSectors(m_layout.imageRootSector + (first - m_layout.rootStart), count, buffer);
    }
    std::uint32_t write(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t>) override {
        m_writes.push_back({first, count});
        return 0;
    }

private:
    const RestoreLayout& m_layout;
    const MemoryDisk& m_image;
    std::vector<PlannedWrite>& m_writes;
};

// Plans the restore of `imageBytes` (a whole image file, a multiple of 512 bytes long) onto a
// disk of the given geometry; a plan that would write outside the target partition or leave a
// FAT fsck.fat would repair stops the process.
inline PlanResult planRestore(std::vector<std::uint8_t>& imageBytes, const TargetGeometry& disk, bool mbrCodeGiven) {
    const std::size_t length = imageBytes.size();
    const MemoryDisk image(imageBytes, static_cast<std::uint32_t>(length / 512), Writes::Forbid);

    SilentWindow window;
    MemoryImageFile file(imageBytes);
    KmvImageHeader header;
    std::uint32_t headerSectors = 0;
    Sector imageMbr{};
    switch (validateImageHeader(&window, file, header)) {
    case HeaderCheck::ReadFailure:
    case HeaderCheck::Invalid:
        return PlanResult::Refused;
    case HeaderCheck::NoHeader:
        std::copy(header.bytes.begin(), header.bytes.end(), imageMbr.begin());
        break;
    case HeaderCheck::Valid:
        headerSectors = 1;
        if (header.bytes[kmvheader::kImageKind] == kmvheader::kKindFlat ||
            load16(header.bytes, kmvheader::kBytesPerSector) != 512 || announcedImageLength(header) != length ||
            image.readSectors(1, 1, imageMbr) != 0) {
            return PlanResult::Refused;
        }
        break;
    }
    if (!imageMbrUsable(imageMbr)) {
        return PlanResult::Refused;
    }
    const std::uint64_t imageSectors = length / 512;
    const std::uint64_t diskSectors = std::uint64_t{disk.cylinders} * disk.heads * disk.sectorsPerTrack;
    if (imageSectors > diskSectors) {
        return PlanResult::Refused;
    }
    Sector imageBoot{};
    const std::uint64_t bootSector = std::uint64_t{imagePartitionStart(imageMbr)} + headerSectors;
    if (bootSector >= imageSectors || image.readSectors(static_cast<std::uint32_t>(bootSector), 1, imageBoot) != 0) {
        return PlanResult::Refused;
    }

    RestoreInput input;
    input.imageMbr = imageMbr;
    input.imageBoot = imageBoot;
    input.disk = disk;
    input.imageSectors = static_cast<std::uint32_t>(imageSectors);
    input.headerSectors = headerSectors;
    input.mbrCodeGiven = mbrCodeGiven;
    input.serialNumber = 0x12345678;
    LayoutResult computed = computeRestoreLayout(input);
    if (computed.refusal != LayoutRefusal::None) {
        return PlanResult::Refused;
    }
    RestoreLayout& layout = computed.layout;
    if (layout.partitionStart == 0 || std::uint64_t{layout.partitionStart} + layout.partitionSectors > diskSectors ||
        layout.fatStart < layout.partitionStart || layout.dataStart > layout.partitionStart + layout.partitionSectors) {
        fuzzFailure("the layout puts the volume outside the disk");
    }

    // Each FAT copy of the image begins with the FAT ID.
    const std::uint32_t imageFatSectors = load16(imageBoot, bootsector::kSectorsPerFat);
    for (std::uint32_t copy = 0; copy < layout.numberOfFats; ++copy) {
        const std::uint64_t fatSector =
            layout.imageRootSector - std::uint64_t{layout.numberOfFats - copy} * imageFatSectors;
        Sector fatStart{};
        if (fatSector >= imageSectors || image.readSectors(static_cast<std::uint32_t>(fatSector), 1, fatStart) != 0 ||
            fatStart[0] < 0xF0 || fatStart[1] != 0xFF) {
            return PlanResult::Refused;
        }
    }
    std::vector<std::uint8_t> fat(std::size_t{layout.sectorsPerFat} * 512, 0);
    std::vector<std::uint8_t> imageFat(std::size_t{imageFatSectors} * 512, 0);
    const std::uint64_t imageFatSector = layout.imageRootSector - std::uint64_t{layout.numberOfFats} * imageFatSectors;
    if (image.readSectors(static_cast<std::uint32_t>(imageFatSector), imageFatSectors, imageFat) != 0) {
        return PlanResult::Refused;
    }
    store16(fat, 0, kMediaEntry);
    store16(fat, 2, kEndOfChain);

    std::vector<PlannedWrite> writes;
    PlanDisk planDisk(layout, image, writes);
    const RebuildContext context = restoreRebuildContext(layout, planDisk, fat, imageFat);
    if (rebuildDirectory(context, layout.rootStart, layout.rootSectors) != 0) {
        return PlanResult::TreeRefused;
    }
    checkPlan(layout, fat, writes);
    return PlanResult::Planned;
}

}  // namespace dorvix::fuzz
