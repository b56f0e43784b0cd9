// The USB job on a made-up machine whose USB disk is an image file: the written disk, the
// refusals that leave the disk byte-identical, the failures during and after the write (write
// error, flush error, read-back mismatch), the cancel, and the fallback when the kernel does not
// re-read the partition table. Also the checks made before the confirmation.

#include "usb/UsbFormat.h"

#include "FaultyHandle.h"
#include "app/CommandLine.h"
#include "app/UsbCommand.h"
#include "UsbFakeSystem.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace pellorin;
using pellorin::testing_support::FakeSystem;
using testsupport::readFileBytes;
using testsupport::writeFileBytes;

constexpr std::uint64_t kImageBytes = 9ULL << 20;  // one cylinder of 255 heads, 63 sectors

class TestView : public CIsoJobView {
public:
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int nPos) override { positions.push_back(nPos); }
    void SetStatusText(std::string_view text) override { statuses.emplace_back(text); }
    void ShowWarning(std::string_view text) override { warnings.emplace_back(text); }
    void PumpOneMessage() override {
        ++pumps;
        if (cancelAtPump == pumps) g_bFormatBusy = false;
        if (!cancelAtStatus.empty() && !statuses.empty() && statuses.back() == cancelAtStatus) g_bFormatBusy = false;
    }
    std::string cancelAtStatus;  // cancels at the first pump while this status shows
    std::vector<int> positions;
    std::vector<std::string> statuses;
    std::vector<std::string> warnings;
    int pumps = 0;
    int cancelAtPump = 0;
};

// The system calls with faults that tests switch on.
class TestPlatform : public CUsbPlatform {
public:
    using CUsbPlatform::CUsbPlatform;
    std::function<bool(const std::string&)> unmount = [](const std::string&) { return true; };
    int openError = 0;
    std::function<CDriveHandle*(CFileHandle&)> wrap;
    bool flushFails = false;
    bool rereadFails = false;
    std::vector<std::string> removed;
    std::vector<std::string> unmounted;

    bool Unmount(const std::string& mountPoint) override {
        unmounted.push_back(mountPoint);
        return unmount(mountPoint);
    }
    std::function<void()> onOpen = [] {};
    std::function<void()> onFlush = [] {};
    std::unique_ptr<CFileHandle> OpenExclusive(const std::string& path) override {
        onOpen();
        if (openError != 0) {
            errno = openError;
            return nullptr;
        }
        return CUsbPlatform::OpenExclusive(path);
    }
    CDriveHandle* WrapHandle(CFileHandle& handle) override { return wrap ? wrap(handle) : &handle; }
    bool Flush(CFileHandle& handle, const std::function<bool()>& bGoOn) override {
        onFlush();
        if (flushFails) {
            errno = EIO;
            return false;
        }
        return CUsbPlatform::Flush(handle, bGoOn);
    }
    bool RereadPartitionTable(CFileHandle& handle) override {
        if (rereadFails) {
            errno = EINVAL;
            return false;
        }
        return CUsbPlatform::RereadPartitionTable(handle);
    }
    bool RemoveAndRescan(const std::string& diskName) override {
        removed.push_back(diskName);
        return CUsbPlatform::RemoveAndRescan(diskName);
    }
};

// A handle whose reads return one flipped byte at `offset`, as a stick that lost data would.
class CCorruptingHandle : public CDriveHandle {
public:
    // With `readError`, the read that covers `offset` fails with it instead.
    CCorruptingHandle(CDriveHandle* inner, std::uint64_t offset, int readError = 0)
        : m_inner(inner), m_offset(offset), m_readError(readError) {}
    bool SetPointer(std::uint64_t offset) override {
        m_position = offset;
        return m_inner->SetPointer(offset);
    }
    bool Write(std::span<const BYTE> data, DWORD& written) override {
        const bool ok = m_inner->Write(data, written);
        m_position += written;
        return ok;
    }
    bool WriteAt(std::uint64_t offset, std::span<const BYTE> data, DWORD& written) override {
        return m_inner->WriteAt(offset, data, written);
    }
    bool Read(std::span<BYTE> data, DWORD& read) override {
        if (m_readError != 0 && m_offset >= m_position && m_offset < m_position + data.size()) {
            read = 0;
            errno = m_readError;
            return false;
        }
        const bool ok = m_inner->Read(data, read);
        if (m_offset >= m_position && m_offset < m_position + read) data[m_offset - m_position] ^= 0x5A;
        m_position += read;
        return ok;
    }
    bool QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) override {
        return m_inner->QueryGeometry(geometry, diskSize);
    }

private:
    CDriveHandle* m_inner;
    std::uint64_t m_offset;
    int m_readError;
    std::uint64_t m_position = 0;
};

// A checksum of a whole file, read in large pieces (the disks are megabytes).
std::uint64_t fileHash(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    std::uint64_t hash = 14695981039346656037ULL;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash = (hash ^ static_cast<unsigned char>(buffer[static_cast<std::size_t>(i)])) * 1099511628211ULL;
        }
    }
    return hash;
}

std::string readStream(std::FILE* f) {
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    return text;
}

// A machine with a USB stick (sdb, an image file holding an old boot record), a SATA disk
// (sda), a USB card reader of another type (sdc), and a payload folder.
struct Machine {
    Machine() {
        sys.AddDisk({"sdb", "250:16", testing_support::kUsbBusPath, "0", kImageBytes / 512, {"sdb1"}});
        sys.AddDisk({"sda", "250:0", testing_support::kSataBusPath, "0", kImageBytes / 512, {"sda1"}});
        sys.AddDisk({"sdc", "250:32", testing_support::kUsbBusPath2, "5", kImageBytes / 512, {}});
        image = sys.MakeImage("sdb", kImageBytes);
        sys.MakeImage("sda", kImageBytes);
        sys.MakeImage("sdc", kImageBytes);
        std::vector<BYTE> old = testsupport::patternBytes(512, 9);
        writeFileBytes(image, old);
        fs::resize_file(image, kImageBytes);

        payload = sys.Root() / "payload";
        fs::create_directories(payload);
        writeFileBytes(payload / "KERNEL.SYS", testsupport::patternBytes(3000, 1));
        writeFileBytes(payload / "COMMAND.COM", testsupport::patternBytes(1234, 2));
        writeFileBytes(payload / "AUTOEXEC.BAT", {'@', 'E', 'C', 'H', 'O', '\r', '\n'});
        writeFileBytes(payload / "FLASH.IMG", testsupport::patternBytes(300000, 5));
    }

    UsbFormatRequest Request(const std::string& disk = "sdb") const {
        UsbFormatRequest request;
        request.device = (sys.Dev() / disk).string();
        request.payloadDirectory = payload;
        request.tickCount = [] { return DWORD{0x12345678}; };
        return request;
    }

    FakeSystem sys;
    fs::path image;
    fs::path payload;
};

class UsbFormat : public testing::Test {
protected:
    UsbFormatRequest Request(const std::string& disk = "sdb") const { return m.Request(disk); }
    Machine m;
    FakeSystem& sys = m.sys;
    fs::path& image = m.image;
};

TEST_F(UsbFormat, WritesTheDiskAndReadsItBack) {
    TestPlatform platform(sys.Views());
    TestView view;
    EXPECT_EQ(FormatUsbDrive(Request(), platform, view), kWorkDone);
    EXPECT_TRUE(view.warnings.empty()) << view.warnings.front();
    EXPECT_FALSE(g_bFormatBusy);
    EXPECT_EQ(view.positions.back(), 100);
    EXPECT_NE(std::find(view.statuses.begin(), view.statuses.end(), usbtext::kVerifying), view.statuses.end());
    const auto bytes = readFileBytes(image);
    EXPECT_EQ(bytes[510], 0x55);
    EXPECT_EQ(bytes[511], 0xAA);
    EXPECT_EQ(bytes[0x1BE + 4], 0x0E) << "one FAT16 partition";
    EXPECT_EQ(platform.unmounted, std::vector<std::string>{});
    EXPECT_TRUE(platform.removed.empty()) << "an image file has no table to re-read";
}

TEST(UsbFormatRefusals, LeaveEveryDiskUntouched) {
    struct Case {
        const char* name;
        const char* disk;
        std::function<void(Machine&, TestPlatform&)> arrange;
        std::string message;  // found in the warning
    };
    const std::string string7(LoadStringText(IDS_USB_OPEN_FAILED));
    const std::string string3(LoadStringText(IDS_USB_WRITE_FAILED));
    const Case cases[] = {
        {"disk on another bus", "sda", {}, std::string(LoadStringText(IDS_NOT_A_USB_DEVICE))},
        {"USB device of another type", "sdc", {}, std::string(LoadStringText(IDS_NOT_A_USB_DEVICE))},
        {"disk vanished since the list", "sdb",
         [](Machine& m, TestPlatform&) { fs::remove_all(m.sys.Sys() / "block/sdb"); }, string7},
        {"system disk", "sdb", [](Machine& m, TestPlatform&) { m.sys.AddMount("250:17", "/"); },
         "/sdb cannot be formatted: it holds the running system."},
        {"partition stays mounted", "sdb",
         [](Machine& m, TestPlatform& p) {
             m.sys.AddMount("250:17", "/media/stick");
             p.unmount = [](const std::string&) {
                 errno = EBUSY;
                 return false;
             };
         },
         string7 + "\r\n\r\n/media/stick could not be unmounted"},
        {"exclusive open refused", "sdb", [](Machine&, TestPlatform& p) { p.openError = EBUSY; }, string7},
        {"no permission", "sdb", [](Machine&, TestPlatform& p) { p.openError = EACCES; },
         string7 + "\r\n\r\nYou are not allowed to write to this disk. Run pellorin as root, or as a member"},
        {"no kernel in the payload", "sdb", [](Machine& m, TestPlatform&) { fs::remove(m.payload / "KERNEL.SYS"); },
         "KERNEL.SYS is missing or empty"},
        {"payload on a btrfs file system of the stick", "sdb",
         [](Machine& m, TestPlatform&) {
             fs::create_directories(m.sys.Sys() / "fs/btrfs/0c1d2e3f-4a5b-6c7d-8e9f-a0b1c2d3e4f5/devices/sdb1");
             m.sys.AddMountLine("40 1 0:52 / " + fs::canonical(m.payload).string() + " rw - btrfs " +
                                (m.sys.Dev() / "sdb1").string() + " rw");
         },
         "/sdb cannot be formatted: it holds the running system."},
        {"a payload file links to the stick", "sdb",
         [](Machine& m, TestPlatform&) {
             const fs::path stick = fs::canonical(m.sys.Root()) / "stick";
             fs::create_directories(stick);
             writeFileBytes(stick / "RECOVERY.PDF", testsupport::patternBytes(100, 7));
             fs::remove(m.payload / "RECOVERY.PDF");
             fs::create_symlink(stick / "RECOVERY.PDF", m.payload / "RECOVERY.PDF");
             m.sys.AddMount("250:17", stick.string());
         },
         "/sdb cannot be formatted: it holds the running system."},
        {"payload file removed while the disk is unmounted", "sdb",
         [](Machine& m, TestPlatform& p) {
             m.sys.AddMount("250:17", "/media/stick");
             p.unmount = [&m](const std::string&) {
                 fs::remove(m.payload / "FLASH.IMG");
                 m.sys.SetMounts({});
                 return true;
             };
         },
         "was removed, replaced or changed while the disk was being prepared"},
        {"payload file grown while the disk is unmounted", "sdb",
         [](Machine& m, TestPlatform& p) {
             m.sys.AddMount("250:17", "/media/stick");
             p.unmount = [&m](const std::string&) {
                 std::ofstream(m.payload / "COMMAND.COM", std::ios::app) << "more";
                 m.sys.SetMounts({});
                 return true;
             };
         },
         "was removed, replaced or changed while the disk was being prepared"},
        {"4096-byte logical sectors", "sdb",
         [](Machine& m, TestPlatform&) {
             fs::create_directories(m.sys.Sys() / "block/sdb/queue");
             testsupport::writeFileText(m.sys.Sys() / "block/sdb/queue/logical_block_size", "4096\n");
         },
         "/dev/sdb has 4096-byte logical sectors; a recovery disk needs 512-byte sectors"},
        {"disk too small for FAT16", "sdb",
         [](Machine& m, TestPlatform&) {
             testsupport::writeFileText(m.sys.Sys() / "block/sdb/size", "8000\n");
             fs::resize_file(m.image, 8000 * 512);
         },
         "/sdb (4096000 bytes) is too small for a FAT16 disk, which needs at least 4301312 bytes"},
        {"disk smaller than the kernel says", "sdb",
         [](Machine& m, TestPlatform&) { fs::resize_file(m.image, 8000 * 512); },
         "/sdb (4096000 bytes) is too small for a FAT16 disk, which needs at least 8225280 bytes"},
        {"payload larger than the disk", "sdb",
         [](Machine& m, TestPlatform&) { fs::resize_file(m.payload / "FLASH.IMG", kImageBytes + 1); },
         string3 + "\r\n\r\nThe payload (" + std::to_string(kImageBytes + 1 + 3000 + 1234 + 7) +
             " bytes) does not fit on "},
        {"payload that fits the disk but not its FAT16 volume", "sdb",
         [](Machine& m, TestPlatform&) { fs::resize_file(m.payload / "FLASH.IMG", kImageBytes - 40000); },
         "/sdb (" + std::to_string(kImageBytes) + " bytes) together with its FAT16 tables"},
        {"flash image over the FAT16 file limit", "sdb",
         [](Machine& m, TestPlatform&) { fs::resize_file(m.payload / "FLASH.IMG", 2147090433ULL); },
         "FLASH.IMG (2147090433 bytes) is larger than a FAT16 disk can hold (2147090432 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        TestPlatform platform(m.sys.Views());
        if (c.arrange) c.arrange(m, platform);
        const fs::path disk = m.sys.Dev() / c.disk;
        const auto before = fileHash(disk);
        TestView view;
        EXPECT_EQ(FormatUsbDrive(m.Request(c.disk), platform, view), kWorkFailed);
        ASSERT_EQ(view.warnings.size(), 1U);
        EXPECT_NE(view.warnings[0].find(c.message), std::string::npos) << view.warnings[0];
        EXPECT_EQ(fileHash(disk), before);
        EXPECT_FALSE(g_bFormatBusy);
    }
}

TEST_F(UsbFormat, UnmountsTheDisksPartitionsFirst) {
    TestPlatform platform(sys.Views());
    sys.AddMount("250:17", "/media/stick");
    sys.AddMount("250:0", "/mnt/other");  // another disk's mount stays
    platform.unmount = [this](const std::string& mountPoint) {
        sys.SetMounts({"30 1 250:0 / /mnt/other rw - ext4 /dev/sda rw"});
        return mountPoint == "/media/stick";
    };
    TestView view;
    EXPECT_EQ(FormatUsbDrive(Request(), platform, view), kWorkDone);
    EXPECT_EQ(platform.unmounted, std::vector<std::string>{"/media/stick"});
}

TEST_F(UsbFormat, FailuresDuringAndAfterTheWriteAreString3) {
    struct Case {
        const char* name;
        std::function<void(TestPlatform&, std::unique_ptr<CDriveHandle>&)> arrange;
        std::string detail;  // follows string 3, when there is one
    };
    const std::string string3(LoadStringText(IDS_USB_WRITE_FAILED));
    // A failed write or flush names the disk and the system's reason.
    const std::string ioError = "\r\n\r\n" + (sys.Dev() / "sdb").string() + ": Input/output error";
    const Case cases[] = {
        {"write error in the data", [](TestPlatform& p, std::unique_ptr<CDriveHandle>& keep) {
             p.wrap = [&keep](CFileHandle& h) {
                 auto faulty = std::make_unique<CFaultyHandle>(&h);
                 faulty->FailWritesAt(200000, 200001 + (1 << 20), EIO);
                 keep = std::move(faulty);
                 return keep.get();
             };
         }, ioError},
        {"flush error", [](TestPlatform& p, std::unique_ptr<CDriveHandle>&) { p.flushFails = true; }, ioError},
        {"boot record reads back changed", [](TestPlatform& p, std::unique_ptr<CDriveHandle>& keep) {
             p.wrap = [&keep](CFileHandle& h) {
                 keep = std::make_unique<CCorruptingHandle>(&h, 100);
                 return keep.get();
             };
         }, "\r\n\r\nThe data read back from the boot track (sectors 0 to "},
        {"file data reads back changed", [](TestPlatform& p, std::unique_ptr<CDriveHandle>& keep) {
             p.wrap = [&keep](CFileHandle& h) {
                 keep = std::make_unique<CCorruptingHandle>(&h, 300000);
                 return keep.get();
             };
         }, "\r\n\r\nThe data read back from the data clusters (sectors "},
        {"file data cannot be read back", [](TestPlatform& p, std::unique_ptr<CDriveHandle>& keep) {
             p.wrap = [&keep](CFileHandle& h) {
                 keep = std::make_unique<CCorruptingHandle>(&h, 300000, EIO);
                 return keep.get();
             };
         }, "\r\n\r\nThe data clusters (sectors "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPlatform platform(sys.Views());
        std::unique_ptr<CDriveHandle> keep;
        c.arrange(platform, keep);
        TestView view;
        const int result = FormatUsbDrive(Request(), platform, view);
        EXPECT_EQ(result, kWorkFailed);
        ASSERT_EQ(view.warnings.size(), 1U);
        EXPECT_EQ(view.warnings[0].substr(0, string3.size() + c.detail.size()), string3 + c.detail);
        // A failed read is told as such, not as different data.
        EXPECT_EQ(view.warnings[0].find("could not be read back: Input/output error") != std::string::npos,
                  c.detail == "\r\n\r\nThe data clusters (sectors ");
        EXPECT_FALSE(g_bFormatBusy);
    }
    // The read-back is skipped on request, so the corrupting reads go unnoticed.
    TestPlatform platform(sys.Views());
    std::unique_ptr<CDriveHandle> keep;
    platform.wrap = [&keep](CFileHandle& h) {
        keep = std::make_unique<CCorruptingHandle>(&h, 100);
        return keep.get();
    };
    UsbFormatRequest request = Request();
    request.verify = false;
    TestView view;
    EXPECT_EQ(FormatUsbDrive(request, platform, view), kWorkDone);
}

// A cancel confirmed while the disk was prepared is served just before the first write (the
// first pump): the disk stays as it was. One at the first progress step ends the write there.
TEST_F(UsbFormat, CancelDuringTheWriteEndsWithoutMessage) {
    const auto before = readFileBytes(image);
    for (const int pump : {1, 2}) {
        SCOPED_TRACE(pump);
        TestPlatform platform(sys.Views());
        TestView view;
        view.cancelAtPump = pump;
        EXPECT_EQ(FormatUsbDrive(Request(), platform, view), kWorkCancelled);
        EXPECT_TRUE(view.warnings.empty());
        EXPECT_EQ(view.pumps, pump);
        const auto bytes = readFileBytes(image);
        if (pump == 1) {
            EXPECT_EQ(bytes, before) << "written although cancelled before the first write";
        } else {
            EXPECT_EQ(bytes[510], 0x55) << "the boot record is written before the first progress step";
        }
    }
}

// The flush of a large payload takes long; a cancel during it ends the job as a cancel, never as
// a success. The read-back is past the commit: a cancel then is too late, and the job ends with
// what the read-back finds.
TEST_F(UsbFormat, CancelDuringTheFlushEndsAsCancelledAndDuringTheReadBackIsTooLate) {
    for (const char* status : {usbtext::kFlushing, usbtext::kVerifying}) {
        SCOPED_TRACE(status);
        const bool flushing = status == usbtext::kFlushing;
        TestPlatform platform(sys.Views());
        TestView view;
        view.cancelAtStatus = status;
        EXPECT_EQ(FormatUsbDrive(Request(), platform, view), flushing ? kWorkCancelled : kWorkDone);
        EXPECT_TRUE(view.warnings.empty());
        EXPECT_FALSE(g_bFormatBusy);
        EXPECT_EQ(std::count(view.statuses.begin(), view.statuses.end(), usbtext::kVerifying), flushing ? 0 : 1)
            << "a read-back after a cancelled flush, or none after the commit";
    }
}

TEST_F(UsbFormat, TableNotReReadRemovesAndRescansOnlyThatDisk) {
    TestPlatform platform(sys.Views());
    platform.rereadFails = true;
    TestView view;
    EXPECT_EQ(FormatUsbDrive(Request(), platform, view), kWorkDone);
    EXPECT_EQ(platform.removed, std::vector<std::string>{"sdb"});
    const auto deleted = readFileBytes(sys.Sys() / "devices" / testing_support::kUsbBusPath / "delete");
    EXPECT_EQ(std::string(deleted.begin(), deleted.end()), "1");
    const auto other = readFileBytes(sys.Sys() / "devices" / testing_support::kUsbBusPath2 / "delete");
    EXPECT_TRUE(other.empty());
}

TEST_F(UsbFormat, ChecksBeforeTheConfirmation) {
    // A USB card reader of SCSI type 0 without a medium: the kernel lists it with size 0.
    sys.AddDisk({"sdd", "250:48", "pci0000:00/usb3/3-4/3-4:1.0/host11/target11:0:0/11:0:0:0", "0", 0, {}});
    struct Case {
        const char* device;
        unsigned stringId;  // 0: accepted
    };
    const Case cases[] = {
        {"sdb", 0},
        {"sda", IDS_NOT_A_USB_DEVICE},
        {"sdc", IDS_NOT_A_USB_DEVICE},
        {"sdd", IDS_NOT_A_USB_DEVICE},
        {"sdz", IDS_NETWORK_DRIVE},
        {"sdb1", IDS_NOT_A_USB_DEVICE},  // a partition: the whole disk must be chosen
        {"sdd", IDS_NOT_A_USB_DEVICE},   // a USB reader without a medium
        {"server:/share", IDS_NETWORK_DRIVE},
        {"", IDS_NETWORK_DRIVE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.device);
        std::string message;
        const std::string device = std::string(c.device).empty() ? "" : (sys.Dev() / c.device).string();
        EXPECT_EQ(CheckUsbDrive(std::string(c.device) == "server:/share" ? c.device : device, sys.Views(), message),
                  c.stringId == 0);
        if (c.stringId != 0) {
            EXPECT_EQ(message, LoadStringText(c.stringId));
        }
    }
}

}  // namespace

namespace {

// The terminal command over the same faults: string 3 on standard error and exit code 3; the
// confirmation answered with anything but yes writes nothing and exits with 2.
TEST_F(UsbFormat, CommandReportsFailuresWithExitCode3) {
    struct Case {
        const char* name;
        bool corruptReads;  // else a write error
    };
    const std::string string3 = TerminalText(LoadStringText(IDS_USB_WRITE_FAILED));
    for (const Case c : {Case{"write error", false}, Case{"read-back mismatch", true}}) {
        SCOPED_TRACE(c.name);
        TestPlatform platform(sys.Views());
        std::unique_ptr<CDriveHandle> keep;
        platform.wrap = [&keep, &c](CFileHandle& h) -> CDriveHandle* {
            if (c.corruptReads) {
                keep = std::make_unique<CCorruptingHandle>(&h, 300000);
            } else {
                auto faulty = std::make_unique<CFaultyHandle>(&h);
                faulty->FailWritesAt(0, 1 << 20, EIO);
                keep = std::move(faulty);
            }
            return keep.get();
        };
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        std::istringstream in;
        EXPECT_EQ(RunUsbCommand(Request(), true, platform, in, out, err), kExitFailed);
        EXPECT_NE(readStream(err).find(string3), std::string::npos);
        EXPECT_EQ(readStream(out), "");
        std::fclose(out);
        std::fclose(err);
    }

    const std::uint64_t before = fileHash(image);
    TestPlatform platform(sys.Views());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::istringstream in("n\n");
    EXPECT_EQ(RunUsbCommand(Request(), false, platform, in, out, err), kExitCancelled);
    EXPECT_NE(readStream(err).find("Are you sure you want to continue? [y/N] "), std::string::npos);
    EXPECT_EQ(fileHash(image), before);
    std::fclose(out);
    std::fclose(err);
}

// Ctrl-C ends `pellorin usb` with exit 2 wherever it comes; only once the writing began does
// it say that the disk must be formatted again.
TEST_F(UsbFormat, CtrlCSaysWhetherTheDiskWasTouched) {
    struct Case {
        const char* name;
        bool beforeTheFirstWrite;  // else during the flush
    };
    const std::string incomplete(cli::kUsbIncomplete);
    for (const Case c : {Case{"while the disk is prepared", true}, Case{"during the flush", false}}) {
        SCOPED_TRACE(c.name);
        const std::uint64_t before = fileHash(image);
        TestPlatform platform(sys.Views());
        (c.beforeTheFirstWrite ? platform.onOpen : platform.onFlush) = [] { CInterruptGuard::RaiseInterrupt(); };
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        std::istringstream in;
        EXPECT_EQ(RunUsbCommand(Request(), true, platform, in, out, err), kExitCancelled);
        const std::string said = readStream(err);
        EXPECT_EQ(said.find(incomplete) != std::string::npos, !c.beforeTheFirstWrite) << said;
        const std::size_t cancelled = said.find(cli::kCancelled);
        EXPECT_TRUE(cancelled != std::string::npos && said.find(cli::kCancelled, cancelled + 1) == std::string::npos)
            << "said once: " << said;
        if (c.beforeTheFirstWrite) {
            EXPECT_EQ(fileHash(image), before);
        }
        EXPECT_EQ(readStream(out), "");
        std::fclose(out);
        std::fclose(err);
    }
}

}  // namespace
