#include "fat16/Fat16Disk.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fat16TestSupport.h"
#include "TestSupport.h"
#include "fat16/Trace.h"
#include "FaultyHandle.h"

namespace pellorin {
namespace {

using namespace testing_support;

template <typename Action>
std::string CaptureTrace(Action action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

// Raises the trace level for one test.
class DebugLevelScope {
public:
    explicit DebugLevelScope(WORD level) : m_saved(DebugLevel) { DebugLevel = level; }
    ~DebugLevelScope() { DebugLevel = m_saved; }

private:
    WORD m_saved;
};

TEST(AttachFile, ChecksHandleAndOffsetAndMultipliesTheGeometry) {
    CFaultyHandle handle(nullptr);
    struct Case {
        CDriveHandle* handle;
        DWORD offset;
        DWORD bytesPerSector;
        BOOL result;
    };
    const Case cases[] = {
        {&handle, 1024, 512, TRUE},
        {&handle, 1000, 512, FALSE},
        {&handle, 47104, 512, TRUE},
        {nullptr, 0, 512, FALSE},
        {&handle, 0, 0, FALSE},
    };
    for (const Case& c : cases) {
        CFat16Disk disk;
        BOOL result = FALSE;
        const std::string trace = CaptureTrace(
            [&] { result = disk.AttachFile(c.handle, c.offset, c.bytesPerSector, 32, 64, 3); });
        EXPECT_EQ(result, c.result) << c.offset;
        EXPECT_EQ(trace, "") << "refusals are silent";
        if (result) {
            EXPECT_EQ(disk.TotalSectors(), 6144u);
            EXPECT_EQ(disk.BaseOffset(), c.offset);
        }
    }
    CFat16Disk big;
    ASSERT_TRUE(big.AttachFile(&handle, 0, 512, 63, 255, 0xFFFFFFFF));
    EXPECT_EQ(big.TotalSectors(), 63ull * 255 * 0xFFFFFFFFull);
}

TEST(WriteSectors, WritesWholeSectorsAtTheirPositionOrNothing) {
    testsupport::TempDir dir;
    const auto path = dir / "disk.img";
    MakeSparseImage(path, 64 * 1024);
    auto file = CFileHandle::Open(path.string(), CFileHandle::Mode::ReadWrite);
    ASSERT_TRUE(file);
    const auto data = testsupport::patternBytes(4096, 7);

    struct Case {
        DWORD base;
        DWORD cbBufSize;
        BOOL result;
    };
    const Case cases[] = {{0, 2047, FALSE}, {0, 2048, TRUE}, {1024, 4096, TRUE}};
    for (const Case& c : cases) {
        MakeSparseImage(path, 64 * 1024);
        CFat16Disk disk;
        ASSERT_TRUE(disk.AttachFile(file.get(), c.base, 512, 32, 64, 3));
        BOOL result = FALSE;
        const std::string trace =
            CaptureTrace([&] { result = disk.WriteSectors(10, 4, data.data(), c.cbBufSize); });
        EXPECT_EQ(result, c.result);
        const auto image = testsupport::readFileBytes(path);
        const std::size_t at = 5120 + c.base;
        if (c.result) {
            EXPECT_EQ(trace, "");
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2048, image.begin() + at));
            EXPECT_TRUE(std::all_of(image.begin() + at + 2048, image.end(), [](BYTE b) { return b == 0; }))
                << "wrote more than the sectors asked for";
        } else {
            EXPECT_EQ(trace, "***ERROR*** Invalid parameter (cbBufSize < dwBytesToWrite)!\n");
            EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](BYTE b) { return b == 0; }));
        }
    }
}

TEST(WriteSectors, ReportsFailedAndShortWrites) {
    CFaultyHandle handle(nullptr);
    handle.FailWritesAt(0, 512, EIO);
    handle.ShortWritesAt(4096, 8192, 100);
    CFat16Disk disk;
    ASSERT_TRUE(disk.AttachFile(&handle, 0, 512, 32, 64, 3));
    const std::vector<BYTE> buffer(1024);
    const std::string io = std::strerror(EIO);
    struct Case {
        DWORD sector;
        BOOL result;
        std::string trace;
    };
    const Case cases[] = {
        {0, FALSE, "***ERROR*** WriteSectors: " + io + "\n"},
        {8, FALSE, "***ERROR*** WriteSectors: " + io + "\n"},  // short write
        {2, TRUE, ""},
    };
    for (const Case& c : cases) {
        BOOL result = FALSE;
        EXPECT_EQ(CaptureTrace([&] { result = disk.WriteSectors(c.sector, 2, buffer.data(), 1024); }),
                  c.trace)
            << c.sector;
        EXPECT_EQ(result, c.result) << c.sector;
    }
    // A failed write leaves the object usable.
    EXPECT_EQ(disk.WriteSectors(20, 1, buffer.data(), 1024), TRUE);
}

DISK_GEOMETRY StickGeometry(LONGLONG cylinders, DWORD mediaType = FixedMedia) {
    DISK_GEOMETRY geometry;
    geometry.Cylinders = cylinders;
    geometry.MediaType = mediaType;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = 512;
    return geometry;
}

TEST(Open, TakesTheTotalFromTheDriveSize) {
    CFaultyHandle handle(nullptr);
    // The driver reports whole cylinders; the size holds a partial one more.
    handle.SetGeometry(StickGeometry(1000), (1000ll * 255 * 63 + 1234) * 512);
    CFat16Disk disk;
    ASSERT_EQ(disk.Open(&handle), TRUE);
    EXPECT_EQ(disk.TotalSectors(), 1000ull * 255 * 63 + 1234);
    EXPECT_EQ(disk.Geometry().Cylinders, 1000);
    EXPECT_EQ(disk.Geometry().SectorsPerTrack, 63u);
    EXPECT_EQ(disk.BaseOffset(), 0u);
}

TEST(Open, FailsWhenAGeometryQueryFails) {
    const std::string text = std::strerror(EIO);
    struct Case {
        CDriveHandle* handle;
        int failFrom;  // query that fails; 0 none
        std::string trace;
    };
    CFaultyHandle handles[3] = {CFaultyHandle(nullptr), CFaultyHandle(nullptr), CFaultyHandle(nullptr)};
    for (auto& handle : handles) {
        handle.SetGeometry(StickGeometry(1000), 1000ll * 255 * 63 * 512);
    }
    handles[0].FailGeometryFrom(1, EIO);
    handles[1].FailGeometryFrom(2, EIO);
    const Case cases[] = {
        {nullptr, 0, ""},
        {&handles[0], 1, "***ERROR*** IOCTL_DISK_GET_DRIVE_GEOMETRY: " + text + "\n"},
        {&handles[1], 2, "***ERROR*** IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: " + text + "\n"},
    };
    for (const Case& c : cases) {
        CFat16Disk disk;
        BOOL result = TRUE;
        EXPECT_EQ(CaptureTrace([&] { result = disk.Open(c.handle); }), c.trace) << c.failFrom;
        EXPECT_EQ(result, FALSE) << c.failFrom;
        EXPECT_EQ(disk.TotalSectors(), 0u) << "total from an unfilled answer";
    }
}

TEST(Open, RefusesAPlainFileAsADrive) {
    testsupport::TempDir dir;
    MakeSparseImage(dir / "plain.img", 1 << 20);
    auto file = CFileHandle::Open((dir / "plain.img").string(), CFileHandle::Mode::ReadWrite);
    ASSERT_TRUE(file);
    CFat16Disk disk;
    BOOL result = TRUE;
    const std::string trace = CaptureTrace([&] { result = disk.Open(file.get()); });
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(trace, std::string("***ERROR*** IOCTL_DISK_GET_DRIVE_GEOMETRY: ") + std::strerror(ENOTTY) + "\n");
}

TEST(GetDriveGeometry, RefusesMissingBuffers) {
    CFaultyHandle handle(nullptr);
    handle.SetGeometry(StickGeometry(10), 10ll * 255 * 63 * 512);
    CFat16Disk disk;
    ASSERT_TRUE(disk.AttachFile(&handle, 0, 512, 63, 255, 10));
    BOOL result = TRUE;
    EXPECT_EQ(CaptureTrace([&] { result = disk.GetDriveGeometry(nullptr); }),
              "***ERROR*** Invalid parameter (pDiskGeometry == NULL)!\n");
    EXPECT_EQ(result, FALSE);
    DISK_GEOMETRY geometry;
    LONGLONG diskSize = 0;
    EXPECT_EQ(disk.GetDriveGeometryEx(geometry, diskSize), TRUE);
    EXPECT_EQ(diskSize, 10ll * 255 * 63 * 512);
    EXPECT_EQ(geometry.SectorsPerTrack, 63u);
}

TEST(GetDriveGeometry, DumpsTheGeometryAtLevelThree) {
    CFaultyHandle handle(nullptr);
    handle.SetGeometry(StickGeometry(1000, 4), 1000ll * 255 * 63 * 512);
    CFat16Disk disk;
    ASSERT_TRUE(disk.AttachFile(&handle, 0, 512, 63, 255, 1000));
    DISK_GEOMETRY geometry;
    EXPECT_EQ(CaptureTrace([&] { disk.GetDriveGeometry(&geometry); }), "") << "level 1 hides it";

    const DebugLevelScope verbose(3);
    const std::string dump =
        "                     MediaType = Unknown\n"
        "             NumberOfCylinders = 1000 (0x3E8)\n"
        "             TracksPerCylinder = 255 (0xFF)\n"
        "               SectorsPerTrack = 63 (0x3F)\n"
        "                BytesPerSector = 512 (0x200)\n"
        "                  TotalSectors = 16065000 (0xF521E8)\n"
        "\n";
    EXPECT_EQ(CaptureTrace([&] { disk.GetDriveGeometry(&geometry); }), dump);
    LONGLONG diskSize = 0;
    EXPECT_EQ(CaptureTrace([&] { disk.GetDriveGeometryEx(geometry, diskSize); }),
              dump + "                  TotalSectors = 16065000 (0xF521E8)\n");

    handle.SetGeometry(StickGeometry(1000, RemovableMedia), 0);
    EXPECT_EQ(CaptureTrace([&] { disk.GetDriveGeometry(&geometry); }).substr(0, 48),
              "                     MediaType = RemovableMedia\n");
}

}  // namespace
}  // namespace pellorin
