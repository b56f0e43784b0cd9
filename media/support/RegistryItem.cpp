#include "support/RegistryItem.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>
#include <utility>

namespace pellorin {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

struct RootName {
    const char* name;
    RegistryRoot root;
};
constexpr RootName kRoots[] = {
    {"\\ClassesRoot", RegistryRoot::ClassesRoot},
    {"\\CurrentUser", RegistryRoot::CurrentUser},
    {"\\LocalMachine", RegistryRoot::LocalMachine},
    {"\\Users", RegistryRoot::Users},
    {"\\PerformanceData", RegistryRoot::PerformanceData},
    {"\\CurrentConfig", RegistryRoot::CurrentConfig},
    {"\\DynData", RegistryRoot::DynData},
};

bool onlyBackslashes(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\\'; });
}

std::string stripBackslashes(std::string text) {
    const auto first = text.find_first_not_of('\\');
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of('\\');
    return text.substr(first, last - first + 1);
}

}  // namespace

COXRegistryItem::COXRegistryItem(CRegistryStore& store, std::string fullRegistryItem)
    : m_store(store), m_sFullRegistryItem(std::move(fullRegistryItem)) {}

COXRegistryItem::~COXRegistryItem() { CloseKey(); }

void COXRegistryItem::SplitFullName() {
    if (m_bPartsCurrent) return;
    std::string rest = m_sFullRegistryItem;
    m_sMachineName.clear();
    m_sRegistryName.clear();
    m_sKeyName.clear();
    m_sValueName.clear();

    if (rest.starts_with("\\\\")) {
        const auto end = rest.find('\\', 2);
        m_sMachineName = rest.substr(0, end);
        rest = end == std::string::npos ? std::string() : rest.substr(end);
    }
    for (const RootName& root : kRoots) {
        const std::string_view name(root.name);
        if (rest.size() >= name.size() && equalsNoCase(std::string_view(rest).substr(0, name.size()), name) &&
            (rest.size() == name.size() || rest[name.size()] == '\\')) {
            m_sRegistryName = rest.substr(0, name.size());
            rest = rest.substr(name.size());
            break;
        }
    }
    const auto lastSlash = rest.rfind('\\');
    if (lastSlash != std::string::npos) {
        m_sKeyName = rest.substr(0, lastSlash + 1);
        m_sValueName = rest.substr(lastSlash + 1);
    } else {
        m_sValueName = rest;
    }

    // Normalise each part: its leading (and, for a key, trailing) backslashes, and a part made
    // only of backslashes is empty.
    if (onlyBackslashes(m_sMachineName)) m_sMachineName.clear();
    else m_sMachineName = "\\\\" + stripBackslashes(m_sMachineName);
    if (onlyBackslashes(m_sRegistryName)) m_sRegistryName.clear();
    else m_sRegistryName = "\\" + stripBackslashes(m_sRegistryName);
    if (onlyBackslashes(m_sKeyName)) m_sKeyName.clear();
    else m_sKeyName = "\\" + stripBackslashes(m_sKeyName) + "\\";
    if (!m_sKeyName.empty() && m_sRegistryName.empty()) m_sRegistryName = "\\CurrentUser";
    m_bPartsCurrent = true;
}

std::string COXRegistryItem::GetMachineName() {
    SplitFullName();
    return m_sMachineName;
}
std::string COXRegistryItem::GetRegistryName() {
    SplitFullName();
    return m_sRegistryName;
}
std::string COXRegistryItem::GetKeyName() {
    SplitFullName();
    return m_sKeyName;
}
std::string COXRegistryItem::GetValueName() {
    SplitFullName();
    return m_sValueName;
}

RegistryRoot COXRegistryItem::GetRoot() {
    SplitFullName();
    for (const RootName& root : kRoots) {
        if (equalsNoCase(m_sRegistryName, root.name)) return root.root;
    }
    return RegistryRoot::CurrentUser;
}

BOOL COXRegistryItem::OpenKey(REGSAM samDesired) {
    CloseKey();
    SplitFullName();
    m_lastError = 0;
    LONG result = m_store.OpenRoot(m_sMachineName, GetRoot(), m_hRootKey);
    if (result == ERROR_SUCCESS) result = m_store.OpenKey(m_hRootKey, stripBackslashes(m_sKeyName), samDesired, m_hKey);
    if (result != ERROR_SUCCESS) {
        CloseKey();
        m_lastError = HResultFromError(result);
        return FALSE;
    }
    return TRUE;
}

BOOL COXRegistryItem::GetBinaryValue(std::vector<BYTE>& data, const std::string& pszValueName) {
    SplitFullName();
    std::string name = pszValueName.empty() ? m_sValueName : pszValueName;
    if (equalsNoCase(name, "NoName")) name.clear();

    if (m_hKey == 0 && !OpenKey(KEY_ALL_ACCESS) && !OpenKey(KEY_QUERY_VALUE)) return FALSE;
    m_lastError = 0;

    DWORD type = 0;
    std::vector<BYTE> value;
    const LONG result = m_store.QueryValue(m_hKey, name, type, value);
    if (result != ERROR_SUCCESS) {
        m_lastError = HResultFromError(result);
    } else if (type != REG_BINARY) {
        m_lastError = HResultFromError(ERROR_INVALID_DATA);
    } else if (!value.empty()) {
        data = std::move(value);
    }
    return m_lastError >= 0 ? TRUE : FALSE;
}

void COXRegistryItem::CloseKey() {
    if (m_hKey != 0) {
        const LONG result = m_store.CloseKey(m_hKey);
        if (result != ERROR_SUCCESS) m_lastError = HResultFromError(result);
        m_hKey = 0;
    }
    if (m_hRootKey != 0) {
        const LONG result = m_store.CloseKey(m_hRootKey);
        if (result != ERROR_SUCCESS) m_lastError = HResultFromError(result);
        m_hRootKey = 0;
    }
}

std::string MountedDeviceValueName(const std::string& diskName) { return "\\DosDevices\\" + diskName; }

CSysfsRegistryStore::CSysfsRegistryStore(std::filesystem::path sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)) {}

LONG CSysfsRegistryStore::OpenRoot(const std::string& machine, RegistryRoot root, RegistryKey& key) {
    key = 0;
    if (!machine.empty()) return ERROR_BAD_NETPATH;  // no remote registries here
    if (root != RegistryRoot::LocalMachine) return ERROR_FILE_NOT_FOUND;
    key = m_next++;
    m_open[key] = 0;
    return ERROR_SUCCESS;
}

LONG CSysfsRegistryStore::OpenKey(RegistryKey parent, const std::string& path, REGSAM access, RegistryKey& key) {
    key = 0;
    const auto it = m_open.find(parent);
    if (it == m_open.end() || it->second != 0) return ERROR_INVALID_HANDLE;
    if (!equalsNoCase(path, "SYSTEM\\MountedDevices")) return ERROR_FILE_NOT_FOUND;
    if ((access & ~KEY_READ) != 0) return ERROR_ACCESS_DENIED;  // the kernel's table is read-only
    key = m_next++;
    m_open[key] = 1;
    return ERROR_SUCCESS;
}

LONG CSysfsRegistryStore::QueryValue(RegistryKey key, const std::string& name, DWORD& type,
                                     std::vector<BYTE>& data) {
    const auto it = m_open.find(key);
    if (it == m_open.end() || it->second != 1) return ERROR_INVALID_HANDLE;
    const std::string prefix = "\\DosDevices\\";
    if (name.size() <= prefix.size() || !equalsNoCase(std::string_view(name).substr(0, prefix.size()), prefix))
        return ERROR_FILE_NOT_FOUND;
    const std::string device = name.substr(prefix.size());
    if (device.find('/') != std::string::npos || device == "." || device == "..") return ERROR_FILE_NOT_FOUND;

    // A whole disk is /sys/block/<name>; a partition is /sys/block/<disk>/<name>.
    std::error_code ec;
    std::filesystem::path devFile = m_sysfsRoot / "block" / device / "dev";
    if (!std::filesystem::is_regular_file(devFile, ec)) {
        devFile.clear();
        for (const auto& disk : std::filesystem::directory_iterator(m_sysfsRoot / "block", ec)) {
            const auto candidate = disk.path() / device / "dev";
            if (std::filesystem::is_regular_file(candidate, ec)) {
                devFile = candidate;
                break;
            }
        }
        if (devFile.empty()) return ERROR_FILE_NOT_FOUND;
    }
    std::ifstream in(devFile);
    std::string number;
    if (!std::getline(in, number) || number.empty()) return ERROR_FILE_NOT_FOUND;
    type = REG_BINARY;
    data.assign(number.begin(), number.end());
    return ERROR_SUCCESS;
}

LONG CSysfsRegistryStore::CloseKey(RegistryKey key) { return m_open.erase(key) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

}  // namespace pellorin
