#include "jobs/PayloadList.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>

#include "fat16/Trace.h"

namespace pellorin {

namespace {

namespace fs = std::filesystem;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::toupper(x) == std::toupper(y);
           });
}

bool startsWithIgnoringCase(std::string_view name, std::string_view prefix) {
    return name.size() >= prefix.size() && equalsIgnoringCase(name.substr(0, prefix.size()), prefix);
}

struct Found {
    fs::path path;
    std::uint32_t size;
};

std::uint32_t sizeOf(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return 0;  // a directory lists with no size
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint32_t>(size);  // the low 32 bits, as a find reports them
}

// The first entry of `directory` (by name, so the choice is the same on every run) whose name
// satisfies `matches`.
template <typename Match>
std::optional<Found> findFirst(const fs::path& directory, Match matches) {
    std::error_code ec;
    std::optional<std::string> best;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (matches(name) && (!best || name < *best)) best = name;
    }
    if (!best) return std::nullopt;
    return Found{directory / *best, sizeOf(directory / *best)};
}

std::optional<Found> findName(const fs::path& directory, std::string_view name) {
    const fs::path exact = directory / name;
    std::error_code ec;
    if (fs::exists(exact, ec)) return Found{exact, sizeOf(exact)};
    return findFirst(directory, [name](const std::string& n) { return equalsIgnoringCase(n, name); });
}

// "FLASH.IMG" -> every "FLASH.*".
std::optional<Found> findAnyExtension(const fs::path& directory, std::string_view name) {
    const std::string_view prefix = name.substr(0, name.rfind('.') + 1);
    return findFirst(directory, [prefix](const std::string& n) { return startsWithIgnoringCase(n, prefix); });
}

}  // namespace

fs::path ProgramDirectory() {
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : program.parent_path();
}

PayloadList BuildPayloadList(const fs::path& payloadDirectory) {
    PayloadList list;
    for (std::string_view name : kPayloadNames) {
        std::optional<Found> found = findName(payloadDirectory, name);
        std::string candidate = (payloadDirectory / name).string();
        if (!found && name == "FLASH.IMG") {
            found = findAnyExtension(payloadDirectory, name);
            candidate = candidate.substr(0, candidate.rfind('.') + 1) + "*";
        }
        if (!found) {
            ReportError(candidate.c_str(), ENOENT);
            list.missing.push_back(candidate);
            continue;
        }
        const std::string path = found->path.string();
        list.files.append(path).push_back('\0');
        list.paths.push_back(path);
        list.sizes.push_back(found->size);
        list.totalSize += found->size;
    }
    list.files.push_back('\0');
    return list;
}

}  // namespace pellorin
