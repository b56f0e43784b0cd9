// Fuzz target: mounting a FAT16 volume and walking its whole tree, as the captures do. The
// input is the first sectors of a disk (MBR, boot sector, FATs, root, some data); the rest of
// a 16 MiB disk reads as zeros. On the volume run: the KMVBIOS= reader, the FAT-aware
// capture's sizing walk and, when that accepts the tree, its copy walk into an image in memory
// that the restore's planning must then accept; then the flat capture's steps on the copied
// volume: leaving "\Documents and Settings" out and stamping IMAGE.INI.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "FuzzDisk.h"
#include "PlanChecks.h"
#include "disk/ImageHeader.h"
#include "fat/DirectoryWalker.h"
#include "fat/FatCapture.h"
#include "fat/FolderExclusion.h"
#include "fat/ImageBody.h"
#include "fat/ImageIniStamp.h"
#include "fat/RestoreLayout.h"
#include "fat/TargetBiosList.h"
#include "records/ByteOrder.h"

using namespace dorvix;

namespace {

constexpr std::uint32_t kDiskSectors = 32768;
constexpr std::uint32_t kCopyBufferSectors = 64;
// The disk the capture asks the restore's layout about.
constexpr TargetGeometry kLargestDisk{0xFFFFFFFFu / (255 * 63), 255, 63, 512};

bool mount(FatVolume& volume, fuzz::MemoryDisk& disk) {
    volume.disk = &disk;
    std::uint8_t mbrBuffer[512];
    std::uint8_t bootBuffer[512];
    return mountVolume(volume, mbrBuffer, bootBuffer) == VolumeProblem::None;
}

// The FAT-aware capture's two walks, without its file: sizing (which checks the tree) and, for
// a tree it accepts, the copy into an image in memory, finished as the capture finishes it.
// The capture refuses every source whose image no restore would take, so the restore's
// planning must take each image it makes.
void captureWalks(FatVolume& source) {
    CaptureHooks hooks;
    CaptureJob job;
    job.hooks = &hooks;
    job.source = &source;
    job.seenDirectories.assign(std::size_t{source.clusterCount} + 2, false);
    std::u16string path;
    if (walkDirectory(source, path, 0, sizingWalk(job)) == WalkResult::Failed || !imageBodyCanCarry(source)) {
        return;
    }
    if (job.totalClusters > source.clusterCount) {
        fuzz::fuzzFailure("the sizing walk counted more clusters than the volume has");
    }
    std::uint8_t imageMbr[512];
    std::uint8_t imageBoot[512];
    const std::span<const std::uint8_t> templateMbr = mbrTemplate();
    std::copy(templateMbr.begin(), templateMbr.end(), imageMbr);
    if (readVolumeSectors(source, source.partitionStart, 1, imageBoot) < 0) {
        return;
    }
    if (unrestorableReason(imageMbr, imageBoot, source, job.totalClusters) != nullptr) {
        return;  // the capture refuses such a source
    }

    // The image's sectors; the file is its header followed by them.
    fuzz::MemoryDisk body({}, 0x7FFFFFFFu, fuzz::Writes::Keep);
    FatVolume image = makeImageVolume(source, body);
    job.image = &image;
    job.batchClusters = kCopyBufferSectors / source.sectorsPerCluster;
    job.copyBuffer.assign(std::size_t{kCopyBufferSectors} * source.bytesPerSector, 0);
    path.clear();
    if (walkDirectory(source, path, 0, copyWalk(job)) == WalkResult::Failed) {
        releaseVolume(image);
        return;
    }
    const std::uint32_t bootSectorAt = load32(std::span<const std::uint8_t>(imageMbr), mbr::kFirstSector);
    bool written = writeVolumeSectors(image, 0, 1, imageMbr) == 0;
    written = writeVolumeSectors(image, bootSectorAt, 1, imageBoot) == 0 && written;
    const std::uint32_t sourceStart = load32(std::span<const std::uint8_t>(imageBoot), bootsector::kHiddenSectors);
    if (sourceStart != bootSectorAt && sourceStart > 0 && sourceStart < image.fatStart) {
        written = writeVolumeSectors(image, sourceStart, 1, imageBoot) == 0 && written;
    }
    written = writeFatsAndRoot(image) == 0 && written;
    releaseVolume(image);
    if (!written) {
        fuzz::fuzzFailure("writing the image into memory failed");
    }

    const std::vector<std::uint8_t> sectors = body.contents();
    KmvImageHeader header = newImageHeader();
    store16(header.bytes, kmvheader::kBytesPerSector, 512);
    store32(header.bytes, kmvheader::kBodySectors, static_cast<std::uint32_t>(sectors.size() / 512));
    header.bytes[kmvheader::kImageKind] = kmvheader::kKindFat;
    sealImageHeader(header);
    std::vector<std::uint8_t> file(header.bytes.begin(), header.bytes.end());
    file.insert(file.end(), sectors.begin(), sectors.end());
    if (!fuzz::planRestore(file, kLargestDisk, false)) {
        fuzz::fuzzFailure("the restore refuses an image the capture made");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    {
        fuzz::MemoryDisk disk(input, kDiskSectors, fuzz::Writes::Forbid);
        FatVolume volume;
        if (!mount(volume, disk)) {
            return 0;
        }
        scanTargetBiosList(volume);
        captureWalks(volume);
        releaseVolume(volume);
    }
    // The flat capture changes its copy of the volume for good: exclusion, then the stamp.
    fuzz::MemoryDisk copy(input, kDiskSectors, fuzz::Writes::Keep);
    FatVolume volume;
    if (!mount(volume, copy)) {
        fuzz::fuzzFailure("a volume that mounted once does not mount again");
    }
    Exclusion exclusion;
    excludeFolder(volume, kExcludedFolder, exclusion);
    stampVolumeIni(volume, SystemTime{2026, 12, 4, 10, 23, 59, 0, 0});
    SystemTime date{};
    readModDate(StampLocation{{}, &volume}, date);
    restoreExcludedFolder(volume, exclusion);
    releaseVolume(volume);
    return 0;
}
