#include "fat/FatVolume.h"

#include <algorithm>
#include <vector>

#include "records/ByteOrder.h"
#include "records/DirectoryEntry.h"

namespace dorvix {

namespace {

bool beginsWithFatId(std::span<const std::uint8_t> fat) {
    return fat.size() >= 2 && fat[0] >= 0xF0 && fat[1] == 0xFF;
}

}  // namespace

VolumeProblem layoutProblem(std::span<const std::uint8_t> boot, std::uint32_t partitionStart,
                            std::uint32_t partitionSectors) {
    BootSectorLimits limits;
    limits.maxSectorsPerCluster = kMaxSectorsPerCluster;
    limits.hiddenSectors = partitionStart;
    limits.partitionSectors = partitionSectors;
    limits.dataStartLimit = 0x10000;  // the record's sector fields are 16-bit
    return checkBootSector(boot, limits) == BootSectorProblem::None ? VolumeProblem::None : VolumeProblem::NotFat16;
}

void computeVolumeLayout(FatVolume& volume, std::span<const std::uint8_t> boot,
                         std::uint32_t partitionStart, std::uint32_t partitionSectors) {
    volume.partitionStart = partitionStart;
    volume.partitionSectors = partitionSectors;
    volume.bytesPerSector = load16(boot, bootsector::kBytesPerSector);
    volume.sectorsPerCluster = load8(boot, bootsector::kSectorsPerCluster);
    volume.numberOfFats = load8(boot, bootsector::kNumberOfFats);
    volume.rootEntries = load16(boot, bootsector::kRootEntries);
    volume.fatSectors = load16(boot, bootsector::kSectorsPerFat);
    const std::uint32_t hidden = load32(boot, bootsector::kHiddenSectors);
    const std::uint32_t entriesPerSector = std::max<std::uint32_t>(volume.bytesPerSector / direntry::kBytes, 1);
    volume.fatStart = static_cast<std::uint16_t>(hidden + load16(boot, bootsector::kReservedSectors));
    volume.rootStart = static_cast<std::uint16_t>(volume.fatStart + volume.numberOfFats * volume.fatSectors);
    volume.rootSectors =
        static_cast<std::uint16_t>((volume.rootEntries + entriesPerSector - 1) / entriesPerSector);
    volume.dataStart = static_cast<std::uint16_t>(volume.rootStart + volume.rootSectors);
    volume.bytesPerCluster = std::uint32_t{volume.sectorsPerCluster} * volume.bytesPerSector;
    volume.entriesPerCluster = static_cast<std::uint16_t>(volume.bytesPerCluster / direntry::kBytes);
    // Clusters of the data area: the data start is made partition-relative before it is taken
    // from the partition's size, so the last clusters of the volume are usable too.
    std::uint32_t volumeSectors = bootTotalSectors(boot);
    if (volumeSectors == 0 || volumeSectors > partitionSectors) {
        volumeSectors = partitionSectors;
    }
    const std::uint32_t relativeData = volume.dataStart >= hidden ? volume.dataStart - hidden : 0;
    volume.clusterCount = 0;
    if (volume.sectorsPerCluster != 0 && volumeSectors > relativeData) {
        volume.clusterCount = static_cast<std::uint16_t>(
            std::min<std::uint32_t>((volumeSectors - relativeData) / volume.sectorsPerCluster, kMaxFat16Clusters));
    }
    volume.nextFreeHint = 0;
}

VolumeProblem mountVolume(FatVolume& volume, std::span<std::uint8_t> mbrBuffer, std::span<std::uint8_t> bootBuffer) {
    if (volume.disk == nullptr || mbrBuffer.size() < mbr::kSize || bootBuffer.size() < bootsector::kSize) {
        return VolumeProblem::ReadFailed;
    }
    // The MBR and boot sector are read with a 512-byte sector size; a volume with other sectors
    // is refused below from its boot sector.
    volume.bytesPerSector = kSupportedSectorSize;
    if (readVolumeSectors(volume, 0, 1, mbrBuffer) < 0) {
        return VolumeProblem::ReadFailed;
    }
    const std::uint32_t partitionStart = load32(mbrBuffer, mbr::kFirstSector);
    const std::uint32_t partitionSectors = load32(mbrBuffer, mbr::kSectorCount);
    // A start sector byte above 0x3F needs cylinder bits 8-9: such a partition is refused.
    if (load8(mbrBuffer, mbr::kStartSector) > mbr::partition::kMaxSectorByte ||
        load16(mbrBuffer, mbr::kSignature) != mbr::kSignatureValue ||
        partitionStart == 0 || partitionSectors == 0) {
        return VolumeProblem::NoPartition;
    }
    if (readVolumeSectors(volume, partitionStart, 1, bootBuffer) < 0) {
        return VolumeProblem::ReadFailed;
    }
    if (layoutProblem(bootBuffer, partitionStart, partitionSectors) != VolumeProblem::None) {
        return VolumeProblem::NotFat16;
    }
    computeVolumeLayout(volume, bootBuffer, partitionStart, partitionSectors);

    volume.fat.assign(std::size_t{volume.fatSectors} * volume.bytesPerSector, 0);
    if (readVolumeSectors(volume, volume.fatStart, volume.fatSectors, volume.fat) < 0) {
        return VolumeProblem::ReadFailed;
    }
    // Every FAT copy begins with the FAT ID (media byte, then 0xFF). A copy without it means
    // the boot sector's FAT size or count is damaged: the capture would otherwise read the
    // root directory from the wrong place and write its second FAT over the volume's data.
    if (!beginsWithFatId(volume.fat)) {
        return VolumeProblem::NotFat16;
    }
    std::vector<std::uint8_t> copyStart(volume.bytesPerSector, 0);
    for (std::uint32_t copy = 1; copy < volume.numberOfFats; ++copy) {
        const std::uint32_t sector = std::uint32_t{volume.fatStart} + copy * std::uint32_t{volume.fatSectors};
        if (readVolumeSectors(volume, sector, 1, copyStart) < 0) {
            return VolumeProblem::ReadFailed;
        }
        if (!beginsWithFatId(copyStart)) {
            return VolumeProblem::NotFat16;
        }
    }
    volume.rootDir.assign(std::size_t{volume.rootSectors} * volume.bytesPerSector, 0);
    if (readVolumeSectors(volume, volume.rootStart, volume.rootSectors, volume.rootDir) < 0) {
        return VolumeProblem::ReadFailed;
    }
    return VolumeProblem::None;
}

void releaseVolume(FatVolume& volume) {
    volume.fat = {};
    volume.rootDir = {};
}

std::uint32_t clusterToSector(const FatVolume& volume, std::uint16_t cluster) {
    return std::uint32_t{volume.dataStart} +
           std::uint32_t{volume.sectorsPerCluster} * (static_cast<std::uint32_t>(cluster) - 2u);
}

bool isDataCluster(const FatVolume& volume, std::uint32_t cluster) {
    return cluster >= kFirstDataCluster && cluster <= std::uint32_t{volume.clusterCount} + 1 &&
           cluster < kEndOfChainMin;
}

std::uint16_t fatEntry(const FatVolume& volume, std::uint32_t cluster) {
    const std::size_t offset = std::size_t{cluster} * 2;
    if (offset + 2 > volume.fat.size()) {
        return kEndOfChain;
    }
    return load16(volume.fat, offset);
}

void setFatEntry(FatVolume& volume, std::uint32_t cluster, std::uint16_t value) {
    const std::size_t offset = std::size_t{cluster} * 2;
    if (offset + 2 <= volume.fat.size()) {
        store16(volume.fat, offset, value);
    }
}

long chainLength(const FatVolume& volume, std::uint16_t first) {
    long length = 0;
    if (first == 0) {
        return 0;
    }
    std::uint32_t cluster = first;
    while (cluster < kEndOfChainMin) {
        if (!isDataCluster(volume, cluster) || length > volume.clusterCount) {
            return -1;
        }
        ++length;
        cluster = fatEntry(volume, cluster);
    }
    return length;
}

int readVolumeSectors(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                      std::span<std::uint8_t> buffer) {
    const std::size_t bytes = std::size_t{count} * volume.bytesPerSector;
    if (volume.disk == nullptr || buffer.size() < bytes) {
        return -1;
    }
    return volume.disk->read(firstSector, count, buffer.first(bytes)) == 0 ? 0 : -1;
}

int writeVolumeSectors(FatVolume& volume, std::uint32_t firstSector, std::uint32_t count,
                       std::span<const std::uint8_t> buffer) {
    const std::size_t bytes = std::size_t{count} * volume.bytesPerSector;
    if (volume.disk == nullptr || buffer.size() < bytes) {
        return -1;
    }
    return volume.disk->write(firstSector, count, buffer.first(bytes)) == 0 ? 0 : -1;
}

int readCluster(FatVolume& volume, std::uint16_t cluster, std::uint8_t* buffer, std::size_t bufferBytes) {
    return readVolumeSectors(volume, clusterToSector(volume, cluster), volume.sectorsPerCluster, {buffer, bufferBytes});
}

int writeCluster(FatVolume& volume, std::uint16_t cluster, std::uint8_t* buffer, std::size_t bufferBytes) {
    return writeVolumeSectors(volume, clusterToSector(volume, cluster), volume.sectorsPerCluster, {buffer, bufferBytes});
}

long readClusterRun(FatVolume& volume, std::uint8_t* buffer, std::uint16_t& cluster, std::uint32_t maxClusters) {
    long done = 0;
    if (cluster >= kEndOfChainMin) {
        return 0;
    }
    while (static_cast<std::uint32_t>(done) < maxClusters) {
        if (!isDataCluster(volume, cluster)) {
            return -1;
        }
        if (readCluster(volume, cluster, buffer, volume.bytesPerCluster) < 0) {
            return -1;
        }
        buffer += volume.bytesPerCluster;
        cluster = fatEntry(volume, cluster);
        ++done;
        if (cluster >= kEndOfChainMin) {
            break;
        }
    }
    return done;
}

std::uint16_t allocateCluster(FatVolume& volume, std::uint16_t previous) {
    // Highest cluster the FAT can hold an entry for, and the volume's own bound.
    const std::uint32_t fatEntries = static_cast<std::uint32_t>(volume.fat.size() / 2);
    const std::uint32_t limit = std::min<std::uint32_t>(std::uint32_t{volume.clusterCount} + 2, fatEntries);
    auto search = [&](std::uint32_t from) -> std::uint32_t {
        for (std::uint32_t c = std::max<std::uint32_t>(from, kFirstDataCluster); c < limit; ++c) {
            if (fatEntry(volume, c) == kFreeCluster) {
                return c;
            }
        }
        return 0;
    };
    std::uint32_t found = search(volume.nextFreeHint);
    if (found == 0 && volume.nextFreeHint != 0) {
        volume.nextFreeHint = 0;
        found = search(0);
    }
    if (found == 0) {
        return 0;
    }
    if (previous != 0) {
        setFatEntry(volume, previous, static_cast<std::uint16_t>(found));
    }
    volume.nextFreeHint = static_cast<std::uint16_t>(found);
    setFatEntry(volume, found, kEndOfChain);
    return static_cast<std::uint16_t>(found);
}

int writeFatsAndRoot(FatVolume& volume) {
    if (volume.disk == nullptr) {
        return -1;
    }
    int result = 0;
    if (writeVolumeSectors(volume, volume.rootStart, volume.rootSectors, volume.rootDir) < 0) {
        result = -1;
    }
    for (std::uint32_t copy = 0; copy < volume.numberOfFats; ++copy) {
        const std::uint32_t start = std::uint32_t{volume.fatStart} + copy * volume.fatSectors;
        if (writeVolumeSectors(volume, start, volume.fatSectors, volume.fat) < 0) {
            result = -1;
        }
    }
    return result;
}

}  // namespace dorvix
