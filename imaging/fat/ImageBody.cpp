#include "fat/ImageBody.h"

#include "MbrTemplate.h"
#include "platform/ImageFile.h"
#include "records/ByteOrder.h"
#include "records/DirectoryEntry.h"

namespace dorvix {

ImageBodyLayout imageBodyLayout(std::span<const std::uint8_t> mbrSector, std::span<const std::uint8_t> bootSector) {
    ImageBodyLayout layout;
    layout.bootSector = load32(mbrSector, mbr::kFirstSector);
    layout.bytesPerSector = load16(bootSector, bootsector::kBytesPerSector);
    layout.sectorsPerCluster = load8(bootSector, bootsector::kSectorsPerCluster);
    layout.fatSectors = load16(bootSector, bootsector::kSectorsPerFat);
    layout.numberOfFats = load8(bootSector, bootsector::kNumberOfFats);
    layout.fatSector = load32(bootSector, bootsector::kHiddenSectors) + load16(bootSector, bootsector::kReservedSectors);
    layout.rootSector = layout.fatSector + layout.numberOfFats * layout.fatSectors;
    const std::uint32_t rootBytes =
        std::uint32_t{load16(bootSector, bootsector::kRootEntries)} * direntry::kBytes;
    layout.rootSectors = layout.bytesPerSector != 0 ? (rootBytes + layout.bytesPerSector - 1) / layout.bytesPerSector : 0;
    layout.dataSector = layout.rootSector + layout.rootSectors;
    return layout;
}

std::uint32_t imageClusterSector(const ImageBodyLayout& layout, std::uint16_t cluster) {
    return layout.dataSector + layout.sectorsPerCluster * (static_cast<std::uint32_t>(cluster) - 2u);
}

bool imageBodyCanCarry(const FatVolume& source) {
    return source.fatStart > kImageBootSector && source.bytesPerSector == kImageSectorBytes &&
           source.sectorsPerCluster >= 1 && source.sectorsPerCluster <= kMaxSectorsPerCluster;
}

FatVolume makeImageVolume(const FatVolume& source, SectorDisk& disk) {
    FatVolume image;
    image.fatStart = source.fatStart;
    image.rootStart = source.rootStart;
    image.dataStart = source.dataStart;
    image.fatSectors = source.fatSectors;
    image.bytesPerSector = source.bytesPerSector;
    image.rootSectors = source.rootSectors;
    image.rootEntries = source.rootEntries;
    image.sectorsPerCluster = source.sectorsPerCluster;
    image.clusterCount = source.clusterCount;
    image.entriesPerCluster = source.entriesPerCluster;
    image.numberOfFats = source.numberOfFats;
    image.bytesPerCluster = source.bytesPerCluster;
    image.partitionSectors = source.partitionSectors;
    image.partitionStart = source.partitionStart;
    image.nextFreeHint = 0;
    image.fat.assign(source.fat.size(), 0);
    setFatEntry(image, 0, kMediaEntry);
    setFatEntry(image, 1, kEndOfChain);
    image.rootDir.assign(source.rootDir.size(), 0);
    image.disk = &disk;
    return image;
}

std::span<const std::uint8_t> mbrTemplate() {
    return {dorvixMbrTemplate, dorvixMbrTemplate_size};
}

}  // namespace dorvix
