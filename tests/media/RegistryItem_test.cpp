// Registry items: the full-name grammar and its normalisation, the root table, opening with the
// read-only fallback, and reading binary values with the last error, on a made-up store; then
// the kernel-backed store on a fake sysfs tree.

#include "support/RegistryItem.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace pellorin;

// A store of keys under (machine, root, path); keys listed in `readOnly` refuse anything but
// KEY_QUERY_VALUE / KEY_READ access, as HKEY_LOCAL_MACHINE does for an ordinary user.
class FakeStore : public CRegistryStore {
public:
    struct Value {
        DWORD type;
        std::vector<BYTE> data;
    };
    using KeyId = std::tuple<std::string, RegistryRoot, std::string>;

    std::map<KeyId, std::map<std::string, Value>> keys;
    std::set<KeyId> readOnly;
    std::vector<std::string> opened;  // "machine|root|path|access" of each successful open
    int openHandles = 0;

    LONG OpenRoot(const std::string& machine, RegistryRoot root, RegistryKey& key) override {
        if (!machine.empty() && machine != "\\\\SERVER") return ERROR_BAD_NETPATH;
        key = add({machine, root, ""});
        return ERROR_SUCCESS;
    }
    LONG OpenKey(RegistryKey parent, const std::string& path, REGSAM access, RegistryKey& key) override {
        const auto it = m_handles.find(parent);
        if (it == m_handles.end()) return ERROR_INVALID_HANDLE;
        const KeyId id{std::get<0>(it->second), std::get<1>(it->second), path};
        if (!keys.contains(id)) return ERROR_FILE_NOT_FOUND;
        if (readOnly.contains(id) && (access & ~KEY_READ) != 0) return ERROR_ACCESS_DENIED;
        opened.push_back(std::get<0>(id) + "|" + std::to_string(static_cast<int>(std::get<1>(id))) + "|" + path +
                         "|" + std::to_string(access));
        key = add(id);
        return ERROR_SUCCESS;
    }
    LONG QueryValue(RegistryKey key, const std::string& name, DWORD& type, std::vector<BYTE>& data) override {
        const auto values = keys.find(m_handles.at(key));
        const auto value = values->second.find(name);
        if (value == values->second.end()) return ERROR_FILE_NOT_FOUND;
        type = value->second.type;
        data = value->second.data;
        return ERROR_SUCCESS;
    }
    LONG CloseKey(RegistryKey key) override {
        if (m_handles.erase(key) != 1) return ERROR_INVALID_HANDLE;
        --openHandles;
        return ERROR_SUCCESS;
    }

private:
    RegistryKey add(const KeyId& id) {
        m_handles[m_next] = id;
        ++openHandles;
        return m_next++;
    }
    std::map<RegistryKey, KeyId> m_handles;
    RegistryKey m_next = 1;
};

struct SplitCase {
    const char* full;
    const char* machine;
    const char* registry;
    const char* key;
    const char* value;
    RegistryRoot root;
};

TEST(RegistryItem, SplitsAndNormalisesTheFullName) {
    const SplitCase cases[] = {
        {"\\LocalMachine\\SYSTEM\\MountedDevices\\", "", "\\LocalMachine", "\\SYSTEM\\MountedDevices\\", "",
         RegistryRoot::LocalMachine},
        {"\\Software\\X\\Value", "", "\\CurrentUser", "\\Software\\X\\", "Value", RegistryRoot::CurrentUser},
        {"\\\\SERVER\\Users\\.DEFAULT\\Name", "\\\\SERVER", "\\Users", "\\.DEFAULT\\", "Name", RegistryRoot::Users},
        // Roots match in any case, and only as a whole word.
        {"\\localmachine\\A\\", "", "\\localmachine", "\\A\\", "", RegistryRoot::LocalMachine},
        {"\\LocalMachineX\\A\\V", "", "\\CurrentUser", "\\LocalMachineX\\A\\", "V", RegistryRoot::CurrentUser},
        {"\\DynData", "", "\\DynData", "", "", RegistryRoot::DynData},
        {"\\CurrentConfig\\\\", "", "\\CurrentConfig", "", "", RegistryRoot::CurrentConfig},
        {"Value", "", "", "", "Value", RegistryRoot::CurrentUser},
        {"", "", "", "", "", RegistryRoot::CurrentUser},
        {"\\ClassesRoot\\.txt\\\\", "", "\\ClassesRoot", "\\.txt\\", "", RegistryRoot::ClassesRoot},
        {"\\PerformanceData\\V", "", "\\PerformanceData", "", "V", RegistryRoot::PerformanceData},
    };
    FakeStore store;
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.full);
        COXRegistryItem item(store, c.full);
        EXPECT_EQ(item.GetMachineName(), c.machine);
        EXPECT_EQ(item.GetRegistryName(), c.registry);
        EXPECT_EQ(item.GetKeyName(), c.key);
        EXPECT_EQ(item.GetValueName(), c.value);
        EXPECT_EQ(item.GetRoot(), c.root);
    }
    EXPECT_EQ(store.openHandles, 0);  // splitting makes no registry call
}

struct ReadCase {
    const char* name;
    const char* full;
    const char* valueName;
    BOOL result;
    HRESULT lastError;
    std::vector<BYTE> data;  // what the array holds afterwards (it starts as {0xEE})
};

TEST(RegistryItem, ReadsBinaryValuesAndKeepsTheLastError) {
    FakeStore store;
    const FakeStore::KeyId mounted{"", RegistryRoot::LocalMachine, "SYSTEM\\MountedDevices"};
    store.keys[mounted] = {{"\\DosDevices\\E:", {REG_BINARY, {1, 2, 3}}},
                           {"\\DosDevices\\F:", {REG_SZ, {'x', 0}}},
                           {"\\DosDevices\\G:", {REG_BINARY, {}}},
                           {"", {REG_BINARY, {9}}}};
    store.readOnly.insert(mounted);
    store.keys[{"\\\\SERVER", RegistryRoot::CurrentUser, "Software\\X"}] = {{"Value", {REG_BINARY, {7, 7}}}};

    const HRESULT invalidData = static_cast<HRESULT>(0x8007000D);
    const HRESULT notFound = static_cast<HRESULT>(0x80070002);
    const HRESULT badNetPath = static_cast<HRESULT>(0x80070035);
    const ReadCase cases[] = {
        {"binary value through the read-only fallback", kMountedDevicesKey, "\\DosDevices\\E:", TRUE, 0, {1, 2, 3}},
        {"string value is invalid data", kMountedDevicesKey, "\\DosDevices\\F:", FALSE, invalidData, {0xEE}},
        {"missing value", kMountedDevicesKey, "\\DosDevices\\Z:", FALSE, notFound, {0xEE}},
        {"empty value leaves the array", kMountedDevicesKey, "\\DosDevices\\G:", TRUE, 0, {0xEE}},
        {"NoName is the default value", kMountedDevicesKey, "noname", TRUE, 0, {9}},
        {"item's own value name", "\\LocalMachine\\SYSTEM\\MountedDevices\\\\DosDevices\\E:", "", FALSE, notFound,
         {0xEE}},
        {"missing key", "\\LocalMachine\\SYSTEM\\Nothing\\", "V", FALSE, notFound, {0xEE}},
        {"remote machine", "\\\\SERVER\\Software\\X\\Value", "", TRUE, 0, {7, 7}},
        {"unreachable machine", "\\\\NOWHERE\\Software\\X\\Value", "", FALSE, badNetPath, {0xEE}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        COXRegistryItem item(store, c.full);
        std::vector<BYTE> data{0xEE};
        EXPECT_EQ(item.GetBinaryValue(data, c.valueName), c.result);
        EXPECT_EQ(item.GetLastError(), c.lastError);
        EXPECT_EQ(data, c.data);
    }
    EXPECT_EQ(store.openHandles, 0);  // every item closed what it opened
}

TEST(RegistryItem, OpensWithFullAccessFirstAndTheKeyWithoutItsBackslashes) {
    FakeStore store;
    const FakeStore::KeyId mounted{"", RegistryRoot::LocalMachine, "SYSTEM\\MountedDevices"};
    store.keys[mounted] = {{"V", {REG_BINARY, {1}}}};
    {
        COXRegistryItem item(store, kMountedDevicesKey);
        std::vector<BYTE> data;
        ASSERT_TRUE(item.GetBinaryValue(data, "V"));
        EXPECT_TRUE(item.IsKeyOpen());
        ASSERT_EQ(store.opened.size(), 1U);
        EXPECT_EQ(store.opened[0], "|2|SYSTEM\\MountedDevices|" + std::to_string(KEY_ALL_ACCESS));
        // A second read uses the open key.
        ASSERT_TRUE(item.GetBinaryValue(data, "V"));
        EXPECT_EQ(store.opened.size(), 1U);
        item.CloseKey();
        EXPECT_FALSE(item.IsKeyOpen());
        EXPECT_EQ(store.openHandles, 0);
    }
    store.readOnly.insert(mounted);
    store.opened.clear();
    COXRegistryItem item(store, kMountedDevicesKey);
    std::vector<BYTE> data;
    ASSERT_TRUE(item.GetBinaryValue(data, "V"));
    ASSERT_EQ(store.opened.size(), 1U);
    EXPECT_EQ(store.opened[0], "|2|SYSTEM\\MountedDevices|" + std::to_string(KEY_QUERY_VALUE));
}

TEST(SysfsRegistryStore, AnswersTheMountedDeviceTableFromBlockDevices) {
    testsupport::TempDir sys;
    std::filesystem::create_directories(sys / "block/sdb/sdb1");
    testsupport::writeFileText(sys / "block/sdb/dev", "8:16\n");
    testsupport::writeFileText(sys / "block/sdb/sdb1/dev", "8:17\n");
    CSysfsRegistryStore store(sys.path());

    struct Case {
        const char* value;
        bool found;
        std::string data;
    };
    const Case cases[] = {
        {"sdb", true, "8:16"},     {"sdb1", true, "8:17"}, {"sdc", false, ""},
        {"../block/sdb", false, ""}, {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        COXRegistryItem item(store, kMountedDevicesKey);
        std::vector<BYTE> data;
        EXPECT_EQ(item.GetBinaryValue(data, MountedDeviceValueName(c.value)) != FALSE, c.found);
        EXPECT_EQ(std::string(data.begin(), data.end()), c.data);
        if (!c.found) {
            EXPECT_EQ(item.GetLastError(), static_cast<HRESULT>(0x80070002));
        }
    }
    // Other keys and roots are not there.
    COXRegistryItem other(store, "\\CurrentUser\\Software\\");
    std::vector<BYTE> data;
    EXPECT_FALSE(other.GetBinaryValue(data, "V"));
}

}  // namespace
