#pragma once
// Rebuilding the FAT and the directories of a restored volume from its directory entries.
//
// The image stores every file and directory as one contiguous run of clusters and records
// each directory's content length in its entry, so the new FAT follows from the entries
// alone: image cluster c becomes target cluster L x (c - 2) + 2 and a file of s bytes gets a
// chain of ceil(s / target cluster bytes) clusters. Nothing read from the image is trusted:
// cluster numbers, chain lengths, directory sizes and depth are checked against the target
// partition, the FAT buffer and the image's data before they are used.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fat/RestoreLayout.h"
#include "platform/DiskDriver.h"
#include "records/DirectoryEntry.h"
#include "records/FatEntry.h"

namespace dorvix {

// A FAT16 directory holds at most 65536 entries; deeper trees than this cannot have paths of
// 259 characters (each level adds at least "\X"), the longest a capture carries.
inline constexpr std::uint32_t kMaxDirectoryBytes = 65536 * direntry::kBytes;
inline constexpr unsigned kMaxDirectoryDepth = 130;

// True when the 11 bytes name a volume label fsck.fat accepts: no control characters, none of
// "*+,./:;<=>?[\]|, not starting with a blank.
inline bool labelNameIsValid(std::span<const std::uint8_t> name) {
    constexpr std::string_view kForbidden = "\"*+,./:;<=>?[\\]|";
    if (name.size() < direntry::kShortNameBytes || name[0] == ' ') {
        return false;
    }
    for (std::size_t i = 0; i < direntry::kShortNameBytes; ++i) {
        const std::uint8_t c = name[i];
        if (c < 0x20 || kForbidden.find(static_cast<char>(c)) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// True when the 11 bytes are a short name fsck.fat leaves as it is: no control characters (a
// leading 0x05 aside) or DEL, none of *?<>|"\/:, not starting with a blank.
inline bool shortNameIsValid(std::span<const std::uint8_t> name) {
    constexpr std::string_view kForbidden = "*?<>|\"\\/:";
    if (name.size() < direntry::kShortNameBytes || name[0] == ' ') {
        return false;
    }
    for (std::size_t i = 0; i < direntry::kShortNameBytes; ++i) {
        const std::uint8_t c = name[i];
        if ((c < 0x20 && !(i == 0 && c == 0x05)) || c == 0x7F ||
            kForbidden.find(static_cast<char>(c)) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// The checksum of an 11-byte short name that its long-name slots carry.
inline std::uint8_t shortNameChecksum(std::span<const std::uint8_t> name) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < direntry::kShortNameBytes; ++i) {
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    }
    return sum;
}

struct RebuildContext {
    SectorDisk* disk = nullptr;           // the target's sectors (in the restore: its plan over the image)
    std::uint32_t bytesPerSector = 512;
    std::uint32_t sectorsPerCluster = 0;  // target's (St)
    std::uint32_t clusterScale = 1;       // L = image sectors per cluster / St
    std::uint32_t dataStart = 0;          // first sector of cluster 2 on the target
    std::uint32_t maxCluster = 0;         // highest cluster number of the target partition
    std::uint64_t imageDataBytes = 0;     // bytes of data area the image brought along
    std::span<std::uint8_t> fat;          // the new FAT (entries 0 and 1 already set)
    // The image's own FAT and cluster size. When given, every file and directory must be a
    // single run in it as far as its size reaches: a chain that jumps (a plain dump of a
    // fragmented volume) would restore other clusters' bytes as the file's.
    std::span<const std::uint8_t> imageFat;
    std::uint64_t imageClusterBytes = 0;
};

// The rebuild of a restore planned by `layout`: the target's cluster geometry, the image's data
// the copy brings along, the new FAT to fill and the image's own FAT to check runs against.
RebuildContext restoreRebuildContext(const RestoreLayout& layout, SectorDisk& disk, std::span<std::uint8_t> fat,
                                     std::span<const std::uint8_t> imageFat);

// Reads `count` sectors of one directory from `firstSector` of the target disk (where the data
// copy put it in the image's form), remaps its entries' clusters, chains every file and
// directory in the FAT, descends into subdirectories and writes the directory back in the
// target's form. `self` and `parent` are the directory's own and its parent's target cluster
// (0 for the root), which its "." and ".." entries must name. 0 on success, -1 on a read,
// write or allocation failure or a damaged image: an entry the rebuilt volume could not hold
// as it stands (a long-name slot or a label with clusters, an empty file with a chain, shared
// or overlapping runs, "." or ".." naming the wrong directory, entries behind an end marker).
int rebuildDirectory(const RebuildContext& context, std::uint32_t firstSector, std::uint32_t count,
                     unsigned depth = 0, std::uint32_t self = 0, std::uint32_t parent = 0);

}  // namespace dorvix
