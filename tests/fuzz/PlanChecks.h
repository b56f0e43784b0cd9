#pragma once
// The FAT-aware restore's plan (engines/RestorePlan.h) over an image in memory, and what the
// fuzz targets require of a plan the restore would write. Shared by the restore-planning
// target and the walk target, which hands it the images its capture walk makes.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzDisk.h"
#include "engines/RestorePlan.h"
#include "records/ByteOrder.h"

namespace dorvix::fuzz {

// The new FAT may only name clusters of the target partition (or end a chain), and nothing
// past its last cluster may be in use: fsck.fat would have to repair anything else. Every
// write lies in the root and data area of the partition, and the partition on the disk.
inline void checkPlan(const RestorePlan& plan, std::uint64_t diskSectors) {
    const RestoreLayout& layout = plan.layout();
    const std::uint64_t partitionEnd = std::uint64_t{layout.partitionStart} + layout.partitionSectors;
    if (layout.partitionStart == 0 || partitionEnd > diskSectors || layout.fatStart < layout.partitionStart ||
        layout.dataStart > partitionEnd) {
        fuzzFailure("the layout puts the volume outside the disk");
    }
    const std::vector<std::uint8_t>& fat = plan.fat();
    const std::uint32_t maxCluster = layout.dataClusters + 1;
    for (std::uint32_t c = 2; c * 2 + 2 <= fat.size(); ++c) {
        const std::uint16_t entry = load16(fat, c * 2);
        if (c > maxCluster ? entry != 0 : entry != 0 && entry < 0xFFF8 && (entry < 2 || entry > maxCluster)) {
            fuzzFailure("the planned FAT names a cluster outside the target partition");
        }
    }
    if (plan.bootArea().size() != std::size_t{layout.reservedSectors} * 512) {
        fuzzFailure("the planned boot area is not the partition's reserved sectors");
    }
    for (const PlannedWrite& write : plan.directories()) {
        if (write.firstSector < layout.rootStart || std::uint64_t{write.firstSector} + write.count > partitionEnd ||
            write.bytes.size() != std::size_t{write.count} * 512) {
            fuzzFailure("a planned directory write lies outside the root and data area");
        }
    }
}

// Plans the restore of `imageBytes` (a whole image file, a multiple of 512 bytes long) onto a
// disk of the given geometry, as the restore does; true when the disk would be written. A plan
// that would write outside the target partition or leave a FAT fsck.fat would repair stops the
// process.
inline bool planRestore(std::span<const std::uint8_t> imageBytes, const TargetGeometry& disk, bool mbrCodeGiven) {
    SilentWindow window;
    MemoryImageFile file(imageBytes);
    RestoreTarget target;
    target.geometry = disk;
    target.totalSectors = std::uint64_t{disk.cylinders} * disk.heads * disk.sectorsPerTrack;
    target.mbrCodeGiven = mbrCodeGiven;
    target.serialNumber = 0x12345678;
    // The target-BIOS list names devices of the machine it runs on, which a fuzzed header does not.
    target.checkBios = false;
    RestorePlan plan(&window, file, imageBytes.size());
    if (plan.plan(target) != PlanOutcome::Planned) {
        return false;
    }
    checkPlan(plan, target.totalSectors);
    return true;
}

}  // namespace dorvix::fuzz
