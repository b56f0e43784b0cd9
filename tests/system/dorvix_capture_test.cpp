// dorvix -imgcopy through the device table on disk images whose volumes mkfs.fat and mtools
// made: the image is read back with mtools, its header is checked byte for byte, damaged
// sources are refused untouched, and the image's MBR starts the boot sector in qemu.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "VolumeFixtures.h"

namespace {

using namespace testsupport;

constexpr std::uint32_t kStart = 32;

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}
std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

class DorvixCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveProgram("mkfs.fat") || !haveProgram("mcopy")) {
            GTEST_SKIP() << "mkfs.fat and mtools are needed";
        }
        writeFileText(dir / "devices", "DSK1: " + disk.string() + "\n");
        ASSERT_TRUE(makeFatDisk(disk));
    }
    CommandResult capture(const std::string& arguments = "-imgcopy -y -norestart capture.kmv") {
        return runCommand("cd " + shellQuote(dir.path().string()) + " && DORVIX_DEVICES=" +
                          shellQuote((dir / "devices").string()) + " DORVIX_RESET_COMMAND= " +
                          shellQuote(DORVIX_PROGRAM) + " " + arguments + " </dev/null 2>/dev/null");
    }
    void mmd(const std::string& path) { ASSERT_TRUE(mtoolsOk(disk, kStart, "mmd", shellQuote(path))); }
    void put(const std::string& path, std::size_t size, std::uint32_t seed) {
        ASSERT_TRUE(putFile(disk, kStart, path, patternBytes(size, seed)));
    }
    void putText(const std::string& path, const std::string& text) {
        ASSERT_TRUE(putFile(disk, kStart, path, std::vector<std::uint8_t>(text.begin(), text.end())));
    }
    // The body of the image as a disk file of full length.
    std::filesystem::path body() {
        std::vector<std::uint8_t> bytes = readFileBytes(image);
        bytes.erase(bytes.begin(), bytes.begin() + 512);
        bytes.resize(std::max<std::size_t>(bytes.size(), std::filesystem::file_size(disk)), 0);
        const auto path = dir / "body.img";
        writeFileBytes(path, bytes);
        return path;
    }
    std::string textIn(const std::filesystem::path& d, const std::string& path) {
        bool ok = false;
        const auto bytes = getFile(d, kStart, path, ok);
        EXPECT_TRUE(ok) << path;
        return {bytes.begin(), bytes.end()};
    }

    TempDir dir;
    std::filesystem::path disk = dir / "flash.img";
    std::filesystem::path image = dir / "capture.kmv";
};

TEST_F(DorvixCapture, VolumeIsCapturedFileForFileWithHeaderAndStamp) {
    putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS = KQ5C1, KQ5C2\r\n");
    mmd("::/Windows");
    mmd("::/Windows/Fonts");
    put("::/Windows/Fonts/a font file with a long name.ttf", 150000, 1);
    put("::/Windows/shell.exe", 33333, 2);
    put("::/A.BIN", 3 * 2048, 3);
    put("::/B.BIN", 3 * 2048, 4);
    put("::/C.BIN", 2048, 5);
    ASSERT_TRUE(mtoolsOk(disk, kStart, "mdel", "::/B.BIN"));
    put("::/FRAGMENT.BIN", 9 * 2048 + 5, 6);
    put("::/EMPTY.TXT", 0, 7);
    mmd("::/Documents and Settings");
    mmd("::/Documents and Settings/Default User");
    put("::/Documents and Settings/Default User/ntuser.dat", 20000, 8);
    mmd("::/Documents and Settings Old");
    put("::/Documents and Settings Old/kept.txt", 99, 9);
    const std::vector<std::uint8_t> before = readFileBytes(disk);
    const std::vector<std::string> sourceTree = listTree(disk, kStart);
    const std::time_t started = std::time(nullptr);

    const CommandResult run = capture();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("Sizing the source volume...\r\n"), std::string::npos);
    EXPECT_NE(run.output.find("Copying folder and data areas...\r\n"), std::string::npos);
    EXPECT_NE(run.output.find("\r100% completed.\r\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("100% completed."), run.output.rfind("100% completed.")) << run.output;

    // Header: size, signature, FAT-aware kind, target list from IMAGE.INI, body length, checksum.
    const std::vector<std::uint8_t> bytes = readFileBytes(image);
    ASSERT_GT(bytes.size(), 512u);
    EXPECT_EQ(le16(bytes, 0), 512);
    EXPECT_EQ(std::string(bytes.begin() + 2, bytes.begin() + 14), "!QZ_WRX_STAR");
    EXPECT_EQ(le16(bytes, 14), 512);
    EXPECT_EQ(le32(bytes, 32), (bytes.size() - 512) / 512);
    EXPECT_EQ(bytes[40], 2);
    EXPECT_EQ(bytes[41], 0x34);
    EXPECT_EQ(bytes[170], 4);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes[171])), "KQ5C1,KQ5C2");
    EXPECT_EQ(bytes[510], 3);
    unsigned sum = 0;
    for (std::size_t i = 0; i < 512; ++i) {
        sum += bytes[i];
    }
    EXPECT_EQ(sum % 256, 0u);
    EXPECT_EQ(bytes.size() % 512, 0u);

    // The body's partition, as mtools sees it: the tree without the documents folder.
    const auto captured = body();
    std::vector<std::string> expected;
    std::copy_if(sourceTree.begin(), sourceTree.end(), std::back_inserter(expected),
                 [](const std::string& p) { return p.rfind("::/Documents and Settings/", 0) != 0; });
    EXPECT_EQ(listTree(captured, kStart), expected);
    for (const std::string& path : expected) {
        if (path.back() == '/' || path == "::/IMAGE.INI") {
            continue;
        }
        EXPECT_EQ(textIn(captured, path), textIn(disk, path)) << path;
    }

    // The image carries the capture date; the source keeps its own.
    const std::string imageIni = textIn(captured, "::/IMAGE.INI");
    const std::size_t at = imageIni.find("ModDate=");
    ASSERT_NE(at, std::string::npos);
    const std::string stamp = imageIni.substr(at + 8, 16);
    char today[32];
    char yesterday[32];
    const std::time_t earlier = started - 24 * 3600;
    std::strftime(today, sizeof today, "%m/%d/%Y", std::localtime(&started));
    std::strftime(yesterday, sizeof yesterday, "%m/%d/%Y", std::localtime(&earlier));
    EXPECT_TRUE(stamp.rfind(today, 0) == 0 || stamp.rfind(yesterday, 0) == 0) << stamp;
    EXPECT_NE(textIn(disk, "::/IMAGE.INI").find("ModDate=01/02/2006 03:04"), std::string::npos);

    // The capture only read its source.
    EXPECT_TRUE(readFileBytes(disk) == before);
}

// The image's IMAGE.INI is the source's with the value of its ModDate= line replaced by the
// capture time, whatever that value was; every other byte stays, and the source keeps its own.
TEST_F(DorvixCapture, ImageIniCarriesTheCaptureTimeAndEveryOtherLine) {
    struct Case {
        const char* name;
        std::string text;
        bool readOnly;
    };
    const std::string tail = "\r\nKMVBIOS=KQ5C1\r\nOther=1\r\n";
    // A value whose replacement moves the file's end into another cluster (2048 bytes).
    const std::string padded = "[Image]\r\n" + std::string(2020, ';') + "\r\nModDate=x\r\nEnd=1\r\n";
    const Case cases[] = {
        {"16-character date", "[Image]\r\nModDate=01/02/2006 03:04" + tail, false},
        {"shorter date", "[Image]\r\nModDate=1/2/2006 3:04" + tail, false},
        {"unknown", "[Image]\r\nModDate=unknown" + tail, false},
        {"last line without end", "[Image]\r\nKMVBIOS=KQ5C1\r\nmoddate=12/31/1999 23:59", false},
        {"no ModDate line", "[Image]" + tail, false},
        {"read-only file", "[Image]\r\nModDate=01/02/2006 03:04" + tail, true},
        {"growing past its cluster", padded, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(makeFatDisk(disk));
        putText("::/IMAGE.INI", c.text);
        if (c.readOnly) {
            ASSERT_TRUE(mtoolsOk(disk, kStart, "mattrib", "+r ::/IMAGE.INI"));
        }
        put("::/AFTER.BIN", 5000, 1);
        std::filesystem::remove(image);
        const std::vector<std::uint8_t> before = readFileBytes(disk);
        const CommandResult run = capture();
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_TRUE(readFileBytes(disk) == before);
        const auto captured = body();
        const std::string stamped = textIn(captured, "::/IMAGE.INI");
        EXPECT_EQ(textIn(captured, "::/AFTER.BIN"), textIn(disk, "::/AFTER.BIN"));
        std::string lower = c.text;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char ch) { return std::tolower(ch); });
        const std::size_t key = lower.find("moddate=");
        if (key == std::string::npos) {
            EXPECT_EQ(stamped, c.text);
            continue;
        }
        const std::size_t from = key + 8;
        const std::size_t to = std::min(c.text.find('\r', from), c.text.size());
        ASSERT_GE(stamped.size(), from + 16);
        EXPECT_EQ(stamped.substr(0, from), c.text.substr(0, from));
        EXPECT_EQ(stamped.substr(from + 16), c.text.substr(to));
        const std::string value = stamped.substr(from, 16);
        int month = 0, day = 0, year = 0, hour = 0, minute = 0;
        EXPECT_EQ(std::sscanf(value.c_str(), "%2d/%2d/%4d %2d:%2d", &month, &day, &year, &hour, &minute), 5) << value;
        EXPECT_GE(year, 2024) << value;
        if (c.readOnly) {
            const CommandResult attributes = mtools(captured, kStart, "mattrib", "::/IMAGE.INI");
            EXPECT_NE(attributes.output.find("R"), std::string::npos) << attributes.output;
        }
    }
}

// The root's label entry stays with the boot sector that names it, also with the archive bit
// set (0x28): an image whose root lost it gave volumes fsck.fat rejects.
TEST_F(DorvixCapture, LabelEntryIsKeptWithTheBootSectorsLabel) {
    if (!haveProgram("fsck.fat")) {
        GTEST_SKIP() << "fsck.fat is needed";
    }
    for (const std::uint8_t attributes : {std::uint8_t{0x08}, std::uint8_t{0x28}}) {
        SCOPED_TRACE(static_cast<int>(attributes));
        ASSERT_TRUE(makeFatDisk(disk));
        ASSERT_TRUE(mtoolsOk(disk, kStart, "mlabel", "::FLASHDISK"));
        put("::/FILE.BIN", 5000, 1);
        std::vector<std::uint8_t> bytes = readFileBytes(disk);
        const std::size_t boot = kStart * 512;
        const std::size_t root = (kStart + le16(bytes, boot + 14) + std::size_t{bytes[boot + 16]} * le16(bytes, boot + 22)) * 512;
        std::size_t label = 0;
        for (std::size_t e = root; e < root + 512 * 32; e += 32) {
            if ((bytes[e + 11] & 0x18) == 0x08 && bytes[e + 11] != 0x0F && bytes[e] != 0xE5) label = e;
        }
        ASSERT_NE(label, 0u);
        bytes[label + 11] = attributes;
        writeFileBytes(disk, bytes);
        std::filesystem::remove(image);
        ASSERT_EQ(capture().exitCode, 0);
        // The image's volume, cut out of its body, as fsck.fat sees it.
        std::vector<std::uint8_t> volume = readFileBytes(body());
        volume.erase(volume.begin(), volume.begin() + kStart * 512);
        volume.resize(std::size_t{le16(bytes, boot + 19)} != 0 ? std::size_t{le16(bytes, boot + 19)} * 512
                                                                  : std::size_t{le32(bytes, boot + 32)} * 512);
        writeFileBytes(dir / "volume.img", volume);
        const CommandResult fsck = runCommand("fsck.fat -n " + shellQuote((dir / "volume.img").string()));
        EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
        const CommandResult shown = mtools(body(), kStart, "mlabel", "-s ::");
        EXPECT_NE(shown.output.find("FLASHDISK"), std::string::npos) << shown.output;
    }
}

TEST_F(DorvixCapture, DefaultTargetListWithoutKey) {
    putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\nKMVBIOS=\r\n");
    const CommandResult run = capture();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::vector<std::uint8_t> bytes = readFileBytes(image);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&bytes.at(171))), "KQ7B2,KQ3A1,KQ3A0");
}

TEST_F(DorvixCapture, DamagedOrUnsuitableSourcesEndWithAMessageAndNoImage) {
    put("::/FILE.BIN", 4 * 2048, 1);
    mmd("::/DIR");
    mmd("::/DIR/SUB");
    putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\n");
    const std::vector<std::uint8_t> pristine = readFileBytes(disk);
    const std::size_t boot = kStart * 512;
    const std::size_t fat = (kStart + le16(pristine, boot + 14)) * 512;
    const std::size_t root = fat + std::size_t{pristine[boot + 16]} * le16(pristine, boot + 22) * 512;
    std::uint16_t fileCluster = 0;
    std::uint16_t dirCluster = 0;
    for (std::size_t e = root; e < root + 512 * 32; e += 32) {
        if (std::memcmp(&pristine[e], "FILE    BIN", 11) == 0) fileCluster = le16(pristine, e + 26);
        if (std::memcmp(&pristine[e], "DIR        ", 11) == 0) dirCluster = le16(pristine, e + 26);
    }
    ASSERT_GE(fileCluster, 2);
    ASSERT_GE(dirCluster, 2);
    const std::size_t data = root + 32 * 512;
    const std::size_t subEntry = data + (dirCluster - 2u) * 2048 + 2 * 32;

    struct Case {
        const char* name;
        std::size_t offset;
        std::uint16_t value;
    };
    const Case cases[] = {
        {"cyclic chain", fat + (fileCluster + 3u) * 2, fileCluster},
        {"out-of-range cluster", fat + (fileCluster + 1u) * 2, 0xFFF0},
        {"directory loop", subEntry + 26, dirCluster},
        {"zero first cluster", subEntry + 26, 0},
        {"not FAT16", boot + 22, 3},
        {"root directory ending inside a sector", boot + 17, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> damaged = pristine;
        damaged[c.offset] = static_cast<std::uint8_t>(c.value);
        damaged[c.offset + 1] = static_cast<std::uint8_t>(c.value >> 8);
        writeFileBytes(disk, damaged);
        const CommandResult run = capture();
        EXPECT_NE(run.exitCode, 0);
        EXPECT_NE(run.output.find("***ERROR*** "), std::string::npos) << run.output;
        EXPECT_FALSE(std::filesystem::exists(image));
        EXPECT_TRUE(readFileBytes(disk) == damaged);
    }
}

// Sources whose image no restore would take are refused before the image is made, with a
// message that says what was found (and where), and the source untouched.
TEST_F(DorvixCapture, SourcesNoRestoreWouldTakeAreRefusedSayingWhy) {
    struct Case {
        const char* name;
        std::function<void()> make;  // builds the source on `disk`
        std::string message;
    };
    // Patches the 32-byte root entry of `name11` at `field` with a little-endian value.
    auto patchRoot = [this](const char* name11, std::size_t field, std::uint32_t value, std::size_t bytes,
                            int slotOffset = 0) {
        std::vector<std::uint8_t> d = readFileBytes(disk);
        const std::size_t boot = kStart * 512;
        const std::size_t root = (kStart + le16(d, boot + 14) + std::size_t{d[boot + 16]} * le16(d, boot + 22)) * 512;
        for (std::size_t e = root; e < root + 512 * 32; e += 32) {
            if (std::memcmp(&d[e], name11, 11) == 0) {
                const std::size_t at = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(e) + slotOffset * 32) + field;
                for (std::size_t i = 0; i < bytes; ++i) d[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
            }
        }
        writeFileBytes(disk, d);
    };
    const std::string a60(60, 'a');
    const Case cases[] = {
        {"size past the chain",
         [&] { put("::/FILE.BIN", 4 * 2048, 1); patchRoot("FILE    BIN", 28, 4 * 2048 + 1, 4); },
         "a file whose size runs past its cluster chain, which no restore of its image would accept: \\FILE.BIN"},
        {"empty file with a chain",
         [&] { put("::/FILE.BIN", 4 * 2048, 1); patchRoot("FILE    BIN", 28, 0, 4); },
         "an empty file with a cluster chain"},
        {"long-name slot with a cluster",
         [&] { put("::/A long name.txt", 100, 1); patchRoot("ALONGN~1TXT", 26, 7, 2, -1); },
         "a long-name entry that names a cluster, which no restore of its image would accept: \\A long name.txt"},
        {"label fsck.fat would remove", [&] { patchRoot("SOURCE     ", 0, '=', 1); },
         "a volume label with characters a label cannot hold"},
        {"label with a size", [&] { patchRoot("SOURCE     ", 28, 23808, 4); },
         "a file with a size but no cluster chain"},
        {"short name fsck.fat would rename", [&] { put("::/FILE.BIN", 10, 1); patchRoot("FILE    BIN", 2, '?', 1); },
         "an entry whose short name holds characters a name cannot hold"},
        {"long-name slot with its reserved byte set",
         [&] { put("::/A long name.txt", 100, 1); patchRoot("ALONGN~1TXT", 12, 4, 1, -1); },
         "a long name whose slots do not belong to their entry, which no restore of its image would accept: "
         "\\A long name.txt"},
        {"long-name set cut short by an end marker",
         [&] { put("::/A long name.txt", 100, 1); patchRoot("ALONGN~1TXT", 0, 0, 1); },
         "a long name whose slots do not belong to their entry"},
        {"long-name slots out of sequence",
         [&] { put("::/A long name.txt", 100, 1); patchRoot("ALONGN~1TXT", 0, 3, 1, -1); },
         "a long name whose slots do not belong to their entry, which no restore of its image would accept: "
         "\\A long name.txt"},
        {"boot sector claiming more sectors than its partition and FAT hold",
         [&] {
             std::vector<std::uint8_t> d = readFileBytes(disk);
             const std::size_t boot = kStart * 512;
             d[boot + 19] = d[boot + 20] = 0;  // the 16-bit count gives way to the 32-bit one
             const std::uint32_t claimed = 8 * 40960;
             for (std::size_t i = 0; i < 4; ++i) d[boot + 32 + i] = static_cast<std::uint8_t>(claimed >> (8 * i));
             writeFileBytes(disk, d);
         },
         "is not a FAT16 volume that a KMV file can carry"},
        {"path of 260 characters",
         [&] {
             std::string path = "::";
             for (int i = 0; i < 4; ++i) {
                 path += "/" + a60;
                 mmd(path);
             }
             put(path + "/" + std::string(15, 'b'), 10, 1);
         },
         "a path of 260 characters; an image carries at most 259"},
        {"one sector per cluster",
         [&] {
             DiskShape shape;
             shape.sectorsPerCluster = 1;
             ASSERT_TRUE(makeFatDisk(disk, shape));
             put("::/FILE.BIN", 100, 1);
         },
         "clusters are too small for any disk to take its image"},
        {"more data than a volume of its cluster size can hold",
         [&] {
             DiskShape shape;
             shape.partitionSectors = 98304;
             shape.sectorsPerCluster = 2;
             ASSERT_TRUE(makeFatDisk(disk, shape));
             put("::/BIG.BIN", 17 << 20, 1);
         },
         "does not fit the largest volume its cluster size allows on any disk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(makeFatDisk(disk));
        c.make();
        const std::vector<std::uint8_t> before = readFileBytes(disk);
        const CommandResult run = capture();
        EXPECT_EQ(run.exitCode, 255) << run.output;
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(std::filesystem::exists(image));
        EXPECT_TRUE(readFileBytes(disk) == before);
    }
}

// A capture killed early, mid-copy or late leaves the source byte for byte as it was and
// nothing under the image's name but a whole image; no temporary file stays behind.
TEST_F(DorvixCapture, KilledCaptureLeavesTheSourceAndNoPartialImage) {
    putText("::/IMAGE.INI", "[Image]\r\nModDate=01/02/2006 03:04\r\n");
    mmd("::/Documents and Settings");
    put("::/Documents and Settings/user.dat", 3 << 20, 1);
    mmd("::/DATA");
    for (int i = 0; i < 6; ++i) {
        put("::/DATA/PART" + std::to_string(i) + ".BIN", 2 << 20, 10 + i);
    }
    const std::vector<std::uint8_t> before = readFileBytes(disk);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(capture().exitCode, 0);
    const double whole = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::filesystem::remove(image);
    const std::string command = "cd " + shellQuote(dir.path().string()) + " && DORVIX_DEVICES=" +
                                shellQuote((dir / "devices").string()) + " DORVIX_RESET_COMMAND= " +
                                shellQuote(DORVIX_PROGRAM) + " -imgcopy -y -norestart capture.kmv";
    for (const double fraction : {0.02, 0.5, 0.9}) {
        SCOPED_TRACE(fraction);
        char delay[32];
        std::snprintf(delay, sizeof delay, "%.3f", whole * fraction);
        runCommand("(" + command + " </dev/null >/dev/null 2>&1 & pid=$!; sleep " + delay +
                   "; kill -KILL $pid; wait $pid) 2>/dev/null; true");
        EXPECT_TRUE(readFileBytes(disk) == before);
        if (std::filesystem::exists(image)) {
            // Only a capture that finished before the kill names its image, and then whole.
            const std::vector<std::uint8_t> bytes = readFileBytes(image);
            ASSERT_GE(bytes.size(), 512u);
            EXPECT_EQ(std::uint64_t{le32(bytes, 32)} * 512 + 512, bytes.size());
            std::filesystem::remove(image);
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "devices" || name == "flash.img") << name;
        }
    }
}

// Where the folder takes no unnamed files (forced here), the capture writes a hidden
// `.capture.kmv.dorvix-XXXXXX`: SIGINT, SIGTERM and SIGHUP remove it as they end the program;
// one that SIGKILL left is removed by the next capture, which spares everything not ours.
TEST_F(DorvixCapture, HiddenTemporaryGoesWithSignalsAndStaleOnesWithTheNextCapture) {
    mmd("::/DATA");
    for (int i = 0; i < 8; ++i) {
        put("::/DATA/PART" + std::to_string(i) + ".BIN", 2 << 20, 20 + i);
    }
    const std::string mark = ".capture.kmv.dorvix-";
    auto temporaries = [&] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(mark, 0) == 0) found.push_back(name);
        }
        return found;
    };
    // Starts the capture as its own process (a shell's background job would ignore SIGINT) and
    // sends `signal` once the hidden file is there; the status the capture ended with.
    auto captureSignalled = [&](int signal) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::chdir(dir.path().c_str()) != 0) ::_exit(126);
            ::setenv("DORVIX_DEVICES", (dir / "devices").c_str(), 1);
            ::setenv("DORVIX_NO_UNNAMED_TEMP", "1", 1);
            ::setenv("DORVIX_RESET_COMMAND", "", 1);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
            for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
            ::execl(DORVIX_PROGRAM, DORVIX_PROGRAM, "-imgcopy", "-y", "-norestart", "capture.kmv",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int wait = 0; wait < 20000 && temporaries().empty(); ++wait) ::usleep(500);
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const int status = captureSignalled(signal);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_TRUE(temporaries().empty());
        EXPECT_FALSE(std::filesystem::exists(image));
    }

    const int killed = captureSignalled(SIGKILL);
    ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << killed;
    ASSERT_EQ(temporaries().size(), 1u);
    // Beside it: a stale temporary of another image, and what is not ours to remove.
    writeFileText(dir / ".other.kmv.dorvix-Ab12Cd", "stale");
    writeFileText(dir / ".capture.kmv.other", "not our pattern");
    writeFileText(dir / "target.txt", "a link's target");
    std::filesystem::create_symlink(dir / "target.txt", dir / ".link.kmv.dorvix-Zz99Yy");
    std::filesystem::create_directory(dir / ".folder.kmv.dorvix-Qq11Ww");
    writeFileText(dir / ".newer.kmv.dorvix-Nn22Mm", "written after the next run began");
    const auto later = std::filesystem::file_time_type::clock::now() + std::chrono::hours(1);
    std::filesystem::last_write_time(dir / ".newer.kmv.dorvix-Nn22Mm", later);
    ::sleep(1);  // the stale files are older than the next run, to the second

    const CommandResult run = runCommand("cd " + shellQuote(dir.path().string()) + " && DORVIX_DEVICES=" +
                                         shellQuote((dir / "devices").string()) +
                                         " DORVIX_NO_UNNAMED_TEMP=1 DORVIX_RESET_COMMAND= " +
                                         shellQuote(DORVIX_PROGRAM) + " -imgcopy -y -norestart capture.kmv </dev/null");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(temporaries().empty());
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected = {".capture.kmv.other",       ".folder.kmv.dorvix-Qq11Ww",
                                               ".link.kmv.dorvix-Zz99Yy", ".newer.kmv.dorvix-Nn22Mm",
                                               "capture.kmv",              "devices",
                                               "flash.img",                "target.txt"};
    EXPECT_EQ(names, expected);
}

// A folder that fills up: both captures say which folder and why, and leave nothing there,
// with the unnamed temporary file and with the hidden one.
TEST_F(DorvixCapture, FullImageFolderIsNamedWithTheSystemsReason) {
    mmd("::/DATA");
    for (int i = 0; i < 3; ++i) {
        put("::/DATA/PART" + std::to_string(i) + ".BIN", 1 << 20, 30 + i);
    }
    const std::filesystem::path small = dir / "small";
    std::filesystem::create_directory(small);
    if (runCommand("mount -t tmpfs -o size=1m tmpfs " + shellQuote(small.string()) + " 2>&1").exitCode != 0) {
        GTEST_SKIP() << "no small file system can be mounted here";
    }
    struct Case {
        const char* arguments;
        const char* environment;
        int exitCode;
    };
    const Case cases[] = {
        {"-imgcopy -y -norestart small/capture.kmv", "", 255},
        {"-flatcopy -y -norestart small/capture.kmv", "", 3},
        {"-imgcopy -y -norestart small/capture.kmv", "DORVIX_NO_UNNAMED_TEMP=1 ", 255},
        {"-flatcopy -y -norestart small/capture.kmv", "DORVIX_NO_UNNAMED_TEMP=1 ", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.environment) + c.arguments);
        const CommandResult run =
            runCommand("cd " + shellQuote(dir.path().string()) + " && " + c.environment + "DORVIX_DEVICES=" +
                       shellQuote((dir / "devices").string()) + " DORVIX_RESET_COMMAND= " + shellQuote(DORVIX_PROGRAM) +
                       " " + c.arguments + " </dev/null");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find("***ERROR*** Writing the image file in " +
                                  std::filesystem::canonical(small).string() + " failed: No space left on device\n"),
                  std::string::npos)
            << run.output;
        EXPECT_TRUE(std::filesystem::is_empty(small));
    }
    runCommand("umount " + shellQuote(small.string()));
}

// A full volume whose IMAGE.INI grows past its cluster with the capture date: both captures
// say that the volume has no room for the stamp, and leave no image.
TEST_F(DorvixCapture, FullVolumeWithoutRoomForTheStampIsRefusedSayingSo) {
    putText("::/IMAGE.INI", std::string(2030, ';') + "\r\nModDate=x\r\nEnd\r\n");
    ASSERT_TRUE(fillVolume(disk, kStart, "::/FILL.BIN"));
    const std::vector<std::uint8_t> before = readFileBytes(disk);
    for (const auto& [mode, exitCode] : {std::pair<std::string, int>{"-imgcopy", 255}, {"-flatcopy", 3}}) {
        SCOPED_TRACE(mode);
        const CommandResult run = capture(mode + " -y -norestart capture.kmv");
        EXPECT_EQ(run.exitCode, exitCode) << run.output;
        EXPECT_NE(run.output.find("***ERROR*** The volume has no room for the capture date in \\IMAGE.INI"),
                  std::string::npos)
            << run.output;
        EXPECT_FALSE(std::filesystem::exists(image));
        EXPECT_TRUE(readFileBytes(disk) == before);
    }
}

TEST_F(DorvixCapture, MissingDeviceIsReportedWithoutImageOrRestart) {
    writeFileText(dir / "devices", "");
    const CommandResult run = capture("-imgcopy -y capture.kmv");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.output.find("ERROR: The target device could not be accessed."), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("must now be restarted"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(image));
}

TEST_F(DorvixCapture, ImagePathNamingTheSourceDiskIsRefused) {
    put("::/FILE.BIN", 5000, 1);
    const std::vector<std::uint8_t> before = readFileBytes(disk);
    const CommandResult run = capture("-imgcopy -y -norestart flash.img");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.output.find("***ERROR*** The KMV file named is the source disk itself"), std::string::npos)
        << run.output;
    EXPECT_TRUE(readFileBytes(disk) == before);
}

TEST_F(DorvixCapture, ImageMbrStartsTheActivePartitionsBootSector) {
    if (!haveProgram("qemu-system-i386") || !haveProgram("nasm")) {
        GTEST_SKIP() << "qemu-system-i386 and nasm are needed";
    }
    put("::/FILE.BIN", 5000, 1);
    ASSERT_EQ(capture().exitCode, 0);
    // The captured disk with a probe in place of the volume's boot sector.
    const auto probe = dir / "probe.bin";
    const CommandResult assembled =
        runCommand("nasm -f bin -o " + shellQuote(probe.string()) + " " +
                   shellQuote(std::string(SOURCE_DIR) + "/tests/system/fixtures/probe_boot_sector.asm"));
    ASSERT_EQ(assembled.exitCode, 0) << assembled.output;
    const auto bootDisk = body();
    const std::vector<std::uint8_t> probeBytes = readFileBytes(probe);
    std::vector<std::uint8_t> bytes = readFileBytes(bootDisk);
    std::copy(probeBytes.begin(), probeBytes.end(), bytes.begin() + 32 * 512);
    writeFileBytes(bootDisk, bytes);
    const auto log = dir / "debugcon.txt";
    const CommandResult booted = runCommand(
        "timeout 60 qemu-system-i386 -display none -no-reboot -drive file=" + shellQuote(bootDisk.string()) +
        ",format=raw,if=ide -debugcon file:" + shellQuote(log.string()) +
        " -device isa-debug-exit,iobase=0xf4,iosize=0x04");
    const std::vector<std::uint8_t> logBytes = readFileBytes(log);
    const std::string console(logBytes.begin(), logBytes.end());
    EXPECT_NE(console.find("BOOT-SECTOR-STARTED"), std::string::npos) << booted.output;
    EXPECT_NE(console.find("ENTRY-OK"), std::string::npos) << console;
}

}  // namespace
