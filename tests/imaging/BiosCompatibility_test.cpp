#include "disk/BiosCompatibility.h"

#include "records/ByteOrder.h"

#include "platform/Console.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using dorvix::kSmbiosWindowBase;
using dorvix::kSmbiosWindowSize;
using Bytes = std::vector<std::uint8_t>;

// A small SMBIOS window builder: entry points and structures placed at chosen offsets.
struct WindowBuilder {
    Bytes window = Bytes(kSmbiosWindowSize, 0);

    // A 2.x entry point of length 0x1F with both checksums right (unless `breakSum`).
    void entryPoint(std::size_t at, std::uint32_t tableAddress, std::uint16_t count,
                    bool breakSum = false) {
        std::span<std::uint8_t> e(window.data() + at, 0x1F);
        std::copy_n("_SM_", 4, e.begin());
        e[5] = 0x1F;
        std::copy_n("_DMI_", 5, e.begin() + 16);
        dorvix::store32(e, 24, tableAddress);
        dorvix::store16(e, 28, count);
        std::uint8_t sum = 0;
        for (std::size_t i = 16; i < 0x1F; ++i) {
            if (i != 21) sum = static_cast<std::uint8_t>(sum + e[i]);
        }
        e[21] = static_cast<std::uint8_t>(-sum);  // intermediate checksum
        sum = 0;
        for (std::size_t i = 0; i < 0x1F; ++i) {
            if (i != 4) sum = static_cast<std::uint8_t>(sum + e[i]);
        }
        e[4] = static_cast<std::uint8_t>(-sum);
        if (breakSum) {
            e[4] = static_cast<std::uint8_t>(e[4] + 1);
        }
    }

    // One structure with a formatted area of `length` bytes and the given strings; returns the
    // offset just past it.
    std::size_t structure(std::size_t at, std::uint8_t type, std::uint8_t length,
                          const std::vector<std::string>& strings, std::uint8_t versionNumber = 0) {
        window[at] = type;
        window[at + 1] = length;
        if (length > 5) window[at + 5] = versionNumber;
        std::size_t pos = at + length;
        for (const auto& s : strings) {
            std::copy(s.begin(), s.end(), window.begin() + static_cast<std::ptrdiff_t>(pos));
            pos += s.size() + 1;
        }
        if (strings.empty()) pos += 1;
        return pos + 1;
    }
};

// A window holding one entry point at `entryAt`, a type-1 structure, then a type-0 structure
// whose version is `version`.
Bytes machineWindow(const std::string& version, std::size_t entryAt = 0x100) {
    WindowBuilder b;
    const std::size_t table = 0x800;
    b.entryPoint(entryAt, kSmbiosWindowBase + table, 2);
    std::size_t next = b.structure(table, 1, 8, {"Maker", "Model"});
    b.structure(next, 0, 0x18, {"Vendor", version, "01/01/2006"}, 2);
    return b.window;
}

TEST(SmbiosSearch, FindsTableAndVersionBehindAnotherStructure) {
    Bytes w = machineWindow("KQ3A3 V1.10");
    auto table = dorvix::findSmbiosTable(w);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->offset, 0x800u);
    EXPECT_EQ(table->count, 2);
    auto type0 = dorvix::findSmbiosStructure(w, *table, 0);
    ASSERT_TRUE(type0);
    EXPECT_EQ(w[*type0], 0);
    std::string version;
    std::size_t size = 0;
    EXPECT_TRUE(dorvix::getBiosVersion(w, version, size, 256, false));
    EXPECT_EQ(version, "KQ3A3 V1.10");
    EXPECT_EQ(size, 12u);
}

TEST(SmbiosSearch, EntryPointsThatMustBeSkippedOrRefused) {
    struct Case {
        const char* name;
        bool firstBroken;         // an earlier entry point with a wrong checksum
        std::uint32_t tableAddr;  // table address of the (last) entry point
        bool expectFound;
    };
    const Case cases[] = {
        {"bad checksum skipped, later valid one used", true, kSmbiosWindowBase + 0x800, true},
        {"table below the window", false, 0xE0000, false},
        {"table above the window", false, 0x100000, false},
        {"table far outside", false, 0xFFFFFFF0u, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WindowBuilder b;
        if (c.firstBroken) b.entryPoint(0x40, kSmbiosWindowBase + 0x900, 1, true);
        b.entryPoint(0x200, c.tableAddr, 1);
        b.structure(0x800, 0, 0x18, {"V", "KQ7B2"}, 2);
        auto table = dorvix::findSmbiosTable(b.window);
        EXPECT_EQ(table.has_value(), c.expectFound);
        if (table) {
            EXPECT_EQ(table->offset, 0x800u);
        }
    }
}

TEST(SmbiosSearch, LastParagraphIsNotExaminedAndNoAnchorMeansNone) {
    WindowBuilder b;
    EXPECT_FALSE(dorvix::findSmbiosTable(b.window));
    // A complete entry point in the last paragraph's place would need 31 bytes; only the
    // anchor and length fit, and the scan must not even look there.
    std::copy_n("_SM_", 4, b.window.begin() + 0xFFF0);
    b.window[0xFFF5] = 0;  // length 0 skips the checksums
    EXPECT_FALSE(dorvix::findSmbiosTable(b.window));
    EXPECT_FALSE(dorvix::findSmbiosTable(Bytes{}));
}

TEST(SmbiosSearch, StructuresRunningOutOfTheWindowGiveNone) {
    struct Case {
        const char* name;
        std::size_t tableOffset;
        std::uint8_t formattedLength;
        bool closeStrings;
    };
    const Case cases[] = {
        {"header at the very end", 0xFFFE, 0x18, true},
        {"formatted area past the end", 0xFFF0, 0x40, true},
        {"formatted length below the header", 0x800, 2, true},
        {"string set never closed", 0xFFE0, 0x10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WindowBuilder b;
        b.entryPoint(0x100, kSmbiosWindowBase + static_cast<std::uint32_t>(c.tableOffset), 3);
        b.window[c.tableOffset] = 1;  // not the type looked for, so the walk must go on
        if (c.tableOffset + 1 < b.window.size()) b.window[c.tableOffset + 1] = c.formattedLength;
        if (!c.closeStrings) {
            std::fill(b.window.begin() + static_cast<std::ptrdiff_t>(c.tableOffset + c.formattedLength),
                      b.window.end(), 'x');
        }
        auto table = dorvix::findSmbiosTable(b.window);
        ASSERT_TRUE(table);
        EXPECT_FALSE(dorvix::findSmbiosStructure(b.window, *table, 0));
        std::string version = "unchanged";
        std::size_t size = 0;
        EXPECT_FALSE(dorvix::getBiosVersion(b.window, version, size, 256, false));
        EXPECT_EQ(version, "unchanged");
    }
}

TEST(SmbiosStrings, NumberedLookup) {
    WindowBuilder b;
    b.structure(0x10, 0, 0x18, {"one", "two", "three"});
    const std::size_t set = 0x10 + 0x18;
    struct Case { unsigned number; const char* expect; };
    const Case cases[] = {{0, ""}, {1, "one"}, {2, "two"}, {3, "three"}, {4, ""}, {200, ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(dorvix::getSmbiosString(b.window, set, c.number), c.expect) << c.number;
    }
    // A string that is not terminated before the end of the window is not returned.
    Bytes tail(8, 'x');
    EXPECT_EQ(dorvix::getSmbiosString(tail, 0, 1), "");
}

TEST(SmbiosVersion, SizeReportedAndSmallBufferRefused) {
    Bytes w = machineWindow("KQ3A3 V1.10");
    std::string version = "unchanged";
    std::size_t size = 0;
    EXPECT_FALSE(dorvix::getBiosVersion(w, version, size, 11, false));
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(version, "unchanged");
    EXPECT_TRUE(dorvix::getBiosVersion(w, version, size, 12, false));
}

TEST(BiosDecision, VersionAgainstTargetList) {
    struct Case {
        const char* version;
        const char* list;
        bool accepted;
    };
    const Case cases[] = {
        {"KQ3A3 V1.10", "KQ3A3,KQ3A0", true},
        {"KQ3A3 V1.10", "KQ7B2,KQ3A1", false},
        {"kq3a3 v1.10", "KQ3A3,KQ3A0", true},
        {"KQ3A3", "kq3a3,kq3a0", true},
        {"KQ3A", "KQ3A3,KQ3A0", true},  // a substring test, not a per-element comparison
        {"KQ7B2 X", "", true},          // empty list stands for KQ7B2
        {"KQ3A3", "", false},
        {"", "KQ3A3,KQ3A0", true},      // no SMBIOS: empty version occurs everywhere
        {"", "", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dorvix::biosVersionAccepted(c.version, c.list), c.accepted)
            << c.version << " / " << c.list;
    }
}

TEST(BiosDecision, LongTargetListIsCutAfterTheLastWholeCode) {
    std::string codes;
    while (codes.size() < 300) codes += (codes.empty() ? "" : ",") + std::string("KQ3A") + char('A' + codes.size() % 26);
    std::string cut = dorvix::cutTargetBiosList(codes);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_EQ(cut, codes.substr(0, cut.size()));
    EXPECT_EQ(codes[cut.size()], ',');  // cut exactly before a separator: no partial code
    EXPECT_GT(cut.size(), 250u);
    struct Case { std::string list, expect; };
    const Case cases[] = {
        {"KQ3A3,KQ3A0", "KQ3A3,KQ3A0"},
        {std::string(255, 'A'), std::string(255, 'A')},
        {std::string(254, 'A') + ",B", std::string(254, 'A')},
        {std::string(255, 'A') + ",B", std::string(255, 'A')},
        {std::string(256, 'A'), ""},  // not even one whole code fits
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dorvix::cutTargetBiosList(c.list), c.expect) << c.list.size();
    }
}

// The whole check on this machine's window, read from a window file.
TEST(BiosDecision, CheckAgainstWindowFileAndHeader) {
    testsupport::TempDir dir;
    struct Case {
        const char* name;
        std::string version;  // empty: a window without SMBIOS
        const char* list;
        bool accepted;
    };
    const Case cases[] = {
        {"listed family", "KQ3A3 V1.10", "KQ3A3,KQ3A0", true},
        {"family not listed", "KQ3A3 V1.10", "KQ7B2,KQ3A1", false},
        {"empty list on KQ7B2", "KQ7B2 V2", "", true},
        {"empty list elsewhere", "KQ3A0 V2", "", false},
        {"no SMBIOS", "", "KQ7B2", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes w = c.version.empty() ? Bytes(kSmbiosWindowSize, 0) : machineWindow(c.version);
        testsupport::writeFileBytes(dir / "window", w);
        ::setenv("DORVIX_SMBIOS_WINDOW", (dir / "window").c_str(), 1);
        dorvix::KmvImageHeader header = dorvix::newImageHeader();
        ASSERT_TRUE(dorvix::setHeaderTargetBios(header, c.list));
        std::FILE* out = std::tmpfile();
        bool accepted;
        {
            dorvix::ScopedConsole console(stdin, out);
            accepted = dorvix::checkBiosCompatibility(nullptr, header);
        }
        std::rewind(out);
        char text[512] = {};
        std::size_t got = std::fread(text, 1, sizeof text - 1, out);
        std::fclose(out);
        EXPECT_EQ(accepted, c.accepted);
        EXPECT_EQ(std::string(text, got),
                  c.accepted ? "" : "***ERROR*** The system is not supported by the image!\n");
    }
    ::unsetenv("DORVIX_SMBIOS_WINDOW");
}

// ---- Tables published by the kernel (/sys/firmware/dmi/tables) ---------------------------

// A structure table as the kernel's DMI file holds it: a type-1 structure, the type-0 one
// with `version`, then the end-of-table structure.
Bytes kernelTable(const std::string& version) {
    Bytes t;
    auto put = [&t](std::uint8_t type, std::uint8_t length, const std::vector<std::string>& strings,
                    std::uint8_t versionNumber) {
        const std::size_t at = t.size();
        t.resize(at + length, 0);
        t[at] = type;
        t[at + 1] = length;
        if (length > 5) t[at + 5] = versionNumber;
        for (const auto& str : strings) {
            t.insert(t.end(), str.begin(), str.end());
            t.push_back(0);
        }
        if (strings.empty()) t.push_back(0);
        t.push_back(0);
    };
    put(1, 8, {"Maker", "Model"}, 0);
    put(0, 0x18, {"Vendor", version, "01/01/2026"}, 2);
    put(127, 4, {}, 0);
    return t;
}

void fixSum(Bytes& bytes, std::size_t from, std::size_t length, std::size_t sumAt) {
    bytes[sumAt] = 0;
    std::uint8_t sum = 0;
    for (std::size_t i = from; i < from + length; ++i) sum = static_cast<std::uint8_t>(sum + bytes[i]);
    bytes[sumAt] = static_cast<std::uint8_t>(-sum);
}

Bytes entryPoint2(std::uint16_t tableLength, std::uint16_t count) {
    Bytes e(0x1F, 0);
    std::copy_n("_SM_", 4, e.begin());
    e[5] = 0x1F;
    e[6] = 2;
    e[7] = 8;
    std::copy_n("_DMI_", 5, e.begin() + 16);
    dorvix::store16(e, 22, tableLength);
    dorvix::store32(e, 24, 0x000E1000);
    dorvix::store16(e, 28, count);
    fixSum(e, 16, 0x1F - 16, 21);
    fixSum(e, 0, 0x1F, 4);
    return e;
}

Bytes entryPoint3(std::uint32_t tableMaxSize) {
    Bytes e(0x18, 0);
    std::copy_n("_SM3_", 5, e.begin());
    e[6] = 0x18;
    e[7] = 3;
    e[8] = 4;
    e[10] = 1;
    dorvix::store32(e, 12, tableMaxSize);
    dorvix::store32(e, 16, 0x7F000000);  // a 64-bit address, far above any BIOS window
    fixSum(e, 0, 0x18, 5);
    return e;
}

// A fake sysfs root holding firmware/dmi/tables.
struct StagedSysfs {
    testsupport::TempDir root;
    void stage(const Bytes& entry, const Bytes& table) {
        const auto folder = root / "firmware" / "dmi" / "tables";
        std::filesystem::create_directories(folder);
        testsupport::writeFileBytes(folder / "smbios_entry_point", entry);
        testsupport::writeFileBytes(folder / "DMI", table);
    }
    std::string path() const { return root.path().string(); }
};

std::optional<std::string> versionFromSysfs(const std::string& root) {
    auto tables = dorvix::readSysfsSmbios(root);
    if (!tables) return std::nullopt;
    std::string version;
    std::size_t size = 0;
    if (!dorvix::getBiosVersion(*tables, version, size, 256, false)) return std::nullopt;
    return version;
}

TEST(KernelSmbios, EntryPointsAndTablesAsTheKernelPublishesThem) {
    const Bytes table = kernelTable("KQ3A3 V1.10");
    const auto length = static_cast<std::uint16_t>(table.size());
    auto broken = [](Bytes b, std::size_t at) {
        b[at] ^= 0x01;
        return b;
    };
    struct Case {
        const char* name;
        Bytes entry;
        Bytes dmi;
        std::optional<std::string> version;
    };
    Bytes table2withGarbage = table;
    table2withGarbage.resize(table.size() + 100, 0xEE);  // space after the end-of-table structure
    const std::size_t type0At = 8 + 13;  // behind the type-1 structure and "Maker", "Model"
    ASSERT_EQ(table[type0At], 0);
    Bytes overlong = table;
    overlong[type0At + 1] = 0xF0;  // the type-0 formatted area runs past the table
    Bytes endFirst = table;
    endFirst[type0At] = 127;
    const Case cases[] = {
        {"2.x", entryPoint2(length, 3), table, "KQ3A3 V1.10"},
        {"3.x", entryPoint3(length), table, "KQ3A3 V1.10"},
        {"3.x maximum size beyond the end-of-table structure", entryPoint3(length + 100), table2withGarbage,
         "KQ3A3 V1.10"},
        {"2.x count stops before type 0", entryPoint2(length, 1), table, std::nullopt},
        {"3.x end-of-table before type 0", entryPoint3(length), endFirst, std::nullopt},
        {"2.x entry checksum wrong", broken(entryPoint2(length, 3), 4), table, std::nullopt},
        {"2.x intermediate checksum wrong", broken(entryPoint2(length, 3), 21), table, std::nullopt},
        {"3.x checksum wrong", broken(entryPoint3(length), 5), table, std::nullopt},
        {"entry point cut short", [&] {
             Bytes e = entryPoint3(length);
             e.resize(12);
             return e;
         }(), table, std::nullopt},
        {"2.x length byte beyond the file", [&] {
             Bytes e = entryPoint2(length, 3);
             e[5] = 0x40;
             return e;
         }(), table, std::nullopt},
        {"no anchor", Bytes(0x1F, 0), table, std::nullopt},
        {"table shorter than the entry point says", entryPoint2(length, 3), Bytes(table.begin(), table.end() - 1),
         std::nullopt},
        {"3.x table size beyond any real table", entryPoint3(0x7FFFFFFF), table, std::nullopt},
        {"structure runs past the table", entryPoint2(length, 3), overlong, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StagedSysfs sysfs;
        sysfs.stage(c.entry, c.dmi);
        EXPECT_EQ(versionFromSysfs(sysfs.path()), c.version);
    }
    EXPECT_FALSE(dorvix::readSysfsSmbios("/nonexistent-sysfs"));
}

// Every cut of a table, whether its entry point admits the cut or not, is read without a
// fault: a version or nothing.
TEST(KernelSmbios, EveryTruncationIsSafe) {
    const Bytes table = kernelTable("KQ7B2 V2.00");
    for (std::size_t cut = 0; cut <= table.size(); ++cut) {
        const Bytes dmi(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(cut));
        for (const Bytes& entry : {entryPoint2(static_cast<std::uint16_t>(cut), 3),
                                   entryPoint3(static_cast<std::uint32_t>(cut)),
                                   entryPoint2(static_cast<std::uint16_t>(table.size()), 3)}) {
            StagedSysfs sysfs;
            sysfs.stage(entry, dmi);
            auto version = versionFromSysfs(sysfs.path());
            if (version) {
                EXPECT_EQ(*version, "KQ7B2 V2.00") << cut;
            }
        }
    }
}

TEST(KernelSmbios, KernelTablesComeFirstAWindowFileReplacesEverything) {
    StagedSysfs sysfs;
    const Bytes table = kernelTable("KQ3A0 V3");
    sysfs.stage(entryPoint3(static_cast<std::uint32_t>(table.size())), table);
    testsupport::TempDir dir;
    testsupport::writeFileBytes(dir / "window", machineWindow("KQ7B2 V1"));
    const char* old = std::getenv("DORVIX_SMBIOS_WINDOW");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;

    ::unsetenv("DORVIX_SMBIOS_WINDOW");
    auto tables = dorvix::readSmbios(sysfs.path());
    ASSERT_TRUE(tables);
    std::string version;
    std::size_t size = 0;
    EXPECT_TRUE(dorvix::getBiosVersion(*tables, version, size, 256, false));
    EXPECT_EQ(version, "KQ3A0 V3");

    ::setenv("DORVIX_SMBIOS_WINDOW", (dir / "window").c_str(), 1);
    tables = dorvix::readSmbios(sysfs.path());
    ASSERT_TRUE(tables);
    EXPECT_TRUE(dorvix::getBiosVersion(*tables, version, size, 256, false));
    EXPECT_EQ(version, "KQ7B2 V1");

    ::setenv("DORVIX_SMBIOS_WINDOW", "/nonexistent", 1);  // tests' "no SMBIOS" never reaches the kernel's
    EXPECT_FALSE(dorvix::readSmbios(sysfs.path()));

    if (saved) ::setenv("DORVIX_SMBIOS_WINDOW", saved->c_str(), 1);
    else ::unsetenv("DORVIX_SMBIOS_WINDOW");
}

}  // namespace
