#include "fat16/Fat16Layout.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BootCode.h"
#include "fat16/ByteOrder.h"

namespace pellorin {
namespace {

TEST(ChooseSectorsPerCluster, FollowsTheTableAndItsEnds) {
    struct Case {
        ULONGLONG total;
        ClusterSizeResult result;
        BYTE sectorsPerCluster;
    };
    const Case cases[] = {
        {0, ClusterSizeResult::Ok, 64},  // a disk still to be sized
        {8400, ClusterSizeResult::TooSmall, 0},
        {8401, ClusterSizeResult::Ok, 2},
        {32680, ClusterSizeResult::Ok, 2},
        {32681, ClusterSizeResult::Ok, 4},
        {262144, ClusterSizeResult::Ok, 4},
        {262145, ClusterSizeResult::Ok, 8},
        {2001888, ClusterSizeResult::Ok, 32},
        {4194304, ClusterSizeResult::Ok, 64},
        {4194305, ClusterSizeResult::Capped, 64},
        {0x1'0000'0000ull, ClusterSizeResult::Capped, 64},
    };
    for (const Case& c : cases) {
        const ClusterSizeChoice choice = ChooseSectorsPerCluster(c.total);
        EXPECT_EQ(choice.result, c.result) << c.total;
        EXPECT_EQ(choice.bySectorsPerCluster, c.sectorsPerCluster) << c.total;
    }
}

TEST(ClustersForFile, RoundsUpAndGivesEmptyFilesOne) {
    struct Case {
        std::uint64_t size;
        DWORD clusters;
    };
    // Sizes are 64-bit: a 4 GiB file is not an empty one, and a count past 32 bits saturates.
    const Case cases[] = {{0, 1}, {1, 1}, {16384, 1}, {16385, 2}, {50000000, 3052}, {0xFFFFFFFF, 262144},
                          {0x100000000ull, 262144}, {0x100100000ull, 262208}, {~0ull, 0xFFFFFFFF}};
    for (const Case& c : cases) {
        EXPECT_EQ(ClustersForFile(c.size, 512, 32), c.clusters) << c.size;
    }
}

TEST(CylindersForClusters, SizesAnImageDiskToItsFiles) {
    EXPECT_EQ(CylindersForClusters(32, 64, 64, 0), 3u);    // no file found
    EXPECT_EQ(CylindersForClusters(32, 64, 64, 100), 6u);  // 100 one-cluster files
}

struct LayoutCase {
    const char* label;
    DWORD S, H, C;
    ULONGLONG T;
    DWORD P, V, F, R, N, fat1, fat2, root, data;
    bool capped;
    std::array<BYTE, 8> entryHead;  // first 8 bytes of the partition entry
};

void PrintTo(const LayoutCase& layoutCase, std::ostream* os) {
    *os << layoutCase.label;
}

class ComputeLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ComputeLayoutTest, GivesTheRegionsAndTheRecords) {
    const LayoutCase& c = GetParam();
    const ClusterSizeChoice choice = ChooseSectorsPerCluster(c.T);
    ASSERT_NE(choice.result, ClusterSizeResult::TooSmall);
    Fat16Layout layout;
    ASSERT_EQ(ComputeLayout(512, c.S, c.H, c.C, c.T, choice.bySectorsPerCluster, layout),
              LayoutResult::Ok);
    EXPECT_EQ(layout.P, c.P);
    EXPECT_EQ(layout.V, c.V);
    EXPECT_EQ(layout.F, c.F);
    EXPECT_EQ(layout.D, 32u);
    EXPECT_EQ(layout.R, c.R);
    EXPECT_EQ(layout.N, c.N);
    EXPECT_EQ(layout.fat1Start, c.fat1);
    EXPECT_EQ(layout.fat2Start, c.fat2);
    EXPECT_EQ(layout.rootStart, c.root);
    EXPECT_EQ(layout.dataStart, c.data);
    EXPECT_EQ(layout.capped, c.capped);
    EXPECT_LT(layout.N, kFat16ClusterLimit);
    // Data region starts a multiple of 8 sectors into the partition; the FAT numbers every cluster.
    EXPECT_EQ((layout.R + 2 * layout.F + layout.D) % 8, 0u);
    EXPECT_GE(layout.F * 256, layout.N + 2);

    std::array<BYTE, 512> mbr;
    std::memcpy(mbr.data(), resource_MBR, 512);
    std::fill(mbr.begin() + 0x1BE, mbr.begin() + 0x1FE, BYTE{0xCC});  // stale table
    FillPartitionTable(mbr, layout);
    EXPECT_EQ(0, std::memcmp(mbr.data(), resource_MBR, 0x1BE)) << "boot code changed";
    EXPECT_EQ(0, std::memcmp(mbr.data() + 0x1BE, c.entryHead.data(), 8));
    EXPECT_EQ(load32(mbr, 0x1BE + 8), c.S);
    EXPECT_EQ(load32(mbr, 0x1BE + 12), c.V);
    for (std::size_t i = 0x1CE; i < 0x1FE; ++i) {
        EXPECT_EQ(mbr[i], 0) << "entries 2-4 at " << i;
    }
    EXPECT_EQ(load16(mbr, 0x1FE), 0xAA55);

    std::array<BYTE, 512> pbr;
    std::memcpy(pbr.data(), resource_FDOSPBR, 512);
    FillBootSector(pbr, layout, 0xCAFEF00D);
    EXPECT_EQ(0, std::memcmp(pbr.data(), resource_FDOSPBR, 0x0B)) << "jump or OEM name changed";
    EXPECT_EQ(load16(pbr, 0x0B), 512);
    EXPECT_EQ(pbr[0x0D], c.P);
    EXPECT_EQ(load16(pbr, 0x0E), c.R);
    EXPECT_EQ(pbr[0x10], 2);
    EXPECT_EQ(load16(pbr, 0x11), 512);
    EXPECT_EQ(load16(pbr, 0x13), c.V < 65536 ? c.V : 0);
    EXPECT_EQ(pbr[0x15], 0xF8);
    EXPECT_EQ(load16(pbr, 0x16), c.F);
    EXPECT_EQ(load16(pbr, 0x18), c.S);
    EXPECT_EQ(load16(pbr, 0x1A), c.H);
    EXPECT_EQ(load32(pbr, 0x1C), c.S);
    EXPECT_EQ(load32(pbr, 0x20), c.V >= 65536 ? c.V : 0);
    EXPECT_EQ(pbr[0x24], 0x80);
    EXPECT_EQ(pbr[0x26], 0x29);
    EXPECT_EQ(load32(pbr, 0x27), 0xCAFEF00Du);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pbr.data()) + 0x2B, 11), "USBDISK    ");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pbr.data()) + 0x36, 8), "FAT16   ");
    EXPECT_EQ(load16(pbr, 0x40), 32);
    EXPECT_EQ(load32(pbr, 0x42), c.fat1);
    EXPECT_EQ(load32(pbr, 0x46), c.root);
    EXPECT_EQ(load32(pbr, 0x4A), c.data);
    EXPECT_EQ(0, std::memcmp(pbr.data() + 0x4E, resource_FDOSPBR + 0x4E, 512 - 0x4E))
        << "boot code changed";
}

INSTANTIATE_TEST_SUITE_P(
    Disks, ComputeLayoutTest,
    ::testing::Values(
        // A stick of 124 cylinders of 255 heads and 63 sectors.
        LayoutCase{.label = "Stick124Cylinders", .S = 63, .H = 255, .C = 124, .T = 2001888, .P = 32,
                   .V = 2001825, .F = 245, .R = 6, .N = 62540, .fat1 = 69, .fat2 = 314, .root = 559,
                   .data = 591, .capped = false,
                   .entryHead = {0x80, 0x01, 0x01, 0x00, 0x0E, 0xFE, 0x3F, 0x7B}},
        // A disk small enough for the boot sector's 16-bit total-sectors field.
        LayoutCase{.label = "Image20Cylinders", .S = 32, .H = 64, .C = 20, .T = 40960, .P = 4, .V = 40928,
                   .F = 40, .R = 8, .N = 10202, .fat1 = 40, .fat2 = 80, .root = 120, .data = 152,
                   .capped = false, .entryHead = {0x80, 0x01, 0x01, 0x00, 0x0E, 0x3F, 0x20, 0x13}},
        // The ISO builder's disk of 58 one-MiB cylinders.
        LayoutCase{.label = "Image58Cylinders", .S = 32, .H = 64, .C = 58, .T = 118784, .P = 4, .V = 118752,
                   .F = 116, .R = 8, .N = 29620, .fat1 = 40, .fat2 = 156, .root = 272, .data = 304,
                   .capped = false, .entryHead = {0x80, 0x01, 0x01, 0x00, 0x0E, 0x3F, 0x20, 0x39}},
        // Exactly the largest disk of the table: at 64 sectors a cluster its data region would
        // hold 65,526 clusters, so the partition ends two clusters early.
        LayoutCase{.label = "Image2048Cylinders", .S = 32, .H = 64, .C = 2048, .T = 4194304, .P = 64,
                   .V = 4194144, .F = 256, .R = 8, .N = 65524, .fat1 = 40, .fat2 = 296, .root = 552,
                   .data = 584, .capped = true, .entryHead = {0x80, 0x01, 0x01, 0x00, 0x0E, 0x3F, 0xE0, 0xFF}},
        // An 8 GiB stick: the partition covers the first part that FAT16 serves.
        LayoutCase{.label = "Stick8GiB", .S = 63, .H = 255, .C = 1044, .T = 1044ull * 255 * 63, .P = 64,
                   .V = 4194113, .F = 256, .R = 8, .N = 65524, .fat1 = 71, .fat2 = 327, .root = 583,
                   .data = 615, .capped = true, .entryHead = {0x80, 0x01, 0x01, 0x00, 0x0E, 0xFE, 0x7F, 0x05}}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST(ComputeLayout, RefusesAPartitionOfMoreThan65535Clusters) {
    Fat16Layout layout;
    // A disk sized to its files may exceed what 64-sector clusters can number.
    EXPECT_EQ(ComputeLayout(512, 32, 64, 2049, 2049ull * 2048, 32, layout),
              LayoutResult::TooBigForFat16);
    EXPECT_EQ(ComputeLayout(512, 32, 64, 2048, 2048ull * 2048, 64, layout), LayoutResult::Ok);
}

TEST(AssignClusters, HandsOutConsecutiveRunsInListOrder) {
    Fat16Layout stick;  // 16,384-byte clusters, N = 62,540
    ASSERT_EQ(ComputeLayout(512, 63, 255, 124, 2001888, 32, stick), LayoutResult::Ok);
    struct Entry {
        bool found;
        DWORD size;
        DWORD firstCluster;
        DWORD clusters;
    };
    struct Case {
        const char* label;
        std::vector<Entry> entries;
        bool fits;
    };
    const Case cases[] = {
        {"six files",
         {{true, 40000, 2, 3}, {true, 60000, 5, 4}, {true, 100, 9, 1}, {true, 0, 10, 1},
          {true, 1000000, 11, 62}, {true, 50000000, 73, 3052}},
         true},
        {"missing entries take nothing",
         {{false, 0, 0, 0}, {true, 16385, 2, 2}, {false, 0, 0, 0}, {true, 1, 4, 1}},
         true},
        {"the last cluster exactly", {{true, 62539u * 16384, 2, 62539}, {true, 1, 62541, 1}}, true},
        {"one cluster too many", {{true, 62540u * 16384, 2, 62540}, {true, 1, 0, 1}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<FilePlan> plans;
        for (const Entry& e : c.entries) {
            FilePlan plan;
            plan.assigned = e.found;
            plan.size = e.size;
            plans.push_back(plan);
        }
        ASSERT_EQ(AssignClusters(plans, stick), c.fits);
        if (!c.fits) {
            continue;
        }
        for (std::size_t i = 0; i < plans.size(); ++i) {
            EXPECT_EQ(plans[i].firstCluster, c.entries[i].firstCluster) << i;
            EXPECT_EQ(plans[i].clusters, c.entries[i].clusters) << i;
        }
    }
}

TEST(FillFat, ChainsFilesAndLeavesEmptyFilesFree) {
    std::vector<FilePlan> plans(3);
    plans[0] = {"", true, 5000, 2, 3};
    plans[1] = {"", true, 0, 5, 1};
    plans[2] = {"", true, 1, 6, 1};
    std::vector<BYTE> fat(1024, 0xEE);
    FillFat(fat, plans);
    const WORD expected[] = {0xFFF8, 0xFFFF, 3, 4, 0xFFFF, 0, 0xFFFF, 0};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(load16(fat, 2 * i), expected[i]) << i;
    }
    EXPECT_TRUE(std::all_of(fat.begin() + 16, fat.end(), [](BYTE b) { return b == 0; }));
}

TEST(FillBootSector, LeavesLoaderFieldsOfOtherBootSectorsAlone) {
    std::array<BYTE, 512> pbr;
    std::memcpy(pbr.data(), resource_FDOSPBR, 512);
    std::memcpy(pbr.data() + 3, "MSWIN4.1", 8);
    for (std::size_t i = 0x40; i < 0x4E; ++i) {
        pbr[i] = static_cast<BYTE>(i);
    }
    Fat16Layout layout;
    ASSERT_EQ(ComputeLayout(512, 32, 64, 58, 118784, 4, layout), LayoutResult::Ok);
    FillBootSector(pbr, layout, 1, false);
    for (std::size_t i = 0x40; i < 0x4E; ++i) {
        EXPECT_EQ(pbr[i], i);
    }
    EXPECT_EQ(load16(pbr, 0x16), 116);  // the parameter block is filled all the same
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pbr.data()) + 0x2B, 11), "NO NAME    ");
}

TEST(ToDosDateTime, ConvertsUtcTimesAndClampsToTheDosRange) {
    struct Case {
        std::int64_t seconds;
        WORD date;
        WORD time;
    };
    const Case cases[] = {
        {315532800, 0x0021, 0x0000},    // 1980-01-01 00:00:00
        {1796856811, 0x5D89, 0xB6AF},   // 2026-12-09 22:53:31 (odd seconds round down)
        {951825600, 0x285D, 0x6000},    // 2000-02-29 12:00:00
        {0, 0x0021, 0x0000},            // before 1980
        {4354819199, 0xFF9F, 0xBF7D},   // 2107-12-31 23:59:59
        {9999999999, 0xFF9F, 0xBF7D},   // after 2107
    };
    for (const Case& c : cases) {
        const DosDateTime dos = ToDosDateTime(UnixTime{c.seconds, 0});
        EXPECT_EQ(dos.date, c.date) << c.seconds;
        EXPECT_EQ(dos.time, c.time) << c.seconds;
    }
}

std::string AsText(const ShortName& name) {
    return std::string(name.begin(), name.end());
}

TEST(MakeShortName, KeepsValidNamesAndMakesTheOthersValid) {
    struct Case {
        const char* longName;
        std::vector<std::string> taken;
        const char* expected;
    };
    const Case cases[] = {
        {"KERNEL.SYS", {}, "KERNEL  SYS"},
        {"command.com", {}, "COMMAND COM"},
        {"AUTOEXEC.BAT", {}, "AUTOEXECBAT"},
        {"README", {}, "README     "},
        {"A-B_C{1}.X~", {}, "A-B_C{1}X~ "},
        {"long file name.text", {}, "LONGFI~1TEX"},
        {"VERYLONGNAME.TXT", {}, "VERYLO~1TXT"},
        {"page.html", {}, "PAGE~1  HTM"},
        {"a.b.c", {}, "AB~1    C  "},
        {".profile", {}, "PROFIL~1   "},
        {"name.", {}, "NAME~1     "},
        {"ab+c.txt", {}, "AB_C~1  TXT"},
        {"\xC3\xA9t\xC3\xA9.txt", {}, "__T__~1 TXT"},
        {"....", {}, "_~1        "},
        // A name already in the directory gets the next free number.
        {"KERNEL.SYS", {"KERNEL  SYS"}, "KERNEL~1SYS"},
        {"long file name.text", {"LONGFI~1TEX"}, "LONGFI~2TEX"},
        {"ABCDEFGH", {"ABCDEFGH   ", "ABCDEF~1   ", "ABCDEF~2   ", "ABCDEF~3   ",
                      "ABCDEF~4   ", "ABCDEF~5   ", "ABCDEF~6   ", "ABCDEF~7   ",
                      "ABCDEF~8   ", "ABCDEF~9   "}, "ABCDE~10   "},
    };
    for (const Case& c : cases) {
        std::vector<ShortName> taken;
        for (const std::string& name : c.taken) {
            ShortName n;
            std::copy_n(name.begin(), 11, n.begin());
            taken.push_back(n);
        }
        EXPECT_EQ(AsText(MakeShortName(c.longName, taken)), c.expected) << c.longName;
    }
}

TEST(FillDirectoryEntry, WritesTheFieldsAndEscapesALeadingE5) {
    FoundFile found;
    found.attributes = 0x21;
    found.created = {315532800, 0};
    found.accessed = {951825600, 0};
    found.written = {1796856811, 0};
    std::array<BYTE, 32> entry;
    entry.fill(0xEE);
    ShortName name;
    std::memcpy(name.data(), "\xE5" "BC     TXT", 11);
    FillDirectoryEntry(entry, name, found, 0x1234, 0xDEADBEEF);
    EXPECT_EQ(entry[0], 0x05);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entry.data()) + 1, 10), "BC     TXT");
    EXPECT_EQ(entry[0x0B], 0x21);
    EXPECT_EQ(entry[0x0C], 0);
    EXPECT_EQ(entry[0x0D], 0);
    EXPECT_EQ(load16(entry, 0x0E), 0x0000);
    EXPECT_EQ(load16(entry, 0x10), 0x0021);
    EXPECT_EQ(load16(entry, 0x12), 0x285D);
    EXPECT_EQ(load16(entry, 0x14), 0);
    EXPECT_EQ(load16(entry, 0x16), 0xB6AF);
    EXPECT_EQ(load16(entry, 0x18), 0x5D89);
    EXPECT_EQ(load16(entry, 0x1A), 0x1234);
    EXPECT_EQ(load32(entry, 0x1C), 0xDEADBEEFu);
}

}  // namespace
}  // namespace pellorin
