#pragma once
// The disk record: one disk device DSKn: with the cylinder/head/sector geometry dorvix
// derives for it (whole cylinders only), sector transfers, and the storage-manager calls
// that take the disk's store away before raw access and mount its first partition after.
// Failures are reported once on the debug output (diagPrint); callers see false and keep
// the platform error code in lastError. The record is also the SectorDisk the FAT engine
// works on: read, write and flush answer 0 or that error code.

#include "platform/DiskDriver.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace dorvix {

// Threshold of diagPrint: lines at a level above it are dropped. Every disk-layer line is
// issued at level 1 and is therefore always written.
inline constexpr std::uint16_t diagLevel = 1;

// Formats one diagnostic line (cut to 1023 characters) onto the debug output.
void diagPrint(std::uint16_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

class DiskDevice : public SectorDisk {
public:
    static constexpr std::uint8_t kNoDevice = 0xFF;

    // A record over the devices of `provider` (the device table's in the program).
    explicit DiskDevice(DeviceProvider& provider);
    ~DiskDevice() override;
    DiskDevice(const DiskDevice&) = delete;
    DiskDevice& operator=(const DiskDevice&) = delete;

    // Binds the record to DSKn: and derives its geometry; an open record is closed first.
    bool Open(std::uint8_t n);
    bool Close();
    // Transfer count × bytesPerSector bytes; `buffer` is the caller's whole buffer and must
    // hold at least that many bytes.
    bool ReadSectors(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer);
    bool WriteSectors(std::uint32_t firstSector, std::uint32_t count, std::span<const std::uint8_t> buffer);
    // Copies count sectors of the image file `source`, from its byte sourceOffset on, onto the
    // disk at firstSector without passing them through a buffer (see DiskDriver::copyFromFile).
    // NotSupported (also for a file the kernel cannot copy from) writes nothing and prints no
    // line: the caller moves the bytes with ReadSectors/WriteSectors instead.
    enum class FileCopy { Done, NotSupported, Failed };
    FileCopy CopyFromFile(const ImageFile& source, std::uint64_t sourceOffset, std::uint32_t firstSector,
                          std::uint32_t count);
    bool Dismount();
    // After Dismount: the disk for this process alone (see DiskDriver::lockExclusive).
    bool LockExclusive();
    // Every write so far durable; false (and the error kept) when the device reports a failure.
    bool Flush();
    // Lets go of the disk (the record's descriptors are closed: the system re-reads no
    // partition table and mounts nothing of a disk this process holds), then has the first
    // partition mounted again. The record transfers no more sectors until it is opened again.
    bool MountFirstPartition();

    // SectorDisk: ReadSectors, WriteSectors and Flush with their error code (0 on success).
    std::uint32_t read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) override;
    std::uint32_t write(std::uint32_t firstSector, std::uint32_t count, std::span<const std::uint8_t> buffer) override;
    std::uint32_t flush() override;
    // Drops a track length taken from the old partition's start for the driver's (or 63).
    void UseDriverTrackLength();
    // Replaces the geometry by 255 heads and 63 sectors per track, whole cylinders only.
    bool FixupCHS();

    // The images and volumes dorvix writes are made of 512-byte sectors; engines refuse any
    // other sector size before they write (kSectorSizeUnsupported).
    static constexpr std::uint32_t kImageSectorBytes = 512;
    bool hasImageSectors() const { return bytesPerSector == kImageSectorBytes; }

    // Every sector the driver reports, also those behind the last whole cylinder.
    std::uint64_t deviceSectors() const { return m_driverTotalSectors; }

    // "DSKn:" of the bound device (DSK255: when none is bound).
    std::string deviceName() const;

    std::uint8_t deviceNumber = kNoDevice;
    std::unique_ptr<DiskDriver> handle;  // empty when closed
    bool ownsHandle = false;
    std::uint32_t lastError = 0;
    std::uint32_t totalSectors = 0;  // cylinders × heads × sectorsPerTrack
    std::uint32_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
    bool trackFromPartition = false;  // sectorsPerTrack is the old first partition's start

private:
    void deriveCylinders();

    DeviceProvider* m_provider;
    bool m_written = false;  // a write was sent to the disk since Open
    std::uint32_t m_driverSectorsPerTrack = 0;
    std::uint64_t m_driverTotalSectors = 0;
};

// The name DSKn: of a device number.
std::string diskDeviceName(std::uint8_t n);

}  // namespace dorvix
