#include "fat/RebuildDirectory.h"

#include "records/ByteOrder.h"
#include "TestDisks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace dorvix;
using Bytes = std::vector<std::uint8_t>;

// The rebuild's disk: a memory disk behind the fault wrapper, which logs every write.
struct MemoryDisk {
    dorvixtest::MemoryMedium medium;
    dorvixtest::FaultState faults;
    dorvixtest::FaultyDriver io;

    explicit MemoryDisk(std::uint32_t sectors)
        : medium(dorvixtest::MemoryMedium::ofSectors(sectors)),
          io(std::make_unique<dorvixtest::MemoryDriver>(medium), faults) {}
    std::span<std::uint8_t> sector(std::uint32_t s) { return {medium.bytes.data() + std::size_t{s} * 512, 512}; }
    // (first, count) of every write, in order.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> writes() const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        for (const auto& call : faults.calls) {
            if (call.op == dorvixtest::DiskOp::Write) out.emplace_back(call.first, call.count);
        }
        return out;
    }
};

Bytes entry(const std::string& name11, std::uint8_t attr, std::uint16_t cluster, std::uint32_t size) {
    Bytes e(32, 0);
    std::memcpy(e.data(), name11.data(), std::min<std::size_t>(11, name11.size()));
    e[11] = attr;
    e[22] = 0x34; e[24] = 0x21;  // a time and date that must survive
    store16(e, 26, cluster);
    store32(e, 28, size);
    return e;
}

void putEntries(std::span<std::uint8_t> at, const std::vector<Bytes>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::memcpy(at.data() + i * 32, entries[i].data(), 32);
    }
}

// Target with 4 sectors per cluster restored from an image with 8 (L = 2); root directory of
// two sectors at 60, data area at 100.
struct Fixture {
    static constexpr std::uint32_t kRoot = 60, kData = 100;
    MemoryDisk disk{4000};
    Bytes fat = Bytes(8 * 512, 0);
    RebuildContext ctx;

    Fixture() {
        store16(fat, 0, kMediaEntry);
        store16(fat, 2, kEndOfChain);
        ctx.disk = &disk.io;
        ctx.sectorsPerCluster = 4;
        ctx.clusterScale = 2;
        ctx.dataStart = kData;
        ctx.maxCluster = 900;
        ctx.imageDataBytes = 900ull * 2048;
    }
    // Image cluster c, as the data copy put it on the target.
    std::span<std::uint8_t> imageCluster(std::uint16_t c) { return disk.sector(kData + 8 * (c - 2)); }
    std::uint16_t fatAt(std::uint32_t c) const { return load16(fat, c * 2); }
    int run() {
        ctx.fat = fat;
        return rebuildDirectory(ctx, kRoot, 2);
    }
};

// A long-name slot: sequence byte, the short name's checksum, no cluster.
Bytes longNameSlot(std::uint8_t sequence, const std::string& shortName) {
    Bytes e = entry("", 0x0F, 0, 0);
    e[0] = sequence;
    e[1] = 'L';
    std::uint8_t sum = 0;
    for (char c : shortName) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(c));
    e[13] = sum;
    return e;
}

// Root: a three-cluster file, a deleted long-name slot and entry, an empty file, a one-cluster
// file, a directory holding a file and a nested directory, and an empty file with a long name
// of two slots.
void fillTree(Fixture& f) {
    putEntries(f.disk.sector(Fixture::kRoot).subspan(6 * 32),
               {longNameSlot(0x42, "LONG    TXT"), longNameSlot(0x01, "LONG    TXT"), entry("LONG    TXT", 0x20, 0, 0)});
    putEntries(f.disk.sector(Fixture::kRoot),
               {entry("FILE1   TXT", 0x20, 2, 5000), entry("\xE5longname01", 0x0F, 0, 0),
                entry("\xE5OST    TXT", 0x20, 9, 100), entry("EMPTY   TXT", 0x20, 0, 0),
                entry("SMALL   TXT", 0x20, 4, 10), entry("DIR        ", 0x10, 5, 128)});
    putEntries(f.imageCluster(5),
               {entry(".          ", 0x10, 5, 0), entry("..         ", 0x10, 0, 0),
                entry("SUB     BIN", 0x20, 6, 100), entry("D2         ", 0x10, 7, 96)});
    putEntries(f.imageCluster(7),
               {entry(".          ", 0x10, 7, 0), entry("..         ", 0x10, 5, 0),
                entry("NONE       ", 0x20, 0, 0)});
}

TEST(RebuildDirectory, RemapsClustersChainsBySizeAndResetsDirectorySizes) {
    Fixture f;
    fillTree(f);
    ASSERT_EQ(f.run(), 0);

    // FAT: 5000 bytes in 2 KiB clusters is a chain of three from cluster 2.
    const std::vector<std::pair<std::uint32_t, std::uint16_t>> expectFat = {
        {0, 0xFFF8}, {1, 0xFFFF}, {2, 3}, {3, 4}, {4, 0xFFFF}, {5, 0}, {6, 0xFFFF},
        {7, 0}, {8, 0xFFFF}, {9, 0}, {10, 0xFFFF}, {11, 0}, {12, 0xFFFF}, {13, 0}, {16, 0}};
    for (auto [c, v] : expectFat) {
        EXPECT_EQ(f.fatAt(c), v) << "cluster " << c;
    }
    auto root = f.disk.sector(Fixture::kRoot);
    EXPECT_EQ(load16(root, 0 * 32 + 26), 2);
    EXPECT_EQ(load32(root, 0 * 32 + 28), 5000u);
    EXPECT_EQ(load16(root, 2 * 32 + 26), 9);   // deleted entry untouched
    EXPECT_EQ(load16(root, 3 * 32 + 26), 0);
    EXPECT_EQ(load16(root, 4 * 32 + 26), 6);
    EXPECT_EQ(load16(root, 5 * 32 + 26), 8);
    EXPECT_EQ(load32(root, 5 * 32 + 28), 0u);  // directory size back to 0
    EXPECT_EQ(root[5 * 32 + 22], 0x34);

    auto dir = f.imageCluster(5);  // target cluster 8 starts where image cluster 5 did
    EXPECT_EQ(load16(dir, 0 * 32 + 26), 8);    // "." remapped
    EXPECT_EQ(load16(dir, 1 * 32 + 26), 0);    // ".." of a root child stays 0
    EXPECT_EQ(load16(dir, 2 * 32 + 26), 10);
    EXPECT_EQ(load16(dir, 3 * 32 + 26), 12);
    EXPECT_EQ(load32(dir, 3 * 32 + 28), 0u);
    auto d2 = f.imageCluster(7);
    EXPECT_EQ(load16(d2, 0 * 32 + 26), 12);
    EXPECT_EQ(load16(d2, 1 * 32 + 26), 8);

    // Each directory is written once, where it was read.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expectWrites = {
        {Fixture::kData + 8 * 5, 4}, {Fixture::kData + 8 * 3, 4}, {Fixture::kRoot, 2}};
    auto writes = f.disk.writes();
    std::sort(writes.begin(), writes.end());
    auto sortedExpect = expectWrites;
    std::sort(sortedExpect.begin(), sortedExpect.end());
    EXPECT_EQ(writes, sortedExpect);
}

// A directory size too small for its entries still has every entry of its chained clusters
// chained in turn, so none is left pointing at free clusters.
TEST(RebuildDirectory, EntriesBehindAShortDirectorySizeAreChained) {
    Fixture f;
    fillTree(f);
    store32(f.disk.sector(Fixture::kRoot), 5 * 32 + 28, 64);
    ASSERT_EQ(f.run(), 0);
    EXPECT_EQ(f.fatAt(10), 0xFFFF);  // SUB.BIN
    EXPECT_EQ(f.fatAt(12), 0xFFFF);  // D2
    EXPECT_EQ(load16(f.imageCluster(5), 2 * 32 + 26), 10);
}

TEST(RebuildDirectory, FullDirectoryEndsAtTheSpareSector) {
    Fixture f;
    f.ctx.clusterScale = 1;
    std::vector<Bytes> entries;
    for (int i = 0; i < 32; ++i) {
        entries.push_back(entry("F" + std::to_string(100 + i) + "    TXT", 0x20,
                                static_cast<std::uint16_t>(2 + i), 10));
    }
    putEntries(f.disk.sector(Fixture::kRoot), entries);
    std::memset(f.disk.sector(Fixture::kRoot + 2).data(), 0xAB, 512);  // not part of the root
    ASSERT_EQ(f.run(), 0);
    EXPECT_EQ(f.fatAt(33), 0xFFFF);
    EXPECT_EQ(f.fatAt(34), 0);
}

TEST(RebuildDirectory, DamagedImagesFailWithoutWritingOutsideTheirDirectories) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> damage;
    };
    const Case cases[] = {
        {"first cluster 1", [](Fixture& f) { store16(f.disk.sector(60), 26, 1); }},
        {"cluster beyond the partition", [](Fixture& f) { store16(f.disk.sector(60), 26, 700); }},
        {"chain beyond the partition",
         [](Fixture& f) { store32(f.disk.sector(60), 28, 0xFFFFFF00u); }},
        {"file runs past the image's data", [](Fixture& f) { f.ctx.imageDataBytes = 4000; }},
        {"directory size beyond any FAT directory",
         [](Fixture& f) { store32(f.disk.sector(60), 5 * 32 + 28, kMaxDirectoryBytes + 32); }},
        {"subdirectory that leads back to its parent",
         [](Fixture& f) { store16(f.imageCluster(5), 3 * 32 + 26, 5); }},
        {"two entries sharing a run",
         [](Fixture& f) { store16(f.imageCluster(5), 2 * 32 + 26, 2); }},
        {"size without a first cluster", [](Fixture& f) { store32(f.disk.sector(60), 3 * 32 + 28, 100); }},
        {"directory without a first cluster", [](Fixture& f) { f.disk.sector(60)[3 * 32 + 11] = 0x10; }},
        {"\".\" without a first cluster", [](Fixture& f) { store16(f.imageCluster(5), 26, 0); }},
        {"file named with a leading dot", [](Fixture& f) { f.imageCluster(5)[2 * 32] = '.'; }},
        {"dot entry in the root",
         [](Fixture& f) { putEntries(f.disk.sector(60).subspan(3 * 32), {entry(".          ", 0x10, 4, 0)}); }},
        {"subdirectory without its \".\" entry", [](Fixture& f) { f.imageCluster(5)[0] = 0xE5; }},
        {"subdirectory ending before its \"..\" entry", [](Fixture& f) { f.imageCluster(7)[32] = 0; }},
        {"\"..\" before \".\"", [](Fixture& f) { std::swap(f.imageCluster(5)[1], f.imageCluster(5)[33]); }},
        {"end marker before entries in use", [](Fixture& f) { f.disk.sector(60)[3 * 32] = 0; }},
        {"end marker before entries in use in a subdirectory", [](Fixture& f) { f.imageCluster(5)[2 * 32] = 0; }},
        {"\".\" naming another cluster", [](Fixture& f) { store16(f.imageCluster(5), 26, 6); }},
        {"\"..\" naming another cluster", [](Fixture& f) { store16(f.imageCluster(7), 32 + 26, 2); }},
        {"\"..\" of a root child naming a cluster", [](Fixture& f) { store16(f.imageCluster(5), 32 + 26, 7); }},
        {"directory of size 0", [](Fixture& f) { store32(f.disk.sector(60), 5 * 32 + 28, 0); }},
        {"empty file with a chain", [](Fixture& f) { store32(f.disk.sector(60), 4 * 32 + 28, 0); }},
        {"long-name entry naming a cluster", [](Fixture& f) { store16(f.disk.sector(60), 6 * 32 + 26, 3); }},
        {"long-name slot with its reserved byte set", [](Fixture& f) { f.disk.sector(60)[7 * 32 + 12] = 4; }},
        {"long-name slot with another checksum", [](Fixture& f) { f.disk.sector(60)[7 * 32 + 13] ^= 1; }},
        {"long-name slots out of sequence", [](Fixture& f) { f.disk.sector(60)[7 * 32] = 0x02; }},
        {"long-name set without its short entry", [](Fixture& f) { f.disk.sector(60)[8 * 32] = 0xE5; }},
        {"long-name set cut by the directory's end", [](Fixture& f) { std::fill_n(f.disk.sector(60).begin() + 8 * 32, 32, 0); }},
        {"label naming a cluster",
         [](Fixture& f) { putEntries(f.disk.sector(60).subspan(9 * 32), {entry("LABEL      ", 0x08, 20, 0)}); }},
        {"label with a character a label cannot hold",
         [](Fixture& f) { putEntries(f.disk.sector(60).subspan(9 * 32), {entry("=OURCE     ", 0x08, 0, 0)}); }},
        {"short name with a control character", [](Fixture& f) { f.imageCluster(5)[2 * 32 + 3] = 0x01; }},
        {"short name with a character a name cannot hold", [](Fixture& f) { f.disk.sector(60)[2] = '?'; }},
        {"label with a size",
         [](Fixture& f) { putEntries(f.disk.sector(60).subspan(9 * 32), {entry("LABEL      ", 0x28, 0, 5)}); }},
        {"FAT buffer smaller than the partition",
         [](Fixture& f) { f.fat.resize(16); }},
        {"read failure", [](Fixture& f) { f.disk.faults.fault = {dorvixtest::DiskOp::Read, 1}; }},
        {"write failure", [](Fixture& f) { f.disk.faults.fault = {dorvixtest::DiskOp::Write, 1}; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        fillTree(f);
        c.damage(f);
        EXPECT_EQ(f.run(), -1);
        for (auto [first, count] : f.disk.writes()) {
            bool inRoot = first == Fixture::kRoot && count == 2;
            bool inData = first >= Fixture::kData;
            EXPECT_TRUE(inRoot || inData) << first;
        }
    }
}

// With the image's FAT given, every entry must be a single run in it as far as its size
// reaches; a chain that jumps (a plain dump of a fragmented volume), ends early or is free is
// refused, one that goes on past the size is restored by size.
TEST(RebuildDirectory, ImageChainsMustBeRunsAsFarAsTheSizeReaches) {
    // Image clusters of 4 KiB: FILE1 (5000 bytes) is 2-3, SMALL 4, DIR 5, SUB 6, D2 7.
    struct Case {
        const char* name;
        std::vector<std::pair<std::uint16_t, std::uint16_t>> changes;  // image FAT entries
        int expected;
        std::size_t fatEntries = 1024;  // entries the image's FAT holds
    };
    const Case cases[] = {
        {"runs", {}, 0},
        {"chain going on past the size", {{3, 8}, {8, 0xFFFF}}, 0},
        {"chain that jumps", {{2, 9}, {9, 0xFFFF}}, -1},
        {"chain ending before the size", {{2, 0xFFFF}}, -1},
        {"directory cluster free in the image", {{5, 0}}, -1},
        {"clusters beyond the image's FAT", {}, -1, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        fillTree(f);
        Bytes imageFat(4 * 512, 0);
        for (auto [cluster, next] : std::vector<std::pair<std::uint16_t, std::uint16_t>>{
                 {0, 0xFFF8}, {1, 0xFFFF}, {2, 3}, {3, 0xFFFF}, {4, 0xFFFF}, {5, 0xFFFF}, {6, 0xFFFF}, {7, 0xFFFF}}) {
            store16(imageFat, cluster * 2u, next);
        }
        for (auto [cluster, next] : c.changes) {
            store16(imageFat, cluster * 2u, next);
        }
        imageFat.resize(c.fatEntries * 2);
        f.ctx.imageFat = imageFat;
        f.ctx.imageClusterBytes = 4096;
        EXPECT_EQ(f.run(), c.expected);
    }
}

TEST(RebuildDirectory, NestingDepthIsBounded) {
    for (unsigned levels : {10u, 200u}) {
        SCOPED_TRACE(levels);
        Fixture f;
        f.ctx.clusterScale = 1;
        f.ctx.sectorsPerCluster = 1;
        putEntries(f.disk.sector(Fixture::kRoot), {entry("D          ", 0x10, 2, 96)});
        for (unsigned i = 0; i < levels; ++i) {
            auto c = static_cast<std::uint16_t>(2 + i);
            std::vector<Bytes> content = {entry(".          ", 0x10, c, 0),
                                          entry("..         ", 0x10, i == 0 ? 0 : c - 1, 0)};
            if (i + 1 < levels) content.push_back(entry("D          ", 0x10, c + 1, 96));
            putEntries(f.disk.sector(Fixture::kData + i), content);
        }
        EXPECT_EQ(f.run(), levels < kMaxDirectoryDepth ? 0 : -1);
    }
}

}  // namespace
