#include "platform/DeviceTable.h"

#include "platform/PlatformTexts.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

namespace dorvix {

namespace {

constexpr unsigned kLargestDeviceNumber = 255;  // device numbers are 8-bit

std::vector<std::string_view> splitWords(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r')) {
            ++pos;
        }
        const std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\r') {
            ++pos;
        }
        if (pos > start) {
            words.push_back(line.substr(start, pos - start));
        }
    }
    return words;
}

// Decimal digits only, at most 32 bits.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t largest) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > largest) {
            return std::nullopt;
        }
    }
    return value;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// "DSKn:" with n a decimal device number.
std::optional<unsigned> parseDeviceName(std::string_view word) {
    if (word.size() < 5 || !equalsIgnoringCase(word.substr(0, 3), "DSK") || word.back() != ':') {
        return std::nullopt;
    }
    const auto number = parseNumber(word.substr(3, word.size() - 4), kLargestDeviceNumber);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<unsigned>(*number);
}

}  // namespace

const DeviceTableEntry* DeviceTable::find(unsigned deviceNumber) const {
    const auto it = m_entries.find(deviceNumber);
    return it == m_entries.end() ? nullptr : &it->second;
}

DeviceTable DeviceTable::parse(std::string_view text, std::string_view source,
                               const std::function<void(const std::string&)>& report) {
    DeviceTable table;
    std::set<unsigned> duplicated;
    unsigned lineNumber = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
            line = line.substr(0, hash);
        }
        const auto words = splitWords(line);
        if (words.empty()) {
            continue;
        }
        const auto complain = [&](std::string_view what, std::string_view word) {
            char prefix[64];
            std::snprintf(prefix, sizeof prefix, ":%u: ", lineNumber);
            report(std::string(text::kTableLinePrefix) + std::string(source) + prefix + std::string(what) +
                   std::string(word));
        };

        const auto number = parseDeviceName(words[0]);
        if (!number) {
            complain(text::kTableBadDevice, words[0]);
            continue;
        }
        if (words.size() < 2) {
            complain(text::kTableNoPath, words[0]);
            continue;
        }
        DeviceTableEntry entry;
        entry.path = std::string(words[1]);
        bool good = true;
        for (std::size_t i = 2; i < words.size() && good; ++i) {
            const std::string_view word = words[i];
            const std::size_t eq = word.find('=');
            const std::string_view key = word.substr(0, eq == std::string_view::npos ? word.size() : eq);
            std::optional<std::uint32_t>* field = nullptr;
            if (key == "heads") {
                field = &entry.heads;
            } else if (key == "sectors") {
                field = &entry.sectors;
            } else if (key == "total") {
                field = &entry.total;
            } else if (key == "bytes") {
                field = &entry.bytes;
            }
            if (field == nullptr || eq == std::string_view::npos) {
                complain(text::kTableBadSetting, word);
                good = false;
            } else if (field->has_value()) {
                complain(text::kTableRepeatedSetting, word);
                good = false;
            } else {
                const auto value = parseNumber(word.substr(eq + 1), 0xFFFFFFFFu);
                // A sector of 0 bytes cannot hold anything; every transfer would be empty.
                if (!value || (field == &entry.bytes && *value == 0)) {
                    complain(text::kTableBadValue, word);
                    good = false;
                } else {
                    *field = static_cast<std::uint32_t>(*value);
                }
            }
        }
        if (!good) {
            continue;
        }
        if (duplicated.count(*number) != 0 || table.m_entries.count(*number) != 0) {
            // Two lines for one device: neither is trusted, so no disk is written by mistake.
            complain(text::kTableDuplicate, words[0]);
            table.m_entries.erase(*number);
            duplicated.insert(*number);
            continue;
        }
        table.m_entries.emplace(*number, std::move(entry));
    }
    return table;
}

DeviceTable DeviceTable::load(const std::filesystem::path& file) {
    const auto toStderr = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    std::string contents;
    std::FILE* in = std::fopen(file.c_str(), "rb");
    bool readable = in != nullptr;
    if (in != nullptr) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
            contents.append(chunk, got);
        }
        readable = std::ferror(in) == 0;
        std::fclose(in);
    }
    if (!readable) {
        toStderr(std::string(text::kTableUnreadable) + file.string());
        return {};
    }
    return parse(contents, file.string(), toStderr);
}

std::filesystem::path deviceTablePath() {
    const char* named = std::getenv("DORVIX_DEVICES");
    if (named != nullptr && *named != '\0') {
        return named;
    }
    return "/etc/dorvix/devices";
}

}  // namespace dorvix
