#include "support/FolderStart.h"

#include "platform/FileFind.h"

namespace pellorin {

namespace {

bool holdsControlCharacter(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x01 && c <= 0x1F) return true;
    }
    return false;
}

}  // namespace

std::string ResolveStartFolder(std::string_view text, const std::string& current,
                               const std::function<bool(const std::string&)>& isDirectory) {
    if (text.empty() || holdsControlCharacter(text)) return current;
    std::string path(text);
    if (path.starts_with("\\\\")) {
        // A desktop-style network path, "\\server\share": its backslashes are separators.
        for (char& c : path) {
            if (c == '\\') c = '/';
        }
    }
    if (path.front() != '/') path = current + "/" + path;
    // Repeated separators name the same folder as one ("//server/share" is "/server/share").
    std::string single;
    for (char c : path) {
        if (c != '/' || !single.ends_with('/')) single.push_back(c);
    }
    path = single;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (isDirectory(path)) return path;

    // Prefixes from the left, each ending before a separator: "/", "/a", "/a/b", ...; the full
    // path itself is not among them.
    std::string found = "/";
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!isDirectory(prefix)) break;
        found = prefix;
    }
    return found;
}

std::string ResolveStartFolder(std::string_view text) {
    return ResolveStartFolder(text, CurrentDirectory(), IsDirectory);
}

}  // namespace pellorin
