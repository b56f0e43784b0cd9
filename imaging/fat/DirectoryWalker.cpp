#include "fat/DirectoryWalker.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "records/ByteOrder.h"

namespace dorvix {

namespace {

using namespace direntry;

// Offsets of the 13 UTF-16 characters of a long-name entry.
std::vector<std::u16string_view> components(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(u'\\', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

bool sameComponent(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

char16_t foldCase(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

std::optional<std::u16string> entryName(std::span<const std::uint8_t> entries, std::size_t index,
                                        std::size_t& extra) {
    extra = 0;
    const std::size_t count = entries.size() / kBytes;
    if (index >= count) {
        return std::nullopt;
    }
    const std::uint8_t first = entryFirstByte(entries, index);
    const std::uint8_t attributes = entryAttributes(entries, index);
    if (first == kDot) {
        return std::nullopt;
    }
    if (attributes == kLongName && (first & kLastLongEntry) != 0) {
        const std::size_t n = first & kLongCountMask;
        if (n == 0 || n > kMaxLongSlots || index + n > count) {
            return std::nullopt;
        }
        std::u16string name(n * kLongNameChars, u'\0');
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t base = (index + k) * kBytes;
            const std::size_t position = (n - 1 - k) * kLongNameChars;
            for (std::size_t c = 0; c < kLongNameChars; ++c) {
                name[position + c] = static_cast<char16_t>(load16(entries, base + kLongCharOffsets[c]));
            }
        }
        name.resize(std::min(name.find(u'\0'), name.size()));
        extra = n;
        return name;
    }
    if (first == kDeleted || first == kEndOfDirectory || attributes == kLongName || attributes == kVolumeLabel) {
        return std::nullopt;
    }
    const std::size_t base = index * kBytes;
    std::string shortName(reinterpret_cast<const char*>(&entries[base + kName]), 8);
    shortName.erase(shortName.find_last_not_of(' ') + 1);
    if (entries[base + kExtension] != ' ') {
        std::string extension(reinterpret_cast<const char*>(&entries[base + kExtension]), 3);
        extension.erase(extension.find_last_not_of(' ') + 1);
        shortName += '.' + extension;
    }
    std::u16string name;
    for (const char c : shortName) {
        name.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return name;
}

namespace {

// A short entry of a file or directory: not ".", "..", deleted, the end, a label, or a
// long-name entry that starts no set of its own.
bool namesFileOrDirectory(std::span<const std::uint8_t> entries, std::size_t index) {
    const std::uint8_t first = entryFirstByte(entries, index);
    const std::uint8_t attributes = entryAttributes(entries, index);
    return first != kEndOfDirectory && first != kDot && first != kDeleted && attributes != kLongName &&
           attributes != kVolumeLabel;
}

}  // namespace

WalkResult scanEntries(FatVolume& volume, std::u16string& path, std::span<std::uint8_t> entries,
                       std::size_t count, std::span<std::uint8_t>* carry, const EntryVisitor& visitor,
                       WalkFilter filter) {
    const bool shortOnly = filter == WalkFilter::ShortEntriesOnly;
    count = std::min(count, entries.size() / kBytes);
    const std::size_t pathLength = path.size();
    std::size_t carried = 0;
    if (carry != nullptr) {
        std::fill(carry->begin(), carry->end(), 0);
    }
    bool overflow = false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t first = entryFirstByte(entries, i);
        const std::uint8_t attributes = entryAttributes(entries, i);
        Visit result = Visit::Next;
        if (first == kEndOfDirectory || first == kDot || first == kDeleted || attributes == kVolumeLabel) {
            if (!shortOnly) {
                result = visitor(WalkItem{volume, path, entries, i, 0});
            }
        } else {
            if (attributes == kLongName && (first & kLastLongEntry) != 0 && i + (first & kLongCountMask) >= count) {
                overflow = true;  // the set ends in the next block
            }
            if (attributes == kLongName && overflow) {
                if (carry != nullptr && (carried + 1) * kBytes <= carry->size()) {
                    std::memcpy(carry->data() + carried * kBytes, &entries[i * kBytes], kBytes);
                    ++carried;
                }
                continue;
            }
            std::size_t extra = 0;
            const std::optional<std::u16string> name = entryName(entries.first(count * kBytes), i, extra);
            path.push_back(u'\\');
            if (name) {
                path += *name;
            }
            if (path.size() > kMaxPathChars) {
                volume.overlongPath = path.size();
                path.resize(pathLength);
                return WalkResult::Failed;
            }
            if (!shortOnly || namesFileOrDirectory(entries, i + extra)) {
                result = visitor(WalkItem{volume, path, entries, i, extra});
            }
            path.resize(pathLength);
            i += extra;
        }
        if (result == Visit::Abort) {
            return WalkResult::Failed;
        }
        if (result == Visit::Stop) {
            return WalkResult::Stopped;
        }
        if (i < count && entryFirstByte(entries, i) == kEndOfDirectory) {
            return WalkResult::EndEntry;
        }
    }
    return WalkResult::Done;
}

WalkResult walkDirectory(FatVolume& volume, std::u16string& path, std::uint16_t firstCluster,
                         const EntryVisitor& visitor, WalkFilter filter) {
    if (firstCluster == 0) {
        const std::size_t count = std::min<std::size_t>(volume.rootEntries, volume.rootDir.size() / kBytes);
        return scanEntries(volume, path, volume.rootDir, count, nullptr, visitor, filter);
    }
    const std::size_t carryBytes = kCarryEntries * kBytes;
    std::vector<std::uint8_t> work(std::size_t{volume.bytesPerCluster} + carryBytes, 0);
    std::vector<std::uint8_t> carry(carryBytes, 0);
    std::span<std::uint8_t> carrySpan(carry);
    std::uint32_t cluster = firstCluster;
    std::uint32_t visited = 0;
    while (cluster < kEndOfChainMin) {
        // A chain that leaves the volume or is longer than the volume is damaged.
        if (!isDataCluster(volume, cluster) || visited > volume.clusterCount) {
            return WalkResult::Failed;
        }
        ++visited;
        std::size_t waiting = 0;
        while (waiting < kCarryEntries && carry[waiting * kBytes] != kEndOfDirectory) {
            ++waiting;
        }
        std::memcpy(work.data(), carry.data(), waiting * kBytes);
        if (readCluster(volume, static_cast<std::uint16_t>(cluster), work.data() + waiting * kBytes,
                        volume.bytesPerCluster) < 0) {
            return WalkResult::Failed;
        }
        const WalkResult result =
            scanEntries(volume, path, work, waiting + volume.entriesPerCluster, &carrySpan, visitor, filter);
        std::fill(work.begin(), work.end(), 0);
        if (result != WalkResult::Done) {
            return result;
        }
        cluster = fatEntry(volume, cluster);
    }
    return WalkResult::Done;
}

PathRelation comparePaths(std::u16string_view target, std::u16string_view path) {
    const auto targetParts = components(target);
    const auto pathParts = components(path);
    const std::size_t common = std::min(targetParts.size(), pathParts.size());
    for (std::size_t k = 0; k < common; ++k) {
        if (!sameComponent(targetParts[k], pathParts[k])) {
            return PathRelation::Unrelated;
        }
    }
    if (common == 0 && targetParts.size() != pathParts.size()) {
        return PathRelation::Unrelated;
    }
    if (targetParts.size() == pathParts.size()) {
        return PathRelation::Same;
    }
    return pathParts.size() < targetParts.size() ? PathRelation::Ancestor : PathRelation::Below;
}

}  // namespace dorvix
