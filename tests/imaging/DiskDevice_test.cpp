#include "disk/DiskDevice.h"

#include "DorvixTestSupport.h"
#include "TestDisks.h"
#include "TestSupport.h"
#include "platform/DebugOutput.h"
#include "front/StringTable.h"
#include "platform/DeviceTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using dorvix::DebugCapture;
using dorvix::DeviceTable;
using dorvix::DiskDevice;
using dorvix::TableDeviceProvider;
using dorvixtest::DiskOp;
using dorvixtest::Fault;
using dorvixtest::MemoryDevices;
using dorvixtest::MemoryMedium;
using dorvixtest::partitionedSector0;
using testsupport::TempDir;

namespace {

TableDeviceProvider providerFor(const std::string& tableText) {
    return TableDeviceProvider(DeviceTable::parse(tableText, "test", [](const std::string& line) {
        ADD_FAILURE() << "table complaint: " << line;
    }));
}

std::vector<std::uint8_t> imageBytes(std::size_t size, std::optional<std::uint32_t> partitionStart) {
    std::vector<std::uint8_t> bytes(size, 0);
    if (partitionStart) {
        const auto sector0 = partitionedSector0(*partitionStart);
        std::copy(sector0.begin(), sector0.end(), bytes.begin());
    }
    return bytes;
}

struct GeometryCase {
    const char* name;
    std::size_t fileBytes;
    std::optional<std::uint32_t> partitionStart;  // sector 0 with a partition table
    const char* settings;                          // driver values from the device table
    std::uint32_t bytesPerSector;
    std::uint32_t sectorsPerTrack;
    std::uint32_t heads;
    std::uint32_t cylinders;
    std::uint32_t totalSectors;
    const char* debugLine;  // expected on the debug output, or ""
};

void PrintTo(const GeometryCase& c, std::ostream* os) { *os << c.name; }

class DiskDeviceGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(DiskDeviceGeometry, DerivesWholeCylinderGeometry) {
    const GeometryCase& c = GetParam();
    TempDir dir;
    const auto image = dir / "disk.img";
    testsupport::writeFileBytes(image, imageBytes(c.fileBytes, c.partitionStart));
    auto provider = providerFor("DSK1: " + image.string() + " " + c.settings + "\n");

    DebugCapture debug;
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    EXPECT_EQ(disk.bytesPerSector, c.bytesPerSector);
    EXPECT_EQ(disk.sectorsPerTrack, c.sectorsPerTrack);
    EXPECT_EQ(disk.heads, c.heads);
    EXPECT_EQ(disk.cylinders, c.cylinders);
    EXPECT_EQ(disk.totalSectors, c.totalSectors);
    EXPECT_EQ(debug.text(), c.debugLine);
}

INSTANTIATE_TEST_SUITE_P(
    ImageFiles, DiskDeviceGeometry,
    ::testing::Values(
        // The driver's own heads and sectors per track on a blank disk.
        GeometryCase{.name = "DriverGeometry", .fileBytes = 20480 * 512, .partitionStart = std::nullopt,
                     .settings = "heads=16 sectors=32", .bytesPerSector = 512, .sectorsPerTrack = 32,
                     .heads = 16, .cylinders = 40, .totalSectors = 20480, .debugLine = ""},
        // A reported total that does not end on a cylinder is cut to whole cylinders.
        GeometryCase{.name = "TotalCutToCylinders", .fileBytes = 20480 * 512, .partitionStart = std::nullopt,
                     .settings = "heads=16 sectors=32 total=20000", .bytesPerSector = 512,
                     .sectorsPerTrack = 32, .heads = 16, .cylinders = 39, .totalSectors = 19968,
                     .debugLine = ""},
        // A partition table's first start wins over the driver's sectors per track.
        GeometryCase{.name = "PartitionStartGivesTrackLength", .fileBytes = 16384 * 512,
                     .partitionStart = 63u, .settings = "sectors=32", .bytesPerSector = 512,
                     .sectorsPerTrack = 63, .heads = 255, .cylinders = 1, .totalSectors = 16065,
                     .debugLine = ""},
        GeometryCase{.name = "PartitionStartWithDriverHeads", .fileBytes = 20480 * 512, .partitionStart = 32u,
                     .settings = "heads=16 sectors=63", .bytesPerSector = 512, .sectorsPerTrack = 32,
                     .heads = 16, .cylinders = 40, .totalSectors = 20480, .debugLine = ""},
        // Neither heads nor sectors from the driver and a blank sector 0: 255 x 63.
        GeometryCase{.name = "ZeroGeometryFallsBackTo255x63", .fileBytes = 32768 * 512,
                     .partitionStart = std::nullopt, .settings = "", .bytesPerSector = 512,
                     .sectorsPerTrack = 63, .heads = 255, .cylinders = 2, .totalSectors = 32130,
                     .debugLine = ""},
        // A device smaller than one cylinder has no whole cylinder at all.
        GeometryCase{.name = "SmallerThanOneCylinder", .fileBytes = 8192 * 512,
                     .partitionStart = std::nullopt, .settings = "", .bytesPerSector = 512,
                     .sectorsPerTrack = 63, .heads = 255, .cylinders = 0, .totalSectors = 0, .debugLine = ""},
        // A first partition at sector 0 cannot be a track length: driver's value, else 63.
        GeometryCase{.name = "PartitionAtZeroUsesDriverValue", .fileBytes = 20480 * 512, .partitionStart = 0u,
                     .settings = "heads=16 sectors=32", .bytesPerSector = 512, .sectorsPerTrack = 32,
                     .heads = 16, .cylinders = 40, .totalSectors = 20480, .debugLine = ""},
        GeometryCase{.name = "PartitionAtZeroWithoutDriverValue", .fileBytes = 32768 * 512,
                     .partitionStart = 0u, .settings = "", .bytesPerSector = 512, .sectorsPerTrack = 63,
                     .heads = 255, .cylinders = 2, .totalSectors = 32130, .debugLine = ""},
        // Sectors larger than the 512-byte record: sector 0 is not read (and no line printed);
        // the engines refuse such a disk with their own message.
        GeometryCase{.name = "LargeSectorsSkipPartitionTable", .fileBytes = 2048 * 4096,
                     .partitionStart = 63u, .settings = "bytes=4096 heads=4 sectors=16",
                     .bytesPerSector = 4096, .sectorsPerTrack = 16, .heads = 4, .cylinders = 32,
                     .totalSectors = 2048, .debugLine = ""},
        // A start beyond 63 (2048, today's alignment) cannot be a track length either.
        GeometryCase{.name = "PartitionAt2048UsesDriverValue", .fileBytes = 20480 * 512,
                     .partitionStart = 2048u, .settings = "heads=16 sectors=32", .bytesPerSector = 512,
                     .sectorsPerTrack = 32, .heads = 16, .cylinders = 40, .totalSectors = 20480,
                     .debugLine = ""},
        GeometryCase{.name = "PartitionAt2048WithoutDriverValue", .fileBytes = 32768 * 512,
                     .partitionStart = 2048u, .settings = "", .bytesPerSector = 512, .sectorsPerTrack = 63,
                     .heads = 255, .cylinders = 2, .totalSectors = 32130, .debugLine = ""},
        GeometryCase{.name = "HugePartitionStartIsNoTrackLength", .fileBytes = 4096 * 512,
                     .partitionStart = 0x01000000u, .settings = "heads=256", .bytesPerSector = 512,
                     .sectorsPerTrack = 63, .heads = 256, .cylinders = 0, .totalSectors = 0, .debugLine = ""}),
    [](const ::testing::TestParamInfo<GeometryCase>& param) { return std::string(param.param.name); });

// A track length taken from the partition start can be dropped for the driver's.
TEST(DiskDeviceGeometryFallback, DriverTrackLengthReplacesThePartitionStart) {
    TempDir dir;
    const auto image = dir / "disk.img";
    testsupport::writeFileBytes(image, imageBytes(20480 * 512, 16u));
    auto provider = providerFor("DSK1: " + image.string() + " heads=16 sectors=32\n");
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    EXPECT_TRUE(disk.trackFromPartition);
    EXPECT_EQ(disk.sectorsPerTrack, 16u);
    EXPECT_EQ(disk.cylinders, 80u);
    disk.UseDriverTrackLength();
    EXPECT_FALSE(disk.trackFromPartition);
    EXPECT_EQ(disk.sectorsPerTrack, 32u);
    EXPECT_EQ(disk.cylinders, 40u);
    EXPECT_EQ(disk.totalSectors, 20480u);
}

TEST(DiskDeviceNames, NumbersFormOneOrMoreDigits) {
    EXPECT_EQ(dorvix::diskDeviceName(1), "DSK1:");
    EXPECT_EQ(dorvix::diskDeviceName(0), "DSK0:");
    EXPECT_EQ(dorvix::diskDeviceName(12), "DSK12:");
    EXPECT_EQ(dorvix::diskDeviceName(255), "DSK255:");
}

// DSKn: of 64 sectors in memory whose driver reports `totalSectors` and no geometry.
MemoryDevices fakeWithDisk(std::uint8_t n, std::uint32_t totalSectors = 64 * 255 * 2) {
    MemoryDevices provider;
    provider.add(n, MemoryMedium::ofSectors(64)).medium.info.totalSectors = totalSectors;
    return provider;
}

TEST(DiskDeviceOpen, DriverAnsweringOnlyTheSecondRequestOpensAfterOneLine) {
    auto provider = fakeWithDisk(2);
    provider[2].medium.infoOutputError = 0x57;
    DebugCapture debug;
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(2));
    EXPECT_EQ(debug.text(), "***ERROR*** (Attempt 1) Failed to get device geometry (00000057)!\n");
    EXPECT_EQ(disk.deviceNumber, 2);
    EXPECT_EQ(disk.totalSectors, 2u * 16065u);
}

TEST(DiskDeviceOpen, DriverRefusingBothRequestsLeavesRecordClosed) {
    auto provider = fakeWithDisk(2);
    provider[2].medium.infoOutputError = 0x57;
    provider[2].medium.infoInputError = 0x1F;
    DebugCapture debug;
    DiskDevice disk(provider);
    EXPECT_FALSE(disk.Open(2));
    EXPECT_EQ(debug.text(),
              "***ERROR*** (Attempt 1) Failed to get device geometry (00000057)!\n"
              "***ERROR*** (Attempt 2) Failed to get device geometry (0000001F)!\n");
    EXPECT_EQ(disk.deviceNumber, DiskDevice::kNoDevice);
    EXPECT_FALSE(disk.handle);
    EXPECT_EQ(provider[2].medium.closes, 1u);
    EXPECT_EQ(disk.lastError, 0x1Fu);
}

TEST(DiskDeviceOpen, MissingDeviceNamesItAndItsError) {
    MemoryDevices provider;
    DebugCapture debug;
    DiskDevice disk(provider);
    EXPECT_FALSE(disk.Open(12));
    EXPECT_EQ(debug.text(), "***ERROR*** Failed to open \"DSK12:\" (00000002)!\n");
    EXPECT_EQ(disk.lastError, 2u);
}

TEST(DiskDeviceOpen, FailedSector0ReadStillOpensWithDriverGeometry) {
    auto provider = fakeWithDisk(1);
    provider[1].faults.fault = Fault{DiskOp::Read, 1, false, 0x17, true};
    provider[1].medium.info.sectorsPerTrack = 32;
    provider[1].medium.info.heads = 8;
    DebugCapture debug;
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    EXPECT_EQ(debug.text(), "***ERROR*** Failed to read from device (00000017)!\n");
    EXPECT_EQ(disk.sectorsPerTrack, 32u);
    EXPECT_EQ(disk.heads, 8u);
}

TEST(DiskDeviceOpen, OpeningAgainClosesThePreviousDevice) {
    auto provider = fakeWithDisk(1);
    provider.add(3, provider[1].medium);
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    ASSERT_TRUE(disk.Open(3));
    EXPECT_EQ(provider[1].medium.closes, 1u);
    EXPECT_EQ(disk.deviceNumber, 3);
}

TEST(DiskDeviceClose, FailureIsReportedAndHandleKept) {
    auto provider = fakeWithDisk(1);
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    provider[1].medium.closeError = 0x06;
    DebugCapture debug;
    EXPECT_FALSE(disk.Close());
    EXPECT_EQ(debug.text(), "***ERROR*** Failed to close device (00000006)!\n");
    EXPECT_TRUE(disk.handle);
    EXPECT_EQ(disk.lastError, 6u);
    provider[1].medium.closeError = 0;
    EXPECT_TRUE(disk.Close());
    EXPECT_FALSE(disk.handle);
}

TEST(DiskDeviceTransfers, FailuresAreReportedOnceWithTheirCode) {
    auto provider = fakeWithDisk(1);
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    std::vector<std::uint8_t> buffer(1024);

    struct Case {
        const char* name;
        bool write;
        std::uint32_t count;
        std::size_t bufferBytes;
        std::uint32_t driverError;
        const char* line;
    };
    const Case cases[] = {
        {"read buffer too small", false, 3, 1024, 0, "***ERROR*** Buffer is too small!\n"},
        {"write buffer too small", true, 3, 1024, 0, "***ERROR*** Buffer is too small!\n"},
        {"read refused", false, 2, 1024, 0x1E, "***ERROR*** Failed to read from device (0000001E)!\n"},
        {"write refused", true, 2, 1024, 0x13, "***ERROR*** Failed to write to device (00000013)!\n"},
        {"read fits", false, 2, 1024, 0, ""},
        {"write fits", true, 1, 512, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        provider[1].faults.fault = c.driverError == 0 ? Fault{}
                                                      : Fault{c.write ? DiskOp::Write : DiskOp::Read, 1, false,
                                                              c.driverError, true};
        DebugCapture debug;
        const std::span<std::uint8_t> span(buffer.data(), c.bufferBytes);
        const bool ok = c.write ? disk.WriteSectors(4, c.count, span) : disk.ReadSectors(4, c.count, span);
        EXPECT_EQ(ok, std::string(c.line).empty());
        EXPECT_EQ(debug.text(), c.line);
        if (c.driverError != 0) {
            EXPECT_EQ(disk.lastError, c.driverError);
        }
    }
}

TEST(DiskDeviceTransfers, ClosedRecordRefusesTransfers) {
    MemoryDevices provider;
    DiskDevice disk(provider);
    std::vector<std::uint8_t> buffer(512);
    DebugCapture debug;
    disk.bytesPerSector = 512;
    EXPECT_FALSE(disk.ReadSectors(0, 1, buffer));
    EXPECT_FALSE(disk.WriteSectors(0, 1, buffer));
    EXPECT_NE(debug.text().find("Failed to read from device"), std::string::npos);
    EXPECT_NE(debug.text().find("Failed to write to device"), std::string::npos);
}

TEST(DiskDeviceStore, DismountAndMountReportTheDeviceName) {
    auto provider = fakeWithDisk(4);
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(4));
    EXPECT_TRUE(disk.Dismount());
    EXPECT_TRUE(disk.MountFirstPartition());
    EXPECT_EQ(provider[4].dismounts, 1u);
    EXPECT_EQ(provider[4].mounts, 1u);

    provider[4].dismountError = 16;
    provider[4].mountError = 16;
    DebugCapture debug;
    EXPECT_FALSE(disk.Dismount());
    EXPECT_FALSE(disk.MountFirstPartition());
    EXPECT_EQ(debug.text(),
              "***ERROR*** Failed to dismount \"DSK4:\"!\n"
              "***ERROR*** Failed to MountPartition \"DSK4:\"!\n");
}

TEST(DiskDeviceStore, ClosedRecordHasNoStore) {
    MemoryDevices provider;
    DiskDevice disk(provider);
    DebugCapture debug;
    EXPECT_FALSE(disk.Dismount());
    EXPECT_FALSE(disk.MountFirstPartition());
    EXPECT_EQ(debug.text(),
              "***ERROR*** Failed to dismount \"DSK255:\"!\n"
              "***ERROR*** Failed to mount \"DSK255:\"!\n");
}

TEST(DiskDeviceFixupCHS, ReplacesGeometryWithWholeCylindersOf255x63) {
    auto provider = fakeWithDisk(1, 40000);
    provider[1].medium.info.heads = 16;
    provider[1].medium.info.sectorsPerTrack = 32;
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    EXPECT_EQ(disk.totalSectors, 39936u);
    EXPECT_TRUE(disk.FixupCHS());
    EXPECT_EQ(disk.heads, 255u);
    EXPECT_EQ(disk.sectorsPerTrack, 63u);
    EXPECT_EQ(disk.cylinders, 2u);
    EXPECT_EQ(disk.totalSectors, 32130u);
}

class DiskDeviceImageFile : public ::testing::Test {
protected:
    TempDir dir;
    std::filesystem::path image = dir / "disk.img";
};

TEST_F(DiskDeviceImageFile, SectorsRoundTripAtTheirOffsets) {
    testsupport::writeFileBytes(image, std::vector<std::uint8_t>(64 * 512, 0));
    auto provider = providerFor("DSK1: " + image.string() + "\n");
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    const auto pattern = testsupport::patternBytes(3 * 512, 7);
    ASSERT_TRUE(disk.WriteSectors(10, 3, pattern));
    std::vector<std::uint8_t> back(3 * 512);
    ASSERT_TRUE(disk.ReadSectors(10, 3, back));
    EXPECT_EQ(back, pattern);
    const auto file = testsupport::readFileBytes(image);
    EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), file.begin() + 10 * 512));
    // The store of an image file: nothing to dismount or mount.
    EXPECT_TRUE(disk.Dismount());
    EXPECT_TRUE(disk.MountFirstPartition());
}

TEST_F(DiskDeviceImageFile, TransfersPastTheEndFailAndNeverGrowTheFile) {
    testsupport::writeFileBytes(image, std::vector<std::uint8_t>(64 * 512, 0));
    auto provider = providerFor("DSK1: " + image.string() + " total=100000\n");
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    std::vector<std::uint8_t> buffer(2 * 512, 0xEE);
    DebugCapture debug;
    EXPECT_FALSE(disk.WriteSectors(63, 2, buffer));
    EXPECT_FALSE(disk.ReadSectors(64, 1, buffer));
    EXPECT_FALSE(disk.WriteSectors(0xFFFFFFFFu, 2, buffer));
    EXPECT_EQ(std::filesystem::file_size(image), 64u * 512u);
    EXPECT_NE(debug.text().find("Failed to write to device"), std::string::npos);
    EXPECT_NE(debug.text().find("Failed to read from device"), std::string::npos);
}

TEST_F(DiskDeviceImageFile, ReadOnlyFileOpensButRefusesWrites) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "file permissions do not bind root";
    }
    testsupport::writeFileBytes(image, std::vector<std::uint8_t>(64 * 512, 0));
    ::chmod(image.c_str(), 0444);
    auto provider = providerFor("DSK1: " + image.string() + "\n");
    DiskDevice disk(provider);
    ASSERT_TRUE(disk.Open(1));
    std::vector<std::uint8_t> buffer(512, 1);
    DebugCapture debug;
    EXPECT_TRUE(disk.ReadSectors(0, 1, buffer));
    EXPECT_FALSE(disk.WriteSectors(0, 1, buffer));
}

TEST_F(DiskDeviceImageFile, MissingFileOrDirectoryIsNoDevice) {
    std::filesystem::create_directory(dir / "folder");
    auto provider = providerFor("DSK1: " + image.string() + "\nDSK2: " + (dir / "folder").string() + "\n");
    DiskDevice disk(provider);
    DebugCapture debug;
    EXPECT_FALSE(disk.Open(1));
    EXPECT_FALSE(disk.Open(2));
    EXPECT_EQ(debug.text(),
              "***ERROR*** Failed to open \"DSK1:\" (00000002)!\n"    // no such file
              "***ERROR*** Failed to open \"DSK2:\" (00000015)!\n");  // a directory is no disk
}

}  // namespace

namespace {

TEST(DiagPrint, LongLinesAreCutTo1023Characters) {
    DebugCapture debug;
    const std::string name(2000, 'n');
    dorvix::diagPrint(1, dorvix::text::kDiagDismountFailed, name.c_str());
    EXPECT_EQ(debug.text().size(), 1023u);
    EXPECT_EQ(debug.text().substr(0, 33), "***ERROR*** Failed to dismount \"n");
    dorvix::diagPrint(2, "dropped above the threshold\n");
    EXPECT_EQ(debug.text().size(), 1023u);
}

}  // namespace
