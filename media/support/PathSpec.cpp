#include "support/PathSpec.h"

#include <cctype>
#include <vector>

namespace pellorin {

namespace {

constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxFileName = 255;

bool isControl(char c) { return c >= 0x01 && c <= 0x1F; }

bool refusedInSubdirectory(std::string_view text) {
    for (char c : text) {
        if (isControl(c) || std::string_view("<>\"|:?*").find(c) != std::string_view::npos) return true;
    }
    return false;
}

bool refusedInFileName(std::string_view text) {
    for (char c : text) {
        if (isControl(c) || std::string_view("<>\"|:/\\").find(c) != std::string_view::npos) return true;
    }
    return false;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool hasDrive(std::string_view text) {
    return text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]));
}

}  // namespace

BOOL FullPath(const std::string& path, const std::string& current, std::string& full) {
    std::string prefix;  // "C:" or "\\server\share"
    std::string rest;
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        // A network path: its server and share stay as they are.
        std::size_t end = 2;
        for (int part = 0; part < 2 && end <= path.size(); ++part) {
            while (end < path.size() && !isSeparator(path[end])) ++end;
            if (part == 0 && end < path.size()) ++end;
        }
        prefix = "\\\\" + path.substr(2, end - 2);
        for (char& c : prefix) {
            if (c == '/') c = '\\';
        }
        rest = path.substr(end);
    } else {
        const std::string drive = hasDrive(path) ? path.substr(0, 2) : hasDrive(current) ? current.substr(0, 2) : "";
        rest = hasDrive(path) ? path.substr(2) : path;
        if (rest.empty() || !isSeparator(rest[0])) {
            // Relative: below the current directory on its own drive, else below the root.
            const bool sameDrive = hasDrive(current) && upper(current.substr(0, 2)) == upper(drive);
            rest = (sameDrive ? current.substr(2) : std::string()) + "\\" + rest;
        }
        prefix = drive;
    }

    std::vector<std::string> parts;
    std::string part;
    auto flush = [&] {
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        part.clear();
    };
    for (char c : rest) {
        if (isSeparator(c)) {
            flush();
        } else {
            part.push_back(c);
        }
    }
    flush();

    std::string result = prefix;
    for (const std::string& p : parts) result += "\\" + p;
    if (parts.empty()) result += "\\";
    if (result.size() >= kMaxPath) return FALSE;
    full = result;
    return TRUE;
}

BOOL COXDirSpec::SetDrive(std::string_view text) {
    if (text.empty()) {
        m_sDrive.clear();
        return TRUE;
    }
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return FALSE;
    m_sDrive = upper(text.substr(0, 1)) + ":";
    return TRUE;
}

BOOL COXDirSpec::SetSubdirectory(std::string_view text) {
    if ((text.size() > 1 && text.back() == '\\') || refusedInSubdirectory(text)) return FALSE;
    m_sSubdirectory = upper(text);
    return TRUE;
}

BOOL COXDirSpec::SetDirectory(std::string_view text) {
    if (text.empty()) {
        m_sSubdirectory.clear();
        return TRUE;
    }
    COXDirSpec result;
    if (text.size() >= 2 && text[1] == ':') {
        if (!result.SetDrive(text.substr(0, 2)) || !result.SetSubdirectory(text.substr(2))) return FALSE;
    } else if (!result.SetSubdirectory(text)) {
        return FALSE;
    }
    *this = result;
    return TRUE;
}

BOOL COXDirSpec::SetToCurrentDirectory(const CPathSystem& system) {
    const std::string current = system.currentDirectory ? system.currentDirectory() : std::string();
    if (current.empty()) return FALSE;
    // Only an unreadable current directory is a failure; a part the setters refuse leaves
    // that part as it was.
    SetDrive(current.substr(0, 2));
    SetSubdirectory(current.size() > 2 ? current.substr(2) : "");
    return TRUE;
}

BOOL COXDirSpec::Exists(const CPathSystem& system) const {
    if (m_sSubdirectory.empty() || m_sSubdirectory == "\\") return TRUE;
    return system.isDirectory && system.isDirectory(GetDirectory()) ? TRUE : FALSE;
}

BOOL COXDirSpec::ReduceToLargestExisting(const CPathSystem& system) {
    COXPathSpec full;
    static_cast<COXDirSpec&>(full) = *this;
    full.SetFileName("dummy.tmp");
    if (!full.MakeFullPath(system)) {
        m_sDrive = full.GetDrive();
        m_sSubdirectory = "\\";
        return FALSE;
    }
    *this = static_cast<const COXDirSpec&>(full);
    if (Exists(system)) return TRUE;

    // Prefixes from the left, each ending before a backslash: "\", "\A", "\A\B", ...
    std::string found = "\\";
    for (std::size_t slash = m_sSubdirectory.find('\\', 1); slash != std::string::npos;
         slash = m_sSubdirectory.find('\\', slash + 1)) {
        COXDirSpec prefix;
        prefix.m_sDrive = m_sDrive;
        prefix.m_sSubdirectory = m_sSubdirectory.substr(0, slash);
        if (!prefix.Exists(system)) break;
        found = prefix.m_sSubdirectory;
    }
    m_sSubdirectory = found;
    return TRUE;
}

BOOL COXFileSpec::SetFileName(std::string_view text) {
    if (text.size() > kMaxFileName || refusedInFileName(text)) return FALSE;
    m_sFileName = lower(text);
    return TRUE;
}

std::string COXFileSpec::GetBaseName() const {
    const std::size_t dot = m_sFileName.rfind('.');
    return dot == std::string::npos ? m_sFileName : m_sFileName.substr(0, dot);
}

std::string COXFileSpec::GetExtension() const {
    const std::size_t dot = m_sFileName.rfind('.');
    return dot == std::string::npos ? std::string() : m_sFileName.substr(dot + 1);
}

BOOL COXFileSpec::SetBaseName(std::string_view text) {
    const std::string extension = GetExtension();
    const std::string name = lower(text) + (extension.empty() ? "" : "." + extension);
    if (refusedInFileName(text)) return FALSE;
    return SetFileName(name);
}

BOOL COXFileSpec::SetExtension(std::string_view text) {
    const std::string name = GetBaseName() + (text.empty() ? "" : "." + lower(text));
    if (refusedInFileName(text) || name.size() > kMaxFileName) return FALSE;
    m_sFileName = name;
    return TRUE;
}

std::string COXPathSpec::GetPath() const {
    const std::string directory = GetDirectory();
    const std::string name = GetFileName();
    if (directory.empty()) return name;
    if (name.empty()) return directory;
    if (directory.back() == '\\') return directory + name;
    return directory + "\\" + name;
}

BOOL COXPathSpec::SetPath(std::string_view text) {
    // Split as the runtime's path splitter does: drive, directory, base name, extension.
    std::string_view rest = text;
    std::string_view drive;
    if (rest.size() >= 2 && rest[1] == ':') {
        drive = rest.substr(0, 2);
        rest.remove_prefix(2);
    }
    const std::size_t lastSeparator = rest.find_last_of("\\/");
    std::string directory(lastSeparator == std::string_view::npos ? std::string_view() : rest.substr(0, lastSeparator + 1));
    const std::string_view name = lastSeparator == std::string_view::npos ? rest : rest.substr(lastSeparator + 1);
    const std::size_t dot = name.rfind('.');
    const std::string_view base = dot == std::string_view::npos ? name : name.substr(0, dot);
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (directory.size() > 1 && (directory.back() == '\\' || directory.back() == '/')) directory.pop_back();

    COXPathSpec result = *this;
    if (!result.SetDrive(drive) || !result.SetSubdirectory(directory) || !result.SetExtension(extension) ||
        !result.SetBaseName(base))
        return FALSE;
    *this = result;
    return TRUE;
}

BOOL COXPathSpec::MakeFullPath(const CPathSystem& system) {
    if (GetFileName().empty()) return TRUE;
    std::string full;
    const std::string current = system.currentDirectory ? system.currentDirectory() : std::string();
    if (!FullPath(GetPath(), current, full)) return FALSE;
    return SetPath(full);
}

std::string ResolveStartFolderWindows(std::string_view text, const CPathSystem& system,
                                      const std::function<bool(const std::string&)>& canConnect) {
    COXDirSpec current;
    current.SetToCurrentDirectory(system);
    std::string start(text);
    if (start.empty()) start = current.GetDirectory();

    COXDirSpec directory;
    if (!directory.SetDirectory(start) || directory.GetDirectory().empty()) return current.GetDirectory();

    if (start.size() >= 2 && start[0] == '\\' && start[1] == '\\' && canConnect) {
        if (canConnect(start)) return start;
        const std::size_t serverEnd = start.find('\\', 2);
        const std::string server = start.substr(0, serverEnd);
        if (serverEnd != std::string::npos && canConnect(server)) return server;
    }
    directory.ReduceToLargestExisting(system);
    return directory.GetDirectory();
}

}  // namespace pellorin
