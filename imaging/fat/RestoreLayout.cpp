#include "fat/RestoreLayout.h"

#include "records/ByteOrder.h"
#include "records/DirectoryEntry.h"

#include <algorithm>

namespace dorvix {

namespace {

std::size_t firstRowFor(std::uint32_t diskSectors) {
    std::size_t row = 0;
    while (row + 1 < kFat16ClusterSizes.size() && kFat16ClusterSizes[row].maxSectors < diskSectors) {
        ++row;
    }
    return row;
}

std::span<const std::uint8_t> partitionEntry(std::span<const std::uint8_t> mbr) {
    return mbr.subspan(mbr::kPartition1, mbr::partition::kBytes);
}

// The image boot sector must describe a FAT16 volume the restore can re-lay out: 512-byte
// sectors, a power-of-two cluster size, one to four FATs, at least one root directory slot, a
// FAT large enough for a FAT16 cluster count.
LayoutRefusal checkImageBoot(std::span<const std::uint8_t> boot) {
    BootSectorLimits limits;
    limits.maxNumberOfFats = 4;
    switch (checkBootSector(boot, limits)) {
    case BootSectorProblem::None:
        return LayoutRefusal::None;
    case BootSectorProblem::SectorSize:
        return LayoutRefusal::SectorSize;
    case BootSectorProblem::NotFat16:
        break;
    }
    return LayoutRefusal::NotFat16;
}

}  // namespace

bool imageMbrUsable(std::span<const std::uint8_t> mbr) {
    auto entry = partitionEntry(mbr);
    return entry[mbr::partition::kBootIndicator] == mbr::partition::kActive &&
           entry[mbr::partition::kStartSector] <= mbr::partition::kMaxSectorByte;
}

std::uint32_t imagePartitionStart(std::span<const std::uint8_t> mbr) {
    return load32(partitionEntry(mbr), mbr::partition::kFirstSector);
}

std::size_t chooseClusterRow(std::uint32_t diskSectors, std::uint32_t imageSectorsPerCluster) {
    std::size_t row = firstRowFor(diskSectors);
    if (row == 0) {
        return 0;
    }
    if (row == kFat16ClusterSizes.size() - 1 ||
        imageSectorsPerCluster < kFat16ClusterSizes[row].sectorsPerCluster) {
        if (row == kFat16ClusterSizes.size() - 1) {
            --row;
        }
        while (row > 0 && imageSectorsPerCluster < kFat16ClusterSizes[row].sectorsPerCluster) {
            --row;
        }
    }
    return row;
}

LayoutResult computeRestoreLayout(const RestoreInput& in) {
    LayoutResult result;
    RestoreLayout& out = result.layout;
    auto refuse = [&](LayoutRefusal why) {
        result.refusal = why;
        return result;
    };

    if (!imageMbrUsable(in.imageMbr)) {
        return refuse(LayoutRefusal::InvalidMbr);
    }
    if (in.disk.bytesPerSector != kSectorBytes) {
        return refuse(LayoutRefusal::SectorSize);
    }
    const std::uint64_t diskSectors =
        std::uint64_t{in.disk.cylinders} * in.disk.heads * in.disk.sectorsPerTrack;
    if (diskSectors > 0xFFFFFFFFu) {
        return refuse(LayoutRefusal::DiskTooSmall);  // cannot happen for a 32-bit total
    }
    out.diskSectors = static_cast<std::uint32_t>(diskSectors);
    if (in.imageSectors > out.diskSectors) {
        return refuse(LayoutRefusal::ImageLargerThanDisk);
    }

    auto boot = in.imageBoot;
    if (LayoutRefusal why = checkImageBoot(boot); why != LayoutRefusal::None) {
        // A disk without any table row is reported as such first, as the table is consulted
        // before the image's own parameters are used.
        if (firstRowFor(out.diskSectors) == 0) {
            return refuse(LayoutRefusal::DiskTooSmall);
        }
        return refuse(why);
    }

    // Cluster size: the table's row for the disk, stepped down for small image clusters.
    out.imageSectorsPerCluster = boot[bootsector::kSectorsPerCluster];
    if (firstRowFor(out.diskSectors) == 0) {
        return refuse(LayoutRefusal::DiskTooSmall);
    }
    const std::size_t row = chooseClusterRow(out.diskSectors, out.imageSectorsPerCluster);
    if (row == 0) {
        return refuse(LayoutRefusal::ClustersTooSmall);
    }
    const std::uint32_t heads = in.disk.heads;
    const std::uint32_t spt = in.disk.sectorsPerTrack;
    const bool stepped = firstRowFor(out.diskSectors) != row;
    if (stepped) {
        out.usedSectors = kFat16ClusterSizes[row].maxSectors;
        out.usedCylinders = out.usedSectors / (heads * spt);
    } else {
        out.usedSectors = out.diskSectors;
        out.usedCylinders = in.disk.cylinders;
    }
    out.sectorsPerCluster = kFat16ClusterSizes[row].sectorsPerCluster;
    out.clusterScale = out.imageSectorsPerCluster / out.sectorsPerCluster;
    // A row's full size (the step-down target, or a disk at the very top of its row) holds
    // 65527 or more clusters of the row's size, more than FAT16 addresses, which would refuse
    // every such restore. The partition ends where the count still fits instead; the rest of
    // the disk stays unused, as it does after any step-down.
    const std::uint64_t largestUsed =
        std::uint64_t{spt} + std::uint64_t{kFat16ClusterLimit - 1} * out.sectorsPerCluster;
    if (out.usedSectors > largestUsed) {
        out.usedSectors = static_cast<std::uint32_t>(largestUsed);
        out.usedCylinders = out.usedSectors / (heads * spt);
    }

    // Partition entry 1 of the target MBR.
    std::copy(in.imageMbr.begin(), in.imageMbr.begin() + kSectorBytes, out.targetMbr.begin());
    std::span<std::uint8_t> entry(out.targetMbr.data() + mbr::kPartition1, mbr::partition::kBytes);
    if (in.mbrCodeGiven) {
        entry[mbr::partition::kType] = mbr::partition::kTypeFat16Lba;
    }
    const std::uint32_t lastCylinder = out.usedCylinders - 1;
    entry[mbr::partition::kEndHead] = static_cast<std::uint8_t>(heads - 1);
    entry[mbr::partition::kEndSector] =
        static_cast<std::uint8_t>((spt & 0x3F) | ((lastCylinder >> 2) & 0xC0));
    entry[mbr::partition::kEndCylinder] = static_cast<std::uint8_t>(lastCylinder & 0xFF);
    out.partitionStart = spt;
    out.partitionSectors = out.usedSectors - spt;
    store32(entry, mbr::partition::kFirstSector, out.partitionStart);
    store32(entry, mbr::partition::kSectorCount, out.partitionSectors);

    // Target boot sector.
    const std::uint32_t clusters = out.partitionSectors / out.sectorsPerCluster;
    if (clusters >= kFat16ClusterLimit) {
        return refuse(LayoutRefusal::TooManyClusters);
    }
    out.sectorsPerFat = static_cast<std::uint16_t>((clusters + 257) / 256);
    out.numberOfFats = boot[bootsector::kNumberOfFats];
    out.rootEntries = load16(boot, bootsector::kRootEntries);
    out.rootSectors = (out.rootEntries + kSectorBytes / direntry::kBytes - 1) / (kSectorBytes / direntry::kBytes);
    out.reservedSectors = 8 - ((out.rootSectors + 2 * out.sectorsPerFat) % 8);
    out.fatStart = out.partitionStart + out.reservedSectors;
    out.rootStart = out.fatStart + out.numberOfFats * out.sectorsPerFat;
    out.dataStart = out.rootStart + out.rootSectors;

    const std::uint32_t systemSectors = out.dataStart - out.partitionStart;
    if (systemSectors >= out.partitionSectors ||
        (out.partitionSectors - systemSectors) / out.sectorsPerCluster < kMinFat16Clusters) {
        return refuse(LayoutRefusal::DiskTooSmall);
    }
    if ((out.partitionSectors - systemSectors) / out.sectorsPerCluster > kMaxFat16Clusters) {
        return refuse(LayoutRefusal::TooManyClusters);
    }
    out.dataClusters = (out.partitionSectors - systemSectors) / out.sectorsPerCluster;

    std::copy(boot.begin(), boot.begin() + kSectorBytes, out.targetBoot.begin());
    std::span<std::uint8_t> tb(out.targetBoot);
    tb[bootsector::kSectorsPerCluster] = static_cast<std::uint8_t>(out.sectorsPerCluster);
    store16(tb, bootsector::kReservedSectors, static_cast<std::uint16_t>(out.reservedSectors));
    store16(tb, bootsector::kSectorsPerFat, static_cast<std::uint16_t>(out.sectorsPerFat));
    store16(tb, bootsector::kSectorsPerTrack, static_cast<std::uint16_t>(spt));
    store16(tb, bootsector::kHeads, static_cast<std::uint16_t>(heads));
    store32(tb, bootsector::kHiddenSectors, spt);
    const bool small = out.partitionSectors < 65536;
    store16(tb, bootsector::kTotalSectors16, small ? static_cast<std::uint16_t>(out.partitionSectors) : 0);
    store32(tb, bootsector::kTotalSectors32, small ? 0 : out.partitionSectors);
    store32(tb, bootsector::kSerialNumber, in.serialNumber);
    // The root directory fills whole sectors (the restore copies and checks every entry of
    // them); a count that leaves part of its last sector out is one fsck.fat refuses.
    out.rootEntries = static_cast<std::uint16_t>(out.rootSectors * (kSectorBytes / direntry::kBytes));
    store16(tb, bootsector::kRootEntries, out.rootEntries);

    // Where the image's root directory lies, and whether root directory and data area fit.
    const std::uint64_t imageRoot = std::uint64_t{in.headerSectors} +
                                    load32(boot, bootsector::kHiddenSectors) +
                                    load16(boot, bootsector::kReservedSectors) +
                                    std::uint64_t{out.numberOfFats} * load16(boot, bootsector::kSectorsPerFat);
    // Every image keeps its first FAT behind its boot sector; a FAT placed at or before it
    // means damaged layout values, which would read the root directory from the wrong place.
    const std::uint64_t imageFat = std::uint64_t{load32(boot, bootsector::kHiddenSectors)} +
                                   load16(boot, bootsector::kReservedSectors);
    if (imageFat <= imagePartitionStart(in.imageMbr)) {
        return refuse(LayoutRefusal::FatMisplaced);
    }
    if (imageRoot + out.rootSectors > in.imageSectors) {
        return refuse(LayoutRefusal::ImageDamaged);
    }
    out.imageRootSector = static_cast<std::uint32_t>(imageRoot);
    out.copySectors = in.imageSectors - out.imageRootSector;
    if (out.copySectors > out.partitionSectors - (out.rootStart - out.partitionStart)) {
        return refuse(LayoutRefusal::DataDoesNotFit);
    }
    return result;
}

void overlayMbrCode(std::span<std::uint8_t> mbr, std::span<const std::uint8_t> code) {
    std::copy_n(code.begin(), mbr::kBootCodeBytes, mbr.begin());
}

void overlayBootCode(std::span<std::uint8_t> boot, std::span<const std::uint8_t> code) {
    std::copy_n(code.begin(), bootsector::kJumpBytes, boot.begin());
    std::copy(code.begin() + bootsector::kBootCode, code.begin() + bootsector::kBootCodeEnd,
              boot.begin() + bootsector::kBootCode);
}

}  // namespace dorvix
