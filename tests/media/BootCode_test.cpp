// Boots disks written by CFat16Disk in qemu-system-i386 (SeaBIOS, TCG) through our boot
// record and boot sector into the test KERNEL.SYS, which reports on the debug console.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "BootCode.h"
#include "Fat16TestSupport.h"
#include "TestSupport.h"

namespace pellorin {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

constexpr char kKernelOk[] = "TESTKERNEL cs=0060 bl=80 dl=80 image=ok";
constexpr int kKernelSuccessExit = (0x10 << 1) | 1;  // isa-debug-exit: (value << 1) | 1

struct BootResult {
    int exitCode = -1;
    std::string console;
};

// Boots the raw disk image (or a CD image); a boot that never reaches the kernel ends at the
// timeout.
BootResult Boot(const fs::path& image, bool asCdrom = false, int timeoutSeconds = 40) {
    const fs::path console = image.string() + ".console";
    const std::string command =
        "timeout " + std::to_string(timeoutSeconds) +
        " qemu-system-i386 -accel tcg -m 16 -display none -no-reboot -nodefaults" +
        (asCdrom ? " -boot d -cdrom " + testsupport::shellQuote(image.string())
                 : " -boot c -drive file=" + testsupport::shellQuote(image.string()) +
                       ",format=raw,if=ide") +
        " -debugcon file:" + testsupport::shellQuote(console.string()) +
        " -device isa-debug-exit,iobase=0xf4,iosize=0x04";
    BootResult result;
    result.exitCode = testsupport::runCommand(command).exitCode;
    std::ifstream in(console);
    result.console.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return result;
}

void PatchBytes(const fs::path& image, std::uint64_t offset, std::initializer_list<BYTE> bytes) {
    std::fstream io(image, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(offset));
    for (BYTE b : bytes) {
        io.put(static_cast<char>(b));
    }
}

class BootCodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::haveProgram("qemu-system-i386")) {
            GTEST_SKIP() << "qemu-system-i386 is not installed";
        }
        kernel = dir / "KERNEL.SYS";
        fs::copy_file(PELLORIN_TEST_KERNEL, kernel);
        // 500 KiB ahead of the kernel: its chain starts far from cluster 2 and crosses from
        // one FAT sector into the next (cluster 256 with 4-sector clusters, 512 with 2).
        payload = dir / "FLASH.IMG";
        testsupport::writeFileBytes(payload, testsupport::patternBytes(500 * 1024, 5));
    }

    // A disk with a large file ahead of the kernel.
    fs::path WriteDisk(const std::string& name, DWORD sectorsPerTrack, DWORD heads,
                       DWORD cylinders, const std::vector<BYTE>& pbr = PbrTemplate()) {
        const fs::path image = dir / name;
        MakeSparseImage(image, std::uint64_t{512} * sectorsPerTrack * heads * cylinders);
        const FormatRun run =
            FormatImage(image, sectorsPerTrack, heads, cylinders, {payload, kernel}, 0, pbr);
        EXPECT_EQ(run.result, TRUE) << run.trace;
        return image;
    }

    testsupport::TempDir dir;
    fs::path kernel;
    fs::path payload;
};

TEST_F(BootCodeTest, KernelIsRealisticallySized) {
    // Loading it must reach past 7C00h from its load address 600h.
    EXPECT_GT(fs::file_size(kernel), 0x7C00u - 0x600u + 4096u);
    EXPECT_GT(fs::file_size(kernel), 40000u);
}

TEST_F(BootCodeTest, BootsThroughExtendedRead) {
    // 16 MiB with the geometry of the ISO builder's disks (32 sectors, 64 heads).
    const fs::path image = WriteDisk("ext.img", 32, 64, 16);
    // Wrong CHS start in the partition entry: only the extended read of its LBA can succeed.
    PatchBytes(image, 0x1BE + 1, {0x05});
    const BootResult boot = Boot(image);
    EXPECT_EQ(boot.exitCode, kKernelSuccessExit) << boot.console;
    EXPECT_NE(boot.console.find(kKernelOk), std::string::npos) << boot.console;
}

TEST_F(BootCodeTest, BootsThroughChsReadWhenPatched) {
    // The CHS address of the partition is only right in the geometry the BIOS uses for the
    // drive; qemu's BIOS gives a small disk 16 heads and 63 sectors per track.
    const fs::path image = WriteDisk("chs.img", 63, 16, 32);
    PatchBytes(image, 0xCA, {0xB8, 0x01, 0x02});
    // Wrong LBA start in the partition entry (an all-zero sector of the boot track): only the
    // CHS read of the entry's cylinder/head/sector can succeed.
    PatchBytes(image, 0x1BE + 8, {0x01, 0x00, 0x00, 0x00});
    const BootResult boot = Boot(image);
    EXPECT_EQ(boot.exitCode, kKernelSuccessExit) << boot.console;
    EXPECT_NE(boot.console.find(kKernelOk), std::string::npos) << boot.console;
}

TEST_F(BootCodeTest, BootSectorLoadsThroughChsReads) {
    // The boot sector's flag for the extended read sits right before its cached FAT sector
    // number (FFFFh) and the kernel's name; cleared, it reads every sector by CHS, as on a
    // BIOS without the disk extensions.
    std::vector<BYTE> pbr = PbrTemplate();
    const std::string kernelName = "KERNEL  SYS";
    std::vector<BYTE> needle = {0xFF, 0xFF};
    needle.insert(needle.end(), kernelName.begin(), kernelName.end());
    const auto at = std::search(pbr.begin(), pbr.end(), needle.begin(), needle.end());
    ASSERT_NE(at, pbr.end());
    ASSERT_EQ(*(at - 1), 1);
    *(at - 1) = 0;
    const fs::path image = WriteDisk("pbrchs.img", 63, 16, 32, pbr);
    const BootResult boot = Boot(image);
    EXPECT_EQ(boot.exitCode, kKernelSuccessExit) << boot.console;
    EXPECT_NE(boot.console.find(kKernelOk), std::string::npos) << boot.console;
}

TEST_F(BootCodeTest, BootsAsAnElToritoHardDiskWhenPatched) {
    if (!testsupport::haveProgram("genisoimage")) {
        GTEST_SKIP() << "genisoimage is not installed";
    }
    // A CD whose boot image is the disk in hard-disk emulation: the BIOS takes the disk's
    // geometry from the partition entry and serves it through the basic disk functions.
    const fs::path image = WriteDisk("disk.img", 32, 64, 5);
    PatchBytes(image, 0x1C2, {0x06});
    PatchBytes(image, 0xCA, {0xB8, 0x01, 0x02});
    fs::resize_file(image, 5u << 20);
    const fs::path root = dir / "cd";
    fs::create_directory(root);
    fs::copy_file(image, root / "disk.img");
    const fs::path iso = dir / "boot.iso";
    const auto made = testsupport::runCommand(
        "genisoimage -quiet -o " + testsupport::shellQuote(iso.string()) +
        " -b disk.img -hard-disk-boot " + testsupport::shellQuote(root.string()));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    const BootResult boot = Boot(iso, true);
    EXPECT_EQ(boot.exitCode, kKernelSuccessExit) << boot.console;
    EXPECT_NE(boot.console.find(kKernelOk), std::string::npos) << boot.console;
}

}  // namespace
}  // namespace pellorin
