#include "fat/FatCapture.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "disk/ByteOrder.h"
#include "fat/DirectoryWalker.h"
#include "fat/FolderExclusion.h"
#include "fat/ImageBody.h"
#include "fat/ImageFile.h"
#include "front/StringTable.h"

namespace dorvix {

namespace {

using namespace direntry;

constexpr std::uint32_t kCopyBufferSectors = 64;

bool skippedBySizing(std::uint8_t first, std::uint8_t attributes) {
    return first == kEndOfDirectory || first == kDot || first == kDeleted || attributes == kLongName ||
           attributes == kVolumeLabel;
}

void writeDotEntry(std::span<std::uint8_t> slot, const char* name, std::uint16_t cluster) {
    std::fill(slot.begin(), slot.end(), 0);
    std::memset(slot.data(), ' ', 11);
    std::memcpy(slot.data(), name, std::strlen(name));
    slot[kAttributes] = kDirectoryBit;
    store16(slot, kFirstCluster, cluster);
}

// Writes the builder's current cluster and marks the directory finished.
int closeBuilder(CaptureJob& job, DirBuilder& builder) {
    builder.closed = true;
    return writeCluster(*job.image, builder.cluster, builder.buffer.data(), builder.buffer.size());
}

void showProgress(CaptureJob& job) {
    if (job.totalClusters == 0) {
        return;
    }
    // Chains longer than their files' sizes copy more than the sizing walk counted.
    const auto percent = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{job.clustersDone} * 100 / job.totalClusters, 100));
    if (percent > job.lastPercent) {
        job.lastPercent = percent;
        if (job.hooks->progress) {
            job.hooks->progress(percent, false);
        }
    }
}

// Places a copy of `entry` in the directory being built; `placed` points at the copy.
// Returns 1 when the entry ended the directory (nothing placed), 0 when placed, -1 on failure.
int placeEntry(CaptureJob& job, const std::uint8_t* entry, std::uint8_t*& placed) {
    FatVolume& image = *job.image;
    const std::uint8_t first = entry[0];
    if (job.openDirs.empty()) {
        if (first == kEndOfDirectory) {
            return 1;
        }
        for (std::size_t slot = 0; slot + 1 <= image.rootDir.size() / kBytes && slot < image.rootEntries; ++slot) {
            if (image.rootDir[slot * kBytes] == kEndOfDirectory) {
                placed = &image.rootDir[slot * kBytes];
                std::memcpy(placed, entry, kBytes);
                return 0;
            }
        }
        return -1;
    }
    DirBuilder& builder = job.openDirs.back();
    if (builder.closed) {
        // The directory's run is full; only its end may still arrive.
        return first == kEndOfDirectory ? 1 : -1;
    }
    if (builder.count == image.entriesPerCluster) {
        if (writeCluster(image, builder.cluster, builder.buffer.data(), builder.buffer.size()) < 0) {
            return -1;
        }
        std::fill(builder.buffer.begin(), builder.buffer.end(), 0);
        builder.count = 0;
        const std::uint16_t next = fatEntry(image, builder.cluster);
        if (!isDataCluster(image, next)) {
            return -1;  // more entries than the directory's run holds
        }
        builder.cluster = next;
    }
    if (first == kEndOfDirectory) {
        return closeBuilder(job, builder) < 0 ? -1 : 1;
    }
    placed = &builder.buffer[std::size_t{builder.count} * kBytes];
    std::memcpy(placed, entry, kBytes);
    ++builder.count;
    return 0;
}

int copyDirectory(CaptureJob& job, std::u16string& path, const std::uint8_t* entry, std::uint8_t* placed) {
    FatVolume& source = *job.source;
    FatVolume& image = *job.image;
    const std::uint16_t sourceFirst = load16({entry, kBytes}, kFirstCluster);
    if (sourceFirst < kFirstDataCluster) {
        return -1;  // would lead back to the root
    }
    // Clusters of the source directory, and 32 bytes of size for each surviving entry.
    std::vector<std::uint8_t> block(source.bytesPerCluster, 0);
    std::span<std::uint8_t> placedEntry(placed, kBytes);
    std::uint32_t size = load32(placedEntry, kSize);
    std::uint32_t clusters = 0;
    bool ended = false;
    for (std::uint32_t cluster = sourceFirst; cluster < kEndOfChainMin; cluster = fatEntry(source, cluster)) {
        if (!isDataCluster(source, cluster) || clusters > source.clusterCount) {
            return -1;
        }
        if (readCluster(source, static_cast<std::uint16_t>(cluster), block.data(), block.size()) < 0) {
            return -1;
        }
        ++clusters;
        for (std::size_t i = 0; !ended && i < source.entriesPerCluster; ++i) {
            const std::uint8_t first = block[i * kBytes];
            if (first == kEndOfDirectory) {
                ended = true;
            } else if (first != kDeleted && block[i * kBytes + kAttributes] != kVolumeLabel) {
                size += static_cast<std::uint32_t>(kBytes);
            }
        }
    }
    clusters = std::max<std::uint32_t>(clusters, 1);
    store32(placedEntry, kSize, size);
    const std::uint32_t imageClusters = clusters * source.bytesPerCluster / image.bytesPerCluster;

    const std::uint16_t imageFirst = allocateCluster(image, 0);
    if (imageFirst == 0) {
        return -1;
    }
    store16(placedEntry, kFirstCluster, imageFirst);
    std::uint16_t previous = imageFirst;
    for (std::uint32_t k = 1; k < imageClusters; ++k) {
        previous = allocateCluster(image, previous);
        if (previous == 0) {
            return -1;
        }
    }
    DirBuilder builder;
    builder.cluster = imageFirst;
    builder.firstCluster = imageFirst;
    builder.buffer.assign(image.bytesPerCluster, 0);
    const std::uint16_t parent = job.openDirs.empty() ? 0 : job.openDirs.back().firstCluster;
    writeDotEntry(std::span<std::uint8_t>(builder.buffer).subspan(0, kBytes), ".", imageFirst);
    writeDotEntry(std::span<std::uint8_t>(builder.buffer).subspan(kBytes, kBytes), "..", parent);
    builder.count = 2;
    job.openDirs.push_back(std::move(builder));
    const std::size_t level = job.openDirs.size() - 1;

    int result = walkDirectory(source, path, sourceFirst, &job, copyVisitor);
    // A directory that fills its clusters has no end entry: it is finished when its walk is.
    if (result >= 0 && !job.openDirs[level].closed && closeBuilder(job, job.openDirs[level]) < 0) {
        result = -1;
    }
    job.openDirs.resize(level);
    return result < 0 ? -1 : result;
}

int copyFile(CaptureJob& job, const std::uint8_t* entry, std::uint8_t* placed) {
    FatVolume& source = *job.source;
    FatVolume& image = *job.image;
    std::span<std::uint8_t> placedEntry(placed, kBytes);
    store16(placedEntry, kFirstCluster, 0);
    std::uint16_t cluster = load16({entry, kBytes}, kFirstCluster);
    if (cluster <= 1) {
        return 0;
    }
    std::size_t held = 0;
    std::uint16_t previous = 0;
    std::uint32_t copied = 0;
    while (cluster < kEndOfChainMin) {
        const long got = readClusterRun(source, job.copyBuffer.data() + held, cluster, job.batchClusters);
        if (got <= 0) {
            return -1;
        }
        copied += static_cast<std::uint32_t>(got);
        if (copied > source.clusterCount) {
            return -1;  // a chain longer than the volume runs in a cycle
        }
        held += static_cast<std::size_t>(got) * source.bytesPerCluster;
        const std::size_t whole = held / image.bytesPerCluster;
        std::uint16_t batchFirst = 0;
        for (std::size_t k = 0; k < whole; ++k) {
            previous = allocateCluster(image, previous);
            if (previous == 0) {
                return -1;
            }
            if (k == 0) {
                batchFirst = previous;
            }
        }
        if (whole == 0) {
            continue;
        }
        if (load16(placedEntry, kFirstCluster) == 0) {
            store16(placedEntry, kFirstCluster, batchFirst);
        }
        const std::size_t bytes = whole * image.bytesPerCluster;
        if (image.sectorWriter(image, clusterToSector(image, batchFirst),
                               static_cast<std::uint32_t>(whole * image.sectorsPerCluster), job.copyBuffer.data(),
                               bytes) < 0) {
            return -1;
        }
        std::memmove(job.copyBuffer.data(), job.copyBuffer.data() + bytes, held - bytes);
        held -= bytes;
        job.clustersDone += static_cast<std::uint32_t>(bytes / source.bytesPerCluster);
        showProgress(job);
    }
    return 0;
}

}  // namespace

int sizingVisitor(FatVolume& volume, std::u16string& path, void* context, std::span<std::uint8_t> entries,
                  std::size_t index, std::size_t extra) {
    auto& job = *static_cast<CaptureJob*>(context);
    for (std::size_t k = index; k <= index + extra; ++k) {
        const std::uint8_t first = entryFirstByte(entries, k);
        const std::uint8_t attributes = entryAttributes(entries, k);
        if (skippedBySizing(first, attributes)) {
            continue;
        }
        const std::size_t base = k * kBytes;
        const std::uint16_t firstCluster = load16(entries, base + kFirstCluster);
        if ((attributes & kDirectoryBit) != 0) {
            // A directory without a cluster would be the root again; one met twice is a loop
            // or a cross-link.
            if (firstCluster < kFirstDataCluster || firstCluster >= job.seenDirectories.size() ||
                job.seenDirectories[firstCluster]) {
                return -1;
            }
            job.seenDirectories[firstCluster] = true;
            const long length = chainLength(volume, firstCluster);
            if (length < 0) {
                return -1;
            }
            job.totalClusters += static_cast<std::uint32_t>(length);
            return walkDirectory(volume, path, firstCluster, context, sizingVisitor) < 0 ? -1 : 0;
        }
        if (firstCluster >= kFirstDataCluster && chainLength(volume, firstCluster) < 0) {
            return -1;
        }
        const std::uint64_t size = load32(entries, base + kSize);
        job.totalClusters += static_cast<std::uint32_t>((size + volume.bytesPerCluster - 1) / volume.bytesPerCluster);
    }
    return 0;
}

int copyVisitor(FatVolume&, std::u16string& path, void* context, std::span<std::uint8_t> entries,
                std::size_t index, std::size_t extra) {
    auto& job = *static_cast<CaptureJob*>(context);
    int result = 0;
    for (std::size_t k = index; k <= index + extra; ++k) {
        const std::uint8_t* entry = &entries[k * kBytes];
        const std::uint8_t first = entry[0];
        const std::uint8_t attributes = entry[kAttributes];
        if (first == kDot || first == kDeleted || attributes == kVolumeLabel) {
            continue;
        }
        std::uint8_t* placed = nullptr;
        const int placement = placeEntry(job, entry, placed);
        if (placement < 0) {
            return -1;
        }
        if (placement == 1) {
            return 0;
        }
        if (attributes != kLongName) {
            if ((attributes & kDirectoryBit) != 0) {
                result = copyDirectory(job, path, entry, placed);
            } else {
                result = copyFile(job, entry, placed);
            }
            if (result < 0) {
                return -1;
            }
        }
        if (!job.openDirs.empty()) {
            DirBuilder& innermost = job.openDirs.back();
            if (!innermost.closed && innermost.count == job.image->entriesPerCluster &&
                fatEntry(*job.image, innermost.cluster) == kEndOfChain && closeBuilder(job, innermost) < 0) {
                return -1;
            }
        }
    }
    return result;
}

int captureVolume(FatVolume& source, const std::filesystem::path& imagePath, CaptureHooks& hooks) {
    auto say = [](const std::function<void(const std::string&)>& to, const char* text) {
        if (to) {
            to(text);
        }
    };
    say(hooks.heading, text::kCopyingHeading);

    std::uint8_t sourceMbr[mbr::kSize] = {};
    std::uint8_t sourceBoot[bootsector::kSize] = {};
    VolumeProblem problem = VolumeProblem::None;
    if (mountVolume(source, sourceMbr, sourceBoot, &problem) < 0) {
        say(hooks.error, problem == VolumeProblem::NotFat16 ? text::kSourceNotCarried : text::kCannotMountSource);
        releaseVolume(source);
        return -1;
    }
    if (!imageBodyCanCarry(source)) {
        say(hooks.error, text::kSourceNotCarried);
        releaseVolume(source);
        return -1;
    }

    CaptureJob job;
    job.hooks = &hooks;
    job.source = &source;
    std::u16string path;
    int sized = -1;
    try {
        job.seenDirectories.assign(std::size_t{source.clusterCount} + 2, false);
        say(hooks.status, text::kSizing);
        sized = walkDirectory(source, path, 0, &job, sizingVisitor);
    } catch (const std::bad_alloc&) {
        say(hooks.error, text::kCannotAllocateJob);
        releaseVolume(source);
        return -1;
    }
    if (sized < 0) {
        say(hooks.error, text::kSourceDamaged);
        releaseVolume(source);
        return -1;
    }

    ImageFile file;
    if (!file.create(imagePath)) {
        say(hooks.error, text::kCannotOpenImage);
        releaseVolume(source);
        return -1;
    }
    auto discardImage = [&] {
        file.close();
        std::error_code ignored;
        std::filesystem::remove(imagePath, ignored);
        releaseVolume(source);
    };
    const std::span<const std::uint8_t> templateMbr = mbrTemplate();
    if (templateMbr.size() != mbr::kSize) {
        discardImage();
        return -1;
    }
    std::uint8_t imageMbr[mbr::kSize];
    std::uint8_t imageBoot[bootsector::kSize];
    std::copy(templateMbr.begin(), templateMbr.end(), imageMbr);
    std::copy(std::begin(sourceBoot), std::end(sourceBoot), imageBoot);
    FatVolume image;
    try {
        image = makeImageVolume(source, file);
    } catch (const std::bad_alloc&) {
        say(hooks.error, text::kCannotAllocateFat);
        discardImage();
        return -1;
    }
    job.image = &image;
    job.batchClusters = kCopyBufferSectors / source.sectorsPerCluster;
    try {
        job.copyBuffer.assign(std::size_t{kCopyBufferSectors} * source.bytesPerSector, 0);
    } catch (const std::bad_alloc&) {
        say(hooks.error, text::kCannotAllocateBuffer);
        discardImage();
        return -1;
    }

    // The image carries the capture time; the device keeps its own stamp.
    StampLocation stamp = hooks.stamp;
    if (stamp.hostFile.empty() && stamp.volume == nullptr) {
        stamp.volume = &source;
    }
    SystemTime kept;
    const bool haveKept = readModDate(stamp, kept);
    writeModDate(stamp, hooks.now ? hooks.now() : SystemTime{});

    say(hooks.status, text::kCopying);
    if (hooks.dismount) {
        hooks.dismount();
    }
    Exclusion exclusion;
    excludeFolder(source, kExcludedFolder, exclusion);
    path.clear();
    int walked = -1;
    try {
        walked = walkDirectory(source, path, 0, &job, copyVisitor);
    } catch (const std::bad_alloc&) {
        walked = -1;  // reported as a failed copy; the source is put back below
    }
    restoreExcludedFolder(source, exclusion);
    if (hooks.mountFirstPartition) {
        hooks.mountFirstPartition();
    }
    if (haveKept) {
        writeModDate(stamp, kept);
    }
    if (walked < 0) {
        say(hooks.error, text::kCopyFailed);
        discardImage();
        return -1;
    }
    if (hooks.progress) {
        hooks.progress(100, true);
    }

    const std::uint32_t bootSectorAt = load32(std::span<const std::uint8_t>(imageMbr), mbr::kFirstSector);
    bool written = image.sectorWriter(image, 0, 1, imageMbr, sizeof imageMbr) == 0;
    written = image.sectorWriter(image, bootSectorAt, 1, imageBoot, sizeof imageBoot) == 0 && written;
    written = writeFatsAndRoot(image) == 0 && written;
    const std::int64_t length = written ? file.length() : -1;
    if (length < 0 || !file.flush() || !hooks.writeHeader || !hooks.writeHeader(file, length) || !file.flush()) {
        say(hooks.error, text::kCannotWriteImage);
        discardImage();
        return -1;
    }
    file.close();
    releaseVolume(source);
    return 0;
}

}  // namespace dorvix
