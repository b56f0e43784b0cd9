#pragma once
// The "&Format" job: turns a USB disk into a bootable FAT16 disk that carries the payload.
// It takes the disk out of the system's hands (every mounted partition unmounted, the whole disk
// opened exclusively), writes the boot record, the FreeDOS boot sector, the FATs, the root
// directory and the files, flushes, reads every written region back, and has the kernel read the
// new partition table (asking the disk's SCSI host to forget and find only that disk again when
// the kernel refuses). Nothing is written unless every partition is unmounted and the exclusive
// open succeeded. The job reports through a CIsoJobView (the same progress/message interface
// as the ISO job); its view's PumpOneMessage clears g_bFormatBusy on a confirmed cancel.

#include "iso/IsoJobView.h"
#include "platform/DriveHandle.h"
#include "usb/UsbDrives.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace pellorin {

// True while the USB job writes; a confirmed cancel clears it, and the job stops copying at its
// next progress step.
extern std::atomic<bool> g_bFormatBusy;

// What the job asks of the system; tests override single calls to inject faults.
class CUsbPlatform {
public:
    explicit CUsbPlatform(SystemViews views) : m_views(std::move(views)) {}
    virtual ~CUsbPlatform() = default;

    const SystemViews& Views() const { return m_views; }
    // umount2 of one mount point; false with errno set on failure.
    virtual bool Unmount(const std::string& mountPoint);
    // The whole disk, O_RDWR | O_EXCL; null with errno set on failure.
    virtual std::unique_ptr<CFileHandle> OpenExclusive(const std::string& devicePath);
    // The handle the writer and the read-back go through (tests wrap it to fail or corrupt).
    virtual CDriveHandle* WrapHandle(CFileHandle& handle) { return &handle; }
    // fsync in steps, asking `bGoOn` before each (false ends it with ECANCELED), then
    // BLKFLSBUF on a block device (an image file drops its cached pages instead).
    virtual bool Flush(CFileHandle& handle, const std::function<bool()>& bGoOn);
    // BLKRRPART on a block device; true for an image file, which has no table to re-read.
    virtual bool RereadPartitionTable(CFileHandle& handle);
    // Deletes the disk's SCSI device and rescans exactly that device on its host.
    virtual bool RemoveAndRescan(const std::string& diskName);
    // Waits until the kernel shows the new partition of `diskName` (udevadm settle where present,
    // else polls sysfs for a few seconds).
    virtual void Settle(const std::string& diskName);

private:
    SystemViews m_views;
};

struct UsbFormatRequest {
    std::string device;  // "/dev/sdb"
    std::filesystem::path payloadDirectory;
    bool verify = true;
    std::function<DWORD()> tickCount;  // volume serial source; default the system's tick count
};

// Runs the job. Returns kWorkDone, kWorkCancelled (cancelled during the write: no message, the
// disk holds a partly written volume) or kWorkFailed (the message has been shown).
int FormatUsbDrive(const UsbFormatRequest& request, CUsbPlatform& platform, CIsoJobView& view);

// The checks made before the confirmation: the disk is one the kernel lists as a local block
// device (through the mounted-device table; string 2 otherwise), a USB disk of SCSI type 0
// (string 1 otherwise), and not a disk of the running system. True when the disk may be
// formatted, else false with the message to show in `message`.
bool CheckUsbDrive(const std::string& device, const SystemViews& views, std::string& message);

}  // namespace pellorin
