// CFat16Disk::Format on image files: where every file lands, progress and cancel, files that
// are missing, directories, unreadable or changing, refusals and injected write failures.

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fat16TestSupport.h"
#include "TestSupport.h"
#include "fat16/ByteOrder.h"
#include "fat16/Fat16Disk.h"
#include "FaultyHandle.h"

namespace pellorin {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A disk whose progress calls run a hook (to change files while Format runs) and can stop.
class CHookedDisk : public CRecordingDisk {
public:
    BOOL OnProgress(DWORD dwTotal, DWORD dwDone, void* context) override {
        if (hook) {
            hook(calls.size() + 1);
        }
        return CRecordingDisk::OnProgress(dwTotal, dwDone, context);
    }
    std::function<void(std::size_t)> hook;
};

class FormatTest : public ::testing::Test {
protected:
    // Formats `image` (created sparse with `bytes` bytes, or empty for 0) through a faulty
    // handle that the test may arm first.
    BOOL Format(DWORD sectorsPerTrack, DWORD heads, DWORD cylinders, std::uint64_t bytes,
                const std::vector<fs::path>& files, void* context = nullptr) {
        MakeSparseImage(image, bytes);
        file = CFileHandle::Open(image.string(), CFileHandle::Mode::ReadWrite);
        EXPECT_TRUE(file);
        faulty = std::make_unique<CFaultyHandle>(file.get());
        for (const auto& arm : arming) {
            arm(*faulty);
        }
        disk.SetTickCountSource([] { return DWORD{0x0BADCAFE}; });
        EXPECT_TRUE(disk.AttachFile(direct ? static_cast<CDriveHandle*>(file.get()) : faulty.get(), 0, 512,
                                    sectorsPerTrack, heads, cylinders));
        const std::string list = FileList(files);
        testing::internal::CaptureStderr();
        const BOOL result = disk.Format(mbr.data(), pbr.data(), list.c_str(), context);
        trace = testing::internal::GetCapturedStderr();
        layout = disk.Layout();
        return result;
    }

    fs::path MakeFile(const std::string& name, std::size_t size, std::uint32_t seed) {
        const fs::path path = dir / name;
        testsupport::writeFileBytes(path, testsupport::patternBytes(size, seed));
        return path;
    }

    std::vector<BYTE> Sectors(std::uint64_t sector, std::size_t count) {
        return ReadAt(image, sector * 512, count * 512);
    }
    WORD FatEntry(DWORD cluster, DWORD fatStart) {
        return load16(Sectors(fatStart + cluster / 256, 1), (cluster % 256) * 2);
    }
    std::vector<BYTE> DirEntry(DWORD slot) {
        const auto sector = Sectors(layout.rootStart + slot / 16, 1);
        return {sector.begin() + (slot % 16) * 32, sector.begin() + (slot % 16) * 32 + 32};
    }
    std::vector<BYTE> Cluster(DWORD cluster) {
        return Sectors(layout.dataStart + std::uint64_t{cluster - 2} * layout.P, layout.P);
    }
    // The file's bytes as its clusters hold them, padded with zeros to whole clusters.
    std::vector<BYTE> Padded(const fs::path& path, std::size_t clusters) {
        auto bytes = testsupport::readFileBytes(path);
        bytes.resize(clusters * layout.P * 512, 0);
        return bytes;
    }

    testsupport::TempDir dir;
    fs::path image = dir / "disk.img";
    // Straight onto the file, where whole runs of clusters are copied inside the kernel, rather
    // than through the faulty handle, which takes every byte through the writer's buffer.
    bool direct = false;
    std::unique_ptr<CFileHandle> file;
    std::unique_ptr<CFaultyHandle> faulty;
    std::vector<std::function<void(CFaultyHandle&)>> arming;
    CHookedDisk disk;
    std::vector<BYTE> mbr = MbrTemplate();
    std::vector<BYTE> pbr = PbrTemplate();
    std::string trace;
    Fat16Layout layout;
};

// 16 MiB disk of 32 sectors and 64 heads: 4 sectors (2,048 bytes) a cluster.
constexpr DWORD kS = 32, kH = 64, kC = 16;
constexpr std::uint64_t kBytes = 16ull << 20;

TEST_F(FormatTest, SixFilesGetTheirChainsAndProgress) {
    const fs::path files[] = {MakeFile("A.BIN", 40000, 1), MakeFile("B.BIN", 60000, 2),
                              MakeFile("C.BIN", 100, 3), MakeFile("D.BIN", 0, 4),
                              MakeFile("E.BIN", 1000000, 5), dir / "F.BIN"};
    { std::ofstream create(files[5]); }
    fs::resize_file(files[5], 50000000);  // sparse: reads as zeros
    // 124 cylinders of 255 heads and 63 sectors: 32 sectors (16,384 bytes) a cluster.
    int context = 0;
    ASSERT_EQ(Format(63, 255, 124, 124ull * 255 * 63 * 512, {std::begin(files), std::end(files)},
                     &context),
              TRUE)
        << trace;
    ASSERT_EQ(layout.P, 32u);

    struct Expected {
        DWORD firstCluster;  // as the entry names it; the empty file's cluster 10 stays free
        DWORD clusters;
        DWORD size;
    };
    const Expected expected[] = {{2, 3, 40000},   {5, 4, 60000},   {9, 1, 100},
                                 {0, 1, 0},       {11, 62, 1000000}, {73, 3052, 50000000}};
    for (DWORD slot = 0; slot < 6; ++slot) {
        SCOPED_TRACE(slot);
        const auto entry = DirEntry(slot);
        EXPECT_EQ(load16(entry, 0x1A), expected[slot].firstCluster);
        EXPECT_EQ(load32(entry, 0x1C), expected[slot].size);
        const DWORD first = expected[slot].firstCluster;
        if (first == 0) {
            continue;
        }
        for (DWORD cluster = first; cluster < first + expected[slot].clusters; ++cluster) {
            const WORD next = cluster + 1 == first + expected[slot].clusters ? 0xFFFF : cluster + 1;
            ASSERT_EQ(FatEntry(cluster, layout.fat1Start), next) << cluster;
        }
    }
    EXPECT_EQ(FatEntry(10, layout.fat1Start), 0) << "the empty file's cluster";
    EXPECT_EQ(FatEntry(73 + 3052, layout.fat1Start), 0) << "past the last chain";
    EXPECT_EQ(Sectors(layout.fat1Start, layout.F), Sectors(layout.fat2Start, layout.F));
    const auto firstPadded = Padded(files[0], 3);
    EXPECT_EQ(Cluster(2), std::vector<BYTE>(firstPadded.begin(), firstPadded.begin() + 16384));
    EXPECT_EQ(Sectors(layout.dataStart + 9 * 32, 32 * 62), Padded(files[4], 62));

    const auto& calls = disk.calls;
    ASSERT_EQ(calls.size(), 3117u);
    for (const auto& call : calls) {
        ASSERT_EQ(call.total, 3123u);
        ASSERT_EQ(call.context, &context);
    }
    EXPECT_EQ(calls.front().done, 2u);
    EXPECT_EQ(calls.back().done, 3123u);
}

TEST_F(FormatTest, MissingFilesAreReportedInEveryPassAndTakeNoSpace) {
    struct Case {
        const char* label;
        DWORD cylinders;  // 0: the disk is sized to its files, one more pass reports it
        std::size_t reports;
        DWORD thirdCluster;  // after the first file's 2,048- or 32,768-byte clusters
    };
    const Case cases[] = {{"fixed", kC, 3, 5}, {"sized", 0, 4, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path first = MakeFile("FIRST.BIN", 5000, 1);  // 3 clusters
        const fs::path missing = dir / "MISSING.BIN";
        const fs::path third = MakeFile("THIRD.BIN", 100, 3);
        ASSERT_EQ(Format(kS, kH, c.cylinders, c.cylinders == 0 ? 0 : kBytes, {first, missing, third}),
                  TRUE);
        EXPECT_EQ(CountOf(trace, "***ERROR*** " + missing.string() + ": " + std::strerror(ENOENT) + "\n"),
                  c.reports)
            << trace;
        const auto slot1 = DirEntry(1);
        EXPECT_EQ(std::string(slot1.begin(), slot1.begin() + 11), "THIRD   BIN");
        EXPECT_EQ(load16(slot1, 0x1A), c.thirdCluster);
        EXPECT_EQ(Cluster(c.thirdCluster), Padded(third, 1));
    }
}

TEST_F(FormatTest, ADirectoryInTheListGetsNothing) {
    const fs::path first = MakeFile("FIRST.BIN", 100, 1);
    const fs::path folder = dir / "FOLDER";
    fs::create_directory(folder);
    const fs::path third = MakeFile("THIRD.BIN", 3000, 3);
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first, folder, third}), TRUE);
    EXPECT_EQ(CountOf(trace, folder.string()), 1u) << trace;
    EXPECT_EQ(CountOf(trace, "***ERROR*** " + folder.string() + ": " + std::strerror(EISDIR)), 1u);
    EXPECT_EQ(load16(DirEntry(1), 0x1A), 3);
    EXPECT_EQ(DirEntry(2)[0x0B], 0x08) << "the volume label follows the two files";
    EXPECT_EQ(Sectors(layout.dataStart + 4, 8), Padded(third, 2));
}

TEST_F(FormatTest, CancelOnTheFirstProgressCallStopsBeforeTheNextWrite) {
    const fs::path first = MakeFile("FIRST.BIN", 5000, 1);   // clusters 2-4, written at once
    const fs::path second = MakeFile("SECOND.BIN", 3000, 2); // clusters 5-6
    disk.stopAtCall = 1;
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first, second}), TRUE);
    ASSERT_EQ(disk.calls.size(), 1u);
    EXPECT_EQ(Sectors(layout.dataStart, 12), Padded(first, 3));
    const std::vector<BYTE> zeros(2048 * 2, 0);
    EXPECT_EQ(Sectors(layout.dataStart + 12, 8), zeros) << "nothing after the cancel";
    // The file system describes both files all the same.
    EXPECT_EQ(load16(DirEntry(1), 0x1A), 5);
    EXPECT_EQ(FatEntry(6, layout.fat1Start), 0xFFFF);
}

TEST_F(FormatTest, EmptyListWritesAnEmptyVolume) {
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {}), TRUE) << trace;
    const auto fat = Sectors(layout.fat1Start, layout.F);
    EXPECT_EQ(load32(fat, 0), 0xFFFFFFF8u);
    EXPECT_TRUE(std::all_of(fat.begin() + 4, fat.end(), [](BYTE b) { return b == 0; }));
    EXPECT_EQ(fat, Sectors(layout.fat2Start, layout.F));
    const auto root = Sectors(layout.rootStart, layout.D);
    EXPECT_EQ(std::string(root.begin(), root.begin() + 11), "USBDISK    ");
    EXPECT_TRUE(std::all_of(root.begin() + 32, root.end(), [](BYTE b) { return b == 0; }));
    EXPECT_EQ(faulty->Writes().size(), 5u) << "boot track, boot sector, two FATs, root";
    EXPECT_EQ(trace, "Updating PBR...\nUpdating FAT tables...\nUpdating root directories...\n"
                     "Populating partition data...\n");
}

TEST_F(FormatTest, ListsOf512EntriesAreTakenAnd513Refused) {
    for (std::size_t count : {512u, 513u}) {
        std::vector<fs::path> files;
        for (std::size_t i = 0; i < count; ++i) {
            files.push_back(dir / ("NONE" + std::to_string(i)));
        }
        disk.calls.clear();
        const BOOL result = Format(kS, kH, kC, kBytes, files);
        EXPECT_EQ(result, count == 512 ? TRUE : FALSE) << count;
        EXPECT_EQ(trace.find("***ERROR*** Too many files!\n") != std::string::npos, count == 513);
        EXPECT_EQ(faulty->Writes().empty(), count == 513);
    }
}

TEST_F(FormatTest, RefusalsComeBeforeAnyWrite) {
    const fs::path small = MakeFile("SMALL.BIN", 10, 1);
    const fs::path big = dir / "BIG.BIN";
    { std::ofstream create(big); }
    fs::resize_file(big, 20ull << 20);  // more than a 16 MiB disk holds
    const fs::path huge = dir / "HUGE.BIN";
    { std::ofstream create(huge); }
    fs::resize_file(huge, 3ull << 30);  // more than 65,535 clusters of 64 sectors
    struct Case {
        const char* label;
        DWORD cylinders;
        std::vector<fs::path> files;
        bool nullPbr;
        std::string message;
    };
    const Case cases[] = {
        {"no boot sector", kC, {small}, true, "***ERROR*** Invalid parameter(s)!\n"},
        {"3 cylinders", 3, {small}, false, "***ERROR*** Volume is too small!\n"},
        {"files too big", kC, {small, big}, false, "***ERROR*** No more space on the target device!\n"},
        {"sized beyond FAT16", 0, {huge}, false, "***ERROR*** The partition is too big for FAT16!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto savedPbr = pbr;
        if (c.nullPbr) {
            MakeSparseImage(image, kBytes);
            auto handle = CFileHandle::Open(image.string(), CFileHandle::Mode::ReadWrite);
            CFaultyHandle logged(handle.get());
            CFat16Disk plain;
            ASSERT_TRUE(plain.AttachFile(&logged, 0, 512, kS, kH, c.cylinders));
            const std::string list = FileList(c.files);
            testing::internal::CaptureStderr();
            EXPECT_EQ(plain.Format(mbr.data(), nullptr, list.c_str(), nullptr), FALSE);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
            EXPECT_TRUE(logged.Writes().empty());
            continue;
        }
        EXPECT_EQ(Format(kS, kH, c.cylinders, c.cylinders * std::uint64_t{kS} * kH * 512, c.files), FALSE);
        EXPECT_NE(trace.find(c.message), std::string::npos) << trace;
        EXPECT_TRUE(faulty->Writes().empty()) << trace;
        EXPECT_EQ(pbr, savedPbr);
    }
}

TEST_F(FormatTest, WriteFailuresEndAtTheirRegion) {
    const fs::path first = MakeFile("FIRST.BIN", 5000, 1);
    const std::string io = std::strerror(EIO);
    // Regions of the 16 MiB disk: boot track 0-31, boot sector 32-39, FAT1 40-71, FAT2 72-103,
    // root 104-135, cluster 2 at 136.
    struct Case {
        const char* label;
        std::uint64_t failingSector;
        std::size_t writesBefore;
        std::string stepLine;
    };
    const Case cases[] = {
        {"boot track", 5, 0, "***ERROR*** WriteMBR: " + io + "\n"},
        {"boot sector", 33, 1, "***ERROR*** WritePBR: " + io + "\n"},
        {"first FAT", 40, 2, "***ERROR*** WriteFAT1: " + io + "\n"},
        {"second FAT", 72, 3, "***ERROR*** WriteFAT2: " + io + "\n"},
        {"root", 104, 4, "***ERROR*** WriteRoot: " + io + "\n"},
        // The file's three clusters go out in one write, which fails as a whole.
        {"data clusters", 140, 5, "***ERROR*** Failed to write 0C sectors at 00000088!\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        arming = {[&](CFaultyHandle& h) { h.FailWritesAt(c.failingSector * 512, c.failingSector * 512 + 1, EIO); }};
        EXPECT_EQ(Format(kS, kH, kC, kBytes, {first}), FALSE);
        ASSERT_EQ(layout.fat1Start, 40u);
        ASSERT_EQ(layout.dataStart, 136u);
        const std::string writeLine = "***ERROR*** WriteSectors: " + io + "\n";
        const auto at = trace.find(writeLine);
        ASSERT_NE(at, std::string::npos) << trace;
        EXPECT_EQ(trace.substr(at + writeLine.size(), c.stepLine.size()), c.stepLine) << trace;
        EXPECT_EQ(faulty->Writes().size(), c.writesBefore);
    }
    // A failed second FAT leaves the boot record, the boot sector and the first FAT on disk.
    arming = {[](CFaultyHandle& h) { h.FailWritesAt(72 * 512, 72 * 512 + 1, EIO); }};
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first}), FALSE);
    EXPECT_EQ(load16(Sectors(0, 1), 0x1FE), 0xAA55);
    EXPECT_EQ(Sectors(0, 1)[0x1BE], 0x80);
    EXPECT_EQ(Sectors(32, 1)[0x26], 0x29);
    EXPECT_EQ(load32(Sectors(40, 1), 0), 0xFFFFFFF8u);
    EXPECT_EQ(load32(Sectors(72, 1), 0), 0u);
}

TEST_F(FormatTest, AFileRemovedWhileTheDiskIsWrittenIsStillWrittenWhole) {
    const fs::path first = MakeFile("FIRST.BIN", 5000, 1);   // clusters 2-4
    const fs::path gone = MakeFile("GONE.BIN", 3000, 2);     // clusters 5-6
    const fs::path last = MakeFile("LAST.BIN", 2500, 3);     // clusters 7-8
    auto goneBytes = testsupport::patternBytes(3000, 2);
    disk.hook = [&](std::size_t call) {
        if (call == 1) {
            fs::remove(gone);  // removed while the first file is copied: it was open since sized
        }
    };
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first, gone, last}), TRUE);
    EXPECT_EQ(CountOf(trace, gone.string()), 0u) << trace;
    goneBytes.resize(2 * 2048, 0);
    EXPECT_EQ(Sectors(layout.dataStart + 3 * 4, 8), goneBytes);
    EXPECT_EQ(load16(DirEntry(2), 0x1A), 7);
    EXPECT_EQ(Sectors(layout.dataStart + 5 * 4, 8), Padded(last, 2)) << "the last file is in its own clusters";
}

TEST_F(FormatTest, AFileThatShrankFailsTheFormat) {
    for (const bool straight : {false, true}) {
        SCOPED_TRACE(straight ? "copied inside the kernel" : "through the buffer");
        direct = straight;
        disk.calls.clear();
        const fs::path first = MakeFile("FIRST.BIN", 5000, 1);
        const fs::path shrinking = MakeFile("SHRINKING.BIN", 3 << 20, 2);  // several whole runs
        disk.hook = [&](std::size_t call) {
            if (call == 1) {
                fs::resize_file(shrinking, 1000);
            }
        };
        ASSERT_EQ(Format(kS, kH, kC, kBytes, {first, shrinking}), FALSE);
        EXPECT_NE(trace.find("***ERROR*** " + shrinking.string() +
                             " shrank since it was sized: 1000 of its 3145728 bytes were there.\n"),
                  std::string::npos)
            << trace;
    }
}

// A name that is there but cannot be read as a regular file refuses the disk before its first
// write, with the system's reason; the writer never waits on a FIFO.
TEST_F(FormatTest, FilesThatCannotBeReadRefuseTheDiskBeforeAnyWrite) {
    const fs::path first = MakeFile("FIRST.BIN", 100, 1);
    const fs::path fifo = dir / "PIPE.BIN";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path locked = MakeFile("LOCKED.BIN", 100, 2);
    fs::permissions(locked, fs::perms::none);
    struct Case {
        const char* label;
        fs::path path;
        std::string line;
    };
    std::vector<Case> cases = {
        {"a FIFO", fifo, "***ERROR*** " + fifo.string() + ": not a regular file\n"},
        {"a device", "/dev/zero", "***ERROR*** /dev/zero: not a regular file\n"},
    };
    if (::geteuid() != 0) {
        cases.push_back({"no permission", locked, "***ERROR*** " + locked.string() + ": " + std::strerror(EACCES) + "\n"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(Format(kS, kH, kC, kBytes, {first, c.path}), FALSE);
        EXPECT_NE(trace.find(c.line), std::string::npos) << trace;
        EXPECT_TRUE(faulty->Writes().empty());
    }
}

TEST_F(FormatTest, AFileThatGrewIsCutToItsClusters) {
    const fs::path first = MakeFile("FIRST.BIN", 5000, 1);
    const fs::path growing = MakeFile("GROWING.BIN", 3000, 2);  // clusters 5-6
    const fs::path last = MakeFile("LAST.BIN", 100, 3);         // cluster 7
    disk.hook = [&](std::size_t call) {
        if (call == 1) {
            testsupport::writeFileBytes(growing, testsupport::patternBytes(9000, 9));
        }
    };
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first, growing, last}), TRUE);
    EXPECT_NE(trace.find(growing.string() + " grew since it was sized; only its first 2 clusters were written.\n"),
              std::string::npos)
        << trace;
    const auto grown = testsupport::patternBytes(9000, 9);
    EXPECT_EQ(Sectors(layout.dataStart + 12, 8), std::vector<BYTE>(grown.begin(), grown.begin() + 4096));
    EXPECT_EQ(Cluster(7), Padded(last, 1)) << "the next file is not overwritten";
}

TEST_F(FormatTest, AReadErrorFailsTheFormat) {
    const fs::path first = MakeFile("FIRST.BIN", 100, 1);
    // Found as an empty regular file, opened, and every read fails with EIO.
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first, "/proc/self/mem"}), FALSE);
    EXPECT_NE(trace.find(std::string("***ERROR*** Failed to read /proc/self/mem: ") + std::strerror(EIO) + "\n"),
              std::string::npos)
        << trace;
}

TEST_F(FormatTest, WritesAreWholeRegionsInOrder) {
    const fs::path first = MakeFile("FIRST.BIN", 5000, 1);
    ASSERT_EQ(Format(kS, kH, kC, kBytes, {first}), TRUE);
    const std::vector<std::pair<std::uint64_t, std::size_t>> expected = {
        {0, 32 * 512}, {32 * 512, 8 * 512}, {40 * 512, 32 * 512}, {72 * 512, 32 * 512},
        {104 * 512, 32 * 512}, {136 * 512, 3 * 2048}};  // the file's three clusters in one write
    ASSERT_EQ(faulty->Writes().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(faulty->Writes()[i].offset, expected[i].first) << i;
        EXPECT_EQ(faulty->Writes()[i].size, expected[i].second) << i;
    }
    EXPECT_EQ(load32(Sectors(32, 1), 0x27), 0x0BADCAFEu) << "serial from the tick count";
    EXPECT_TRUE(std::all_of(mbr.begin() + 0x1BE, mbr.begin() + 0x1CE, [](BYTE) { return true; }));
    EXPECT_EQ(Sectors(0, 1), mbr) << "the template buffer holds the written boot record";
    const auto track = Sectors(1, 31);
    EXPECT_TRUE(std::all_of(track.begin(), track.end(), [](BYTE b) { return b == 0; }));
}

TEST_F(FormatTest, ADriveOfLessThanOneCylinderIsNotSizedBeyondItsEnd) {
    // 10,000 sectors with 255 heads and 63 sectors a track: the driver reports 0 cylinders.
    const fs::path first = MakeFile("FIRST.BIN", 5000, 1);
    MakeSparseImage(image, 10000 * 512);
    auto handle = CFileHandle::Open(image.string(), CFileHandle::Mode::ReadWrite);
    CFaultyHandle drive(handle.get());
    DISK_GEOMETRY geometry;
    geometry.Cylinders = 0;
    geometry.MediaType = RemovableMedia;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = 512;
    drive.SetGeometry(geometry, 10000 * 512);
    CFat16Disk small;
    ASSERT_EQ(small.Open(&drive), TRUE);
    const std::string list = FileList({first});
    testing::internal::CaptureStderr();
    EXPECT_EQ(small.Format(mbr.data(), pbr.data(), list.c_str(), nullptr), TRUE);
    trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(small.TotalSectors(), 10000u) << trace;
    EXPECT_EQ(small.Layout().V, 10000u - 63);
    for (const auto& write : drive.Writes()) {
        EXPECT_LE(write.offset + write.size, 10000u * 512);
    }
    EXPECT_EQ(fs::file_size(image), 10000u * 512);
    // The entry ends at head H - 1 and sector S of cylinder 0, the cylinder of its last sector.
    EXPECT_EQ(mbr[0x1BE + 5], 254);
    EXPECT_EQ(mbr[0x1BE + 6], 63);
    EXPECT_EQ(mbr[0x1BE + 7], 0);
}

}  // namespace
}  // namespace pellorin
