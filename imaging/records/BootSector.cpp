#include "records/BootSector.h"

#include <bit>

#include "records/ByteOrder.h"
#include "records/DirectoryEntry.h"
#include "records/FatEntry.h"

namespace dorvix {

namespace {

constexpr std::uint32_t kSectorBytes = 512;

}  // namespace

std::uint32_t bootTotalSectors(std::span<const std::uint8_t> boot) {
    const std::uint16_t small = load16(boot, bootsector::kTotalSectors16);
    return small != 0 ? small : load32(boot, bootsector::kTotalSectors32);
}

BootSectorProblem checkBootSector(std::span<const std::uint8_t> boot, const BootSectorLimits& limits) {
    if (boot.size() < bootsector::kSize) {
        return BootSectorProblem::NotFat16;
    }
    if (load16(boot, bootsector::kBytesPerSector) != kSectorBytes) {
        return BootSectorProblem::SectorSize;
    }
    const std::uint32_t sectorsPerCluster = load8(boot, bootsector::kSectorsPerCluster);
    const std::uint32_t reserved = load16(boot, bootsector::kReservedSectors);
    const std::uint32_t fats = load8(boot, bootsector::kNumberOfFats);
    const std::uint32_t rootEntries = load16(boot, bootsector::kRootEntries);
    const std::uint32_t fatSectors = load16(boot, bootsector::kSectorsPerFat);
    const std::uint32_t hidden = load32(boot, bootsector::kHiddenSectors);
    if (!std::has_single_bit(sectorsPerCluster) || sectorsPerCluster > limits.maxSectorsPerCluster ||
        reserved == 0 || fats == 0 || fats > limits.maxNumberOfFats || rootEntries == 0 || fatSectors == 0 ||
        (limits.hiddenSectors && hidden != *limits.hiddenSectors)) {
        return BootSectorProblem::NotFat16;
    }
    const std::uint32_t rootSectors = (rootEntries * direntry::kBytes + kSectorBytes - 1) / kSectorBytes;
    const std::uint64_t systemSectors = std::uint64_t{reserved} + std::uint64_t{fats} * fatSectors + rootSectors;
    if (hidden + systemSectors >= limits.dataStartLimit) {
        return BootSectorProblem::NotFat16;
    }
    std::uint32_t volumeSectors = bootTotalSectors(boot);
    if (limits.partitionSectors && (volumeSectors == 0 || volumeSectors > *limits.partitionSectors)) {
        volumeSectors = *limits.partitionSectors;
    }
    if (volumeSectors <= systemSectors) {
        return BootSectorProblem::NotFat16;
    }
    const std::uint64_t clusters = (volumeSectors - systemSectors) / sectorsPerCluster;
    // Every cluster number up to clusters + 1 needs its 16-bit entry inside the FAT.
    if (clusters < kMinFat16Clusters || clusters > kMaxFat16Clusters ||
        std::uint64_t{fatSectors} * (kSectorBytes / 2) < clusters + 2) {
        return BootSectorProblem::NotFat16;
    }
    return BootSectorProblem::None;
}

}  // namespace dorvix
