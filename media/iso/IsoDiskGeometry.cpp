#include "iso/IsoDiskGeometry.h"

#include "fat16/Fat16Layout.h"

namespace pellorin {

std::uint32_t PayloadCylinders(std::uint64_t payloadBytes) {
    return static_cast<std::uint32_t>((payloadBytes + 0xFFFFF) >> 20);
}

bool PayloadFitsDisk(std::uint32_t cylinders, std::span<const std::uint64_t> fileSizes) {
    // The FAT16 writer's own rules decide: its cluster size for the disk and its regions.
    const std::uint64_t total = std::uint64_t{cylinders} * kIsoSectorsPerCylinder;
    // A disk beyond the cluster table would only get a capped partition: not a size worth making.
    if (total == 0 || total > kLargestFat16Disk) return false;
    const ClusterSizeChoice choice = ChooseSectorsPerCluster(total);
    if (choice.result != ClusterSizeResult::Ok) return false;
    Fat16Layout layout;
    if (ComputeLayout(kIsoBytesPerSector, kIsoSectorsPerTrack, kIsoTracksPerCylinder, cylinders, total,
                      choice.bySectorsPerCluster, layout) != LayoutResult::Ok) {
        return false;
    }
    std::uint64_t needed = 0;
    for (std::uint64_t size : fileSizes) needed += ClustersForFile(size, kIsoBytesPerSector, layout.P);
    if (needed > layout.N || cylinders <= kIsoSpareCylinders) return false;
    // The writer hands out clusters from cluster 2 on without gaps, so this is where data ends.
    const std::uint64_t dataEnd = layout.dataStart + needed * layout.P;
    return dataEnd <= std::uint64_t{cylinders - kIsoSpareCylinders} * kIsoSectorsPerCylinder;
}

std::uint32_t IsoDiskCylinders(std::uint64_t payloadBytes, std::span<const std::uint64_t> fileSizes) {
    const std::uint32_t plain = PayloadCylinders(payloadBytes);
    const std::uint64_t lastCylinder = kLargestFat16Disk / kIsoSectorsPerCylinder;
    for (std::uint64_t c = plain; c <= lastCylinder; ++c) {
        if (PayloadFitsDisk(static_cast<std::uint32_t>(c), fileSizes)) return static_cast<std::uint32_t>(c);
    }
    return plain;
}

}  // namespace pellorin
