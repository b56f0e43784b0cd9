// The directory walker on trees made by mtools: full paths, long names (also across a
// cluster boundary), special entries, damaged chains; and path comparison.

#include "fat/DirectoryWalker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "FatTestDisk.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"
#include "records/ByteOrder.h"

namespace dorvix {
namespace {

using namespace testsupport;
using testing::TestVolume;

std::string narrow(const std::u16string& text) {
    std::string out;
    for (const char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// Records every named item and descends into every directory.
struct Recorder {
    std::vector<std::string> paths;
    std::vector<std::size_t> extras;
    unsigned unnamed = 0;  // ".", "..", deleted, end entries
    WalkFilter filter = WalkFilter::EveryEntry;  // also for the subdirectories
};

Visit recordVisitor(Recorder& recorder, const WalkItem& item);

EntryVisitor recording(Recorder& recorder) {
    return [&recorder](const WalkItem& item) { return recordVisitor(recorder, item); };
}

Visit recordVisitor(Recorder& recorder, const WalkItem& item) {
    FatVolume& volume = item.volume;
    std::u16string& path = item.path;
    const std::span<std::uint8_t> entries = item.entries;
    const std::size_t extra = item.extra;
    const std::size_t e = item.shortEntry();
    const std::uint8_t first = entryFirstByte(entries, e);
    const std::uint8_t attributes = entryAttributes(entries, e);
    if (first == direntry::kEndOfDirectory || first == direntry::kDot || first == direntry::kDeleted ||
        attributes == direntry::kVolumeLabel) {
        EXPECT_EQ(extra, 0u);
        ++recorder.unnamed;
        return Visit::Next;
    }
    if (attributes == 0x08) {
        return Visit::Next;  // the volume label mkfs.fat writes; mtools does not list it
    }
    const bool directory = (attributes & direntry::kDirectoryBit) != 0;
    recorder.paths.push_back(narrow(path) + (directory ? "/" : ""));
    recorder.extras.push_back(extra);
    if (directory) {
        const std::uint16_t cluster = load16(entries, e * direntry::kBytes + direntry::kFirstCluster);
        return walkDirectory(volume, path, cluster, recording(recorder), recorder.filter) == WalkResult::Failed
                   ? Visit::Abort
                   : Visit::Next;
    }
    return Visit::Next;
}

std::vector<std::string> asMtoolsPaths(std::vector<std::string> paths) {
    for (std::string& p : paths) {
        std::replace(p.begin(), p.end(), '\\', '/');
        p = "::" + p;
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

class WalkerTree : public ::testing::Test {
protected:
    void SetUp() override {
        DiskShape shape;
        shape.sectorsPerCluster = 1;  // 16 entries per directory cluster
        ASSERT_TRUE(makeFatDisk(disk, shape));
    }
    void mmd(const std::string& path) { ASSERT_TRUE(mtoolsOk(disk, 32, "mmd", shellQuote(path))); }
    void put(const std::string& path, std::size_t size, std::uint32_t seed = 1) {
        ASSERT_TRUE(putFile(disk, 32, path, patternBytes(size, seed)));
    }
    TempDir dir;
    std::filesystem::path disk = dir / "disk.img";
};

TEST_F(WalkerTree, VisitsEveryItemWithItsFullPathAsMtoolsListsIt) {
    mmd("::/Program Files");
    mmd("::/Program Files/Tools");
    mmd("::/EMPTY");
    put("::/AUTOEXEC.BAT", 100);
    put("::/Program Files/Tools/a rather long file name.txt", 3000);
    put("::/Program Files/README", 10);
    put("::/EMPTY.TXT", 0);
    // Three long-name sets of four entries after "." and "..": the fourth set starts at slot 14
    // of the first cluster and ends in the second.
    mmd("::/STRADDLE");
    for (int i = 1; i <= 4; ++i) {
        put("::/STRADDLE/Long File Name Number " + std::to_string(i) + ".txt", 10 * i, i);
    }
    mmd("::/GONE");
    put("::/GONE/X.TXT", 5);
    ASSERT_TRUE(mtoolsOk(disk, 32, "mdeltree", "::/GONE"));
    ASSERT_TRUE(mtoolsOk(disk, 32, "mdel", "::/EMPTY.TXT"));
    put("::/EMPTY.TXT", 0);

    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    Recorder recorder;
    std::u16string path;
    EXPECT_NE(walkDirectory(tv.volume, path, 0, recording(recorder)), WalkResult::Failed);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(asMtoolsPaths(recorder.paths), listTree(disk, 32));
    const auto straddling = std::find(recorder.paths.begin(), recorder.paths.end(),
                                      "\\STRADDLE\\Long File Name Number 4.txt");
    ASSERT_NE(straddling, recorder.paths.end());
    EXPECT_EQ(recorder.extras[straddling - recorder.paths.begin()], 3u);

    // Short entries only: the same files and directories with their long names, and none of
    // ".", "..", deleted entries, the label or the end entries.
    EXPECT_GT(recorder.unnamed, 0u);
    Recorder named;
    named.filter = WalkFilter::ShortEntriesOnly;
    EXPECT_NE(walkDirectory(tv.volume, path, 0, recording(named), named.filter), WalkResult::Failed);
    EXPECT_EQ(named.paths, recorder.paths);
    EXPECT_EQ(named.extras, recorder.extras);
    EXPECT_EQ(named.unnamed, 0u);
}

TEST_F(WalkerTree, LongNamesOfSixteenToTwentySlotsArriveWhole) {
    // 196 characters need 16 slots, 255 need 20: more than four bits of slot count. In the
    // subdirectory (16 entries per cluster) every set straddles a cluster boundary.
    const std::size_t lengths[] = {196, 200, 255};
    const std::size_t slots[] = {16, 16, 20};
    mmd("::/D");
    std::vector<std::string> names;
    for (std::size_t i = 0; i < std::size(lengths); ++i) {
        std::string name = std::to_string(i) + std::string(lengths[i] - 5, 'n') + ".txt";
        put("::/" + name, 10 + i, static_cast<std::uint32_t>(i));
        put("::/D/" + name, 20 + i, static_cast<std::uint32_t>(i));
        names.push_back(std::move(name));
    }
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    Recorder recorder;
    std::u16string path;
    EXPECT_NE(walkDirectory(tv.volume, path, 0, recording(recorder)), WalkResult::Failed);
    EXPECT_EQ(asMtoolsPaths(recorder.paths), listTree(disk, 32));
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (const std::string& folder : {std::string("\\"), std::string("\\D\\")}) {
            const auto found = std::find(recorder.paths.begin(), recorder.paths.end(), folder + names[i]);
            ASSERT_NE(found, recorder.paths.end()) << folder << lengths[i];
            EXPECT_EQ(recorder.extras[found - recorder.paths.begin()], slots[i]) << folder << lengths[i];
        }
    }
}

TEST_F(WalkerTree, EmptyDirectoryShowsItsEndEntryOnceAndEndsTheWalk) {
    mmd("::/EMPTY");
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    std::uint16_t cluster = 0;
    for (std::size_t i = 0; i < tv.volume.rootEntries; ++i) {
        if (std::memcmp(&tv.volume.rootDir[i * 32], "EMPTY      ", 11) == 0) {
            cluster = load16(tv.volume.rootDir, i * 32 + 26);
        }
    }
    ASSERT_GE(cluster, 2);
    Recorder recorder;
    std::u16string path = u"\\EMPTY";
    EXPECT_EQ(walkDirectory(tv.volume, path, cluster, recording(recorder)), WalkResult::EndEntry);
    EXPECT_TRUE(recorder.paths.empty());
    EXPECT_EQ(recorder.unnamed, 3u);  // ".", ".." and the end entry
    EXPECT_EQ(path, u"\\EMPTY");

    // The scan of that cluster alone reports the end entry.
    std::vector<std::uint8_t> block(tv.volume.bytesPerCluster);
    ASSERT_EQ(readCluster(tv.volume, cluster, block.data(), block.size()), 0);
    Recorder again;
    EXPECT_EQ(scanEntries(tv.volume, path, block, tv.volume.entriesPerCluster, nullptr, recording(again)),
              WalkResult::EndEntry);
}

TEST_F(WalkerTree, FullDirectoryEndsWithItsChain) {
    mmd("::/FULL");
    for (int i = 0; i < 14; ++i) {  // with "." and ".." exactly one 16-entry cluster
        put("::/FULL/F" + std::to_string(i) + ".TXT", 1, i);
    }
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    Recorder recorder;
    std::u16string path;
    EXPECT_EQ(walkDirectory(tv.volume, path, 0, recording(recorder)), WalkResult::EndEntry);
    EXPECT_EQ(recorder.paths.size(), 15u);
    EXPECT_EQ(asMtoolsPaths(recorder.paths), listTree(disk, 32));
}

TEST_F(WalkerTree, DamagedOrTooDeepTreesFailTheWalk) {
    mmd("::/D1");
    mmd("::/D1/D2");
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    std::uint16_t d1 = 0;
    for (std::size_t i = 0; i < tv.volume.rootEntries; ++i) {
        if (std::memcmp(&tv.volume.rootDir[i * 32], "D1         ", 11) == 0) {
            d1 = load16(tv.volume.rootDir, i * 32 + 26);
        }
    }
    ASSERT_GE(d1, 2);
    // D1 fills its cluster so that its chain is followed: a link to itself is a cycle, a link
    // outside the volume is refused.
    for (const std::uint16_t link : {d1, std::uint16_t{0}, static_cast<std::uint16_t>(tv.volume.clusterCount + 2)}) {
        FatVolume v = tv.volume;
        setFatEntry(v, d1, link);
        std::vector<std::uint8_t> block(v.bytesPerCluster);
        ASSERT_EQ(readCluster(v, d1, block.data(), block.size()), 0);
        std::vector<std::uint8_t> full(block);
        for (std::size_t i = 3; i < v.entriesPerCluster; ++i) {
            std::memcpy(&full[i * 32], &block[2 * 32], 32);
            full[i * 32] = direntry::kDeleted;
        }
        ASSERT_EQ(writeCluster(v, d1, full.data(), full.size()), 0);
        Recorder recorder;
        std::u16string path;
        EXPECT_EQ(walkDirectory(v, path, d1, [](const WalkItem&) { return Visit::Next; }), WalkResult::Failed)
            << link;
        ASSERT_EQ(writeCluster(v, d1, block.data(), block.size()), 0);
    }
    // A cluster that cannot be read fails the walk.
    tv.disk.failingSectors = {clusterToSector(tv.volume, d1)};
    Recorder recorder;
    std::u16string path;
    EXPECT_EQ(walkDirectory(tv.volume, path, 0, recording(recorder)), WalkResult::Failed);
}

TEST_F(WalkerTree, PathsLongerThan259CharactersFailTheWalk) {
    const std::string name(100, 'n');
    mmd("::/" + name);
    mmd("::/" + name + "/" + name);
    mmd("::/" + name + "/" + name + "/" + name);
    TestVolume tv;
    ASSERT_TRUE(tv.openAndMount(disk));
    Recorder recorder;
    std::u16string path;
    EXPECT_EQ(walkDirectory(tv.volume, path, 0, recording(recorder)), WalkResult::Failed);
    EXPECT_EQ(recorder.paths.size(), 2u);  // the third level is never visited
}

TEST(EntryName, ShortAndLongNames) {
    std::vector<std::uint8_t> entries(4 * 32, 0);
    auto shortEntry = [&](std::size_t i, const char* name11, std::uint8_t attributes) {
        std::memcpy(&entries[i * 32], name11, 11);
        entries[i * 32 + 11] = attributes;
    };
    struct Case {
        const char* raw;
        std::uint8_t attributes;
        const char16_t* expected;  // nullptr = no name
    };
    const Case cases[] = {
        {"README  TXT", 0x20, u"README.TXT"},
        {"NOEXT      ", 0x20, u"NOEXT"},
        {"A       B  ", 0x10, u"A.B"},
        {".          ", 0x10, nullptr},
        {"\xE5OST   TXT", 0x20, nullptr},
        {"LABEL      ", 0x28, nullptr},
        {"LABEL8     ", 0x08, u"LABEL8"},  // 0x08 alone is not a label
    };
    for (const Case& c : cases) {
        shortEntry(0, c.raw, c.attributes);
        std::size_t extra = 9;
        const auto name = entryName(entries, 0, extra);
        EXPECT_EQ(extra, 0u) << c.raw;
        if (c.expected == nullptr) {
            EXPECT_FALSE(name.has_value()) << c.raw;
        } else {
            ASSERT_TRUE(name.has_value()) << c.raw;
            EXPECT_EQ(*name, c.expected) << c.raw;
        }
    }
    // A set of two long-name entries: "Hello World, long one" (21 characters).
    const std::u16string full = u"Hello World, long one";
    auto longEntry = [&](std::size_t i, std::uint8_t sequence, std::size_t from) {
        static constexpr std::size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        std::fill(&entries[i * 32], &entries[i * 32 + 32], 0xFF);
        entries[i * 32] = sequence;
        entries[i * 32 + 11] = 0x0F;
        for (std::size_t k = 0; k < 13; ++k) {
            const char16_t c = from + k < full.size() ? full[from + k] : (from + k == full.size() ? 0 : 0xFFFF);
            store16(entries, i * 32 + offsets[k], c);
        }
    };
    longEntry(0, 0x42, 13);
    longEntry(1, 0x01, 0);
    shortEntry(2, "HELLOW~1   ", 0x20);
    std::size_t extra = 0;
    const auto name = entryName(entries, 0, extra);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(*name, full);
    EXPECT_EQ(extra, 2u);
    EXPECT_FALSE(entryName(entries, 1, extra).has_value());  // not the start of its set
    // A set that claims more entries than the block holds gets no name.
    entries[0] = 0x45;
    EXPECT_FALSE(entryName(entries, 0, extra).has_value());
}

TEST(ComparePaths, WholeComponentsWithoutCase) {
    struct Case {
        const char16_t* target;
        const char16_t* path;
        PathRelation expected;
    };
    const Case cases[] = {
        {u"\\Documents and Settings", u"\\documents AND settings", PathRelation::Same},
        {u"\\A\\B", u"\\A", PathRelation::Ancestor},
        {u"\\A", u"\\A\\B", PathRelation::Below},
        {u"\\A\\B", u"\\a\\b", PathRelation::Same},
        {u"\\A\\B", u"\\C", PathRelation::Unrelated},
        {u"\\A\\B", u"\\A\\C", PathRelation::Unrelated},
        {u"\\Documents and Settings", u"\\Documents and Settings Old", PathRelation::Unrelated},
        {u"\\Documents and Settings", u"\\Documents", PathRelation::Unrelated},
        {u"\\Documents and Settings", u"\\Documents and Settings Old\\X", PathRelation::Unrelated},
        {u"\\IMAGE.INI", u"\\IMAGE.INIX", PathRelation::Unrelated},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(comparePaths(c.target, c.path), c.expected)
            << narrow(c.target) << " vs " << narrow(c.path);
    }
}

}  // namespace
}  // namespace dorvix
