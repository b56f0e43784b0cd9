// dorvix on real block devices: loop devices over image files with file systems mounted on
// them. What is checked is what the kernel shows afterwards: what is mounted where, the
// partition table it holds (where its loop devices show partitions), and the sectors a capture
// read. Needs root and losetup; every loop device and mount is undone by the test. The file
// systems sit on the whole loop device: a kernel without partition tables still runs them.

#include "dorvix_restore_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using namespace restoretest;
using testsupport::TempDir;

// A loop device with partition scan over an image file, detached (its mounts first) at the end.
class LoopDisk {
public:
    explicit LoopDisk(const fs::path& image) {
        const auto r = runCommand("losetup -f -P --show " + shellQuote(image.string()));
        if (r.exitCode == 0 && r.output.rfind("/dev/loop", 0) == 0) {
            m_device = r.output.substr(0, r.output.find('\n'));
            runCommand("udevadm settle 2>/dev/null");
        }
    }
    ~LoopDisk() {
        if (m_device.empty()) return;
        for (const auto& point : m_mountPoints) {
            ::umount2(point.c_str(), 0);
        }
        runCommand("losetup -d " + shellQuote(m_device));
    }
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    const std::string& device() const { return m_device; }
    std::string sysName() const { return fs::path(m_device).filename().string(); }
    // Makes the whole device ext2 and mounts it at `point`; remembered for the clean-up.
    bool mountExt2(const fs::path& point) {
        fs::create_directories(point);
        m_mountPoints.push_back(point.string());
        return runCommand("mkfs.ext2 -q -F " + shellQuote(m_device) + " && mount " + shellQuote(m_device) + " " +
                          shellQuote(point.string()))
                   .exitCode == 0;
    }

private:
    std::string m_device;
    std::vector<std::string> m_mountPoints;
};

// The device number mounted at `point`, as "M:m", or empty when nothing is.
std::string mountedAt(const fs::path& point) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    std::string found;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string id, parent, dev, root, where;
        words >> id >> parent >> dev >> root >> where;
        if (where == point.string()) found = dev;  // the last one is on top
    }
    return found;
}

std::string deviceNumber(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) return "?";
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

std::uint64_t sysfsNumber(const fs::path& file) {
    std::ifstream in(file);
    std::uint64_t value = 0;
    in >> value;
    return value;
}

class DorvixOnLoopDisks : public ::testing::Test {
protected:
    TempDir dir;

    void SetUp() override {
        if (::geteuid() != 0 || !testsupport::haveProgram("losetup") || !testsupport::haveProgram("sfdisk") ||
            !testsupport::haveProgram("mkfs.ext2") || !testsupport::haveProgram("mkfs.fat")) {
            GTEST_SKIP() << "needs root, losetup, sfdisk, mkfs.ext2 and mkfs.fat";
        }
    }

    // A disk of `sectors` sectors whose one partition starts at `start` and is `length` long.
    fs::path partitionedDisk(const std::string& name, std::uint32_t sectors, std::uint32_t start,
                             std::uint32_t length) {
        const fs::path disk = dir / name;
        makeBlankDisk(disk, sectors);
        must("echo 'start=" + std::to_string(start) + ", size=" + std::to_string(length) + ", type=6' | sfdisk -q " +
             shellQuote(disk.string()));
        return disk;
    }
};

// After a restore the kernel shows the new partition (the table was re-read once dorvix let go
// of the disk), and the first partition goes back to its mount point or a warning says why not.
TEST_F(DorvixOnLoopDisks, RestoreRereadsThePartitionTableAndMountsAgain) {
    const fs::path source = dir / "source.img";
    makeSourceDisk(source, 40960, 4, rootFilesFill(dir / "files"));
    imageFromSourceDisk(source, dir / "FLASH.IMG", true);
    const fs::path disk = dir / "target.img";
    makeBlankDisk(disk, 65536);
    LoopDisk loop(disk);
    ASSERT_FALSE(loop.device().empty()) << "no loop device";
    const fs::path point = dir / "mnt";
    ASSERT_TRUE(loop.mountExt2(point));
    const fs::path table = writeDeviceTable(dir.path(), {{1, loop.device()}});

    const auto result = runDorvix(table, "-y -nor -XB FLASH.IMG");
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(result.output.find("was not re-read"), std::string::npos) << result.output;

    // Where the kernel reads partition tables, its first partition is the one of the new MBR.
    const auto mbr = readRange(disk, 0, 512);
    const fs::path sysPart = fs::path("/sys/block") / loop.sysName() / (loop.sysName() + "p1");
    if (fs::exists(sysPart)) {
        EXPECT_EQ(sysfsNumber(sysPart / "start"), le32(mbr, 454));
        EXPECT_EQ(sysfsNumber(sysPart / "size"), le32(mbr, 458));
    }
    // The first partition mounted again (where the kernel has vfat), or a warning that names
    // the mount point; the result stays a success either way.
    const bool mounted = !mountedAt(point).empty();
    const bool warned = result.output.find("was not mounted again on " + point.string()) != std::string::npos;
    EXPECT_TRUE(mounted || warned) << result.output;
}

// A capture that is refused (the partition holds no FAT16 volume) or that ends gives back what
// it unmounted, where it was, with the file system's contents.
TEST_F(DorvixOnLoopDisks, CaptureGivesTheFileSystemBack) {
    const fs::path disk = dir / "source.img";
    makeBlankDisk(disk, 40960);
    LoopDisk loop(disk);
    ASSERT_FALSE(loop.device().empty()) << "no loop device";
    const fs::path point = dir / "mnt";
    ASSERT_TRUE(loop.mountExt2(point));
    testsupport::writeFileText(point / "note.txt", "kept");
    const fs::path table = writeDeviceTable(dir.path(), {{1, loop.device()}});

    for (const std::string mode : {"-imgcopy", "-flatcopy"}) {
        SCOPED_TRACE(mode);
        const auto result = runDorvix(table, mode + " -nor out.kmv");
        EXPECT_NE(result.exitCode, 0) << result.output;  // ext2 is no FAT16 volume
        EXPECT_EQ(mountedAt(point), deviceNumber(loop.device())) << result.output;
        const auto note = testsupport::readFileBytes(point / "note.txt");
        EXPECT_EQ(std::string(note.begin(), note.end()), "kept");
        EXPECT_FALSE(fs::exists(dir / "out.kmv"));
    }
}

// A file system that cannot be unmounted (a process works inside it) refuses the capture, and
// stays mounted.
TEST_F(DorvixOnLoopDisks, BusyFileSystemRefusesTheCapture) {
    const fs::path disk = dir / "source.img";
    makeBlankDisk(disk, 40960);
    LoopDisk loop(disk);
    ASSERT_FALSE(loop.device().empty()) << "no loop device";
    const fs::path point = dir / "mnt";
    ASSERT_TRUE(loop.mountExt2(point));
    const int busy = ::open(point.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(busy, 0);
    const fs::path table = writeDeviceTable(dir.path(), {{1, loop.device()}});
    const auto result = runDorvix(table, "-flatcopy -nor out.kmv");
    ::close(busy);
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.output.find("could not be unmounted"), std::string::npos) << result.output;
    EXPECT_EQ(mountedAt(point), deviceNumber(loop.device()));
    EXPECT_FALSE(fs::exists(dir / "out.kmv"));
}

// Sectors written by another block device over the same disk (as a partition's file system
// writes them) after the whole disk's copy of them was cached are captured as written: the
// capture drops the whole disk's cache once it holds the disk. A second loop device over the
// same file stands for the partition, whose pages are cached apart from the disk's.
TEST_F(DorvixOnLoopDisks, FlatCaptureReadsWhatWasWrittenLast) {
    const fs::path disk = partitionedDisk("source.img", 40960, 2048, 30000);
    const fs::path volume = dir / "volume.img";
    must("mkfs.fat -F 16 -h 2048 -n SOURCE -C " + shellQuote(volume.string()) + " 15000 >/dev/null");
    must("dd if=" + shellQuote(volume.string()) + " of=" + shellQuote(disk.string()) +
         " bs=512 seek=2048 conv=notrunc status=none");
    LoopDisk loop(disk);
    LoopDisk other(disk);
    ASSERT_FALSE(loop.device().empty() || other.device().empty()) << "no loop device";
    constexpr std::uint32_t kProbe = 2048 + 25000;  // a free sector well inside two cylinders
    // The disk's page of the probe sector, cached while this descriptor stays open.
    const int whole = ::open(loop.device().c_str(), O_RDONLY);
    ASSERT_GE(whole, 0);
    std::vector<std::uint8_t> old(512);
    ASSERT_EQ(::pread(whole, old.data(), 512, off_t{kProbe} * 512), 512);
    const std::vector<std::uint8_t> fresh(512, 0xC3);
    {
        const int writer = ::open(other.device().c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        ASSERT_EQ(::pwrite(writer, fresh.data(), 512, off_t{kProbe} * 512), 512);
        ::close(writer);  // the last close writes its pages through to the file
    }
    std::vector<std::uint8_t> cached(512);
    ASSERT_EQ(::pread(whole, cached.data(), 512, off_t{kProbe} * 512), 512);
    if (cached == fresh) {
        ::close(whole);
        GTEST_SKIP() << "this kernel shares the page cache of the two devices";
    }
    const fs::path table = writeDeviceTable(dir.path(), {{1, loop.device()}});
    const auto result = runDorvix(table, "-flatcopy -nor out.kmv");
    ::close(whole);
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(readRange(dir / "out.kmv", 512 + std::uint64_t{kProbe} * 512, 512), fresh);
}

// The disk an image is read from, and an image-file disk behind a mounted loop device, are
// refused before the question, and nothing is written.
TEST_F(DorvixOnLoopDisks, RestoreRefusesTheDiskTheImageComesFromAndABusyImageFile) {
    const fs::path source = dir / "source.img";
    makeSourceDisk(source, 40960, 4, rootFilesFill(dir / "files"));
    const fs::path disk = dir / "carrier.img";
    makeBlankDisk(disk, 40960);
    LoopDisk loop(disk);
    ASSERT_FALSE(loop.device().empty()) << "no loop device";
    const fs::path point = dir / "mnt";
    ASSERT_TRUE(loop.mountExt2(point));
    imageFromSourceDisk(source, point / "FLASH.IMG", true);
    // ext2 leaves the first 1024 bytes alone; a restore would begin there with its MBR.
    const auto before = readRange(disk, 0, 1024);

    const fs::path table = writeDeviceTable(dir.path(), {{1, loop.device()}, {2, disk.string()}});
    for (const std::string target : {"1", "2"}) {
        SCOPED_TRACE("DSK" + target);
        const auto result = runDorvix(table, "-y -nor -XB -td:" + target + " mnt/FLASH.IMG");
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find("ERROR: DSK" + target + ": is not written: "), std::string::npos) << result.output;
        EXPECT_NE(result.output.find(target == "1" ? "the image file mnt/FLASH.IMG is read from it"
                                                   : "it is the file behind " + loop.device()),
                  std::string::npos)
            << result.output;
        EXPECT_TRUE(result.output.ends_with(".\n")) << "the refusal ends its line: " << result.output;
        EXPECT_EQ(mountedAt(point), deviceNumber(loop.device()));
    }
    EXPECT_EQ(readRange(disk, 0, 1024), before);
}

}  // namespace
