#include "fat/RestoreLayout.h"

#include "records/ByteOrder.h"

#include <algorithm>
#include <bit>

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
    return mbr.subspan(kMbrPartition1, 16);
}

// The image boot sector must describe a FAT16 volume the restore can re-lay out: 512-byte
// sectors, a power-of-two cluster size, at least one FAT and one root directory slot, a FAT
// large enough for a FAT16 cluster count.
LayoutRefusal checkImageBoot(std::span<const std::uint8_t> boot) {
    if (load16(boot, kBootBytesPerSector) != kSectorBytes) {
        return LayoutRefusal::SectorSize;
    }
    const std::uint32_t spc = boot[kBootSectorsPerCluster];
    const std::uint32_t reserved = load16(boot, kBootReservedSectors);
    const std::uint32_t fats = boot[kBootNumberOfFats];
    const std::uint32_t rootEntries = load16(boot, kBootRootEntries);
    const std::uint32_t spf = load16(boot, kBootSectorsPerFat);
    std::uint32_t total = load16(boot, kBootTotalSectors16);
    if (total == 0) {
        total = load32(boot, kBootTotalSectors32);
    }
    if (spc == 0 || !std::has_single_bit(spc) || reserved == 0 || fats == 0 || fats > 4 ||
        rootEntries == 0 || spf == 0) {
        return LayoutRefusal::NotFat16;
    }
    const std::uint32_t rootSectors = (rootEntries + kSectorBytes / 32 - 1) / (kSectorBytes / 32);
    const std::uint64_t system = std::uint64_t{reserved} + std::uint64_t{fats} * spf + rootSectors;
    if (total <= system) {
        return LayoutRefusal::NotFat16;
    }
    const std::uint64_t clusters = (total - system) / spc;
    if (clusters < kFat16MinClusters || clusters > kFat16MaxClusters ||
        std::uint64_t{spf} * (kSectorBytes / 2) < clusters + 2) {
        return LayoutRefusal::NotFat16;
    }
    return LayoutRefusal::None;
}

}  // namespace

bool imageMbrUsable(std::span<const std::uint8_t> mbr) {
    auto entry = partitionEntry(mbr);
    return entry[kPartBootIndicator] == 0x80 && entry[kPartStartSectorByte] <= 0x3F;
}

std::uint32_t imagePartitionStart(std::span<const std::uint8_t> mbr) {
    return load32(partitionEntry(mbr), kPartFirstSector);
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
    out.imageSectorsPerCluster = boot[kBootSectorsPerCluster];
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
    std::span<std::uint8_t> entry(out.targetMbr.data() + kMbrPartition1, 16);
    if (in.mbrCodeGiven) {
        entry[kPartType] = 0x0E;
    }
    const std::uint32_t lastCylinder = out.usedCylinders - 1;
    entry[kPartEndHead] = static_cast<std::uint8_t>(heads - 1);
    entry[kPartEndSectorByte] =
        static_cast<std::uint8_t>((spt & 0x3F) | ((lastCylinder >> 2) & 0xC0));
    entry[kPartEndCylinderByte] = static_cast<std::uint8_t>(lastCylinder & 0xFF);
    out.partitionStart = spt;
    out.partitionSectors = out.usedSectors - spt;
    store32(entry, kPartFirstSector, out.partitionStart);
    store32(entry, kPartSectorCount, out.partitionSectors);

    // Target boot sector.
    const std::uint32_t clusters = out.partitionSectors / out.sectorsPerCluster;
    if (clusters >= kFat16ClusterLimit) {
        return refuse(LayoutRefusal::TooManyClusters);
    }
    out.sectorsPerFat = static_cast<std::uint16_t>((clusters + 257) / 256);
    out.numberOfFats = boot[kBootNumberOfFats];
    out.rootEntries = load16(boot, kBootRootEntries);
    out.rootSectors = (out.rootEntries + kSectorBytes / 32 - 1) / (kSectorBytes / 32);
    out.reservedSectors = 8 - ((out.rootSectors + 2 * out.sectorsPerFat) % 8);
    out.fatStart = out.partitionStart + out.reservedSectors;
    out.rootStart = out.fatStart + out.numberOfFats * out.sectorsPerFat;
    out.dataStart = out.rootStart + out.rootSectors;

    const std::uint32_t systemSectors = out.dataStart - out.partitionStart;
    if (systemSectors >= out.partitionSectors ||
        (out.partitionSectors - systemSectors) / out.sectorsPerCluster < kFat16MinClusters) {
        return refuse(LayoutRefusal::DiskTooSmall);
    }
    if ((out.partitionSectors - systemSectors) / out.sectorsPerCluster > kFat16MaxClusters) {
        return refuse(LayoutRefusal::TooManyClusters);
    }
    out.dataClusters = (out.partitionSectors - systemSectors) / out.sectorsPerCluster;

    std::copy(boot.begin(), boot.begin() + kSectorBytes, out.targetBoot.begin());
    std::span<std::uint8_t> tb(out.targetBoot);
    tb[kBootSectorsPerCluster] = static_cast<std::uint8_t>(out.sectorsPerCluster);
    store16(tb, kBootReservedSectors, static_cast<std::uint16_t>(out.reservedSectors));
    store16(tb, kBootSectorsPerFat, static_cast<std::uint16_t>(out.sectorsPerFat));
    store16(tb, kBootSectorsPerTrack, static_cast<std::uint16_t>(spt));
    store16(tb, kBootHeads, static_cast<std::uint16_t>(heads));
    store32(tb, kBootHiddenSectors, spt);
    const bool small = out.partitionSectors < 65536;
    store16(tb, kBootTotalSectors16, small ? static_cast<std::uint16_t>(out.partitionSectors) : 0);
    store32(tb, kBootTotalSectors32, small ? 0 : out.partitionSectors);
    store32(tb, kBootSerialNumber, in.serialNumber);

    // Where the image's root directory lies, and whether root directory and data area fit.
    const std::uint64_t imageRoot = std::uint64_t{in.headerSectors} +
                                    load32(boot, kBootHiddenSectors) +
                                    load16(boot, kBootReservedSectors) +
                                    std::uint64_t{out.numberOfFats} * load16(boot, kBootSectorsPerFat);
    // Every image keeps its first FAT behind its boot sector; a FAT placed at or before it
    // means damaged layout values, which would read the root directory from the wrong place.
    const std::uint64_t imageFat = std::uint64_t{load32(boot, kBootHiddenSectors)} +
                                   load16(boot, kBootReservedSectors);
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
    std::copy_n(code.begin(), kMbrBootCodeBytes, mbr.begin());
}

void overlayBootCode(std::span<std::uint8_t> boot, std::span<const std::uint8_t> code) {
    std::copy_n(code.begin(), kBootJumpBytes, boot.begin());
    std::copy(code.begin() + kBootCodeStart, code.begin() + kBootCodeEnd,
              boot.begin() + kBootCodeStart);
}

}  // namespace dorvix
