// The built `pellorin usb` and `pellorin drives` on a made-up machine whose USB disk is a loop
// device (where the machine has loop devices) or an image file: fsck.fat, mtools (every payload
// file byte for byte) and SeaBIOS in qemu check the written disk. Also the refusals, the
// confirmation and the exit codes.

#include "TestSupport.h"
#include "signal_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using systemtest::runAndSignal;
using namespace testsupport;

constexpr std::uint64_t kDiskBytes = 40ULL << 20;
const fs::path kTestKernel = fs::path(BINARY_DIR) / "resources/pellorin/testkernel.bin";
// The staged machine's root: a file system in memory, on no disk.
constexpr const char* kRootLine = "1 0 0:1 / / rw - tmpfs rootfs rw\n";
constexpr const char* kUsbPath = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0";

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// A sysfs tree with one disk `name` of the given number, on the USB bus (SCSI type `type`) or on
// a SATA port.
void fakeSysfs(const fs::path& sys, const std::string& name, const std::string& number, bool usb,
               const std::string& type = "0") {
    const fs::path device = sys / "devices" /
                            (usb ? kUsbPath : "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0");
    fs::create_directories(device);
    writeFileText(device / "type", type + "\n");
    writeFileText(device / "vendor", "Acme\n");
    writeFileText(device / "model", "Test Stick\n");
    writeFileText(device / "delete", "");
    fs::create_directories(sys / "block" / name);
    fs::create_directory_symlink(device, sys / "block" / name / "device");
    writeFileText(sys / "block" / name / "dev", number + "\n");
    writeFileText(sys / "block" / name / "size", std::to_string(kDiskBytes / 512) + "\n");
}

// The first MiB of a disk: where a refused run would have started writing.
std::vector<std::uint8_t> diskHead(const fs::path& disk) {
    std::vector<std::uint8_t> head(1 << 20);
    std::ifstream in(disk, std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    return head;
}

std::vector<std::string> writePayload(const fs::path& dir) {
    fs::create_directories(dir);
    fs::copy_file(kTestKernel, dir / "KERNEL.SYS");
    writeFileText(dir / "AUTOEXEC.BAT", "@ECHO OFF\r\nKMV.EXE\r\n");
    writeFileBytes(dir / "COMMAND.COM", patternBytes(1234, 2));
    writeFileBytes(dir / "KMV.EXE", patternBytes(70001, 3));
    writeFileBytes(dir / "RECOVERY.PDF", patternBytes(20000, 4));
    writeFileBytes(dir / "FLASH.IMG", patternBytes(3 * 1048576 + 77, 5));
    return {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT", "RECOVERY.PDF", "KMV.EXE", "FLASH.IMG"};
}


class PellorinUsb : public testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"fsck.fat", "mcopy"}) {
            if (!haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_TRUE(fs::exists(kTestKernel)) << kTestKernel;
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        // The views are refused in a run that looks elevated; these runs are the test's own.
        unsetenv("PKEXEC_UID");
        unsetenv("SUDO_UID");
        writeFileText(tmp / "mountinfo", kRootLine);
        writeFileText(tmp / "swaps", "Filename\tType\tSize\tUsed\tPriority\n");
        names = writePayload(tmp / "payload");
    }

    std::string Views(const fs::path& sys, const fs::path& dev) const {
        return " --sysfs " + shellQuote(sys.string()) + " --mountinfo " + shellQuote((tmp / "mountinfo").string()) +
               " --swaps " + shellQuote((tmp / "swaps").string()) + " --dev-dir " + shellQuote(dev.string());
    }
    CommandResult Usb(const std::string& device, const std::string& views, const std::string& extra = "--yes") const {
        return runCommand(shellQuote(PELLORIN_PROGRAM) + " usb " + shellQuote(device) + " --payload " +
                          shellQuote((tmp / "payload").string()) + " " + extra + views + " 2>&1 </dev/null");
    }

    // fsck.fat, mtools and qemu on the written disk image.
    void CheckDisk(const fs::path& image) const {
        const auto bytes = readFileBytes(image);
        ASSERT_GE(bytes.size(), 512U);
        EXPECT_EQ(bytes[510], 0x55);
        EXPECT_EQ(bytes[511], 0xAA);
        const std::uint32_t first = le32(bytes, 0x1BE + 8);
        const std::uint32_t count = le32(bytes, 0x1BE + 12);
        ASSERT_LE((std::uint64_t{first} + count) * 512, bytes.size());
        const fs::path part = tmp / "partition.img";
        writeFileBytes(part, std::vector<std::uint8_t>(bytes.begin() + first * 512,
                                                       bytes.begin() + (std::size_t{first} + count) * 512));
        const auto fsck = runCommand("fsck.fat -n " + shellQuote(part.string()));
        EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
        for (const auto& name : names) {
            const fs::path out = tmp / ("back." + name);
            fs::remove(out);
            const auto copy =
                runCommand("mcopy -n -i " + shellQuote(part.string()) + " ::" + name + " " + shellQuote(out.string()));
            ASSERT_EQ(copy.exitCode, 0) << name << ": " << copy.output;
            EXPECT_TRUE(readFileBytes(out) == readFileBytes(tmp / "payload" / name)) << name;
        }
        if (!haveProgram("qemu-system-i386")) {
            std::fprintf(stderr, "qemu-system-i386 is not installed: the boot is not checked\n");
            return;
        }
        const fs::path console = tmp / "console.log";
        runCommand("timeout 60 qemu-system-i386 -accel tcg -m 16 -display none -no-reboot -nodefaults -boot c -drive file=" +
                   shellQuote(image.string()) + ",format=raw,if=ide -debugcon file:" + shellQuote(console.string()) +
                   " -device isa-debug-exit,iobase=0xf4,iosize=0x04");
        std::ifstream in(console);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("TESTKERNEL"), std::string::npos) << text;
        EXPECT_NE(text.find("image=ok"), std::string::npos) << text;
    }

    TempDir tmp;
    std::vector<std::string> names;
};

TEST_F(PellorinUsb, FormatsAnImageFileMarkedAsUsbDisk) {
    const fs::path dev = tmp / "dev";
    fs::create_directories(dev);
    const fs::path image = dev / "sdx";
    { std::ofstream create(image); }
    fs::resize_file(image, kDiskBytes);
    fakeSysfs(tmp / "sys", "sdx", "250:0", true);

    const auto run = Usb(image.string(), Views(tmp / "sys", dev));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("The USB flash device has been formatted successfully."), std::string::npos)
        << run.output;
    CheckDisk(image);
}

// A signal while the written disk is flushed ends the run as cancelled, with the word that the
// disk must be formatted again, never with the success text. The read-back is past the commit:
// a signal then is too late, and the run ends with what the read-back finds (here: done).
TEST_F(PellorinUsb, SignalsDuringTheFlushCancelAndDuringTheReadBackAreTooLate) {
    const fs::path dev = tmp / "dev";
    fs::create_directories(dev);
    const fs::path image = dev / "sdx";
    { std::ofstream create(image); }
    fs::resize_file(image, 400ULL << 20);
    fakeSysfs(tmp / "sys", "sdx", "250:0", true);
    writeFileText(tmp / "sys/block/sdx/size", std::to_string((400ULL << 20) / 512) + "\n");  // as large as the image
    fs::resize_file(tmp / "payload/FLASH.IMG", 300ULL << 20);
    const struct {
        const char* trigger;
        std::vector<long> syscalls;
        int signal;
    } cases[] = {
        {"Writing the cached data to the USB flash device...", {SYS_fsync, SYS_fdatasync, SYS_sync_file_range}, SIGINT},
        {"Verifying...", {SYS_read, SYS_pread64}, SIGTERM},
        {"Verifying...", {SYS_read, SYS_pread64}, SIGHUP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.trigger) + " " + std::to_string(c.signal));
        std::string output;
        bool observed = false;
        const std::vector<std::string> args{PELLORIN_PROGRAM, "usb", image.string(), "--payload", (tmp / "payload").string(),
                                            "--yes", "--sysfs", (tmp / "sys").string(), "--mountinfo",
                                            (tmp / "mountinfo").string(), "--swaps", (tmp / "swaps").string(),
                                            "--dev-dir", dev.string()};
        const bool flushing = c.signal == SIGINT;
        EXPECT_EQ(runAndSignal(args, c.signal, output, c.trigger, c.syscalls, &observed), flushing ? 2 : 0) << output;
        if (!observed) std::fprintf(stderr, "the phase ended before the process was seen inside it\n");
        EXPECT_EQ(output.find("Cancelled.") != std::string::npos, flushing) << output;
        EXPECT_EQ(output.find("must be formatted again") != std::string::npos, flushing) << output;
        EXPECT_EQ(output.find("formatted successfully") != std::string::npos, !flushing) << output;
    }
}

TEST_F(PellorinUsb, FormatsALoopDeviceMarkedAsUsbDisk) {
    const fs::path backing = tmp / "backing.img";
    { std::ofstream create(backing); }
    fs::resize_file(backing, kDiskBytes);
    const auto attach = runCommand("losetup --find --show " + shellQuote(backing.string()) + " 2>&1");
    if (attach.exitCode != 0) GTEST_SKIP() << "no loop device on this machine: " << attach.output;
    const std::string loop = attach.output.substr(0, attach.output.find('\n'));
    struct stat st {};
    ASSERT_EQ(::stat(loop.c_str(), &st), 0);
    const std::string name = fs::path(loop).filename().string();
    fakeSysfs(tmp / "sys", name, std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), true);

    const auto run = Usb(loop, Views(tmp / "sys", "/dev"));
    runCommand("losetup -d " + shellQuote(loop));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // The re-enumeration's trace lines carry no line end; the success line starts a line anyway.
    EXPECT_NE(run.output.find("\nThe USB flash device has been formatted successfully.\n"), std::string::npos)
        << run.output;
    // A loop device without partition scanning refuses the re-read: the disk alone is deleted and
    // rescanned on its host.
    const auto deleted = readFileBytes(tmp / "sys/devices" / kUsbPath / "delete");
    EXPECT_EQ(std::string(deleted.begin(), deleted.end()), "1");
    CheckDisk(backing);
}

TEST_F(PellorinUsb, RefusesAndAsksWithExitCodes) {
    const fs::path dev = tmp / "dev";
    fs::create_directories(dev);
    for (const char* name : {"sdx", "sdy", "sdz"}) {
        { std::ofstream create(dev / name); }
        fs::resize_file(dev / name, kDiskBytes);
    }
    fakeSysfs(tmp / "sys", "sdx", "250:0", true);
    fakeSysfs(tmp / "sata", "sdy", "250:16", false);
    fakeSysfs(tmp / "reader", "sdz", "250:32", true, "5");
    struct Case {
        const char* name;
        std::string device;
        std::string views;
        std::string extra;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"not a disk the kernel lists", (dev / "nothing").string(), Views(tmp / "sys", dev), "--yes", 3,
         "appears to be a betwork resource share"},
        {"disk on another bus", (dev / "sdy").string(), Views(tmp / "sata", dev), "--yes", 3,
         "does not appear to be a valid USB flash device"},
        {"USB reader of another type", (dev / "sdz").string(), Views(tmp / "reader", dev), "--yes", 3,
         "does not appear to be a valid USB flash device"},
        {"no at the confirmation", (dev / "sdx").string(), Views(tmp / "sys", dev), "", 2,
         "You are about to overwrite the contents of your USB flash device."},
        {"missing device argument", "", "", "", 64, "DEVICE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = diskHead(dev / "sdx");
        const auto run = c.device.empty()
                             ? runCommand(shellQuote(PELLORIN_PROGRAM) + " usb 2>&1 </dev/null")
                             : Usb(c.device, c.views, c.extra);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_TRUE(diskHead(dev / "sdx") == before);
    }

    const auto list = runCommand(shellQuote(PELLORIN_PROGRAM) + " drives" + Views(tmp / "sys", dev));
    ASSERT_EQ(list.exitCode, 0) << list.output;
    EXPECT_NE(list.output.find((dev / "sdx").string()), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("Acme Test Stick"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("40.0 MiB"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("usb   yes"), std::string::npos) << list.output;
    const auto sata = runCommand(shellQuote(PELLORIN_PROGRAM) + " drives" + Views(tmp / "sata", dev));
    EXPECT_NE(sata.output.find("other no: not on the USB bus"), std::string::npos) << sata.output;
}

// Refusals that the volume writer would make, said before the disk is touched: string 3 and a
// line with the reason. Each case is a disk of its own with a payload of its own.
TEST_F(PellorinUsb, RefusalsBeforeTheFirstWriteSayWhy) {
    const std::string string3 = "An unexpected error occurred while writing to the USB flash device.";
    const struct {
        const char* name;
        std::uint64_t diskBytes;
        const char* logicalSectorSize;  // empty: the tree does not say
        std::uint64_t flashBytes;
        const char* says;
    } cases[] = {
        {"4096-byte logical sectors", kDiskBytes, "4096", 1000,
         "/sdx has 4096-byte logical sectors; a recovery disk needs 512-byte sectors"},
        {"disk too small for FAT16", 4000256, "512", 1000,
         "/sdx (4000256 bytes) is too small for a FAT16 disk, which needs at least 4301312 bytes."},
        {"payload larger than the disk", kDiskBytes, "", kDiskBytes, "bytes) does not fit on "},
        {"flash image over the FAT16 file limit", kDiskBytes, "", 2147090433ULL,
         "FLASH.IMG (2147090433 bytes) is larger than a FAT16 disk can hold (2147090432 bytes)."},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = tmp / std::to_string(++index);
        fs::create_directories(dir / "dev");
        const fs::path disk = dir / "dev/sdx";
        writeFileBytes(disk, patternBytes(1 << 20, 8));
        fs::resize_file(disk, c.diskBytes);
        fakeSysfs(dir / "sys", "sdx", "250:0", true);
        writeFileText(dir / "sys/block/sdx/size", std::to_string(c.diskBytes / 512) + "\n");
        if (*c.logicalSectorSize != '\0') {
            fs::create_directories(dir / "sys/block/sdx/queue");
            writeFileText(dir / "sys/block/sdx/queue/logical_block_size", std::string(c.logicalSectorSize) + "\n");
        }
        writePayload(dir / "payload");
        fs::resize_file(dir / "payload/FLASH.IMG", c.flashBytes);
        const auto before = readFileBytes(disk);

        const auto run = runCommand(shellQuote(PELLORIN_PROGRAM) + " usb " + shellQuote(disk.string()) + " --payload " +
                                    shellQuote((dir / "payload").string()) + " --yes" + Views(dir / "sys", dir / "dev") +
                                    " 2>&1 </dev/null");
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_NE(run.output.find(string3), std::string::npos) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
        EXPECT_TRUE(readFileBytes(disk) == before);
        fs::remove_all(dir);
    }
}

// A loop device with 4096-byte logical sectors, whose staged sysfs entry does not say so: the
// device's own answer refuses it before the first write.
TEST_F(PellorinUsb, ALoopDeviceWith4096ByteSectorsIsRefusedUntouched) {
    const fs::path backing = tmp / "backing.img";
    writeFileBytes(backing, patternBytes(1 << 20, 9));
    fs::resize_file(backing, kDiskBytes);
    const auto attach = runCommand("losetup --sector-size 4096 --find --show " + shellQuote(backing.string()) + " 2>&1");
    if (attach.exitCode != 0) GTEST_SKIP() << "no loop device with 4096-byte sectors here: " << attach.output;
    const std::string loop = attach.output.substr(0, attach.output.find('\n'));
    struct stat st {};
    ASSERT_EQ(::stat(loop.c_str(), &st), 0);
    const std::string name = fs::path(loop).filename().string();
    fakeSysfs(tmp / "sys", name, std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), true);
    const auto before = readFileBytes(backing);

    const auto run = Usb(loop, Views(tmp / "sys", "/dev"));
    runCommand("losetup -d " + shellQuote(loop));
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find(loop + " has 4096-byte logical sectors; a recovery disk needs 512-byte sectors"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(readFileBytes(backing) == before);
}

// The caller of an elevated run cannot hand it fake views: with PKEXEC_UID (or SUDO_UID) set,
// any view option is refused before anything is looked at.
TEST_F(PellorinUsb, ViewOptionsAreRefusedInAnElevatedRun) {
    const fs::path dev = tmp / "dev";
    fs::create_directories(dev);
    { std::ofstream create(dev / "sdx"); }
    fs::resize_file(dev / "sdx", kDiskBytes);
    fakeSysfs(tmp / "sys", "sdx", "250:0", true);
    writeFileText(tmp / "mountinfo", std::string(kRootLine) + "30 1 250:0 / " + (tmp / "mnt").string() +
                                         " rw - vfat " + (dev / "sdx").string() + " rw\n");
    for (const char* variable : {"PKEXEC_UID=1000", "SUDO_UID=1000"}) {
        SCOPED_TRACE(variable);
        const auto before = diskHead(dev / "sdx");
        const auto run = runCommand(std::string("env ") + variable + " " + shellQuote(PELLORIN_PROGRAM) + " usb " +
                                    shellQuote((dev / "sdx").string()) + " --yes --payload " +
                                    shellQuote((tmp / "payload").string()) + Views(tmp / "sys", dev) + " 2>&1 </dev/null");
        EXPECT_EQ(run.exitCode, 64) << run.output;
        EXPECT_NE(run.output.find("refused in a run with administrator rights"), std::string::npos) << run.output;
        EXPECT_TRUE(diskHead(dev / "sdx") == before);
        EXPECT_EQ(readFileBytes(tmp / "sys/devices" / kUsbPath / "delete").size(), 0U);
        const auto drives = runCommand(std::string("env ") + variable + " " + shellQuote(PELLORIN_PROGRAM) +
                                       " drives --sysfs " + shellQuote((tmp / "sys").string()) + " 2>&1");
        EXPECT_EQ(drives.exitCode, 64) << drives.output;
    }
}

// `drives` on a machine whose device-mapper slaves run in a circle ends, and a model name with
// control characters is shown escaped, never sent to the terminal.
TEST_F(PellorinUsb, DrivesEndsOnASlavesCycleAndEscapesNames) {
    const fs::path sys = tmp / "sys";
    fakeSysfs(sys, "sdx", "250:0", true);
    writeFileText(sys / "devices" / kUsbPath / "model", "Evil\x1b[2JStick\n");
    for (const auto& [name, other] : {std::pair{"dm-1", "dm-2"}, std::pair{"dm-2", "dm-1"}}) {
        fs::create_directories(sys / "block" / name / "slaves" / other);
        writeFileText(sys / "block" / name / "dev", std::string("252:") + (name[3] == '1' ? "1" : "2") + "\n");
        writeFileText(sys / "block" / name / "size", "1000\n");
    }
    writeFileText(tmp / "mountinfo", "1 0 252:1 / / rw - ext4 /dev/dm-1 rw\n");
    const auto list = runCommand("timeout 20 " + shellQuote(PELLORIN_PROGRAM) + " drives" + Views(sys, tmp / "dev") + " 2>&1");
    ASSERT_EQ(list.exitCode, 0) << list.output;
    EXPECT_EQ(list.output.find('\x1b'), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("Acme Evil\\x1b[2JStick"), std::string::npos) << list.output;
}

// The payload on a real btrfs file system of the stick (a loop device): directly, through a bind
// mount of one of its folders, and inside an overlay whose upper layer is on it. btrfs shows an
// anonymous device number, so the stick is only found through the mount's source and the file
// system's member devices. Every run is refused and the stick's first sectors stay as they were.
TEST_F(PellorinUsb, APayloadOnTheSticksOwnBtrfsIsRefused) {
    if (!haveProgram("mkfs.btrfs")) GTEST_SKIP() << "mkfs.btrfs is not installed";
    const fs::path backing = tmp / "btrfs.img";
    { std::ofstream create(backing); }
    fs::resize_file(backing, 160ULL << 20);
    const auto attach = runCommand("losetup --find --show " + shellQuote(backing.string()) + " 2>&1");
    if (attach.exitCode != 0) GTEST_SKIP() << "no loop device on this machine: " << attach.output;
    const std::string loop = attach.output.substr(0, attach.output.find('\n'));
    struct Mounted {
        std::vector<fs::path> points;
        std::string loop;
        ~Mounted() {
            for (auto it = points.rbegin(); it != points.rend(); ++it) runCommand("umount " + shellQuote(it->string()));
            runCommand("losetup -d " + shellQuote(loop));
        }
    } mounted{{}, loop};
    const auto mkfs = runCommand("mkfs.btrfs -q -f " + shellQuote(loop) + " 2>&1");
    ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
    const fs::path stick = tmp / "stick";
    fs::create_directories(stick);
    const auto mount = runCommand("mount " + shellQuote(loop) + " " + shellQuote(stick.string()) + " 2>&1");
    if (mount.exitCode != 0) GTEST_SKIP() << "btrfs cannot be mounted here: " << mount.output;
    mounted.points.push_back(stick);
    writePayload(stick / "payload");
    fs::create_directories(stick / "up");
    fs::create_directories(stick / "work");
    fs::create_directories(tmp / "lower");
    fs::create_directories(tmp / "bound");
    fs::create_directories(tmp / "overlay");
    ASSERT_EQ(runCommand("mount --bind " + shellQuote((stick / "payload").string()) + " " + shellQuote((tmp / "bound").string())).exitCode, 0);
    mounted.points.push_back(tmp / "bound");
    const auto overlay = runCommand("mount -t overlay overlay -o lowerdir=" + (tmp / "lower").string() +
                                    ",upperdir=" + (stick / "up").string() + ",workdir=" + (stick / "work").string() + " " +
                                    shellQuote((tmp / "overlay").string()) + " 2>&1");
    const bool haveOverlay = overlay.exitCode == 0;
    if (haveOverlay) {
        mounted.points.push_back(tmp / "overlay");
        writePayload(tmp / "overlay" / "payload");
    }

    // The staged machine: the loop device as a USB disk, the kernel's own btrfs listing, and the
    // kernel's own lines for the mounts of this test under a root in memory.
    struct stat st {};
    ASSERT_EQ(::stat(loop.c_str(), &st), 0);
    const std::string name = fs::path(loop).filename().string();
    const fs::path sys = tmp / "sys";
    fakeSysfs(sys, name, std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), true);
    fs::create_directories(sys / "fs");
    fs::create_directory_symlink("/sys/fs/btrfs", sys / "fs/btrfs");
    std::string table = kRootLine;
    {
        std::ifstream real("/proc/self/mountinfo");
        const std::string root = fs::canonical(tmp.path()).string();
        for (std::string line; std::getline(real, line);) {
            if (line.find(" " + root + "/") != std::string::npos) table += line + "\n";
        }
    }
    writeFileText(tmp / "mountinfo", table);

    std::vector<fs::path> payloads = {stick / "payload", tmp / "bound"};
    if (haveOverlay) payloads.push_back(tmp / "overlay" / "payload");
    // The first 64 KiB: where a format starts writing, and where btrfs itself never writes.
    const auto head = [&backing] {
        auto bytes = diskHead(backing);
        bytes.resize(64 << 10);
        return bytes;
    };
    for (const fs::path& payload : payloads) {
        SCOPED_TRACE(payload.string());
        const auto before = head();
        const auto run = runCommand(shellQuote(PELLORIN_PROGRAM) + " usb " + shellQuote(loop) + " --yes --payload " +
                                    shellQuote(payload.string()) + Views(sys, "/dev") + " 2>&1 </dev/null");
        EXPECT_EQ(run.exitCode, 3) << run.output;
        EXPECT_NE(run.output.find("cannot be formatted: it holds the running system"), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find("formatted successfully"), std::string::npos) << run.output;
        EXPECT_TRUE(head() == before);
        EXPECT_TRUE(fs::exists(stick / "payload" / "FLASH.IMG")) << "the stick stayed mounted";
    }
    if (!haveOverlay) std::fprintf(stderr, "overlay cannot be mounted here: %s\n", overlay.output.c_str());
}

}  // namespace
