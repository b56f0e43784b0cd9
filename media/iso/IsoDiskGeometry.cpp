#include "iso/IsoDiskGeometry.h"

#include <array>
#include <utility>

namespace pellorin {

namespace {

constexpr std::uint64_t kSmallestDisk = 8400;        // sectors; this many or fewer is refused
constexpr std::uint64_t kLargestDisk = 4194304;      // the last size FAT16's cluster table serves
constexpr std::uint32_t kMaxFat16Clusters = 65535;
constexpr std::uint32_t kRootDirectorySectors = 32;  // 512 entries of 32 bytes

// Sectors per cluster by disk size (upper bound on total sectors, sectors per cluster).
constexpr std::array<std::pair<std::uint64_t, std::uint32_t>, 6> kClusterSizes{{
    {32680, 2}, {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}, {4194304, 64},
}};

std::uint32_t sectorsPerCluster(std::uint64_t totalSectors) {
    for (const auto& [bound, perCluster] : kClusterSizes) {
        if (totalSectors <= bound) return perCluster;
    }
    return 0;
}

}  // namespace

std::uint32_t PayloadCylinders(std::uint64_t payloadBytes) {
    return static_cast<std::uint32_t>((payloadBytes + 0xFFFFF) >> 20);
}

bool PayloadFitsDisk(std::uint32_t cylinders, std::span<const std::uint32_t> fileSizes) {
    const std::uint64_t total = std::uint64_t{cylinders} * kIsoSectorsPerCylinder;
    if (total <= kSmallestDisk || total > kLargestDisk) return false;
    const std::uint32_t perCluster = sectorsPerCluster(total);
    // The same layout as the FAT16 writer's: partition after the first track, reserved sectors
    // that align the data region to 8 sectors, two FATs and the root directory.
    const auto volume = static_cast<std::uint32_t>(total - kIsoSectorsPerTrack);
    if (volume / perCluster > kMaxFat16Clusters) return false;
    const std::uint32_t fatSectors = (volume / perCluster + 257) >> 8;
    const std::uint32_t w = kRootDirectorySectors + 2 * fatSectors + 1;
    const std::uint32_t reserved = ((w + 7) & ~7u) - w + 1;
    const std::uint32_t clusters =
        (volume - 2 * fatSectors - reserved - kRootDirectorySectors) / perCluster;

    const std::uint64_t clusterBytes = std::uint64_t{perCluster} * kIsoBytesPerSector;
    std::uint64_t needed = 0;
    for (std::uint32_t size : fileSizes) {
        const std::uint64_t n = (size + clusterBytes - 1) / clusterBytes;
        needed += n == 0 ? 1 : n;
    }
    return needed <= clusters;
}

std::uint32_t IsoDiskCylinders(std::uint64_t payloadBytes, std::span<const std::uint32_t> fileSizes) {
    const std::uint32_t plain = PayloadCylinders(payloadBytes);
    const std::uint64_t lastCylinder = kLargestDisk / kIsoSectorsPerCylinder;
    for (std::uint64_t c = plain; c <= lastCylinder; ++c) {
        if (PayloadFitsDisk(static_cast<std::uint32_t>(c), fileSizes)) return static_cast<std::uint32_t>(c);
    }
    return plain;
}

}  // namespace pellorin
