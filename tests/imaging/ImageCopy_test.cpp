#include "disk/ImageCopy.h"
#include "platform/ImageFile.h"

#include "DorvixTestSupport.h"
#include "TestDisks.h"
#include "TestSupport.h"
#include "platform/DebugOutput.h"
#include "platform/DeviceTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <numeric>
#include <optional>
#include <unistd.h>

using dorvix::ChunkProgress;
using dorvix::DebugCapture;
using dorvix::DiskDevice;
using dorvix::ImageCopyResult;
using testsupport::TempDir;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kSector = 512;
constexpr std::uint8_t kOld = 0xEE;

std::vector<int> oneToHundred() {
    std::vector<int> all(100);
    std::iota(all.begin(), all.end(), 1);
    return all;
}

// --- The percentages the operator sees -------------------------------------------------

struct ProgressCase {
    const char* name;
    std::uint64_t total;
    std::uint32_t step;
    std::vector<int> expect;
};

// Whatever the requests, the sequence is the one of a loop over `step`-sector chunks.
TEST(ChunkProgress, ShowsTheSequenceOfTheStepLoopWhateverTheRequestSize) {
    const std::vector<ProgressCase> cases = {
        {.name = "nothing to copy", .total = 0, .step = 16, .expect = {}},
        {.name = "one sector", .total = 1, .step = 16, .expect = {100}},
        {.name = "less than one step", .total = 15, .step = 16, .expect = {100}},
        {.name = "exactly one step", .total = 16, .step = 16, .expect = {100}},
        {.name = "one step and one sector", .total = 17, .step = 16, .expect = {94, 100}},
        {.name = "236 sectors", .total = 236, .step = 16,
         .expect = {6, 13, 20, 27, 33, 40, 47, 54, 61, 67, 74, 81, 88, 94, 100}},
        {.name = "236 sectors in flat-write steps", .total = 236, .step = 32,
         .expect = {13, 27, 40, 54, 67, 81, 94, 100}},
        {.name = "300 sectors in flat-write steps", .total = 300, .step = 32,
         .expect = {10, 21, 32, 42, 53, 64, 74, 85, 96, 100}},
        {.name = "3200 sectors: half a percent a step", .total = 3200, .step = 16, .expect = oneToHundred()},
        {.name = "320 MiB volume", .total = 655360, .step = 16, .expect = oneToHundred()},
        // total × 100 needs more than 32 bits.
        {.name = "largest sector count", .total = 0xFFFFFFFFull, .step = 32, .expect = oneToHundred()},
    };
    for (const ProgressCase& c : cases) {
        for (const std::uint64_t request : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{8192}, c.total}) {
            if (request == 0 || c.total / request > 1'000'000) {
                continue;
            }
            SCOPED_TRACE(std::string(c.name) + ", requests of " + std::to_string(request));
            ChunkProgress progress(c.total, c.step);
            std::vector<int> shown;
            for (std::uint64_t done = 0; done < c.total;) {
                done = std::min(done + request, c.total);
                progress.advance(done, [&](int percent) { shown.push_back(percent); });
            }
            EXPECT_EQ(shown, c.expect);
        }
    }
}

// --- The copy itself ---------------------------------------------------------------------

// The image file: `leadSectors` of other bytes (header, boot area), then the bytes to copy.
struct SourceImage {
    TempDir& dir;
    Bytes bytes;
    dorvix::ImageFile file;

    SourceImage(TempDir& where, std::size_t totalSectors, std::uint32_t seed) : dir(where) {
        bytes = testsupport::patternBytes(totalSectors * kSector, seed);
        testsupport::writeFileBytes(dir / "FLASH.IMG", bytes);
        EXPECT_TRUE(file.openForReading(dir / "FLASH.IMG"));
    }
    SourceImage(const SourceImage&) = delete;
    SourceImage& operator=(const SourceImage&) = delete;
};

// Where the copy lands: a disk of `sectors` old sectors, opened as DSK1:.
class Target {
public:
    virtual ~Target() = default;
    virtual DiskDevice& open(std::uint32_t sectors) = 0;
    virtual Bytes contents() = 0;
};

// An image file through the device table: the driver copies inside the kernel.
class FileTarget : public Target {
public:
    explicit FileTarget(TempDir& dir) : m_path(dir / "target.disk") {}
    DiskDevice& open(std::uint32_t sectors) override {
        testsupport::writeFileBytes(m_path, Bytes(std::size_t{sectors} * kSector, kOld));
        m_provider.emplace(dorvix::DeviceTable::parse("DSK1: " + m_path.string() + "\n", "test",
                                                       [](const std::string& line) { ADD_FAILURE() << line; }));
        m_disk.emplace(*m_provider);
        EXPECT_TRUE(m_disk->Open(1));
        return *m_disk;
    }
    Bytes contents() override { return testsupport::readFileBytes(m_path); }

private:
    std::filesystem::path m_path;
    std::optional<dorvix::TableDeviceProvider> m_provider;
    std::optional<DiskDevice> m_disk;
};

// A disk in memory whose driver has no copy of its own: the bytes go through the buffers.
class MemoryTarget : public Target {
public:
    DiskDevice& open(std::uint32_t sectors) override {
        dorvixtest::MemoryDevices::Disk& disk = m_devices.add(1, dorvixtest::MemoryMedium::ofSectors(sectors));
        std::fill(disk.medium.bytes.begin(), disk.medium.bytes.end(), kOld);
        m_disk.emplace(m_devices);
        EXPECT_TRUE(m_disk->Open(1));
        return *m_disk;
    }
    Bytes contents() override { return m_devices[1].medium.bytes; }
    // From now on every write fails with `error`.
    void failWrites(std::uint32_t error) {
        m_devices[1].faults.fault = {dorvixtest::DiskOp::Write, 1, false, error, true};
    }

private:
    dorvixtest::MemoryDevices m_devices;
    std::optional<DiskDevice> m_disk;
};

struct CopyCase {
    const char* name;
    std::uint32_t sectors;
    std::uint32_t request;
};

const std::vector<CopyCase> kCopyCases = {
    {"one sector", 1, 8},
    {"one sector short of a request", 7, 8},
    {"exactly one request", 8, 8},
    {"one request and one sector", 9, 8},
    {"several requests and a part", 5 * 8 + 3, 8},
    {"a whole default request and one sector", dorvix::kImageCopyRequestSectors + 1,
     dorvix::kImageCopyRequestSectors},
};

// Each case copies the sectors behind a 3-sector lead of the image to sector 5 of a disk
// with 4 spare sectors behind: the run lands whole, and nothing around it changes.
void copiesEveryCase(TempDir& dir, Target& target) {
    constexpr std::uint32_t kLead = 3;
    constexpr std::uint32_t kFirst = 5;
    for (const CopyCase& c : kCopyCases) {
        SCOPED_TRACE(c.name);
        SourceImage source(dir, kLead + c.sectors + 2, c.sectors);
        DiskDevice& disk = target.open(kFirst + c.sectors + 4);
        std::vector<std::uint32_t> progressed;
        DebugCapture debug;
        const ImageCopyResult result = dorvix::copyImageToDisk(
            source.file, kLead * kSector, disk, kFirst, c.sectors,
            [&](std::uint32_t done) { progressed.push_back(done); }, c.request);
        EXPECT_EQ(result, ImageCopyResult::Done);
        EXPECT_EQ(debug.text(), "");

        const Bytes after = target.contents();
        ASSERT_EQ(after.size(), std::size_t{kFirst + c.sectors + 4} * kSector);
        const auto copied = after.begin() + kFirst * kSector;
        EXPECT_TRUE(std::equal(copied, copied + std::ptrdiff_t{c.sectors} * kSector,
                               source.bytes.begin() + kLead * kSector));
        EXPECT_TRUE(std::all_of(after.begin(), copied, [](std::uint8_t b) { return b == kOld; }));
        EXPECT_TRUE(std::all_of(copied + std::ptrdiff_t{c.sectors} * kSector, after.end(),
                                [](std::uint8_t b) { return b == kOld; }));

        // One report per request, growing to the whole count.
        ASSERT_EQ(progressed.size(), (c.sectors + c.request - 1) / c.request);
        EXPECT_TRUE(std::is_sorted(progressed.begin(), progressed.end()));
        EXPECT_EQ(progressed.back(), c.sectors);
    }
}

TEST(ImageCopy, ImageFileOntoImageFileLandsEveryByteInPlace) {
    TempDir dir;
    FileTarget target(dir);
    copiesEveryCase(dir, target);
}

TEST(ImageCopy, DriverWithoutACopyOfItsOwnGetsTheSameBytesThroughBuffers) {
    TempDir dir;
    MemoryTarget target;
    copiesEveryCase(dir, target);
}

// Both ends regular files on one file system: the driver copies (the fast path is not only
// a fallback in the tests above); a block device or another file system would answer
// NotSupported, without a line.
TEST(ImageCopy, FileDriverCopiesInsideTheKernelWithinTheDisk) {
    TempDir dir;
    SourceImage source(dir, 20, 9);
    FileTarget target(dir);
    DiskDevice& disk = target.open(16);
    DebugCapture debug;
    EXPECT_EQ(disk.CopyFromFile(source.file, 2 * kSector, 10, 6), DiskDevice::FileCopy::Done);
    // Past the disk's end nothing is copied, and the file does not grow.
    EXPECT_EQ(disk.CopyFromFile(source.file, 0, 12, 5), DiskDevice::FileCopy::Failed);
    EXPECT_EQ(disk.lastError, static_cast<std::uint32_t>(ENXIO));
    // Nor from a source no file offset reaches.
    EXPECT_EQ(disk.CopyFromFile(source.file, 0xFFFFFFFFFFFFFE00ull, 0, 1), DiskDevice::FileCopy::Failed);
    EXPECT_EQ(disk.lastError, static_cast<std::uint32_t>(EINVAL));
    EXPECT_NE(debug.text().find("Failed to write to device (00000006)"), std::string::npos);
    // A file the kernel cannot copy from is left to the buffers, without a line.
    const std::string lines = debug.text();
    dorvix::ImageFile closed;
    EXPECT_EQ(disk.CopyFromFile(closed, 0, 0, 1), DiskDevice::FileCopy::NotSupported);
    EXPECT_EQ(debug.text(), lines);
    const Bytes after = target.contents();
    ASSERT_EQ(after.size(), 16u * kSector);
    EXPECT_TRUE(std::equal(after.begin() + 10 * kSector, after.end(), source.bytes.begin() + 2 * kSector));
    EXPECT_TRUE(std::all_of(after.begin(), after.begin() + 10 * kSector, [](std::uint8_t b) { return b == kOld; }));
}

// Failures name the side that failed, in the order a read-then-write loop meets them.
TEST(ImageCopy, FailuresNameTheFailingSide) {
    struct Case {
        const char* name;
        bool fileTarget;
        std::uint32_t sourceSectors;  // the image holds this many of the 20 to copy
        std::uint32_t diskSectors;
        std::uint32_t writeError;     // memory target: every write fails with it
        ImageCopyResult expect;
    };
    const std::vector<Case> cases = {
        {"image ends early, file target", true, 13, 40, 0, ImageCopyResult::ReadFailed},
        {"image ends early, memory target", false, 13, 40, 0, ImageCopyResult::ReadFailed},
        {"run passes the file target's end", true, 20, 17, 0, ImageCopyResult::WriteFailed},
        {"run passes the memory target's end", false, 20, 17, 0, ImageCopyResult::WriteFailed},
        // The first write fails while the read of the next request fails too.
        {"write fails before a later read", false, 13, 40, 5, ImageCopyResult::WriteFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        SourceImage source(dir, c.sourceSectors, 4);
        FileTarget file(dir);
        MemoryTarget memory;
        Target& target = c.fileTarget ? static_cast<Target&>(file) : memory;
        DiskDevice& disk = target.open(c.diskSectors);
        if (!c.fileTarget && c.writeError != 0) {
            memory.failWrites(c.writeError);
        }
        DebugCapture debug;
        EXPECT_EQ(dorvix::copyImageToDisk(source.file, 0, disk, 0, 20, [](std::uint32_t) {}, 8), c.expect);
        EXPECT_EQ(target.contents().size(), std::size_t{c.diskSectors} * kSector);
    }
}

// A driver whose copy fails after its first request: the rest goes through the buffers and
// the disk still gets every byte.
class FailingCopyDriver : public dorvixtest::MemoryDriver {
public:
    FailingCopyDriver(dorvixtest::MemoryMedium& medium, int& copies)
        : MemoryDriver(medium), m_medium(medium), m_copies(copies) {}
    std::uint32_t copyFromFile(int fd, std::uint64_t offset, std::uint32_t first, std::uint32_t count) override {
        if (m_copies++ > 0) {
            return EIO;
        }
        const std::size_t bytes = std::size_t{count} * kSector;
        const ssize_t got = ::pread(fd, m_medium.bytes.data() + std::size_t{first} * kSector, bytes,
                                    static_cast<off_t>(offset));
        return got == static_cast<ssize_t>(bytes) ? 0 : EIO;
    }

private:
    dorvixtest::MemoryMedium& m_medium;
    int& m_copies;
};

TEST(ImageCopy, CopyFailingMidwayFinishesThroughTheBuffers) {
    struct Provider : dorvixtest::MemoryDevices {
        int copies = 0;
        std::uint32_t open(std::uint8_t n, std::unique_ptr<dorvix::DiskDriver>& driver) override {
            driver = std::make_unique<FailingCopyDriver>((*this)[n].medium, copies);
            return 0;
        }
    } provider;
    dorvixtest::MemoryMedium& medium = provider.add(1, dorvixtest::MemoryMedium::ofSectors(30)).medium;
    std::fill(medium.bytes.begin(), medium.bytes.end(), kOld);
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));

    TempDir dir;
    SourceImage source(dir, 30, 11);
    DebugCapture debug;
    EXPECT_EQ(dorvix::copyImageToDisk(source.file, 0, disk, 0, 30, [](std::uint32_t) {}, 8), ImageCopyResult::Done);
    EXPECT_EQ(provider.copies, 2);
    EXPECT_EQ(debug.text(), "***ERROR*** Failed to write to device (00000005)!\n");
    EXPECT_EQ(medium.bytes, source.bytes);
}

}  // namespace
