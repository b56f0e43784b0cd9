#pragma once
// The disk driver interface behind DSKn: and the storage manager that mounts its partitions.
// The disk record (disk/DiskDevice.h) is written against these two narrow interfaces; the
// device table supplies the Linux implementation (block devices and image files), tests
// supply drivers of their own that fail on purpose.
//
// Every operation returns 0 on success or a platform error code (an errno value here),
// which the disk record keeps as its last error and prints in eight hexadecimal digits.

#include "platform/DeviceTable.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace dorvix {

class ImageFile;

// What the driver reports for IOCTL_DISK_GETINFO (DISK_INFO, 24 bytes on the device).
struct DiskInfo {
    std::uint32_t totalSectors = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t flags = 0;
};

// The two ways the disk record asks for DISK_INFO: the structure as the output buffer, or
// (second attempt, for drivers that expect it there) as the input buffer.
enum class InfoRequest { OutputBuffer, InputBuffer };

// Sector access and nothing else: what the FAT engine and the restore's directory rebuild
// work on, whether the sectors are a disk (the disk record of DSKn:), an image file or the
// image read during the restore's plan.
class SectorDisk {
public:
    virtual ~SectorDisk() = default;
    // Transfers count × bytesPerSector bytes starting at firstSector; `buffer` holds at least that.
    virtual std::uint32_t read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) = 0;
    virtual std::uint32_t write(std::uint32_t firstSector, std::uint32_t count,
                                std::span<const std::uint8_t> buffer) = 0;
    // Makes every write so far durable (the device's caches included).
    virtual std::uint32_t flush() { return 0; }
};

class DiskDriver : public SectorDisk {
public:
    virtual std::uint32_t getInfo(InfoRequest how, DiskInfo& info) = 0;
    // Copies count × bytesPerSector bytes of the regular file `sourceFd`, from its byte
    // `sourceOffset` on, onto the disk from firstSector on without passing them through the
    // caller. A driver that cannot answers ENOTSUP without writing anything; the caller then
    // moves the bytes itself with read and write.
    virtual std::uint32_t copyFromFile(int /*sourceFd*/, std::uint64_t /*sourceOffset*/, std::uint32_t /*firstSector*/,
                                       std::uint32_t /*count*/) {
        return ENOTSUP;
    }
    // Takes the device for this process alone, once its file systems are unmounted: a block
    // device is opened again with O_EXCL (refused while anything has it mounted) and its cached
    // sectors are dropped, so that what the file systems wrote through their partitions at
    // unmount is read from the disk and not from pages cached before; an image file is locked.
    virtual std::uint32_t lockExclusive() { return 0; }
    // Releases the handle; called once before the driver object is destroyed.
    virtual std::uint32_t close() = 0;
};

class DeviceProvider {
public:
    virtual ~DeviceProvider() = default;
    // Opens DSKn: for reading and writing.
    virtual std::uint32_t open(std::uint8_t deviceNumber, std::unique_ptr<DiskDriver>& driver) = 0;
    // Storage manager: dismount every partition of the disk; mount its first partition again,
    // once the caller holds the disk no longer. `diskWritten`: its sectors may have changed
    // (the partition table is re-read first); otherwise all that was unmounted goes back.
    virtual std::uint32_t dismountStore(std::uint8_t deviceNumber) = 0;
    virtual std::uint32_t mountFirstPartition(std::uint8_t deviceNumber, bool diskWritten) = 0;
    // The file behind DSKn: (an image file or a block device), or empty when there is none
    // or it has no path. A capture compares it with its image's path.
    virtual std::string backingPath(std::uint8_t /*deviceNumber*/) { return {}; }
    // Where the list of devices came from (the device dump names it); empty when not known.
    virtual std::string origin() { return {}; }
    // From now on devices are opened for reading only (the device dump writes nothing, and a
    // disk opened for writing tells udev to look at it again when it is closed).
    virtual void openReadOnly() {}
    // A new, closed image file: the engines read and write their image files through it (the
    // platform's files; tests hand out files that fail on purpose).
    virtual std::unique_ptr<ImageFile> newImageFile();
};

// Opens the block device or image file of one table entry. Image files are sized from
// their length; block devices from the kernel; the entry's values override both.
std::uint32_t openTableEntry(const DeviceTableEntry& entry, std::unique_ptr<DiskDriver>& driver,
                             bool readOnly = false);

// DSKn: as the device table names them.
class TableDeviceProvider : public DeviceProvider {
public:
    explicit TableDeviceProvider(DeviceTable table) : m_table(std::move(table)) {}
    std::uint32_t open(std::uint8_t deviceNumber, std::unique_ptr<DiskDriver>& driver) override;
    std::uint32_t dismountStore(std::uint8_t deviceNumber) override;
    std::uint32_t mountFirstPartition(std::uint8_t deviceNumber, bool diskWritten) override;
    std::string backingPath(std::uint8_t deviceNumber) override;
    std::string origin() override { return m_table.origin(); }
    void openReadOnly() override { m_readOnly = true; }

private:
    DeviceTable m_table;
    bool m_readOnly = false;
};

// The provider of the process: DeviceTable::forThisMachine(), read once on first use.
DeviceProvider& defaultDeviceProvider();

}  // namespace dorvix
