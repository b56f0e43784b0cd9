#include "fat/FatCapture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "platform/ImageFile.h"
#include "fat/DirectoryWalker.h"
#include "fat/FatTexts.h"
#include "fat/FolderExclusion.h"
#include "fat/ImageBody.h"
#include "fat/RebuildDirectory.h"
#include "fat/RestoreLayout.h"
#include "records/ByteOrder.h"

namespace dorvix {

namespace {

using namespace direntry;

constexpr std::uint32_t kCopyBufferSectors = 64;

// IMAGE.INI above this size is copied as it is, unstamped.
constexpr std::uint32_t kMaxStampedBytes = 1u << 20;
constexpr std::u16string_view kStampedFile = u"\\IMAGE.INI";

// A volume label entry (label bit set, neither a long-name slot nor a directory).
bool isLabel(std::uint8_t attributes) {
    return attributes != kLongName && (attributes & (kLabelBit | kDirectoryBit)) == kLabelBit;
}

// The item spanning entries[index .. last] is "\Documents and Settings", left out of every capture.
bool isExcludedItem(std::u16string_view path, std::span<const std::uint8_t> entries, std::size_t last) {
    const std::uint8_t first = entryFirstByte(entries, last);
    return first != kEndOfDirectory && first != kDeleted && first != kDot &&
           (entryAttributes(entries, last) & kDirectoryBit) != 0 && comparePaths(kExcludedFolder, path) == PathRelation::Same;
}

std::string utf8Path(std::u16string_view path) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        std::uint32_t c = path[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < path.size() && path[i + 1] >= 0xDC00 && path[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (path[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

template <typename... Args>
std::string formatText(const char* format, Args... args) {
    char line[1024];
    std::snprintf(line, sizeof line, format, args...);
    return line;
}


Visit refuseEntry(CaptureJob& job, const std::u16string& path, const char* what) {
    job.refusal = what;
    job.refusalPath = path;
    return Visit::Abort;
}

bool skippedBySizing(std::uint8_t first, std::uint8_t attributes) {
    return first == kEndOfDirectory || first == kDot || first == kDeleted || attributes == kLongName ||
           attributes == kVolumeLabel;
}

void writeDotEntry(std::span<std::uint8_t> slot, const char* name, std::uint16_t cluster) {
    std::fill(slot.begin(), slot.end(), 0);
    std::memset(slot.data(), ' ', kShortNameBytes);
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

// The next cluster of the image; an exhausted image is noted, so that a capture whose stamp
// grew IMAGE.INI by the cluster that is then missing can say so.
std::uint16_t allocateImageCluster(CaptureJob& job, std::uint16_t previous) {
    const std::uint16_t cluster = allocateCluster(*job.image, previous);
    job.imageFull = job.imageFull || cluster == 0;
    return cluster;
}

int copyDirectory(CaptureJob& job, std::u16string& path, const std::uint8_t* entry, std::uint8_t* placed) {
    FatVolume& source = *job.source;
    FatVolume& image = *job.image;
    const std::uint16_t sourceFirst = load16({entry, kBytes}, kFirstCluster);
    if (sourceFirst < kFirstDataCluster) {
        return -1;  // would lead back to the root
    }
    // Clusters of the source directory, and 32 bytes of size for each entry of the image's
    // directory: its own "." and "..", then each entry the copy places (not the source's dot
    // entries, which may be missing or damaged, nor deleted entries and labels). The size the
    // source's entry states is not read: a directory's size field is 0 on a FAT volume.
    std::vector<std::uint8_t> block(source.bytesPerCluster, 0);
    std::span<std::uint8_t> placedEntry(placed, kBytes);
    std::uint32_t size = 2 * kBytes;
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
            } else if (first != kDeleted && first != kDot && block[i * kBytes + kAttributes] != kVolumeLabel) {
                size += static_cast<std::uint32_t>(kBytes);
            }
        }
    }
    store32(placedEntry, kSize, size);
    // The source's run, or more where the image's own dot entries do not fit it.
    const std::uint32_t imageClusters = std::max(clusters * source.bytesPerCluster / image.bytesPerCluster,
                                                 (size + image.bytesPerCluster - 1) / image.bytesPerCluster);

    const std::uint16_t imageFirst = allocateImageCluster(job, 0);
    if (imageFirst == 0) {
        return -1;
    }
    store16(placedEntry, kFirstCluster, imageFirst);
    std::uint16_t previous = imageFirst;
    for (std::uint32_t k = 1; k < imageClusters; ++k) {
        previous = allocateImageCluster(job, previous);
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

    bool copied = walkDirectory(source, path, sourceFirst, copyWalk(job)) != WalkResult::Failed;
    // A directory that fills its clusters has no end entry: it is finished when its walk is.
    if (copied && !job.openDirs[level].closed && closeBuilder(job, job.openDirs[level]) < 0) {
        copied = false;
    }
    job.openDirs.resize(level);
    return copied ? 0 : -1;
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
            previous = allocateImageCluster(job, previous);
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
        if (writeVolumeSectors(image, clusterToSector(image, batchFirst),
                               static_cast<std::uint32_t>(whole * image.sectorsPerCluster),
                               std::span(job.copyBuffer).first(bytes)) < 0) {
            return -1;
        }
        std::memmove(job.copyBuffer.data(), job.copyBuffer.data() + bytes, held - bytes);
        held -= bytes;
        job.clustersDone += static_cast<std::uint32_t>(bytes / source.bytesPerCluster);
        showProgress(job);
    }
    return 0;
}

// Copies \IMAGE.INI with the capture time in its "ModDate=" line: the file is read whole, the
// value replaced (the file may grow or shrink) and written to the image as a run of its own.
int copyStampedFile(CaptureJob& job, const std::uint8_t* entry, std::uint8_t* placed) {
    FatVolume& source = *job.source;
    FatVolume& image = *job.image;
    std::span<std::uint8_t> placedEntry(placed, kBytes);
    const std::uint32_t size = load32(placedEntry, kSize);
    std::uint16_t cluster = load16({entry, kBytes}, kFirstCluster);
    if (cluster < kFirstDataCluster || size > kMaxStampedBytes) {
        return copyFile(job, entry, placed);
    }
    std::vector<std::uint8_t> text;
    std::vector<std::uint8_t> block(source.bytesPerCluster, 0);
    std::uint32_t steps = 0;
    while (text.size() < size) {
        if (!isDataCluster(source, cluster) || ++steps > source.clusterCount ||
            readCluster(source, cluster, block.data(), block.size()) < 0) {
            return -1;
        }
        const std::size_t take = std::min<std::size_t>(block.size(), size - text.size());
        text.insert(text.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(take));
        cluster = fatEntry(source, cluster);
    }
    std::vector<std::uint8_t> stamped = withModDate(text, job.captureTime);
    store16(placedEntry, kFirstCluster, 0);
    store32(placedEntry, kSize, static_cast<std::uint32_t>(stamped.size()));
    job.clustersDone += steps;
    if (stamped.empty()) {
        return 0;
    }
    const std::size_t clusters = (stamped.size() + image.bytesPerCluster - 1) / image.bytesPerCluster;
    job.stampGrew = clusters * image.bytesPerCluster > std::size_t{steps} * source.bytesPerCluster;
    stamped.resize(clusters * image.bytesPerCluster, 0);
    std::uint16_t first = 0;
    std::uint16_t previous = 0;
    for (std::size_t k = 0; k < clusters; ++k) {
        previous = allocateImageCluster(job, previous);
        if (previous == 0) {
            return -1;
        }
        first = k == 0 ? previous : first;
    }
    store16(placedEntry, kFirstCluster, first);
    return writeVolumeSectors(image, clusterToSector(image, first),
                              static_cast<std::uint32_t>(clusters * image.sectorsPerCluster), stamped) < 0
               ? -1
               : 0;
}

}  // namespace

const char* unrestorableReason(std::span<const std::uint8_t> imageMbr, std::span<const std::uint8_t> imageBoot,
                               const FatVolume& source, std::uint32_t dataClusters) {
    RestoreInput input;
    input.imageMbr = imageMbr;
    input.imageBoot = imageBoot;
    constexpr std::uint32_t kHeads = 255;
    constexpr std::uint32_t kTrack = 63;
    input.disk = {0xFFFFFFFFu / (kHeads * kTrack), kHeads, kTrack, kSectorBytes};
    const std::uint64_t sectors =
        1 + std::uint64_t{source.dataStart} + std::uint64_t{dataClusters} * source.sectorsPerCluster;
    input.imageSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, 0xFFFFFFFFu));
    input.headerSectors = 1;
    switch (computeRestoreLayout(input).refusal) {
    case LayoutRefusal::ClustersTooSmall:
        return text::kSourceClustersNeverRestored;
    case LayoutRefusal::DataDoesNotFit:
    case LayoutRefusal::ImageLargerThanDisk:
        return text::kSourceDataNeverRestored;
    case LayoutRefusal::None:
        return nullptr;
    default:
        // The image keeps the source's boot sector as it is, and the restore judges the volume
        // by that boot sector alone: one whose sector count claims more than the partition that
        // bounds it (and more than its FAT can serve) mounts here but is no volume to restore.
        return text::kSourceNotCarried;
    }
}

Visit sizingVisitor(CaptureJob& job, const WalkItem& item) {
    FatVolume& volume = item.volume;
    std::u16string& path = item.path;
    const std::span<std::uint8_t> entries = item.entries;
    const std::size_t index = item.index;
    const std::size_t extra = item.extra;
    if (isExcludedItem(path, entries, index + extra)) {
        return Visit::Next;
    }
    // Long-name slots belong to the short entry that ends their set and carry its checksum; a
    // slot left on its own or set apart from its entry is one fsck.fat deletes.
    const std::size_t last = index + extra;
    const std::uint8_t lastFirst = entryFirstByte(entries, last);
    if (lastFirst != kDeleted && lastFirst != kEndOfDirectory && entryAttributes(entries, last) == kLongName) {
        return refuseEntry(job, path, text::kEntryLongNameBroken);
    }
    // The set must be as the restore reads it: `extra` live slots numbered down to 1 (the first
    // marked as stored first), then a live short entry. The walker groups a set by its first
    // slot's count alone, so an end marker, a deleted entry or a short entry inside that count
    // would otherwise be copied as part of the set.
    if (extra > 0 && (lastFirst == kDeleted || lastFirst == kEndOfDirectory)) {
        return refuseEntry(job, path, text::kEntryLongNameBroken);
    }
    for (std::size_t k = index; k < last; ++k) {
        const std::uint8_t slotFirst = entryFirstByte(entries, k);
        const std::size_t sequence = extra - (k - index);
        if (entryAttributes(entries, k) != kLongName || slotFirst != ((k == index ? kLastLongEntry : 0) | sequence)) {
            return refuseEntry(job, path, text::kEntryLongNameBroken);
        }
    }
    for (std::size_t k = index; k < last; ++k) {
        if (entryAttributes(entries, k) == kLongName &&
            (entries[k * kBytes + kLongReserved] != 0 ||
             entries[k * kBytes + kLongChecksum] != shortNameChecksum(entries.subspan(last * kBytes, kBytes)))) {
            return refuseEntry(job, path, text::kEntryLongNameBroken);
        }
    }
    for (std::size_t k = index; k <= index + extra; ++k) {
        const std::uint8_t first = entryFirstByte(entries, k);
        const std::uint8_t attributes = entryAttributes(entries, k);
        const std::size_t base = k * kBytes;
        const std::uint16_t firstCluster = load16(entries, base + kFirstCluster);
        // Long-name slots and labels own no clusters; a restore refuses those that name one.
        if (first != kDeleted && first != kEndOfDirectory && firstCluster != 0 &&
            (attributes == kLongName || isLabel(attributes))) {
            return refuseEntry(job, path, attributes == kLongName ? text::kEntryLongNameCluster
                                                                  : text::kEntryLabelCluster);
        }
        if (first != kDeleted && first != kEndOfDirectory && isLabel(attributes) &&
            !labelNameIsValid(entries.subspan(base, kBytes))) {
            return refuseEntry(job, path, text::kEntryLabelInvalid);
        }
        // A label owns no data either: fsck.fat truncates one with a size as it does a file
        // with a size and no chain, and the restore refuses it.
        if (first != kDeleted && first != kEndOfDirectory && isLabel(attributes) && load32(entries, base + kSize) != 0) {
            return refuseEntry(job, path, text::kEntrySizeWithoutChain);
        }
        if (skippedBySizing(first, attributes) || isLabel(attributes)) {
            continue;
        }
        if (!shortNameIsValid(entries.subspan(base, kBytes))) {
            return refuseEntry(job, path, text::kEntryShortNameInvalid);
        }
        if ((attributes & kDirectoryBit) != 0) {
            // A directory without a cluster would be the root again; one met twice is a loop
            // or a cross-link.
            if (firstCluster < kFirstDataCluster || firstCluster >= job.seenDirectories.size() ||
                job.seenDirectories[firstCluster]) {
                return Visit::Abort;
            }
            job.seenDirectories[firstCluster] = true;
            const long length = chainLength(volume, firstCluster);
            if (length < 0) {
                return Visit::Abort;
            }
            job.totalClusters += static_cast<std::uint32_t>(length);
            return walkDirectory(volume, path, firstCluster, sizingWalk(job)) == WalkResult::Failed
                       ? Visit::Abort
                       : Visit::Next;
        }
        const std::uint64_t size = load32(entries, base + kSize);
        if (firstCluster == 1) {
            return Visit::Abort;
        }
        if (firstCluster >= kFirstDataCluster) {
            const long length = chainLength(volume, firstCluster);
            if (length < 0) {
                return Visit::Abort;
            }
            if (size == 0) {
                return refuseEntry(job, path, text::kEntryEmptyWithChain);
            }
            if (size > std::uint64_t(length) * volume.bytesPerCluster) {
                return refuseEntry(job, path, text::kEntrySizePastChain);
            }
        } else if (size != 0) {
            return refuseEntry(job, path, text::kEntrySizeWithoutChain);
        }
        job.totalClusters += static_cast<std::uint32_t>((size + volume.bytesPerCluster - 1) / volume.bytesPerCluster);
    }
    return Visit::Next;
}

Visit copyVisitor(CaptureJob& job, const WalkItem& item) {
    std::u16string& path = item.path;
    const std::span<std::uint8_t> entries = item.entries;
    const std::size_t index = item.index;
    const std::size_t extra = item.extra;
    if (isExcludedItem(path, entries, index + extra)) {
        return Visit::Next;
    }
    int result = 0;
    for (std::size_t k = index; k <= index + extra; ++k) {
        const std::uint8_t* entry = &entries[k * kBytes];
        const std::uint8_t first = entry[0];
        const std::uint8_t attributes = entry[kAttributes];
        // The root keeps its label entry, which names the volume as its boot sector does.
        if (first == kDot || first == kDeleted || (attributes == kVolumeLabel && !job.openDirs.empty())) {
            continue;
        }
        std::uint8_t* placed = nullptr;
        const int placement = placeEntry(job, entry, placed);
        if (placement < 0) {
            return Visit::Abort;
        }
        if (placement == 1) {
            return Visit::Next;
        }
        if (attributes != kLongName) {
            if ((attributes & kDirectoryBit) != 0) {
                result = copyDirectory(job, path, entry, placed);
            } else if (job.openDirs.empty() && comparePaths(kStampedFile, path) == PathRelation::Same) {
                result = copyStampedFile(job, entry, placed);
            } else {
                result = copyFile(job, entry, placed);
            }
            if (result < 0) {
                return Visit::Abort;
            }
        }
        if (!job.openDirs.empty()) {
            DirBuilder& innermost = job.openDirs.back();
            if (!innermost.closed && innermost.count == job.image->entriesPerCluster &&
                fatEntry(*job.image, innermost.cluster) == kEndOfChain && closeBuilder(job, innermost) < 0) {
                return Visit::Abort;
            }
        }
    }
    return Visit::Next;
}

int captureVolume(FatVolume& source, ImageFile& file, const std::filesystem::path& imagePath, CaptureHooks& hooks) {
    auto say = [](const std::function<void(const std::string&)>& to, const char* text) {
        if (to) {
            to(text);
        }
    };
    say(hooks.heading, text::kCopyingHeading);

    // Nothing of the volume is read while a file system has it mounted: its last writes reach
    // the disk only at the unmount, and whatever was read before would be older.
    if (hooks.dismount && !hooks.dismount()) {
        if (hooks.mountFirstPartition) {
            hooks.mountFirstPartition();
        }
        say(hooks.error, text::kCannotAccessDevice);
        return -1;
    }
    // The disk goes back on every way out, once.
    struct GiveBack {
        CaptureHooks& hooks;
        bool pending = true;
        void operator()() {
            if (pending && hooks.mountFirstPartition) {
                hooks.mountFirstPartition();
            }
            pending = false;
        }
        ~GiveBack() { (*this)(); }
    } giveBack{hooks};

    std::uint8_t sourceMbr[mbr::kSize] = {};
    std::uint8_t sourceBoot[bootsector::kSize] = {};
    const VolumeProblem problem = mountVolume(source, sourceMbr, sourceBoot);
    if (problem != VolumeProblem::None) {
        say(hooks.error, problem == VolumeProblem::NotFat16 ? text::kSourceNotCarried : text::kCannotMountSource);
        releaseVolume(source);
        return -1;
    }
    if (!imageBodyCanCarry(source)) {
        say(hooks.error, text::kSourceNotCarried);
        releaseVolume(source);
        return -1;
    }
    // A root directory that ends inside a sector is one fsck.fat refuses: the volume is damaged.
    if (source.rootEntries % (source.bytesPerSector / kBytes) != 0) {
        say(hooks.error, text::kSourceDamaged);
        releaseVolume(source);
        return -1;
    }

    CaptureJob job;
    job.hooks = &hooks;
    job.source = &source;
    std::u16string path;
    WalkResult sized = WalkResult::Failed;
    try {
        job.seenDirectories.assign(std::size_t{source.clusterCount} + 2, false);
        say(hooks.status, text::kSizing);
        sized = walkDirectory(source, path, 0, sizingWalk(job));
    } catch (const std::bad_alloc&) {
        say(hooks.error, text::kCannotAllocateJob);
        releaseVolume(source);
        return -1;
    }
    if (sized == WalkResult::Failed) {
        if (job.refusal != nullptr) {
            say(hooks.error, formatText(text::kSourceEntryRefused, job.refusal, utf8Path(job.refusalPath).c_str()).c_str());
        } else if (source.overlongPath > kMaxPathChars) {
            say(hooks.error, formatText(text::kSourcePathTooLong, source.overlongPath, kMaxPathChars).c_str());
        } else {
            say(hooks.error, text::kSourceDamaged);
        }
        releaseVolume(source);
        return -1;
    }

    const std::span<const std::uint8_t> templateMbr = mbrTemplate();
    if (templateMbr.size() != mbr::kSize) {
        releaseVolume(source);
        return -1;
    }
    std::uint8_t imageMbr[mbr::kSize];
    std::uint8_t imageBoot[bootsector::kSize];
    std::copy(templateMbr.begin(), templateMbr.end(), imageMbr);
    std::copy(std::begin(sourceBoot), std::end(sourceBoot), imageBoot);
    // An image that no disk could take is not made: the restore's cluster table is asked about
    // the largest disk there is, with the data the tree will bring along.
    if (const char* never = unrestorableReason(imageMbr, imageBoot, source, job.totalClusters)) {
        say(hooks.error, never);
        releaseVolume(source);
        return -1;
    }

    if (!file.createTemporary(imagePath)) {
        say(hooks.error, text::kCannotOpenImage);
        releaseVolume(source);
        return -1;
    }
    auto discardImage = [&] {
        file.discard();
        releaseVolume(source);
    };
    ImageFileDisk imageDisk(file, 1);  // the header takes the file's first sector
    FatVolume image;
    try {
        image = makeImageVolume(source, imageDisk);
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
    job.captureTime = hooks.now ? hooks.now() : SystemTime{};

    say(hooks.status, text::kCopying);
    path.clear();
    WalkResult walked = WalkResult::Failed;
    try {
        walked = walkDirectory(source, path, 0, copyWalk(job));
    } catch (const std::bad_alloc&) {
        walked = WalkResult::Failed;  // reported as a failed copy
    }
    giveBack();
    // A failed write of the image says where and why (a full disk, a file-size limit).
    auto imageError = [&](const char* message) {
        std::string line = message;
        if (file.lastError() != 0) {
            line += formatText(text::kImageFileWriteError, imageFolder(imagePath).c_str(),
                               std::strerror(file.lastError()));
        }
        say(hooks.error, line.c_str());
    };
    if (walked == WalkResult::Failed) {
        imageError(job.stampGrew && job.imageFull ? text::kStampNoRoom : text::kCopyFailed);
        discardImage();
        return -1;
    }

    const std::uint32_t bootSectorAt = load32(std::span<const std::uint8_t>(imageMbr), mbr::kFirstSector);
    bool written = writeVolumeSectors(image, 0, 1, imageMbr) == 0;
    written = writeVolumeSectors(image, bootSectorAt, 1, imageBoot) == 0 && written;
    // The FATs, root and data keep their places of the source, which count from the source's
    // partition start; a copy of the boot sector there makes the body a volume mtools and
    // fsck.fat can read at 512 x (1 + that start). The restore reads the one at sector 32.
    const std::uint32_t sourceStart = load32(std::span<const std::uint8_t>(imageBoot), bootsector::kHiddenSectors);
    if (sourceStart != bootSectorAt && sourceStart > 0 && sourceStart < image.fatStart) {
        written = writeVolumeSectors(image, sourceStart, 1, imageBoot) == 0 && written;
    }
    written = writeFatsAndRoot(image) == 0 && written;
    const std::int64_t length = written ? file.length() : -1;
    // The image gets its name only once it is whole and on the disk.
    if (length < 0 || !file.flush() || !hooks.writeHeader || !hooks.writeHeader(file, length) || !file.commit()) {
        imageError(text::kCannotWriteImage);
        discardImage();
        return -1;
    }
    if (hooks.progress) {
        hooks.progress(100, true);
    }
    releaseVolume(source);
    return 0;
}

int captureVolume(FatVolume& source, const std::filesystem::path& imagePath, CaptureHooks& hooks) {
    ImageFile file;
    return captureVolume(source, file, imagePath, hooks);
}

}  // namespace dorvix
