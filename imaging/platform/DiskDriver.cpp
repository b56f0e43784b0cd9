#include "platform/DiskDriver.h"

#include "platform/ImageFile.h"
#include "platform/StorageManager.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvix {

std::unique_ptr<ImageFile> DeviceProvider::newImageFile() { return std::make_unique<ImageFile>(); }

namespace {

// Error for a transfer that reaches beyond the end of the device.
constexpr std::uint32_t kBeyondEnd = ENXIO;

// Writes of at least this size (the bulk copies) go to writeback at once; the small ones of
// directories and FATs wait for the flush.
constexpr std::uint64_t kEarlyWritebackBytes = 1024 * 1024;

// Repeats `step` (done, file offset, bytes left) -> bytes moved, or -1 with errno, until
// `length` bytes at `offset` are moved; a step that moves nothing fails with `stalled`.
template <typename Step>
std::uint32_t transferAll(std::uint64_t offset, std::uint64_t length, std::uint32_t stalled, Step step) {
    std::uint64_t done = 0;
    while (done < length) {
        const ssize_t moved = step(done, offset + done, length - done);
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved < 0) {
            return static_cast<std::uint32_t>(errno);
        }
        if (moved == 0) {
            return stalled;
        }
        done += static_cast<std::uint64_t>(moved);
    }
    return 0;
}

class FileDiskDriver : public DiskDriver {
public:
    FileDiskDriver(int fd, DiskInfo info, std::uint64_t capacitySectors, std::string path, bool blockDevice)
        : m_fd(fd), m_info(info), m_capacitySectors(capacitySectors), m_path(std::move(path)),
          m_blockDevice(blockDevice) {}

    ~FileDiskDriver() override {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    std::uint32_t getInfo(InfoRequest, DiskInfo& info) override {
        info = m_info;
        return 0;
    }

    std::uint32_t read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        if (const auto error = checkRange(firstSector, count, buffer.size(), offset, length)) {
            return error;
        }
        return transferAll(offset, length, kBeyondEnd, [&](std::uint64_t done, std::uint64_t at, std::uint64_t left) {
            return ::pread(m_fd, buffer.data() + done, left, static_cast<off_t>(at));
        });
    }

    std::uint32_t write(std::uint32_t firstSector, std::uint32_t count,
                        std::span<const std::uint8_t> buffer) override {
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        if (const auto error = checkRange(firstSector, count, buffer.size(), offset, length)) {
            return error;
        }
        if (const auto error =
                transferAll(offset, length, EIO, [&](std::uint64_t done, std::uint64_t at, std::uint64_t left) {
                    return ::pwrite(m_fd, buffer.data() + done, left, static_cast<off_t>(at));
                })) {
            return error;
        }
        if (length >= kEarlyWritebackBytes) {
            startWriteback(offset, length);
        }
        return 0;
    }

    // Inside the kernel (copy_file_range) where both ends are regular files; a block device,
    // or a file system that cannot copy between the two files, answers ENOTSUP. The copied
    // range goes to writeback at once, as a large write does.
    std::uint32_t copyFromFile(int sourceFd, std::uint64_t sourceOffset, std::uint32_t firstSector,
                               std::uint32_t count) override {
        if (m_blockDevice) {
            return ENOTSUP;
        }
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        if (const auto error = checkRange(firstSector, count, SIZE_MAX, offset, length)) {
            return error;
        }
        auto in = static_cast<loff_t>(sourceOffset);
        auto out = static_cast<loff_t>(offset);
        std::uint64_t done = 0;
        while (done < length) {
            const ssize_t moved = ::copy_file_range(sourceFd, &in, m_fd, &out, length - done, 0);
            if (moved < 0 && errno == EINTR) {
                continue;
            }
            if (moved < 0) {
                const int error = errno;
                const bool unsupported =
                    error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS;
                return unsupported && done == 0 ? ENOTSUP : static_cast<std::uint32_t>(error);
            }
            if (moved == 0) {
                return EIO;  // the source ended before the count
            }
            done += static_cast<std::uint64_t>(moved);
        }
        startWriteback(offset, length);
        return 0;
    }

    std::uint32_t flush() override {
        if (m_fd < 0) {
            return EBADF;
        }
        if (::fsync(m_fd) != 0) {
            return static_cast<std::uint32_t>(errno);
        }
        if (m_blockDevice && ::ioctl(m_fd, BLKFLSBUF, 0) != 0 && errno != EACCES && errno != EPERM) {
            return static_cast<std::uint32_t>(errno);
        }
        return 0;
    }

    std::uint32_t lockExclusive() override {
        if (m_fd < 0) {
            return EBADF;
        }
        if (!m_blockDevice) {
            return ::flock(m_fd, LOCK_EX | LOCK_NB) == 0 ? 0 : static_cast<std::uint32_t>(errno);
        }
        const int fd = ::open(m_path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
        if (fd < 0) {
            return static_cast<std::uint32_t>(errno);
        }
        // Pages of the whole disk cached before the unmount (the sector 0 read at open, or a
        // read of the volume) may be older than what the file system wrote at unmount.
        if (::ioctl(fd, BLKFLSBUF, 0) != 0 && errno != EACCES && errno != EPERM) {
            const auto error = static_cast<std::uint32_t>(errno);
            ::close(fd);
            return error;
        }
        ::close(m_fd);
        m_fd = fd;
        return 0;
    }

    std::uint32_t close() override {
        const int fd = m_fd;
        m_fd = -1;
        if (fd >= 0 && ::close(fd) != 0) {
            return static_cast<std::uint32_t>(errno);
        }
        return 0;
    }

private:
    // Hands a written range to the device now, while the caller prepares the next one, so that
    // the final flush has little left to wait for. Only a start: flush() still decides.
    void startWriteback(std::uint64_t offset, std::uint64_t length) const {
        ::sync_file_range(m_fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
    }

    // A disk does not grow: transfers stay inside the device's real extent, so an image file
    // is never lengthened by a write past its end.
    std::uint32_t checkRange(std::uint32_t firstSector, std::uint32_t count, std::size_t bufferBytes,
                             std::uint64_t& offset, std::uint64_t& length) const {
        if (m_fd < 0) {
            return EBADF;
        }
        const std::uint64_t sectorBytes = m_info.bytesPerSector;
        length = static_cast<std::uint64_t>(count) * sectorBytes;
        offset = static_cast<std::uint64_t>(firstSector) * sectorBytes;
        if (length > bufferBytes) {
            return EINVAL;
        }
        if (static_cast<std::uint64_t>(firstSector) + count > m_capacitySectors) {
            return kBeyondEnd;
        }
        return 0;
    }

    int m_fd;
    DiskInfo m_info;
    std::uint64_t m_capacitySectors;
    std::string m_path;
    bool m_blockDevice;
};

}  // namespace

std::uint32_t openTableEntry(const DeviceTableEntry& entry, std::unique_ptr<DiskDriver>& driver, bool readOnly) {
    // Without blocking: a FIFO named in the table must not hold dorvix up (it is refused below).
    int fd = readOnly ? -1 : ::open(entry.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (readOnly || (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))) {
        // Listing devices needs no write access; writes to such a device fail when tried.
        fd = ::open(entry.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
        return static_cast<std::uint32_t>(errno);
    }
    struct stat st {};
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const auto error = static_cast<std::uint32_t>(errno);
        ::close(fd);
        return error;
    }
    std::uint64_t sizeBytes = 0;
    std::uint32_t deviceSectorBytes = 512;
    const bool blockDevice = S_ISBLK(st.st_mode);
    if (blockDevice) {
        int logical = 0;
        if (::ioctl(fd, BLKGETSIZE64, &sizeBytes) != 0 || ::ioctl(fd, BLKSSZGET, &logical) != 0 || logical <= 0) {
            const auto error = static_cast<std::uint32_t>(errno ? errno : EIO);
            ::close(fd);
            return error;
        }
        deviceSectorBytes = static_cast<std::uint32_t>(logical);
    } else if (S_ISREG(st.st_mode)) {
        sizeBytes = static_cast<std::uint64_t>(st.st_size);
    } else {
        ::close(fd);
        return ENOTBLK;
    }

    DiskInfo info;
    info.bytesPerSector = entry.bytes.value_or(deviceSectorBytes);
    const std::uint64_t capacity = sizeBytes / info.bytesPerSector;
    info.totalSectors = entry.total.value_or(capacity > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(capacity));
    info.heads = entry.heads.value_or(0);
    info.sectorsPerTrack = entry.sectors.value_or(0);
    driver = std::make_unique<FileDiskDriver>(fd, info, capacity, entry.path, blockDevice);
    return 0;
}

std::uint32_t TableDeviceProvider::open(std::uint8_t deviceNumber, std::unique_ptr<DiskDriver>& driver) {
    const DeviceTableEntry* entry = m_table.find(deviceNumber);
    if (entry == nullptr) {
        return ENOENT;
    }
    return openTableEntry(*entry, driver, m_readOnly);
}

std::uint32_t TableDeviceProvider::dismountStore(std::uint8_t deviceNumber) {
    const DeviceTableEntry* entry = m_table.find(deviceNumber);
    if (entry == nullptr) {
        return ENOENT;
    }
    return StorageManager::instance().dismount(entry->path);
}

std::uint32_t TableDeviceProvider::mountFirstPartition(std::uint8_t deviceNumber, bool diskWritten) {
    const DeviceTableEntry* entry = m_table.find(deviceNumber);
    if (entry == nullptr) {
        return ENOENT;
    }
    return StorageManager::instance().mountFirst(entry->path, diskWritten);
}

std::string TableDeviceProvider::backingPath(std::uint8_t deviceNumber) {
    const DeviceTableEntry* entry = m_table.find(deviceNumber);
    return entry != nullptr ? entry->path : std::string();
}

DeviceProvider& defaultDeviceProvider() {
    static TableDeviceProvider provider(DeviceTable::forThisMachine());
    return provider;
}

}  // namespace dorvix
