#pragma once
// Leaves a folder of the root directory out of a capture by changing the source volume itself:
// the folder's entries and everything below them are marked deleted on the disk and their
// clusters freed in the FAT, so a walk that skips deleted entries never reaches them. Everything
// needed to undo the change is kept in an `Exclusion`; `restoreExcludedFolder` puts the volume
// back (its second FAT then equals the first).
//
// Calls: excludeFolder (after the disk is dismounted, before the copy), the copy,
// restoreExcludedFolder (on success and failure alike).

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "fat/FatVolume.h"

namespace dorvix {

inline constexpr std::u16string_view kExcludedFolder = u"\\Documents and Settings";

// The first bytes of the entries of one directory block before they were marked deleted.
struct SavedEntryBytes {
    std::vector<std::uint8_t> firstBytes;  // one per entry slot; 0 for slots not changed
    std::uint32_t cluster = 0;             // the directory cluster; 0 for the root directory
};

// What one exclusion changed; empty when nothing was excluded.
struct Exclusion {
    std::vector<std::uint8_t> savedFat;
    std::vector<std::uint8_t> savedRoot;
    std::list<SavedEntryBytes> savedEntries;  // in the order the blocks were changed
    bool saved = false;                       // savedFat and savedRoot hold the volume's copies
};

// Marks the folder `target` (an entry of the root directory) and its whole tree deleted and frees
// its clusters, writing the changed directories and both FATs. A target that is not there
// changes nothing on the disk.
void excludeFolder(FatVolume& volume, std::u16string_view target, Exclusion& exclusion);

// Marks the directory entries below `cluster` deleted (when it is a directory), records their
// first bytes in `exclusion`, and frees the chain in the in-memory FAT. The walk stops at
// clusters outside the volume and at clusters already free, so damaged chains end it; trees
// deeper than a path can be are not descended further.
void releaseTree(FatVolume& volume, std::uint16_t cluster, bool isDirectory, Exclusion& exclusion,
                 unsigned depth = 0);

// Writes back the saved FAT (to every FAT copy) and root directory and the saved first bytes of
// every changed directory cluster; clears `exclusion`.
void restoreExcludedFolder(FatVolume& volume, Exclusion& exclusion);

}  // namespace dorvix
