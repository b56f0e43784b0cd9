#include "disk/BiosCompatibility.h"

#include "disk/DiskTexts.h"
#include "platform/ProcessFlags.h"
#include "records/ByteOrder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

namespace dorvix {

namespace {

constexpr std::size_t kScanLimit = 0xFFF0;  // the last paragraph is not examined
constexpr std::size_t kBiosVersionBuffer = 256;

std::uint8_t byteSum(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : bytes) {
        sum = static_cast<std::uint8_t>(sum + b);
    }
    return sum;
}

bool entryPointAccepted(std::span<const std::uint8_t> window, std::size_t offset) {
    auto entry = window.subspan(offset);
    if (entry.size() < kEntryFieldsEnd || !std::equal(entry.begin(), entry.begin() + 4, "_SM_")) {
        return false;
    }
    std::size_t length = entry[kEntryLength];
    if (length > entry.size()) {
        return false;  // the checksummed bytes would run past the window
    }
    if (length != 0) {
        if (byteSum(entry.first(length)) != 0) {
            return false;
        }
        if (length > kEntryIntermediateStart &&
            byteSum(entry.subspan(kEntryIntermediateStart, length - kEntryIntermediateStart)) != 0) {
            return false;
        }
    }
    std::uint32_t table = load32(entry, kEntryTableAddress);
    return table >= kSmbiosWindowBase && table < kSmbiosWindowBase + kSmbiosWindowSize;
}

// Offset just past the string set that starts at `offset` (past its two closing zero bytes),
// or none when the set is not closed inside the window.
std::optional<std::size_t> endOfStringSet(std::span<const std::uint8_t> window, std::size_t offset) {
    for (std::size_t i = offset; i + 1 < window.size(); ++i) {
        if (window[i] == 0 && window[i + 1] == 0) {
            return i + 2;
        }
    }
    return std::nullopt;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

bool hasAnchor(std::span<const std::uint8_t> bytes, std::string_view anchor) {
    return bytes.size() >= anchor.size() && std::equal(anchor.begin(), anchor.end(), bytes.begin());
}

// At most `limit` bytes of a file; none when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> readFileBytes(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(limit);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(limit));
    if (in.bad()) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

std::optional<SmbiosTables> tablesInWindow(std::vector<std::uint8_t> window, std::string source) {
    if (window.empty()) {
        return std::nullopt;
    }
    auto table = findSmbiosTable(window);
    if (!table) {
        return std::nullopt;
    }
    return SmbiosTables{std::move(window), *table, std::move(source)};
}

// The type-0 version of the table inside `bytes`.
bool versionFromTable(std::span<const std::uint8_t> bytes, SmbiosTable table, std::string& version,
                      std::size_t& size, std::size_t capacity, bool debug) {
    auto type0 = findSmbiosStructure(bytes, table, 0);
    if (debug) {
        showStatus(nullptr, text::kSmbiosTable, table.count, static_cast<const void*>(bytes.data() + table.offset));
        showStatus(nullptr, text::kSmbiosType0At, type0 ? static_cast<const void*>(bytes.data() + *type0) : nullptr);
    }
    if (!type0) {
        if (debug) {
            showStatus(nullptr, text::kSmbiosNoType0);
        }
        return false;
    }
    std::size_t formatted = bytes[*type0 + kStructLength];
    unsigned number = formatted > kBiosInfoVersionString ? bytes[*type0 + kBiosInfoVersionString] : 0;
    std::string found = getSmbiosString(bytes, *type0 + formatted, number);
    size = found.size() + 1;
    if (debug) {
        showStatus(nullptr, text::kSmbiosVersionRead, found.c_str());
    }
    if (found.size() >= capacity) {
        return false;
    }
    version = std::move(found);
    return true;
}

}  // namespace

std::optional<SmbiosTable> findSmbiosTable(std::span<const std::uint8_t> window) {
    for (std::size_t offset = 0; offset < kScanLimit && offset < window.size(); offset += 16) {
        if (!entryPointAccepted(window, offset)) {
            continue;
        }
        auto entry = window.subspan(offset);
        return SmbiosTable{load32(entry, kEntryTableAddress) - kSmbiosWindowBase,
                           load16(entry, kEntryStructureCount)};
    }
    return std::nullopt;
}

std::optional<std::size_t> findSmbiosStructure(std::span<const std::uint8_t> window,
                                               SmbiosTable table, std::uint8_t type) {
    std::size_t offset = table.offset;
    for (unsigned i = 0; i < table.count; ++i) {
        if (offset + kStructHeaderSize > window.size()) {
            return std::nullopt;
        }
        std::size_t formatted = window[offset + kStructLength];
        if (formatted < kStructHeaderSize || offset + formatted > window.size()) {
            return std::nullopt;
        }
        // A structure counts only whole: its string set closed inside the bytes read.
        auto next = endOfStringSet(window, offset + formatted);
        if (!next) {
            return std::nullopt;
        }
        if (window[offset + kStructType] == type) {
            return offset;
        }
        if (table.count == kNoStructureCount && window[offset + kStructType] == kEndOfTableType) {
            return std::nullopt;  // a table without a count ends here
        }
        offset = *next;
    }
    return std::nullopt;
}

std::string getSmbiosString(std::span<const std::uint8_t> window, std::size_t setOffset,
                            unsigned number) {
    if (number == 0) {
        return {};
    }
    std::size_t offset = setOffset;
    for (unsigned n = 1;; ++n) {
        if (offset >= window.size() || window[offset] == 0) {
            return {};  // end of the set, or of the window
        }
        auto text = window.subspan(offset);
        auto end = std::find(text.begin(), text.end(), std::uint8_t{0});
        if (end == text.end()) {
            return {};  // string not terminated inside the window
        }
        if (n == number) {
            return std::string(text.begin(), end);
        }
        offset += static_cast<std::size_t>(end - text.begin()) + 1;
    }
}

bool getBiosVersion(std::span<const std::uint8_t> window, std::string& version, std::size_t& size,
                    std::size_t capacity, bool debug) {
    auto table = findSmbiosTable(window);
    if (!table) {
        if (debug) {
            showStatus(nullptr, text::kSmbiosNotFound);
        }
        return false;
    }
    return versionFromTable(window, *table, version, size, capacity, debug);
}

bool getBiosVersion(const SmbiosTables& tables, std::string& version, std::size_t& size, std::size_t capacity,
                    bool debug) {
    if (debug) {
        showStatus(nullptr, text::kSmbiosSource, tables.source.c_str());
    }
    return versionFromTable(tables.bytes, tables.table, version, size, capacity, debug);
}

std::optional<SmbiosEntryPoint> parseSmbiosEntryPoint(std::span<const std::uint8_t> entry) {
    SmbiosEntryPoint found;
    std::size_t length = 0;
    if (hasAnchor(entry, "_SM3_")) {
        if (entry.size() < kEntry3FieldsEnd) {
            return std::nullopt;
        }
        length = entry[kEntry3Length];
        if (length < kEntry3FieldsEnd || length > entry.size() || byteSum(entry.first(length)) != 0) {
            return std::nullopt;
        }
        found = SmbiosEntryPoint{3, load32(entry, kEntry3TableMaxSize), kNoStructureCount};
    } else if (hasAnchor(entry, "_SM_")) {
        if (entry.size() < kEntryFieldsEnd) {
            return std::nullopt;
        }
        // Some 2.1 firmware reports 0x1E for its 0x1F bytes; the fields used lie below 30.
        length = entry[kEntryLength];
        if (length < kEntryFieldsEnd || length > entry.size() || byteSum(entry.first(length)) != 0 ||
            !hasAnchor(entry.subspan(kEntryIntermediateStart), "_DMI_") ||
            byteSum(entry.subspan(kEntryIntermediateStart, length - kEntryIntermediateStart)) != 0) {
            return std::nullopt;
        }
        found = SmbiosEntryPoint{2, load16(entry, kEntryTableLength), load16(entry, kEntryStructureCount)};
    } else {
        return std::nullopt;
    }
    if (found.tableLength < kStructHeaderSize || found.tableLength > kMaxSmbiosTableSize) {
        return std::nullopt;
    }
    return found;
}

std::optional<SmbiosTables> readSysfsSmbios(const std::string& sysfsRoot) {
    const std::string folder = sysfsRoot + "/firmware/dmi/tables";
    // Both entry points are shorter than 64 bytes; more than that is not an entry point.
    auto entryBytes = readFileBytes(folder + "/smbios_entry_point", 64);
    if (!entryBytes) {
        return std::nullopt;
    }
    auto entry = parseSmbiosEntryPoint(*entryBytes);
    if (!entry) {
        return std::nullopt;
    }
    auto table = readFileBytes(folder + "/DMI", entry->tableLength);
    if (!table || table->size() < entry->tableLength) {
        return std::nullopt;  // a table cut short is no table
    }
    return SmbiosTables{std::move(*table), SmbiosTable{0, entry->count},
                        (entry->major == 3 ? "3.x tables in " : "2.x tables in ") + folder};
}

std::vector<std::uint8_t> readBiosWindow() {
    const char* fromEnv = std::getenv("DORVIX_SMBIOS_WINDOW");
    std::string path = fromEnv != nullptr && *fromEnv != '\0' ? fromEnv : "/dev/mem";
    std::streamoff offset = fromEnv != nullptr && *fromEnv != '\0' ? 0 : kSmbiosWindowBase;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::vector<std::uint8_t> window(kSmbiosWindowSize, 0);
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(window.size()));
    if (in.gcount() <= 0) {
        return {};
    }
    // A shorter window file is zero-filled to the full window.
    return window;
}

std::optional<SmbiosTables> readSmbios(const std::string& sysfsRoot) {
    if (const char* fromEnv = std::getenv("DORVIX_SMBIOS_WINDOW"); fromEnv != nullptr && *fromEnv != '\0') {
        return tablesInWindow(readBiosWindow(), std::string("the BIOS window in ") + fromEnv);
    }
    if (auto kernel = readSysfsSmbios(sysfsRoot)) {
        return kernel;
    }
    return tablesInWindow(readBiosWindow(), "the BIOS window in /dev/mem");
}

bool biosVersionAccepted(std::string_view version, std::string_view targetBios) {
    std::string family = upper(version.substr(0, std::min(version.find(' '), version.size())));
    std::string list = upper(targetBios.empty() ? std::string_view(text::kBiosEmptyListStandsFor) : targetBios);
    return list.find(family) != std::string::npos;
}

bool getBiosVersion(std::string& version, std::size_t& size, std::size_t capacity) {
    const bool debug = processFlags().debug;
    auto tables = readSmbios();
    if (!tables) {
        if (debug) {
            showStatus(nullptr, text::kSmbiosNotFound);
        }
        return false;
    }
    return getBiosVersion(*tables, version, size, capacity, debug);
}

bool checkBiosCompatibility(ProgressWindow window, const KmvImageHeader& header) {
    // Without SMBIOS the version stays empty, and an empty version occurs in every list.
    std::string version;
    std::size_t size = kBiosVersionBuffer;
    getBiosVersion(version, size, kBiosVersionBuffer);
    version = upper(version.substr(0, std::min(version.find(' '), version.size())));
    std::string list = headerTargetBios(header);
    if (processFlags().debug) {
        showError(window, text::kBiosDebug, version.c_str(), list.c_str());
    }
    if (biosVersionAccepted(version, list)) {
        return true;
    }
    showError(window, text::kBiosNotSupported);
    return false;
}

std::string cutTargetBiosList(std::string_view list) {
    if (list.size() <= kmvheader::kTargetBiosMaxLength) {
        return std::string(list);
    }
    // The comma after the last code that fits lies at most at position 255.
    std::size_t comma = list.rfind(',', kmvheader::kTargetBiosMaxLength);
    return comma == std::string_view::npos ? std::string() : std::string(list.substr(0, comma));
}

}  // namespace dorvix
