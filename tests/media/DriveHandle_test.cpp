// The file-descriptor handle on a real block device (a loop device over an image file, set up
// and torn down by the test, skipped where loop devices cannot be made) and on plain paths.

#include "platform/DriveHandle.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Fat16TestSupport.h"
#include "TestSupport.h"
#include "fat16/ByteOrder.h"
#include "fat16/Fat16Disk.h"

namespace pellorin {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// A loop device over an image file for the lifetime of the object.
class LoopDevice {
public:
    explicit LoopDevice(const fs::path& image) {
        const auto result = testsupport::runCommand(
            "losetup -f --show " + testsupport::shellQuote(image.string()));
        if (result.exitCode == 0 && result.output.rfind("/dev/loop", 0) == 0) {
            m_device = result.output.substr(0, result.output.find('\n'));
        }
    }
    ~LoopDevice() {
        if (!m_device.empty()) {
            testsupport::runCommand("losetup -d " + testsupport::shellQuote(m_device));
        }
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& device() const { return m_device; }

private:
    std::string m_device;
};

TEST(CFileHandle, OpenRefusesDirectoriesForReading) {
    testsupport::TempDir dir;
    errno = 0;
    EXPECT_FALSE(CFileHandle::Open(dir.path().string(), CFileHandle::Mode::Read));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(CFileHandle::Open((dir / "missing").string(), CFileHandle::Mode::Read));
    EXPECT_EQ(errno, ENOENT);
}

TEST(CFileHandle, BlockDeviceReportsItsSizeAndFormatsWhole) {
    if (::geteuid() != 0 || !testsupport::haveProgram("losetup")) {
        GTEST_SKIP() << "needs root and losetup for a loop device";
    }
    testsupport::TempDir dir;
    const fs::path image = dir / "stick.img";
    const std::uint64_t bytes = 64ull << 20;
    MakeSparseImage(image, bytes);
    std::string device;
    {
        const LoopDevice loop(image);
        if (loop.device().empty()) {
            GTEST_SKIP() << "no loop device available";
        }
        device = loop.device();
        auto handle = CFileHandle::Open(loop.device(), CFileHandle::Mode::ReadWrite);
        ASSERT_TRUE(handle);
        DISK_GEOMETRY geometry;
        LONGLONG size = 0;
        ASSERT_TRUE(handle->QueryGeometry(geometry, size));
        EXPECT_EQ(size, static_cast<LONGLONG>(bytes));
        EXPECT_EQ(geometry.BytesPerSector, 512u);
        ASSERT_NE(geometry.TracksPerCylinder * geometry.SectorsPerTrack, 0u);
        EXPECT_EQ(geometry.Cylinders,
                  static_cast<LONGLONG>(bytes / 512 / (geometry.TracksPerCylinder * geometry.SectorsPerTrack)));

        CFat16Disk disk;
        ASSERT_EQ(disk.Open(handle.get()), TRUE);
        EXPECT_EQ(disk.TotalSectors(), bytes / 512);
        const fs::path kernel = dir / "KERNEL.SYS";
        testsupport::writeFileBytes(kernel, testsupport::patternBytes(45000, 3));
        auto mbr = MbrTemplate();
        auto pbr = PbrTemplate();
        const std::string list = FileList({kernel});
        testing::internal::CaptureStderr();
        const BOOL result = disk.Format(mbr.data(), pbr.data(), list.c_str(), nullptr);
        const std::string trace = testing::internal::GetCapturedStderr();
        ASSERT_EQ(result, TRUE) << trace;
        EXPECT_EQ(disk.Layout().V + disk.Layout().S, bytes / 512) << "the partition fills the drive";
    }
    // Detached: the image file holds what was written through the device.
    const auto copy = testsupport::runCommand(
        "MTOOLS_SKIP_CHECK=1 mcopy -n -i " +
        MtoolsImage(image, std::uint64_t{load32(ReadAt(image, 0, 512), 0x1BE + 8)} * 512) +
        " ::/KERNEL.SYS " + testsupport::shellQuote((dir / "back").string()));
    ASSERT_EQ(copy.exitCode, 0) << copy.output;
    EXPECT_EQ(testsupport::readFileBytes(dir / "back"), testsupport::readFileBytes(dir / "KERNEL.SYS"));
    EXPECT_EQ(testsupport::runCommand("losetup -j " + testsupport::shellQuote(image.string())).output, "")
        << device << " still attached";
}

}  // namespace
}  // namespace pellorin
