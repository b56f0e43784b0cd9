#include "fat/TargetBiosList.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fat/DirectoryWalker.h"
#include "records/ByteOrder.h"

namespace dorvix {

namespace {

// IMAGE.INI is a small settings file; text behind this many bytes is not looked at.
constexpr std::uint32_t kMaxIniBytes = 1024 * 1024;

bool isIniSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldCase(static_cast<unsigned char>(x)) == foldCase(static_cast<unsigned char>(y));
           });
}

std::string_view terminated(std::span<const char> buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    return {buffer.data(), static_cast<std::size_t>(end - buffer.begin())};
}

struct IniSearch {
    std::optional<std::string> value;
};

// Finds \IMAGE.INI among the root's entries, reads it and looks for the key.
// Sees files and directories only (WalkFilter::ShortEntriesOnly).
Visit imageIniVisitor(IniSearch& search, const WalkItem& item) {
    FatVolume& volume = item.volume;
    const std::span<std::uint8_t> entries = item.entries;
    if ((item.attributes() & direntry::kDirectoryBit) != 0 ||
        comparePaths(u"\\IMAGE.INI", item.path) != PathRelation::Same) {
        return Visit::Next;
    }
    const std::size_t base = item.shortEntryOffset();
    const std::uint32_t size = std::min(load32(entries, base + direntry::kSize), kMaxIniBytes);
    std::uint16_t cluster = load16(entries, base + direntry::kFirstCluster);
    const std::uint32_t clusters = size / volume.bytesPerCluster + 1;
    std::vector<std::uint8_t> text(std::size_t{volume.bytesPerCluster} * clusters + 1, 0);
    if (cluster >= kFirstDataCluster && readClusterRun(volume, text.data(), cluster, clusters) < 0) {
        return Visit::Abort;
    }
    text[size] = 0;
    std::optional<std::string> value =
        findKmvBiosValue(terminated({reinterpret_cast<const char*>(text.data()), text.size()}));
    if (!value) {
        return Visit::Next;
    }
    search.value = std::move(value);
    return Visit::Stop;
}

}  // namespace

std::optional<std::size_t> nextIniLine(std::string_view text, std::size_t position, std::span<char> line) {
    std::fill(line.begin(), line.end(), '\0');
    while (position < text.size() && isIniSpace(text[position])) {
        ++position;
    }
    if (position >= text.size()) {
        return std::nullopt;
    }
    std::size_t copied = 0;
    while (position < text.size() && text[position] != '\n' && text[position] != '\r') {
        if (!isIniSpace(text[position]) && copied + 1 < line.size()) {
            line[copied++] = text[position];
        }
        ++position;
    }
    if (copied == 0) {
        return std::nullopt;
    }
    return position;
}

std::optional<std::size_t> nextIniToken(std::string_view line, std::size_t position, std::span<char> token,
                                        const char* delimiters) {
    std::fill(token.begin(), token.end(), '\0');
    const std::string_view stops = delimiters != nullptr ? std::string_view(delimiters) : " \r\n";
    while (position < line.size() && isIniSpace(line[position])) {
        ++position;
    }
    if (position >= line.size()) {
        return std::nullopt;
    }
    std::size_t copied = 0;
    while (position < line.size() && stops.find(line[position]) == std::string_view::npos) {
        // Characters beyond the buffer are passed over so the cut token still ends at its delimiter.
        if (!isIniSpace(line[position]) && copied + 1 < token.size()) {
            token[copied++] = line[position];
        }
        ++position;
    }
    if (copied == 0 || position >= line.size()) {
        return std::nullopt;
    }
    return position + 1;
}

std::optional<std::string> findKmvBiosValue(std::string_view text) {
    char line[kIniLineBytes];
    char key[kIniTokenBytes];
    char value[kIniTokenBytes];
    std::size_t position = 0;
    while (const auto next = nextIniLine(text, position, line)) {
        position = *next;
        const std::string_view lineText = terminated(line);
        const auto afterKey = nextIniToken(lineText, 0, key, "=");
        if (!afterKey || !equalNoCase(terminated(key), "KMVBIOS")) {
            continue;
        }
        nextIniToken(lineText, *afterKey, value, "\r\n");
        std::string list(terminated(value));
        // A list longer than the value's buffer ends after its last whole code, never inside one.
        if (lineText.size() - std::min(lineText.size(), *afterKey) > list.size()) {
            const std::size_t comma = list.rfind(',');
            list.resize(comma == std::string::npos ? 0 : comma);
        }
        return list;
    }
    return std::nullopt;
}

std::optional<std::string> scanTargetBiosList(FatVolume& volume) {
    IniSearch search;
    std::u16string path;
    const std::size_t count = std::min<std::size_t>(volume.rootEntries, volume.rootDir.size() / direntry::kBytes);
    if (scanEntries(volume, path, volume.rootDir, count, nullptr,
                    [&search](const WalkItem& item) { return imageIniVisitor(search, item); },
                    WalkFilter::ShortEntriesOnly) != WalkResult::Stopped) {
        return std::nullopt;
    }
    return search.value;
}

}  // namespace dorvix
