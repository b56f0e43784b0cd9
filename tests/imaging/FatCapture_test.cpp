// FAT-aware capture on source volumes made by mkfs.fat and mtools: the image body is read back
// with mtools, the source is compared byte for byte, damaged sources are refused untouched.

#include "fat/FatCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "FatTestDisk.h"
#include "TestSupport.h"
#include "VolumeFixtures.h"
#include "platform/ImageFile.h"
#include "fat/DirectoryWalker.h"
#include "fat/ImageBody.h"
#include "records/ByteOrder.h"

namespace dorvix {
namespace {

using namespace testsupport;
using testing::TestVolume;

constexpr std::uint32_t kPartitionStart = 32;

SystemTime captureTime() {
    SystemTime t;
    t.year = 2026;
    t.month = 12;
    t.day = 9;
    t.hour = 22;
    t.minute = 45;
    return t;
}

// Collects what the capture tells the operator.
struct Recorded {
    std::vector<std::string> status;
    std::vector<std::string> errors;
    std::vector<unsigned> percents;
    bool finished = false;
    unsigned dismounts = 0;
    unsigned mounts = 0;
    std::int64_t headerLength = -1;
};

CaptureHooks recordingHooks(Recorded& r) {
    CaptureHooks hooks;
    hooks.heading = [&r](const std::string& text) { r.status.push_back("heading:" + text); };
    hooks.status = [&r](const std::string& text) { r.status.push_back(text); };
    hooks.error = [&r](const std::string& text) { r.errors.push_back(text); };
    hooks.progress = [&r](unsigned percent, bool final) {
        r.percents.push_back(percent);
        r.finished = r.finished || final;
    };
    hooks.dismount = [&r] {
        ++r.dismounts;
        return true;
    };
    hooks.mountFirstPartition = [&r] { ++r.mounts; };
    hooks.now = captureTime;
    // A stand-in header: 512 bytes that say how long the body is.
    hooks.writeHeader = [&r](ImageFile& file, std::int64_t length) {
        r.headerLength = length;
        std::vector<std::uint8_t> header(512, 0);
        store32(header, 32, static_cast<std::uint32_t>((length - 512) / 512));
        return file.writeAt(0, header);
    };
    return hooks;
}

int runCapture(const std::filesystem::path& disk, const std::filesystem::path& image, Recorded& r,
               std::set<std::uint32_t> failing = {}, bool armAfterDismount = false) {
    TestVolume tv;
    EXPECT_TRUE(tv.open(disk));
    tv.disk.failingSectors = std::move(failing);
    tv.disk.failArmed = !armAfterDismount;
    CaptureHooks hooks = recordingHooks(r);
    hooks.dismount = [&r, &tv] {
        ++r.dismounts;
        tv.disk.failArmed = true;
        return true;
    };
    return captureVolume(tv.volume, image, hooks);
}

// The image's body as a disk file of full size (never-written sectors read as zeros).
std::filesystem::path bodyAsDisk(const std::filesystem::path& image, const TempDir& dir) {
    const auto body = dir / "body.img";
    std::vector<std::uint8_t> bytes = readFileBytes(image);
    EXPECT_GE(bytes.size(), 512u);
    bytes.erase(bytes.begin(), bytes.begin() + 512);
    bytes.resize(std::max<std::size_t>(bytes.size(), std::size_t{kPartitionStart + 40960} * 512), 0);
    writeFileBytes(body, bytes);
    return body;
}

std::vector<std::string> filesOnly(const std::vector<std::string>& tree) {
    std::vector<std::string> files;
    std::copy_if(tree.begin(), tree.end(), std::back_inserter(files), [](const std::string& p) { return p.back() != '/'; });
    return files;
}

// Walks the image's volume: every directory's size field counts its entries, every chain is a
// contiguous ascending run.
struct BodyCheck {
    std::vector<std::string> problems;
    std::map<std::string, long> chainLengths;
};

Visit bodyCheckVisitor(BodyCheck& check, const WalkItem& item) {
    FatVolume& volume = item.volume;
    std::u16string& path = item.path;
    const std::span<std::uint8_t> entries = item.entries;
    const std::size_t e = item.shortEntry();
    const std::uint8_t first = entryFirstByte(entries, e);
    const std::uint8_t attributes = entryAttributes(entries, e);
    if (first == 0 || first == 0x2E || first == 0xE5 || attributes == 0x0F || attributes == 0x28 || attributes == 0x08) {
        return Visit::Next;
    }
    std::string name;
    for (const char16_t c : path) {
        name.push_back(c == u'\\' ? '/' : static_cast<char>(c));
    }
    const std::uint16_t cluster = load16(entries, e * 32 + 26);
    const long length = chainLength(volume, cluster);
    check.chainLengths[name] = length;
    for (std::uint16_t c = cluster, k = 1; c >= 2 && fatEntry(volume, c) < 0xFFF8; c = fatEntry(volume, c), ++k) {
        if (fatEntry(volume, c) != c + 1) {
            check.problems.push_back(name + ": chain not contiguous");
            break;
        }
    }
    if ((attributes & 0x10) != 0) {
        // Count the entries up to the end entry over the directory's run.
        std::uint32_t counted = 0;
        std::vector<std::uint8_t> block(volume.bytesPerCluster);
        bool ended = false;
        for (std::uint16_t c = cluster; !ended && c >= 2 && c < 0xFFF8; c = fatEntry(volume, c)) {
            readCluster(volume, c, block.data(), block.size());
            for (std::size_t i = 0; i < volume.entriesPerCluster; ++i) {
                if (block[i * 32] == 0) {
                    ended = true;
                    break;
                }
                counted += 32;
            }
        }
        if (load32(entries, e * 32 + 28) != counted) {
            check.problems.push_back(name + ": size " + std::to_string(load32(entries, e * 32 + 28)) + " but " +
                                     std::to_string(counted) + " bytes of entries");
        }
        const auto visit = [&check](const WalkItem& sub) { return bodyCheckVisitor(check, sub); };
        return walkDirectory(volume, path, cluster, visit) == WalkResult::Failed ? Visit::Abort : Visit::Next;
    }
    return Visit::Next;
}

// Mounts an image body and walks it with bodyCheckVisitor; a body that does not mount or walk
// is a problem of its own.
BodyCheck checkBody(const std::filesystem::path& body) {
    BodyCheck check;
    TestVolume imageVolume;
    if (!imageVolume.openAndMount(body)) {
        check.problems.push_back("the image body does not mount");
        return check;
    }
    std::u16string path;
    if (walkDirectory(imageVolume.volume, path, 0,
                      [&check](const WalkItem& item) { return bodyCheckVisitor(check, item); }) == WalkResult::Failed) {
        check.problems.push_back("the walk of the image body failed");
    }
    return check;
}

class FatCapture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(makeFatDisk(disk)); }
    void mmd(const std::string& path) { ASSERT_TRUE(mtoolsOk(disk, kPartitionStart, "mmd", shellQuote(path))); }
    void put(const std::string& path, std::size_t size, std::uint32_t seed) {
        ASSERT_TRUE(putFile(disk, kPartitionStart, path, patternBytes(size, seed)));
    }
    void putText(const std::string& path, const std::string& text) {
        ASSERT_TRUE(putFile(disk, kPartitionStart, path, std::vector<std::uint8_t>(text.begin(), text.end())));
    }
    void del(const std::string& path) { ASSERT_TRUE(mtoolsOk(disk, kPartitionStart, "mdel", shellQuote(path))); }

    // Finds a root entry by its 11-byte short name and returns its byte offset in the disk file.
    std::uint64_t rootEntryOffset(const char* name11) {
        TestVolume tv;
        EXPECT_TRUE(tv.openAndMount(disk));
        for (std::size_t i = 0; i < tv.volume.rootEntries; ++i) {
            if (std::memcmp(&tv.volume.rootDir[i * 32], name11, 11) == 0) {
                return std::uint64_t{tv.volume.rootStart} * 512 + i * 32;
            }
        }
        ADD_FAILURE() << "no root entry " << name11;
        return 0;
    }

    void makeRichSource() {
        putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=KQ9Z1, KQ9Z2\r\n");
        mmd("::/Program Files");
        mmd("::/Program Files/Application");
        mmd("::/Program Files/Application/bin");
        put("::/Program Files/Application/bin/tool.exe", 70000, 1);
        put("::/Program Files/Application/readme with a long name.txt", 1234, 2);
        // Long names: the 16th set of four entries starts at slot 62 of a 64-entry cluster.
        mmd("::/Long Names");
        for (int i = 1; i <= 20; ++i) {
            put("::/Long Names/Long File Name Number " + std::to_string(100 + i) + ".txt", 300 * i, 10 + i);
        }
        // Deleted entries in a directory and in the root.
        mmd("::/Deleted");
        for (int i = 0; i < 30; ++i) {
            put("::/Deleted/F" + std::to_string(i) + ".BIN", 100, 40 + i);
        }
        for (int i = 0; i < 30; i += 2) {
            del("::/Deleted/F" + std::to_string(i) + ".BIN");
        }
        put("::/TEMP.TMP", 5000, 3);
        // Fragmented: B is deleted between A and C, D fills the gap and continues behind C.
        put("::/A.BIN", 3 * 2048, 4);
        put("::/B.BIN", 3 * 2048, 5);
        put("::/C.BIN", 3 * 2048, 6);
        del("::/B.BIN");
        del("::/TEMP.TMP");
        put("::/D.BIN", 10 * 2048 + 17, 7);
        put("::/EMPTY.TXT", 0, 8);
        put("::/LONGCHN.BIN", 5 * 2048, 9);
        mmd("::/Documents and Settings");
        mmd("::/Documents and Settings/Default User");
        put("::/Documents and Settings/Default User/ntuser.dat", 9000, 20);
        mmd("::/Documents and Settings Old");
        put("::/Documents and Settings Old/kept.txt", 10, 21);
        // A chain longer than its file's size: the size field says 100 bytes of five clusters.
        ImageFile file;
        ASSERT_TRUE(file.open(disk));
        std::vector<std::uint8_t> size(4);
        store32(size, 0, 100);
        ASSERT_TRUE(file.writeAt(rootEntryOffset("LONGCHN BIN") + 28, size));
    }

    TempDir dir;
    std::filesystem::path disk = dir / "disk.img";
    std::filesystem::path image = dir / "capture.kmv";
};

TEST_F(FatCapture, RichVolumeIsReadableWithMtoolsAndTheSourceIsLeftAsItWas) {
    makeRichSource();
    std::vector<std::uint8_t> before = readFileBytes(disk);
    const std::vector<std::string> sourceTree = listTree(disk, kPartitionStart);

    Recorded r;
    ASSERT_EQ(runCapture(disk, image, r), 0) << (r.errors.empty() ? "" : r.errors.front());
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.percents.back(), 100u);
    EXPECT_TRUE(std::is_sorted(r.percents.begin(), r.percents.end()));
    EXPECT_EQ(r.dismounts, 1u);
    EXPECT_EQ(r.mounts, 1u);

    // The source was only read.
    EXPECT_TRUE(readFileBytes(disk) == before);
    TestVolume probe;
    ASSERT_TRUE(probe.openAndMount(disk));
    const std::size_t fatBytes = std::size_t{probe.volume.fatSectors} * 512;
    const std::size_t fat1 = std::size_t{probe.volume.fatStart} * 512;

    // Image: header length, MBR template, boot sector, identical FAT copies.
    const std::vector<std::uint8_t> bytes = readFileBytes(image);
    EXPECT_EQ(r.headerLength, static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ((bytes.size() - 512) % 512, 0u);
    EXPECT_TRUE(std::equal(mbrTemplate().begin(), mbrTemplate().end(), bytes.begin() + 512));
    EXPECT_TRUE(std::equal(before.begin() + 32 * 512, before.begin() + 33 * 512, bytes.begin() + 512 + 32 * 512));
    EXPECT_TRUE(std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(512 + fat1),
                           bytes.begin() + static_cast<std::ptrdiff_t>(512 + fat1 + fatBytes),
                           bytes.begin() + static_cast<std::ptrdiff_t>(512 + fat1 + fatBytes)));

    // The image's volume holds the tree without the documents folder, file for file.
    const auto body = bodyAsDisk(image, dir);
    std::vector<std::string> expectedTree;
    std::copy_if(sourceTree.begin(), sourceTree.end(), std::back_inserter(expectedTree),
                 [](const std::string& p) { return p.rfind("::/Documents and Settings/", 0) != 0; });
    ASSERT_NE(expectedTree.size(), sourceTree.size());
    EXPECT_EQ(listTree(body, kPartitionStart), expectedTree);
    for (const std::string& path : filesOnly(expectedTree)) {
        bool okSource = false;
        bool okImage = false;
        const auto fromSource = getFile(disk, kPartitionStart, path, okSource);
        const auto fromImage = getFile(body, kPartitionStart, path, okImage);
        ASSERT_TRUE(okSource && okImage) << path;
        if (path == "::/IMAGE.INI") {
            const std::string sourceText(fromSource.begin(), fromSource.end());
            const std::string imageText(fromImage.begin(), fromImage.end());
            EXPECT_NE(sourceText.find("ModDate=01/02/2006 03:04"), std::string::npos);
            EXPECT_NE(imageText.find("ModDate=12/09/2026 22:45"), std::string::npos);
            continue;
        }
        EXPECT_TRUE(fromSource == fromImage) << path;
    }

    // Directory sizes count their entries; every run is contiguous; the long chain is kept whole.
    BodyCheck check = checkBody(body);
    EXPECT_TRUE(check.problems.empty()) << check.problems.front();
    EXPECT_EQ(check.chainLengths["/LONGCHN.BIN"], 5);
    EXPECT_EQ(check.chainLengths["/EMPTY.TXT"], 0);
    EXPECT_EQ(check.chainLengths["/D.BIN"], 11);
    EXPECT_EQ(check.chainLengths.count("/Documents and Settings"), 0u);
    EXPECT_EQ(check.chainLengths.count("/Documents and Settings Old"), 1u);
}

TEST_F(FatCapture, EmptyVolumeGivesMbrBootSectorFatsAndRootOnly) {
    Recorded r;
    ASSERT_EQ(runCapture(disk, image, r), 0);
    TestVolume probe;
    ASSERT_TRUE(probe.openAndMount(disk));
    const std::uint64_t expectedLength = 512 + std::uint64_t{probe.volume.dataStart} * 512;
    EXPECT_EQ(std::filesystem::file_size(image), expectedLength);
    const std::vector<std::uint8_t> bytes = readFileBytes(image);
    const std::size_t fat1 = 512 + std::size_t{probe.volume.fatStart} * 512;
    EXPECT_EQ(load16(bytes, fat1), 0xFFF8);
    EXPECT_EQ(load16(bytes, fat1 + 2), 0xFFFF);
    const std::size_t fatBytes = std::size_t{probe.volume.fatSectors} * 512;
    for (const std::size_t copy : {fat1, fat1 + fatBytes}) {
        EXPECT_EQ(load32(bytes, copy), 0xFFFFFFF8u);
        EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(copy + 4),
                                bytes.begin() + static_cast<std::ptrdiff_t>(copy + fatBytes),
                                [](std::uint8_t b) { return b == 0; }));
    }
    // The root holds the volume label entry mkfs.fat made (attribute 0x08), nothing else.
    const std::size_t root = 512 + std::size_t{probe.volume.rootStart} * 512;
    EXPECT_EQ(std::memcmp(&bytes[root], "SOURCE     \x08", 12), 0);
    EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(root + 32), bytes.end(),
                            [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(r.finished);
}

struct DamageCase {
    const char* name;
    std::function<void()> damage;
    const char* messageStart;
};

TEST_F(FatCapture, DamagedSourcesAreRefusedBeforeAnythingIsWritten) {
    put("::/FILE.BIN", 4 * 2048, 1);
    mmd("::/DIR");
    mmd("::/DIR/SUB");
    put("::/DIR/SUB/X.TXT", 10, 2);
    putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\n");
    mmd("::/Documents and Settings");
    const std::vector<std::uint8_t> pristine = readFileBytes(disk);

    TestVolume probe;
    ASSERT_TRUE(probe.openAndMount(disk));
    const FatVolume layout = probe.volume;
    auto fatOffset = [&](std::uint32_t cluster) { return std::uint64_t{layout.fatStart} * 512 + cluster * 2; };
    auto entryCluster = [&](const char* name11) {
        for (std::size_t i = 0; i < layout.rootEntries; ++i) {
            if (std::memcmp(&layout.rootDir[i * 32], name11, 11) == 0) {
                return load16(layout.rootDir, i * 32 + 26);
            }
        }
        return std::uint16_t{0};
    };
    const std::uint16_t file = entryCluster("FILE    BIN");
    const std::uint16_t directory = entryCluster("DIR        ");
    ASSERT_GE(file, 2);
    ASSERT_GE(directory, 2);
    auto patch = [this](std::uint64_t offset, std::uint16_t value) {
        ImageFile f;
        ASSERT_TRUE(f.open(disk));
        std::vector<std::uint8_t> bytes(2);
        store16(bytes, 0, value);
        ASSERT_TRUE(f.writeAt(offset, bytes));
    };
    // The SUB entry sits in DIR's first cluster at slot 2.
    const std::uint64_t subEntry = std::uint64_t{clusterToSector(layout, directory)} * 512 + 2 * 32;

    const DamageCase cases[] = {
        {"cyclic file chain", [&]() { patch(fatOffset(file + 2), file); }, "***ERROR*** "},
        {"file chain beyond the last cluster",
         [&]() { patch(fatOffset(file + 1), static_cast<std::uint16_t>(layout.clusterCount + 2)); },
         "***ERROR*** "},
        {"free cluster inside a chain", [&]() { patch(fatOffset(file + 1), 0); }, "***ERROR*** "},
        {"directory leading back to its parent", [&]() { patch(subEntry + 26, directory); }, "***ERROR*** "},
        {"directory with first cluster 0", [&]() { patch(subEntry + 26, 0); }, "***ERROR*** "},
        {"not FAT16: 1024-byte sectors", [&]() { patch(32 * 512 + 11, 1024); }, "***ERROR*** "},
        {"not FAT16: first FAT at sector 32", [&]() {
             DiskShape shape;
             shape.partitionStart = 31;
             ASSERT_TRUE(makeFatDisk(disk, shape));
         },
         "***ERROR*** "},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        writeFileBytes(disk, pristine);
        c.damage();
        const std::vector<std::uint8_t> damaged = readFileBytes(disk);
        Recorded r;
        EXPECT_EQ(runCapture(disk, image, r), -1);
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.errors.front().rfind(c.messageStart, 0), 0u) << r.errors.front();
        EXPECT_FALSE(std::filesystem::exists(image));
        EXPECT_TRUE(readFileBytes(disk) == damaged);
        // The volume is read only once it is dismounted, and a refusal gives it back.
        EXPECT_EQ(r.dismounts, 1u);
        EXPECT_EQ(r.mounts, 1u);
    }
}

TEST_F(FatCapture, FailedCopyLeavesNoImageAndTheSourceUntouched) {
    putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\n");
    mmd("::/Documents and Settings");
    put("::/Documents and Settings/user.dat", 3000, 1);
    put("::/ZZZ.BIN", 8 * 2048, 2);
    TestVolume probe;
    ASSERT_TRUE(probe.openAndMount(disk));
    std::uint16_t zzz = 0;
    for (std::size_t i = 0; i < probe.volume.rootEntries; ++i) {
        if (std::memcmp(&probe.volume.rootDir[i * 32], "ZZZ     BIN", 11) == 0) {
            zzz = load16(probe.volume.rootDir, i * 32 + 26);
        }
    }
    ASSERT_GE(zzz, 2);
    const std::vector<std::uint8_t> before = readFileBytes(disk);

    Recorded r;
    // The file's data fails to read once the copy has begun.
    EXPECT_EQ(runCapture(disk, image, r, {clusterToSector(probe.volume, zzz + 3)}, true), -1);
    ASSERT_EQ(r.errors.size(), 1u);
    EXPECT_EQ(r.errors.front(), "ERROR: An error occurred, copy failed...\r\n");
    EXPECT_FALSE(std::filesystem::exists(image));
    EXPECT_EQ(r.mounts, 1u);
    EXPECT_TRUE(readFileBytes(disk) == before);
    // The disk alone: no temporary file stays behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator{}), 1);
}

TEST_F(FatCapture, DirectoriesThatFillTheirClustersExactly) {
    // With "." and "..", 62 files fill a 64-entry cluster; 126 fill two.
    mmd("::/ONE");
    for (int i = 0; i < 62; ++i) {
        put("::/ONE/F" + std::to_string(i) + ".TXT", 1, i);
    }
    mmd("::/TWO");
    for (int i = 0; i < 126; ++i) {
        put("::/TWO/G" + std::to_string(i) + ".TXT", 1, i);
    }
    // A directory whose clusters are all used, deleted entries included.
    mmd("::/DEL");
    for (int i = 0; i < 62; ++i) {
        put("::/DEL/H" + std::to_string(i) + ".TXT", 1, i);
    }
    for (int i = 0; i < 62; i += 3) {
        del("::/DEL/H" + std::to_string(i) + ".TXT");
    }
    put("::/AFTER.TXT", 10, 99);
    Recorded r;
    ASSERT_EQ(runCapture(disk, image, r), 0);
    const auto body = bodyAsDisk(image, dir);
    EXPECT_EQ(listTree(body, kPartitionStart), listTree(disk, kPartitionStart));
    BodyCheck check = checkBody(body);
    EXPECT_TRUE(check.problems.empty()) << check.problems.front();
    EXPECT_EQ(check.chainLengths["/ONE"], 1);
    EXPECT_EQ(check.chainLengths["/TWO"], 2);
    EXPECT_EQ(check.chainLengths["/DEL"], 1);
}

// The image's directories hold their own "." and "..": their size and run follow from the
// entries the copy places, whatever the source's dot entries and size fields say.
struct DotDamage {
    const char* name;
    std::function<void(std::span<std::uint8_t> cluster, std::span<std::uint8_t> entry)> damage;
    int files;  // files in ONE, which with "." and ".." fill its cluster at 62
};

TEST_F(FatCapture, DirectoriesWithDamagedDotEntriesOrSizes) {
    const DotDamage cases[] = {
        {"dot entries deleted", [](auto cluster, auto) { cluster[0] = cluster[32] = 0xE5; }, 5},
        // A source directory without dot entries whose cluster its files fill: the image needs
        // a second cluster for its own "." and "..".
        {"dot entries turned into files in a full cluster",
         [](auto cluster, auto) {
             for (std::size_t at : {0, 32}) {
                 std::copy_n(at == 0 ? "XDOT1   TXT" : "XDOT2   TXT", 11, cluster.begin() + at);
                 cluster[at + 11] = 0x20;
                 store16(cluster, at + 26, 0);
             }
         },
         62},
        {"size field of the directory's entry set", [](auto, auto entry) { store32(entry, 28, 0x1000); }, 5},
    };
    for (const DotDamage& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(makeFatDisk(disk));
        mmd("::/ONE");
        for (int i = 0; i < c.files; ++i) {
            put("::/ONE/F" + std::to_string(i) + ".TXT", 1, i);
        }
        {
            TestVolume tv;
            ASSERT_TRUE(tv.openAndMount(disk));
            const std::uint64_t entryAt = rootEntryOffset("ONE        ");
            const std::uint16_t cluster = load16(tv.volume.rootDir, entryAt - std::uint64_t{tv.volume.rootStart} * 512 + 26);
            const std::uint64_t clusterAt = std::uint64_t{clusterToSector(tv.volume, cluster)} * 512;
            std::vector<std::uint8_t> block(tv.volume.bytesPerCluster);
            std::vector<std::uint8_t> entry(32);
            ASSERT_TRUE(tv.disk.file.readAt(clusterAt, block) && tv.disk.file.readAt(entryAt, entry));
            c.damage(block, entry);
            ASSERT_TRUE(tv.disk.file.writeAt(clusterAt, block) && tv.disk.file.writeAt(entryAt, entry));
        }
        Recorded r;
        ASSERT_EQ(runCapture(disk, image, r), 0);
        BodyCheck check = checkBody(bodyAsDisk(image, dir));
        EXPECT_TRUE(check.problems.empty()) << check.problems.front();
        EXPECT_EQ(filesOnly(listTree(bodyAsDisk(image, dir), kPartitionStart)).size(),
                  static_cast<std::size_t>(c.files) + (c.files == 62 ? 2 : 0));
    }
}

}  // namespace
}  // namespace dorvix
