#pragma once
// COXRegistryItem: one registry value named by a single text, "\\Machine\Root\Key\Path\Value",
// read through a CRegistryStore. The class resolves the name (machine, root, key, value name),
// opens the key with full access and falls back to read-only access, and reads binary values;
// every failure is kept as an HRESULT-style last error (0x80070000 | the store's error code).
// pellorin asks it whether a disk is one the system knows as a local device (the drive check of
// the format dialog); on Linux the store answers from the kernel's block devices.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/WinTypes.h"

namespace pellorin {

using LONG = std::int32_t;
using HRESULT = std::int32_t;
using REGSAM = DWORD;

// The registry's error codes that the stores answer with.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_DATA = 13;
inline constexpr LONG ERROR_BAD_NETPATH = 53;

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// The HRESULT of a registry error code: 0 stays 0, anything else is 0x80070000 | code.
constexpr HRESULT HResultFromError(LONG code) {
    return code == 0 ? 0 : static_cast<HRESULT>(0x80070000u | (static_cast<DWORD>(code) & 0xFFFFu));
}

// The predefined root keys.
enum class RegistryRoot {
    ClassesRoot,
    CurrentUser,
    LocalMachine,
    Users,
    PerformanceData,
    CurrentConfig,
    DynData,
};

// An open key of a store; 0 is no key.
using RegistryKey = std::uint64_t;

// Where registry items read from. Every call answers ERROR_SUCCESS or an error code.
class CRegistryStore {
public:
    virtual ~CRegistryStore() = default;
    // The root key of this computer (empty `machine`) or of a named one ("\\NAME").
    virtual LONG OpenRoot(const std::string& machine, RegistryRoot root, RegistryKey& key) = 0;
    // A key below an open one; `path` has no leading or trailing backslash.
    virtual LONG OpenKey(RegistryKey parent, const std::string& path, REGSAM access, RegistryKey& key) = 0;
    // Type and data of a value of an open key; an empty name is the key's default value.
    virtual LONG QueryValue(RegistryKey key, const std::string& name, DWORD& type, std::vector<BYTE>& data) = 0;
    virtual LONG CloseKey(RegistryKey key) = 0;
};

class COXRegistryItem {
public:
    COXRegistryItem(CRegistryStore& store, std::string fullRegistryItem);
    ~COXRegistryItem();
    COXRegistryItem(const COXRegistryItem&) = delete;
    COXRegistryItem& operator=(const COXRegistryItem&) = delete;

    std::string GetFullRegistryItem() const { return m_sFullRegistryItem; }
    std::string GetMachineName();
    std::string GetRegistryName();
    std::string GetKeyName();
    std::string GetValueName();
    // The root the item resolves to (an empty or unknown registry name is the current user).
    RegistryRoot GetRoot();

    // Opens the item's key with `samDesired`; what was open is closed first.
    BOOL OpenKey(REGSAM samDesired);
    // Reads a REG_BINARY value into `data` (left unchanged by a failure or an empty value). The
    // value is `pszValueName`, or the item's own value name when that is empty; "NoName" in any
    // case is the key's default value. Opens the key when none is open, with full access and
    // then read-only.
    BOOL GetBinaryValue(std::vector<BYTE>& data, const std::string& pszValueName = {});
    void CloseKey();

    HRESULT GetLastError() const { return m_lastError; }
    BOOL IsKeyOpen() const { return m_hKey != 0; }

private:
    void SplitFullName();

    CRegistryStore& m_store;
    std::string m_sFullRegistryItem;
    std::string m_sMachineName;
    std::string m_sRegistryName;
    std::string m_sKeyName;
    std::string m_sValueName;
    bool m_bPartsCurrent = false;
    RegistryKey m_hRootKey = 0;
    RegistryKey m_hKey = 0;
    HRESULT m_lastError = 0;
};

// The store over the kernel's block devices under a sysfs root. It knows one key,
// \LocalMachine\SYSTEM\MountedDevices, whose values are named "\DosDevices\<disk>" for every
// block device the kernel lists (whole disks and their partitions, e.g. "\DosDevices\sdb") and
// hold the device's "major:minor" number as REG_BINARY. A name the kernel does not list as a
// local block device (a network share, a path that vanished) has no value.
class CSysfsRegistryStore : public CRegistryStore {
public:
    explicit CSysfsRegistryStore(std::filesystem::path sysfsRoot);
    LONG OpenRoot(const std::string& machine, RegistryRoot root, RegistryKey& key) override;
    LONG OpenKey(RegistryKey parent, const std::string& path, REGSAM access, RegistryKey& key) override;
    LONG QueryValue(RegistryKey key, const std::string& name, DWORD& type, std::vector<BYTE>& data) override;
    LONG CloseKey(RegistryKey key) override;

private:
    std::filesystem::path m_sysfsRoot;
    std::map<RegistryKey, int> m_open;  // key → 0 for the local-machine root, 1 for the table
    RegistryKey m_next = 1;
};

// The key and value name of the mounted-device table that the format checks go through.
inline constexpr const char* kMountedDevicesKey = "\\LocalMachine\\SYSTEM\\MountedDevices\\";
// "\DosDevices\sdb" for the disk "sdb".
std::string MountedDeviceValueName(const std::string& diskName);

}  // namespace pellorin
