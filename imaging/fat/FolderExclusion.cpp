#include "fat/FolderExclusion.h"

#include "fat/DirectoryWalker.h"
#include "records/ByteOrder.h"

namespace dorvix {

namespace {

struct SearchContext {
    std::u16string_view target;
    Exclusion* exclusion = nullptr;
};

// Sees files and directories only (WalkFilter::ShortEntriesOnly).
Visit exclusionVisitor(SearchContext& search, const WalkItem& item) {
    FatVolume& volume = item.volume;
    const std::span<std::uint8_t> entries = item.entries;
    const std::size_t index = item.index;
    const std::size_t shortEntry = item.shortEntry();
    const std::uint8_t attributes = item.attributes();
    // Only entries of the root directory are ever targets, so the search does not descend.
    if (comparePaths(search.target, item.path) != PathRelation::Same || entries.data() != volume.rootDir.data()) {
        return Visit::Next;
    }
    SavedEntryBytes root;
    root.firstBytes.assign(volume.rootEntries, 0);
    root.cluster = 0;
    for (std::size_t i = shortEntry + 1; i-- > index;) {
        if (i < root.firstBytes.size()) {
            root.firstBytes[i] = entries[i * direntry::kBytes];
        }
        entries[i * direntry::kBytes] = direntry::kDeleted;
    }
    search.exclusion->savedEntries.push_front(std::move(root));
    const std::size_t base = shortEntry * direntry::kBytes;
    releaseTree(volume, load16(entries, base + direntry::kFirstCluster),
                (attributes & direntry::kDirectoryBit) != 0, *search.exclusion);
    writeFatsAndRoot(volume);
    return Visit::Next;
}

}  // namespace

void excludeFolder(FatVolume& volume, std::u16string_view target, Exclusion& exclusion) {
    exclusion = Exclusion{};
    exclusion.savedFat = volume.fat;
    exclusion.savedRoot = volume.rootDir;
    exclusion.saved = true;
    SearchContext search{target, &exclusion};
    std::u16string path;
    walkDirectory(
        volume, path, 0, [&search](const WalkItem& item) { return exclusionVisitor(search, item); },
        WalkFilter::ShortEntriesOnly);
}

void releaseTree(FatVolume& volume, std::uint16_t cluster, bool isDirectory, Exclusion& exclusion,
                 unsigned depth) {
    // Each level adds at least "\X" to a path of at most kMaxPathChars characters.
    const bool mayDescend = depth < kMaxPathChars / 2;
    std::vector<std::uint8_t> block;
    // A cluster that is already free was released before (a directory reached twice, a cycle)
    // or never belonged to a chain: the walk ends there.
    while (isDataCluster(volume, cluster) && fatEntry(volume, cluster) != kFreeCluster) {
        const std::uint16_t next = fatEntry(volume, cluster);
        setFatEntry(volume, cluster, kFreeCluster);
        if (isDirectory) {
            block.assign(volume.bytesPerCluster, 0);
            if (readCluster(volume, cluster, block.data(), block.size()) == 0) {
                SavedEntryBytes saved;
                saved.firstBytes.assign(volume.entriesPerCluster, 0);
                saved.cluster = cluster;
                for (std::size_t i = 0; i < volume.entriesPerCluster && block[i * direntry::kBytes] != 0; ++i) {
                    const std::size_t base = i * direntry::kBytes;
                    const std::uint8_t first = block[base];
                    const std::uint8_t attributes = block[base + direntry::kAttributes];
                    saved.firstBytes[i] = first;
                    if (first != direntry::kDot && first != direntry::kDeleted && attributes != direntry::kLongName &&
                        attributes != direntry::kVolumeLabel && mayDescend) {
                        releaseTree(volume, load16(block, base + direntry::kFirstCluster),
                                    (attributes & direntry::kDirectoryBit) != 0, exclusion, depth + 1);
                    }
                    block[base] = direntry::kDeleted;
                }
                writeCluster(volume, cluster, block.data(), block.size());
                exclusion.savedEntries.push_back(std::move(saved));
            }
        }
        cluster = next;
    }
}

void restoreExcludedFolder(FatVolume& volume, Exclusion& exclusion) {
    if (exclusion.saved) {
        volume.fat = exclusion.savedFat;
        volume.rootDir = exclusion.savedRoot;
        writeFatsAndRoot(volume);
    }
    std::vector<std::uint8_t> block(volume.bytesPerCluster, 0);
    for (const SavedEntryBytes& saved : exclusion.savedEntries) {
        if (saved.cluster <= 1 || !isDataCluster(volume, saved.cluster)) {
            continue;  // the root came back with the saved copy
        }
        const auto cluster = static_cast<std::uint16_t>(saved.cluster);
        if (readCluster(volume, cluster, block.data(), block.size()) < 0) {
            continue;
        }
        for (std::size_t i = 0; i < saved.firstBytes.size() && i < volume.entriesPerCluster; ++i) {
            if (saved.firstBytes[i] != 0) {
                block[i * direntry::kBytes] = saved.firstBytes[i];
            }
        }
        writeCluster(volume, cluster, block.data(), block.size());
    }
    exclusion = Exclusion{};
}

}  // namespace dorvix
