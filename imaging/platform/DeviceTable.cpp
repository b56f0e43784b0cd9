#include "platform/DeviceTable.h"

#include "platform/PlatformTexts.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

namespace dorvix {

namespace {

constexpr unsigned kLargestDeviceNumber = 255;  // device numbers are 8-bit
constexpr char kDefaultTableFile[] = "/etc/dorvix/devices";

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
    DeviceTable table = parse(contents, file.string(), toStderr);
    table.m_origin = std::string(text::kOriginFile) + file.string();
    return table;
}

namespace {

std::string readLine(const std::filesystem::path& file) {
    std::string text;
    if (std::FILE* in = std::fopen(file.c_str(), "rb"); in != nullptr) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, in) != nullptr) {
            text = buffer;
        }
        std::fclose(in);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool startsWith(const std::string& name, std::string_view prefix) { return name.rfind(prefix, 0) == 0; }

}  // namespace

bool kernelNameLess(const std::string& a, const std::string& b) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    // SCSI, virtio, IDE and Xen disks count their letters up as sdy, sdz, sdaa: within one
    // such family a shorter suffix comes first.
    for (const std::string_view family : {"sd", "vd", "hd", "xvd"}) {
        const auto suffix = [&](const std::string& name) {
            if (name.size() <= family.size() || name.compare(0, family.size(), family) != 0) {
                return std::string_view();
            }
            std::string_view rest(name);
            rest.remove_prefix(family.size());
            for (char c : rest) {
                if (c < 'a' || c > 'z') {
                    return std::string_view();
                }
            }
            return rest;
        };
        const std::string_view sa = suffix(a);
        const std::string_view sb = suffix(b);
        if (!sa.empty() && !sb.empty()) {
            return sa.size() != sb.size() ? sa.size() < sb.size() : sa < sb;
        }
    }
    // Otherwise runs of digits by value (nvme2n1 before nvme10n1), everything else as text.
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && isDigit(a[ei])) ++ei;
            while (ej < b.size() && isDigit(b[ej])) ++ej;
            std::string_view ra(a.data() + i, ei - i);
            std::string_view rb(b.data() + j, ej - j);
            while (ra.size() > 1 && ra.front() == '0') ra.remove_prefix(1);
            while (rb.size() > 1 && rb.front() == '0') rb.remove_prefix(1);
            if (ra.size() != rb.size()) {
                return ra.size() < rb.size();
            }
            if (ra != rb) {
                return ra < rb;
            }
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j]) {
            return a[i] < b[j];
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<SysfsDisk> listWholeDisks(const std::filesystem::path& sysfsRoot) {
    std::vector<SysfsDisk> disks;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(sysfsRoot / "block", error)) {
        const std::string name = entry.path().filename().string();
        if (startsWith(name, "loop") || startsWith(name, "zram") || startsWith(name, "ram") ||
            startsWith(name, "sr")) {
            continue;
        }
        const auto node = entry.path();
        if (!readLine(node / "partition").empty()) {
            continue;  // /sys/block lists whole disks only; a staged or odd tree may not
        }
        std::error_code slavesError;
        if (!std::filesystem::is_empty(node / "slaves", slavesError) && !slavesError) {
            continue;  // device-mapper, md: built on other disks, which are listed themselves
        }
        if (readLine(node / "size") == "0" || readLine(node / "device" / "type") == "5") {
            continue;  // no medium; an optical drive under another name
        }
        disks.push_back({name, readLine(node / "removable") == "1"});
    }
    std::sort(disks.begin(), disks.end(), [](const SysfsDisk& a, const SysfsDisk& b) {
        if (a.removable != b.removable) {
            return !a.removable;
        }
        return kernelNameLess(a.name, b.name);
    });
    return disks;
}

DeviceTable DeviceTable::fromSysfs(const std::filesystem::path& sysfsRoot, const std::filesystem::path& devRoot) {
    DeviceTable table;
    table.m_origin = std::string(text::kOriginSysfs) + (sysfsRoot / "block").string();
    unsigned number = 1;
    for (const SysfsDisk& disk : listWholeDisks(sysfsRoot)) {
        if (number > 9) {
            break;
        }
        DeviceTableEntry entry;
        entry.path = (devRoot / disk.name).string();
        table.m_entries.emplace(number++, std::move(entry));
    }
    return table;
}

DeviceTable DeviceTable::forThisMachine() {
    const char* named = std::getenv("DORVIX_DEVICES");
    if (named != nullptr && *named != '\0') {
        DeviceTable table = load(named);
        table.m_origin = std::string(text::kOriginEnvironment) + named;
        return table;
    }
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(kDefaultTableFile, error))) {
        return load(kDefaultTableFile);
    }
    return fromSysfs("/sys", "/dev");
}

std::filesystem::path deviceTablePath() {
    const char* named = std::getenv("DORVIX_DEVICES");
    if (named != nullptr && *named != '\0') {
        return named;
    }
    return kDefaultTableFile;
}

}  // namespace dorvix
