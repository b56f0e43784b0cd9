#pragma once
// Walks the entries of one directory of a mounted FatVolume and hands each entry, with its
// full path, to a visitor. The walker does not recurse by itself: a visitor that wants to
// descend calls `walkDirectory` again for the subdirectory's first cluster with the path it was
// given (the path buffer is the caller's and is restored after every visitor call).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "fat/FatVolume.h"
#include "records/DirectoryEntry.h"

namespace dorvix {

// Longest path (UTF-16 characters) the walker builds; a deeper tree fails the walk. The
// longest path the device opens (260 characters with the terminator): room for a name of 255
// characters below the root or below a folder of up to three.
inline constexpr std::size_t kMaxPathChars = 259;
// Entries a long-name set can leave behind at the end of a cluster for the next one.
inline constexpr std::size_t kCarryEntries = 20;

// What a visitor tells the walk after an item.
enum class Visit {
    Next,   // go on with the next item
    Stop,   // end the walk: its result is WalkResult::Stopped
    Abort,  // fail the walk: its result is WalkResult::Failed
};

// How a scan of entries or the walk of a directory ended.
enum class WalkResult {
    Done,      // every entry visited (a directory: its chain ended without an end entry)
    EndEntry,  // the end entry was reached
    Stopped,   // a visitor said Visit::Stop
    Failed,    // a visitor said Visit::Abort, a path grew too long, a cluster could not be read,
               // or a directory's chain leaves the volume or runs in a cycle
};

// One visited item: it spans entries[index] to entries[index + extra]; its short entry is at
// index + extra, preceded by `extra` long-name entries. `path` holds the item's full path
// ("\A\B"), or the directory's path for entries that have no name ("." and "..", deleted
// entries, labels, the end entry).
struct WalkItem {
    FatVolume& volume;
    std::u16string& path;
    std::span<std::uint8_t> entries;
    std::size_t index;
    std::size_t extra;

    std::size_t shortEntry() const { return index + extra; }
    // Byte offset of the short entry in `entries`.
    std::size_t shortEntryOffset() const { return shortEntry() * direntry::kBytes; }
    std::uint8_t firstByte() const { return entries[shortEntryOffset()]; }
    std::uint8_t attributes() const { return entries[shortEntryOffset() + direntry::kAttributes]; }
};

// Which items reach the visitor.
enum class WalkFilter {
    EveryEntry,        // every item, also ".", "..", deleted, label, stray long-name and end entries
    ShortEntriesOnly,  // files and directories only: their named short entries (with their long names)
};

// Called for each item; a visitor that descends calls walkDirectory again from inside.
using EntryVisitor = std::function<Visit(const WalkItem& item)>;

// Walks one directory: first cluster 0 is the root directory, any other the first cluster of a
// subdirectory, whose clusters are scanned one after the other until its end entry, the end of
// its chain, a stop or a failure.
WalkResult walkDirectory(FatVolume& volume, std::u16string& path, std::uint16_t firstCluster,
                         const EntryVisitor& visitor, WalkFilter filter = WalkFilter::EveryEntry);

// Visits `count` entries of `entries`. Long-name sets that do not end inside the block go to
// `carry` (when given, at most kCarryEntries entries) instead of the visitor.
// A path longer than kMaxPathChars fails the scan.
WalkResult scanEntries(FatVolume& volume, std::u16string& path, std::span<std::uint8_t> entries,
                       std::size_t count, std::span<std::uint8_t>* carry, const EntryVisitor& visitor,
                       WalkFilter filter = WalkFilter::EveryEntry);

// Name of the entry at `index`: the long name of a set that starts there (extra = entries in
// the set), or the short name "NAME.EXT"; none for ".", "..", deleted, end, label entries and
// long-name entries met outside the start of their set.
std::optional<std::u16string> entryName(std::span<const std::uint8_t> entries, std::size_t index,
                                        std::size_t& extra);

// Where `path` stands to `target`.
enum class PathRelation {
    Same,       // the same path
    Ancestor,   // `path` is an ancestor of `target`
    Below,      // `path` lies below `target`
    Unrelated,  // neither
};

// Compares paths component by component ("\" separates), ignoring case. Whole components
// only: "\Documents and Settings Old" does not match "\Documents and Settings".
PathRelation comparePaths(std::u16string_view target, std::u16string_view path);

// ASCII case folding used for names and paths.
char16_t foldCase(char16_t c);

// Small helpers over one 32-byte entry.
inline std::uint8_t entryFirstByte(std::span<const std::uint8_t> entries, std::size_t index) {
    return entries[index * direntry::kBytes];
}
inline std::uint8_t entryAttributes(std::span<const std::uint8_t> entries, std::size_t index) {
    return entries[index * direntry::kBytes + direntry::kAttributes];
}

}  // namespace dorvix
