#include "disk/DiskDevice.h"

#include "platform/ImageFile.h"

#include "disk/DiskTexts.h"
#include "platform/DebugOutput.h"
#include "records/ByteOrder.h"
#include "records/Mbr.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace dorvix {

namespace {

constexpr std::uint32_t kDefaultHeads = 255;
constexpr std::uint32_t kDefaultSectorsPerTrack = 63;

// Returned by the disk layer for a transfer on a record that is not open.
constexpr std::uint32_t kInvalidHandle = EBADF;

}  // namespace

void diagPrint(std::uint16_t level, const char* format, ...) {
    if (level > diagLevel) {
        return;
    }
    // 1023 characters and the terminator; a longer line is cut but stays terminated.
    std::array<char, 1024> line{};
    va_list args;
    va_start(args, format);
    std::vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    debugOutput(line.data());
}

std::string diskDeviceName(std::uint8_t n) {
    char name[16];
    std::snprintf(name, sizeof name, text::kDeviceNameFormat, static_cast<int>(n));
    return name;
}

DiskDevice::DiskDevice(DeviceProvider& provider) : m_provider(&provider) {}

DiskDevice::~DiskDevice() { Close(); }

std::string DiskDevice::deviceName() const { return diskDeviceName(deviceNumber); }

bool DiskDevice::Open(std::uint8_t n) {
    if (!Close()) {
        return false;
    }
    std::unique_ptr<DiskDriver> driver;
    if (const std::uint32_t error = m_provider->open(n, driver); error != 0 || !driver) {
        lastError = error != 0 ? error : static_cast<std::uint32_t>(ENODEV);
        diagPrint(1, text::kDiagOpenFailed, diskDeviceName(n).c_str(), lastError);
        return false;
    }
    handle = std::move(driver);
    m_written = false;
    deviceNumber = n;
    ownsHandle = true;

    DiskInfo info{};
    if (const std::uint32_t first = handle->getInfo(InfoRequest::OutputBuffer, info); first != 0) {
        lastError = first;
        diagPrint(1, text::kDiagGeometry1, first);
        info = DiskInfo{};
        if (const std::uint32_t second = handle->getInfo(InfoRequest::InputBuffer, info); second != 0) {
            diagPrint(1, text::kDiagGeometry2, second);
            Close();
            lastError = second;  // kept for the caller, although Close clears it
            return false;
        }
    }
    bytesPerSector = info.bytesPerSector;

    std::array<std::uint8_t, mbr::kSize> sector0{};
    std::uint32_t tableStart = 0;
    // A sector of another size does not fit the 512-byte record: the driver's values serve, as
    // for a disk without a table, and the engines refuse such a disk with their own message.
    if (hasImageSectors() && ReadSectors(0, 1, sector0) &&
        load16(sector0, mbr::kSignature) == mbr::kSignatureValue) {
        tableStart = load32(sector0, mbr::kFirstSector);
    }
    // The old partition's start gives the track length when it can be one (1 to 63); a start
    // at 2048 or 0 cannot, and the driver's value serves then, as for a disk without a table.
    m_driverSectorsPerTrack = info.sectorsPerTrack != 0 ? info.sectorsPerTrack : kDefaultSectorsPerTrack;
    m_driverTotalSectors = info.totalSectors;
    trackFromPartition = tableStart >= 1 && tableStart <= kDefaultSectorsPerTrack;
    sectorsPerTrack = trackFromPartition ? tableStart : m_driverSectorsPerTrack;
    heads = info.heads != 0 ? info.heads : kDefaultHeads;
    deriveCylinders();
    return true;
}

void DiskDevice::deriveCylinders() {
    // In 64 bits: a driver's track length and head count can make the product exceed 32 bits.
    const std::uint64_t cylinderSectors = static_cast<std::uint64_t>(sectorsPerTrack) * heads;
    cylinders = static_cast<std::uint32_t>(m_driverTotalSectors / cylinderSectors);
    totalSectors = static_cast<std::uint32_t>(cylinders * cylinderSectors);
}

void DiskDevice::UseDriverTrackLength() {
    trackFromPartition = false;
    sectorsPerTrack = m_driverSectorsPerTrack;
    deriveCylinders();
}

bool DiskDevice::Close() {
    lastError = 0;
    deviceNumber = kNoDevice;
    if (handle && ownsHandle) {
        if (const std::uint32_t error = handle->close(); error != 0) {
            lastError = error;
            diagPrint(1, text::kDiagCloseFailed, error);
            return false;
        }
    }
    handle.reset();
    ownsHandle = false;
    return true;
}

bool DiskDevice::ReadSectors(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * bytesPerSector;
    if (buffer.size() < bytes) {
        diagPrint(1, text::kDiagBufferTooSmall);
        return false;
    }
    const std::uint32_t error =
        handle ? handle->read(firstSector, count, buffer.first(static_cast<std::size_t>(bytes))) : kInvalidHandle;
    if (error != 0) {
        lastError = error;
        diagPrint(1, text::kDiagReadFailed, error);
        return false;
    }
    return true;
}

bool DiskDevice::WriteSectors(std::uint32_t firstSector, std::uint32_t count, std::span<const std::uint8_t> buffer) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * bytesPerSector;
    if (buffer.size() < bytes) {
        diagPrint(1, text::kDiagBufferTooSmall);
        return false;
    }
    m_written = m_written || handle != nullptr;
    const std::uint32_t error =
        handle ? handle->write(firstSector, count, buffer.first(static_cast<std::size_t>(bytes))) : kInvalidHandle;
    if (error != 0) {
        lastError = error;
        diagPrint(1, text::kDiagWriteFailed, error);
        return false;
    }
    return true;
}

DiskDevice::FileCopy DiskDevice::CopyFromFile(const ImageFile& source, std::uint64_t sourceOffset,
                                              std::uint32_t firstSector, std::uint32_t count) {
    const int sourceFd = source.kernelCopyDescriptor();
    if (sourceFd < 0) {
        return FileCopy::NotSupported;
    }
    // The source run must lie where a file offset can reach.
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) * bytesPerSector;
    const bool sourceValid = sourceOffset <= std::numeric_limits<std::int64_t>::max() - bytes;
    m_written = m_written || (sourceValid && handle != nullptr);
    const std::uint32_t error = !sourceValid ? EINVAL
                                : handle     ? handle->copyFromFile(sourceFd, sourceOffset, firstSector, count)
                                             : kInvalidHandle;
    if (error == ENOTSUP) {
        return FileCopy::NotSupported;
    }
    if (error != 0) {
        lastError = error;
        diagPrint(1, text::kDiagWriteFailed, error);
        return FileCopy::Failed;
    }
    return FileCopy::Done;
}

bool DiskDevice::Dismount() {
    if (const std::uint32_t error = m_provider->dismountStore(deviceNumber); error != 0) {
        lastError = error;
        diagPrint(1, text::kDiagDismountFailed, deviceName().c_str());
        return false;
    }
    return true;
}

bool DiskDevice::LockExclusive() {
    const std::uint32_t error = handle ? handle->lockExclusive() : kInvalidHandle;
    if (error != 0) {
        lastError = error;
        diagPrint(1, text::kDiagOpenFailed, deviceName().c_str(), error);
        return false;
    }
    return true;
}

bool DiskDevice::Flush() {
    const std::uint32_t error = handle ? handle->flush() : kInvalidHandle;
    if (error != 0) {
        lastError = error;
        diagPrint(1, text::kDiagWriteFailed, error);
        return false;
    }
    return true;
}

bool DiskDevice::MountFirstPartition() {
    if (handle && ownsHandle) {
        if (const std::uint32_t error = handle->close(); error != 0) {
            diagPrint(1, text::kDiagCloseFailed, error);
        }
    }
    handle.reset();  // Close() later finds nothing left to close
    ownsHandle = false;
    if (const std::uint32_t error = m_provider->mountFirstPartition(deviceNumber, m_written); error != 0) {
        lastError = error;
        // No store for this number at all, or the partition itself would not mount.
        diagPrint(1, error == ENOENT ? text::kDiagMountFailed : text::kDiagMountPartitionFailed,
                  deviceName().c_str());
        return false;
    }
    return true;
}

namespace {
// The code of a failed transfer: the driver's, or EINVAL when the record refused it itself
// (a buffer too small, before any driver error was kept).
std::uint32_t failureCode(std::uint32_t lastError) { return lastError != 0 ? lastError : EINVAL; }
}  // namespace

std::uint32_t DiskDevice::read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) {
    return ReadSectors(firstSector, count, buffer) ? 0 : failureCode(lastError);
}

std::uint32_t DiskDevice::write(std::uint32_t firstSector, std::uint32_t count, std::span<const std::uint8_t> buffer) {
    return WriteSectors(firstSector, count, buffer) ? 0 : failureCode(lastError);
}

std::uint32_t DiskDevice::flush() {
    return Flush() ? 0 : failureCode(lastError);
}

bool DiskDevice::FixupCHS() {
    heads = kDefaultHeads;
    sectorsPerTrack = kDefaultSectorsPerTrack;
    cylinders = totalSectors / (kDefaultHeads * kDefaultSectorsPerTrack);
    totalSectors = cylinders * kDefaultHeads * kDefaultSectorsPerTrack;
    return true;
}

}  // namespace dorvix
