#include "jobs/PayloadList.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>

#include "TraceText.h"
#include "fat16/Trace.h"
#include "platform/DriveHandle.h"

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

// The first entry of `directory` (by name, so the choice is the same on every run) whose name
// satisfies `matches`.
template <typename Match>
std::optional<fs::path> findFirst(const fs::path& directory, Match matches) {
    std::error_code ec;
    std::optional<std::string> best;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (matches(it->path(), name) && (!best || name < *best)) best = name;
    }
    if (!best) return std::nullopt;
    return directory / *best;
}

// An entry of that name in any case, whatever it is (a dangling link too).
std::optional<fs::path> findName(const fs::path& directory, std::string_view name) {
    const fs::path exact = directory / name;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(exact, ec))) return exact;
    return findFirst(directory,
                     [name](const fs::path&, const std::string& n) { return equalsIgnoringCase(n, name); });
}

// "FLASH.IMG" -> the first "FLASH.*" that is a regular file (or a link to one).
std::optional<fs::path> findAnyExtension(const fs::path& directory, std::string_view name) {
    const std::string_view prefix = name.substr(0, name.rfind('.') + 1);
    return findFirst(directory, [prefix](const fs::path& path, const std::string& n) {
        std::error_code ec;
        return startsWithIgnoringCase(n, prefix) && fs::is_regular_file(path, ec);
    });
}

// Opens the file as the writer will (no blocking, regular files only) and takes its size;
// the reason it cannot be read otherwise.
bool probe(const fs::path& path, std::uint64_t& size, std::string& reason) {
    const auto file = CFileHandle::OpenRegularFile(path.string());
    if (file && file->Size(size)) return true;
    const int code = errno;
    if (code == EINVAL) {
        reason = "not a regular file";
    } else {
        char text[256];
        GetErrorText(static_cast<DWORD>(code), text, sizeof text);
        reason = text;
    }
    return false;
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
        std::optional<fs::path> found = findName(payloadDirectory, name);
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
        const std::string path = found->string();
        std::uint64_t size = 0;
        std::string reason;
        if (!probe(*found, size, reason)) {
            DebugPrint(1, text::kErrorWithContext, path.c_str(), reason.c_str());
            list.unusable.push_back({path, reason});
            continue;
        }
        list.files.append(path).push_back('\0');
        list.paths.push_back(path);
        list.sizes.push_back(size);
        list.totalSize += size;
    }
    list.files.push_back('\0');
    return list;
}

PayloadSummary SummarizePayload(const fs::path& payloadDirectory) {
    PayloadSummary summary;
    if (payloadDirectory.empty()) return summary;
    std::uint64_t size = 0;
    std::string reason;
    if (const auto kernel = findName(payloadDirectory, "KERNEL.SYS"))
        summary.kernel = probe(*kernel, size, reason) && size > 0;
    std::optional<fs::path> image = findName(payloadDirectory, "FLASH.IMG");
    if (!image) image = findAnyExtension(payloadDirectory, "FLASH.IMG");
    if (image && probe(*image, size, reason)) {
        summary.flashImage = *image;
        summary.flashImageSize = size;
    }
    return summary;
}

}  // namespace pellorin
