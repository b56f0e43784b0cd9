#include "fat/RebuildDirectory.h"

#include "fat/FatTexts.h"
#include "platform/Operator.h"
#include "records/ByteOrder.h"

#include <algorithm>
#include <new>
#include <vector>

namespace dorvix {

using namespace direntry;

namespace {

std::uint16_t fatEntry(std::span<const std::uint8_t> fat, std::uint32_t cluster) {
    return load16(fat, std::size_t{cluster} * 2);
}

void setFatEntry(std::span<std::uint8_t> fat, std::uint32_t cluster, std::uint16_t value) {
    store16(fat, std::size_t{cluster} * 2, value);
}

// Chains clusters first..last (last's entry ends the chain). Refuses clusters outside the
// partition and clusters already in use: a valid image gives every file its own run, so an
// overlap means a damaged image (or a directory that leads back to itself).
bool chainRun(const RebuildContext& ctx, std::uint32_t first, std::uint32_t last) {
    if (first < 2 || last < first || last > ctx.maxCluster) {
        return false;
    }
    for (std::uint32_t c = first; c <= last; ++c) {
        if (fatEntry(ctx.fat, c) != 0) {
            return false;
        }
    }
    for (std::uint32_t c = first; c < last; ++c) {
        setFatEntry(ctx.fat, c, static_cast<std::uint16_t>(c + 1));
    }
    setFatEntry(ctx.fat, last, kEndOfChain);
    return true;
}

// True when the image's FAT chains `first` as one run as far as `size` bytes reach (at least
// one cluster); past that the chain may end or go on anywhere, the restore chains by size.
bool imageChainIsRun(const RebuildContext& ctx, std::uint32_t first, std::uint32_t size) {
    if (ctx.imageFat.empty()) {
        return true;
    }
    if (ctx.imageClusterBytes == 0) {
        return false;
    }
    const std::uint64_t needed = std::max<std::uint64_t>(1, (std::uint64_t{size} + ctx.imageClusterBytes - 1) /
                                                                ctx.imageClusterBytes);
    const std::uint64_t entries = ctx.imageFat.size() / 2;
    for (std::uint64_t i = 0; i < needed; ++i) {
        const std::uint64_t c = first + i;
        if (c >= entries) {
            return false;
        }
        const std::uint16_t next = load16(ctx.imageFat, static_cast<std::size_t>(c) * 2);
        // The last cluster the size reaches may end the chain or lead on (a chain longer than
        // its file); it must be in use.
        const bool last = i + 1 == needed;
        if (last ? next < 2 : next != c + 1) {
            return false;
        }
    }
    return true;
}

// "." or ".." followed by spaces.
bool isDotName(std::span<const std::uint8_t> e) {
    const std::size_t dots = e[1] == kDot ? 2 : 1;
    for (std::size_t i = dots; i < kShortNameBytes; ++i) {
        if (e[i] != ' ') {
            return false;
        }
    }
    return true;
}

}  // namespace

int rebuildDirectory(const RebuildContext& ctx, std::uint32_t firstSector, std::uint32_t count,
                     unsigned depth, std::uint32_t self, std::uint32_t parent) {
    const std::uint32_t bps = ctx.bytesPerSector;
    const std::uint64_t clusterBytes = std::uint64_t{bps} * ctx.sectorsPerCluster;
    if (depth > kMaxDirectoryDepth || clusterBytes == 0 ||
        std::uint64_t{count} * bps > kMaxDirectoryBytes) {
        return -1;
    }
    // The highest cluster the FAT buffer can describe.
    const std::uint32_t fatEntries = static_cast<std::uint32_t>(ctx.fat.size() / 2);
    const std::uint32_t maxCluster = std::min(ctx.maxCluster, fatEntries == 0 ? 0 : fatEntries - 1);

    std::vector<std::uint8_t> buffer;
    try {
        // One spare zero sector ends the scan even when the directory is full.
        buffer.assign((std::size_t{count} + 1) * bps, 0);
    } catch (const std::bad_alloc&) {
        showStatus(nullptr, text::kRebuildAllocation);
        return -1;
    }
    std::span<std::uint8_t> dir(buffer);
    if (ctx.disk == nullptr || ctx.disk->read(firstSector, count, dir.first(std::size_t{count} * bps)) != 0) {
        showStatus(nullptr, text::kRebuildReadFailed,
                    static_cast<unsigned long>(firstSector), count,
                    static_cast<unsigned>(buffer.size()));
        return -1;
    }

    // Long-name sets: slots numbered down to 1, each with the short entry's checksum, then the
    // short entry. A broken set is one fsck.fat deletes or rewrites.
    bool inLongName = false;
    unsigned longNameLeft = 0;
    std::uint8_t longNameChecksum = 0;
    for (std::size_t at = 0; at + kBytes <= buffer.size(); at += kBytes) {
        auto e = dir.subspan(at, kBytes);
        const bool isSlot = e[kName] != kEndOfDirectory && e[kName] != kDeleted &&
                            e[kAttributes] == kLongName;
        if (inLongName && !isSlot &&
            (e[kName] == kEndOfDirectory || e[kName] == kDeleted || longNameLeft != 0 ||
             shortNameChecksum(e) != longNameChecksum)) {
            return -1;
        }
        if (isSlot) {
            const unsigned sequence = e[kName] & ~kLastLongEntry & 0xFFu;
            const bool first = (e[kName] & kLastLongEntry) != 0;
            if (e[kLongReserved] != 0 || sequence == 0 || sequence > kMaxLongSlots ||
                (first ? inLongName
                       : (!inLongName || sequence != longNameLeft || e[kLongChecksum] != longNameChecksum))) {
                return -1;
            }
            inLongName = true;
            longNameLeft = sequence - 1;
            longNameChecksum = e[kLongChecksum];
        } else {
            inLongName = false;
        }
        // A subdirectory begins with "." and then "..".
        if (depth > 0 && at < 2 * kBytes &&
            (e[kName] != kDot || (e[kAttributes] & kDirectoryBit) == 0 ||
             e[kAttributes] == kLongName || !isDotName(e) || (e[1] == kDot) != (at != 0))) {
            return -1;
        }
        if (e[kName] == kEndOfDirectory) {
            // Directories of an image are packed and zeroed behind their last entry; anything
            // behind the end marker is an entry whose end marker is damage, and its content
            // would be left unchained.
            const auto rest = dir.first(std::size_t{count} * bps).subspan(std::min(at, std::size_t{count} * bps));
            if (std::any_of(rest.begin(), rest.end(), [](std::uint8_t b) { return b != 0; })) {
                return -1;
            }
            break;
        }
        const std::uint16_t old = load16(e, kFirstCluster);
        if (e[kName] == kDeleted) {
            continue;
        }
        // Long-name slots and the volume label own no clusters; one that names a cluster
        // would leave a run no entry accounts for.
        if (e[kAttributes] == kLongName) {
            if (old != 0) {
                return -1;
            }
            continue;
        }
        if ((e[kAttributes] & (kLabelBit | kDirectoryBit)) == kLabelBit &&
            (old != 0 || load32(e, kSize) != 0 || !labelNameIsValid(e))) {
            return -1;
        }
        const bool isDirectory = (e[kAttributes] & kDirectoryBit) != 0;
        const bool isDotEntry = e[kName] == kDot;
        // A name fsck.fat would have to rename ("." and ".." are checked above).
        if (!isDotEntry && (e[kAttributes] & (kLabelBit | kDirectoryBit)) != kLabelBit &&
            !shortNameIsValid(e)) {
            return -1;
        }

        // Only the first two entries of a subdirectory, checked above, begin with a dot; any
        // other such name is damage that would leave its content unchained.
        if (isDotEntry && (depth == 0 || at >= 2 * kBytes)) {
            return -1;
        }
        if (old == 0) {
            // No content: an empty file or the volume label. A size without clusters, or a
            // directory without its run ("..", pointing at the root, aside), is damage.
            const bool isDotDot = isDotEntry && e[1] == kDot;
            if (load32(e, kSize) != 0 || (isDirectory && !isDotDot) || (isDotDot && parent != 0)) {
                return -1;
            }
            continue;
        }
        if (old < 2) {
            return -1;
        }
        const std::uint64_t mapped = std::uint64_t{ctx.clusterScale} * (old - 2u) + 2u;
        if (mapped > maxCluster) {
            return -1;
        }
        const auto n = static_cast<std::uint32_t>(mapped);
        store16(e, kFirstCluster, static_cast<std::uint16_t>(n));
        if (isDotEntry) {
            // "." and ".." name runs chained elsewhere: this directory's and its parent's.
            if (n != (at == 0 ? self : parent)) {
                return -1;
            }
            continue;
        }
        const std::uint32_t size = load32(e, kSize);
        // A directory holds at least "." and ".."; an empty file owns no cluster.
        if (isDirectory && (size < 2 * kBytes || size > kMaxDirectoryBytes)) {
            return -1;
        }
        if (size == 0 || !imageChainIsRun(ctx, old, size)) {
            return -1;
        }
        const std::uint64_t clusters = (std::uint64_t{size} + clusterBytes - 1) / clusterBytes;
        const std::uint64_t last = std::uint64_t{n} + (clusters > 1 ? clusters - 1 : 0);
        // The content must lie inside the data the image brought along.
        if (size > 0 && (std::uint64_t{n} - 2) * clusterBytes + size > ctx.imageDataBytes) {
            return -1;
        }
        if (last > maxCluster ||
            !chainRun(ctx, n, static_cast<std::uint32_t>(last))) {
            return -1;
        }
        if (isDirectory) {
            store32(e, kSize, 0);
            const std::uint32_t subFirst = ctx.dataStart + ctx.sectorsPerCluster * (n - 2);
            // The whole chained run is scanned: a damaged size smaller than the entries
            // would otherwise leave the entries behind it in the directory, unchained.
            const auto subCount = static_cast<std::uint32_t>(clusters * ctx.sectorsPerCluster);
            if (rebuildDirectory(ctx, subFirst, subCount, depth + 1, n, self) != 0) {
                return -1;
            }
        }
    }

    if (ctx.disk->write(firstSector, count, dir.first(std::size_t{count} * bps)) != 0) {
        showStatus(nullptr, text::kRebuildWriteFailed,
                    static_cast<unsigned long>(firstSector), count,
                    static_cast<unsigned>(buffer.size()));
        return -1;
    }
    return 0;
}

RebuildContext restoreRebuildContext(const RestoreLayout& layout, SectorDisk& disk, std::span<std::uint8_t> fat,
                                     std::span<const std::uint8_t> imageFat) {
    RebuildContext context;
    context.disk = &disk;
    context.sectorsPerCluster = layout.sectorsPerCluster;
    context.clusterScale = layout.clusterScale;
    context.dataStart = layout.dataStart;
    context.maxCluster = layout.dataClusters + 1;
    context.imageDataBytes = std::uint64_t{layout.copySectors - layout.rootSectors} * kSectorBytes;
    context.fat = fat;
    context.imageFat = imageFat;
    context.imageClusterBytes = std::uint64_t{layout.imageSectorsPerCluster} * kSectorBytes;
    return context;
}

}  // namespace dorvix
