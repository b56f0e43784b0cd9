#include "platform/DriveHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pellorin {

namespace {

// Repeats `step(done)`, one read or write of what is left from byte `done` on, until `bytes` have
// moved, a call fails (other than by an interrupt) or moves nothing. A write that moves nothing
// means the medium is full (ENOSPC); a read that moves nothing has reached the end.
template <typename Step>
bool TransferAll(std::size_t bytes, DWORD& done, bool writing, Step step) {
    done = 0;
    while (done < bytes) {
        const ssize_t got = step(done);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            if (writing) {
                errno = ENOSPC;
                return false;
            }
            break;
        }
        done += static_cast<DWORD>(got);
    }
    return true;
}

}  // namespace

DWORD GetLastError() {
    return static_cast<DWORD>(errno);
}

void SetLastError(DWORD code) {
    errno = static_cast<int>(code);
}

std::unique_ptr<CFileHandle> CFileHandle::Open(const std::string& path, Mode mode) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    case Mode::ReadWrite:
        flags |= O_RDWR;
        break;
    case Mode::CreateAlways:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<CFileHandle>(new CFileHandle(fd));
}

std::unique_ptr<CFileHandle> CFileHandle::OpenRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    // Reads of a regular file do not block; the flag only mattered for the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::unique_ptr<CFileHandle>(new CFileHandle(fd));
}

std::unique_ptr<CFileHandle> CFileHandle::OpenExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    return std::unique_ptr<CFileHandle>(new CFileHandle(fd));
}

std::unique_ptr<CFileHandle> CFileHandle::Duplicate() const {
    return Adopt(::fcntl(m_fd, F_DUPFD_CLOEXEC, 0));
}

std::unique_ptr<CFileHandle> CFileHandle::Adopt(int fd) {
    if (fd < 0) {
        errno = EBADF;
        return nullptr;
    }
    return std::unique_ptr<CFileHandle>(new CFileHandle(fd));
}

CFileHandle::~CFileHandle() {
    ::close(m_fd);
}

bool CFileHandle::SetPointer(std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return false;
    }
    return ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool CFileHandle::Write(std::span<const BYTE> data, DWORD& written) {
    return TransferAll(data.size(), written, true, [&](DWORD done) {
        return ::write(m_fd, data.data() + done, data.size() - done);
    });
}

bool CFileHandle::Read(std::span<BYTE> data, DWORD& read) {
    return TransferAll(data.size(), read, false, [&](DWORD done) {
        return ::read(m_fd, data.data() + done, data.size() - done);
    });
}

bool CFileHandle::WriteAt(std::uint64_t offset, std::span<const BYTE> data, DWORD& written) {
    written = 0;
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - data.size()) {
        errno = EINVAL;
        return false;
    }
    return TransferAll(data.size(), written, true, [&](DWORD done) {
        return ::pwrite(m_fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    });
}

bool CFileHandle::CopyFrom(CFileHandle& source, std::uint64_t sourceOffset, std::uint64_t offset, std::size_t bytes,
                           std::size_t& copied) {
    copied = 0;
    if (sourceOffset > static_cast<std::uint64_t>(INT64_MAX) - bytes ||
        offset > static_cast<std::uint64_t>(INT64_MAX) - bytes) {
        errno = EINVAL;
        return false;
    }
    auto from = static_cast<off_t>(sourceOffset);
    auto to = static_cast<off_t>(offset);
    while (copied < bytes) {
        const ssize_t got = ::copy_file_range(source.m_fd, &from, m_fd, &to, bytes - copied, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            break;  // the source ends here
        }
        copied += static_cast<std::size_t>(got);
    }
    return true;
}

bool CFileHandle::ReadAt(std::uint64_t offset, std::span<BYTE> data, DWORD& read) {
    read = 0;
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - data.size()) {
        errno = EINVAL;
        return false;
    }
    return TransferAll(data.size(), read, false, [&](DWORD done) {
        return ::pread(m_fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    });
}

bool CFileHandle::Size(std::uint64_t& bytes) const {
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) {
        return false;
    }
    bytes = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool CFileHandle::Flush() {
    while (::fsync(m_fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool CFileHandle::IsBlockDevice() const {
    struct stat status {};
    return ::fstat(m_fd, &status) == 0 && S_ISBLK(status.st_mode);
}

bool CFileHandle::FlushDeviceBuffers() {
    return ::ioctl(m_fd, BLKFLSBUF, 0) == 0;
}

bool CFileHandle::RereadPartitionTable() {
    return ::ioctl(m_fd, BLKRRPART, 0) == 0;
}

bool CFileHandle::IsNamed(const std::string& path) const {
    struct stat open {};
    struct stat named {};
    return ::fstat(m_fd, &open) == 0 && open.st_nlink > 0 && ::stat(path.c_str(), &named) == 0 &&
           named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

bool UnmountFileSystem(const std::string& mountPoint) {
    return ::umount2(mountPoint.c_str(), 0) == 0;
}

void CFileHandle::DropCache() {
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_DONTNEED);
}

bool CFileHandle::FlushInSteps(const std::function<bool()>& bGoOn) {
    // 8 MiB takes well under a second even on a slow stick.
    constexpr std::uint64_t kStep = 8ULL << 20;
    struct stat status {};
    std::uint64_t size = 0;
    if (::fstat(m_fd, &status) == 0) {
        size = static_cast<std::uint64_t>(status.st_size);
        if (S_ISBLK(status.st_mode) && ::ioctl(m_fd, BLKGETSIZE64, &size) != 0) size = 0;
    }
    for (std::uint64_t offset = 0; offset < size; offset += kStep) {
        if (bGoOn && !bGoOn()) {
            errno = ECANCELED;
            return false;
        }
        const int flags = SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
        if (::sync_file_range(m_fd, static_cast<off_t>(offset), static_cast<off_t>(kStep), flags) != 0 &&
            errno != EINTR) {
            break;  // the fsync below writes the rest and reports any error
        }
    }
    if (bGoOn && !bGoOn()) {
        errno = ECANCELED;
        return false;
    }
    return Flush();
}

bool CFileHandle::QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) {
    struct stat status {};
    if (::fstat(m_fd, &status) != 0) {
        return false;
    }
    if (!S_ISBLK(status.st_mode)) {
        errno = ENOTTY;
        return false;
    }
    int sectorSize = 0;
    std::uint64_t bytes = 0;
    if (::ioctl(m_fd, BLKSSZGET, &sectorSize) != 0 || ::ioctl(m_fd, BLKGETSIZE64, &bytes) != 0) {
        return false;
    }
    if (sectorSize <= 0) {
        errno = EIO;
        return false;
    }
    // Drives that do not report a geometry (loop devices, many USB bridges) get the one their
    // BIOS would translate to.
    DWORD heads = 255;
    DWORD sectors = 63;
    struct hd_geometry hdGeometry {};
    if (::ioctl(m_fd, HDIO_GETGEO, &hdGeometry) == 0 && hdGeometry.heads != 0 &&
        hdGeometry.sectors != 0) {
        heads = hdGeometry.heads;
        sectors = hdGeometry.sectors;
    }
    geometry = DISK_GEOMETRY{};
    geometry.MediaType = FixedMedia;
    geometry.TracksPerCylinder = heads;
    geometry.SectorsPerTrack = sectors;
    geometry.BytesPerSector = static_cast<DWORD>(sectorSize);
    geometry.Cylinders =
        static_cast<LONGLONG>(bytes / (static_cast<std::uint64_t>(heads) * sectors * sectorSize));
    diskSize = static_cast<LONGLONG>(bytes);
    return true;
}

}  // namespace pellorin
