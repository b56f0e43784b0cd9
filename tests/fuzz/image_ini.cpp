// Fuzz target: the readers of IMAGE.INI. The input is the file's text. It goes through the
// KMVBIOS= list reader and the ModDate= stamp, on its own and as \IMAGE.INI of a small FAT16
// volume in memory, where the capture's reader and the flat capture's stamping read and rewrite
// it through the FAT engine.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzDisk.h"
#include "disk/BiosCompatibility.h"
#include "disk/ImageHeader.h"
#include "disk/ImageStamp.h"
#include "fat/DirectoryWalker.h"
#include "fat/ImageIniStamp.h"
#include "fat/TargetBiosList.h"
#include "records/ByteOrder.h"

using namespace dorvix;

namespace {

// One partition at sector 1: 512-byte clusters, two FATs of 18 sectors, 64 root entries.
constexpr std::uint32_t kPartitionStart = 1;
constexpr std::uint32_t kPartitionSectors = 4400;
constexpr std::uint32_t kFatSectors = 18;
constexpr std::uint32_t kRootEntries = 64;
constexpr std::uint32_t kDataSector = kPartitionStart + 1 + 2 * kFatSectors + kRootEntries * 32 / 512;
constexpr std::uint32_t kDiskSectors = kPartitionStart + kPartitionSectors;
constexpr std::uint32_t kClusters = kPartitionSectors - (kDataSector - kPartitionStart);

// The volume's sectors up to the end of IMAGE.INI, whose text fills clusters 2, 3, ...
std::vector<std::uint8_t> volumeWithIni(std::span<const std::uint8_t> text) {
    const std::size_t textSectors = (text.size() + 511) / 512;
    std::vector<std::uint8_t> disk((kDataSector + textSectors) * 512, 0);
    const std::span<std::uint8_t> bytes(disk);
    store8(bytes, mbr::kBootIndicator, 0x80);
    store8(bytes, mbr::kStartSector, 2);
    store8(bytes, mbr::kType, 0x06);
    store32(bytes, mbr::kFirstSector, kPartitionStart);
    store32(bytes, mbr::kSectorCount, kPartitionSectors);
    store16(bytes, mbr::kSignature, 0xAA55);
    const std::span<std::uint8_t> boot = bytes.subspan(kPartitionStart * 512, 512);
    store8(boot, 0, 0xEB);
    store16(boot, bootsector::kBytesPerSector, 512);
    store8(boot, bootsector::kSectorsPerCluster, 1);
    store16(boot, bootsector::kReservedSectors, 1);
    store8(boot, bootsector::kNumberOfFats, 2);
    store16(boot, bootsector::kRootEntries, kRootEntries);
    store16(boot, bootsector::kTotalSectors16, kPartitionSectors);
    store16(boot, bootsector::kSectorsPerFat, kFatSectors);
    store32(boot, bootsector::kHiddenSectors, kPartitionStart);
    store16(boot, bootsector::kSignature, 0xAA55);
    for (std::uint32_t copy = 0; copy < 2; ++copy) {
        const std::span<std::uint8_t> fat = bytes.subspan((kPartitionStart + 1 + copy * kFatSectors) * 512,
                                                          kFatSectors * 512);
        store16(fat, 0, kMediaEntry);
        store16(fat, 2, kEndOfChain);
        for (std::size_t k = 0; k < textSectors; ++k) {
            store16(fat, (2 + k) * 2, k + 1 == textSectors ? kEndOfChain : static_cast<std::uint16_t>(3 + k));
        }
    }
    const std::span<std::uint8_t> entry = bytes.subspan((kDataSector - kRootEntries * 32 / 512) * 512, 32);
    std::copy_n("IMAGE   INI", 11, entry.begin());
    store8(entry, direntry::kAttributes, 0x20);
    store16(entry, direntry::kFirstCluster, textSectors != 0 ? 2 : 0);
    store32(entry, direntry::kSize, static_cast<std::uint32_t>(text.size()));
    std::copy(text.begin(), text.end(), disk.begin() + kDataSector * 512);
    return disk;
}

// The file's bytes, read along its chain from the root entry.
std::vector<std::uint8_t> readIni(FatVolume& volume) {
    const std::uint32_t size = load32(volume.rootDir, direntry::kSize);
    std::vector<std::uint8_t> text;
    std::vector<std::uint8_t> cluster(volume.bytesPerCluster, 0);
    for (std::uint32_t c = load16(volume.rootDir, direntry::kFirstCluster); text.size() < size; c = fatEntry(volume, c)) {
        if (!isDataCluster(volume, c) || readCluster(volume, static_cast<std::uint16_t>(c), cluster.data(),
                                                     cluster.size()) < 0) {
            fuzz::fuzzFailure("the stamped IMAGE.INI has a broken chain");
        }
        text.insert(text.end(), cluster.begin(),
                    cluster.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(cluster.size(), size - text.size())));
    }
    return text;
}

void checkTargetBiosList(std::string_view text) {
    const std::optional<std::string> value = findKmvBiosValue(text);
    if (!value) {
        return;
    }
    // What the capture puts into the header must always fit it.
    const std::string cut = cutTargetBiosList(*value);
    KmvImageHeader header = newImageHeader();
    if (value->find('\0') == std::string::npos && (!setHeaderTargetBios(header, cut) || headerTargetBios(header) != cut)) {
        fuzz::fuzzFailure("a KMVBIOS value does not fit the image header");
    }
    biosVersionAccepted("KQ7B2 1.0", *value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    if (size > kClusters * 512 / 2) {
        return -1;  // the stamped file must still fit the volume
    }
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkTargetBiosList(text);

    SystemTime parsed{};
    const bool dated = parseModDate(input.first(std::min(size, kStampHeadBytes)), parsed);
    const SystemTime stamp{2026, 12, 4, 10, 23, 59, 0, 0};
    std::vector<std::uint8_t> head(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(std::min(size, kStampHeadBytes)));
    applyModDate(head, dated ? parsed : stamp);
    const std::vector<std::uint8_t> stamped = withModDate(input, stamp);
    // Only a file with a ModDate= line may change; the key is compared without case.
    const bool keyed = findNoCase(text.substr(0, 8), "ModDate=") == std::optional<std::size_t>(0) ||
                       findNoCase(text, kStampKey).has_value();
    if (!keyed && stamped != std::vector<std::uint8_t>(input.begin(), input.end())) {
        fuzz::fuzzFailure("withModDate changed a file without a ModDate= line");
    }

    const std::vector<std::uint8_t> disk = volumeWithIni(input);
    fuzz::MemoryDisk memory(disk, kDiskSectors);
    FatVolume volume;
    volume.disk = &memory;
    std::uint8_t mbrBuffer[512];
    std::uint8_t bootBuffer[512];
    if (mountVolume(volume, mbrBuffer, bootBuffer) != VolumeProblem::None) {
        fuzz::fuzzFailure("the harness's volume does not mount");
    }
    const std::string_view upToNul = text.substr(0, std::min(text.find('\0'), text.size()));
    if (scanTargetBiosList(volume) != findKmvBiosValue(upToNul)) {
        fuzz::fuzzFailure("the KMVBIOS value read through the volume differs from the text's");
    }
    SystemTime fromVolume{};
    readModDate(StampLocation{{}, &volume}, fromVolume);
    writeModDate(StampLocation{{}, &volume}, stamp);
    releaseVolume(volume);

    // The flat capture's stamping: the file in the volume becomes withModDate of its text.
    fuzz::MemoryDisk fresh(disk, kDiskSectors);
    FatVolume target;
    target.disk = &fresh;
    if (mountVolume(target, mbrBuffer, bootBuffer) != VolumeProblem::None) {
        fuzz::fuzzFailure("the harness's volume does not mount");
    }
    if (!stampVolumeIni(target, stamp)) {
        fuzz::fuzzFailure("stamping a sound IMAGE.INI failed");
    }
    if (readIni(target) != stamped) {
        fuzz::fuzzFailure("the stamped IMAGE.INI is not the text with the new ModDate");
    }
    releaseVolume(target);
    return 0;
}
