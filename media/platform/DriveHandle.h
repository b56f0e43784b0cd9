#pragma once
// Handles to open files and disks. Users borrow a CDriveHandle through a plain pointer; whoever
// opened it owns it (through std::unique_ptr) and closes it. Every operation reports failure
// with false and leaves the error number in errno, which GetLastError returns.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/WinTypes.h"

namespace pellorin {

class CFileHandle;

class CDriveHandle {
public:
    virtual ~CDriveHandle() = default;

    // Positions the handle at an absolute byte offset.
    virtual bool SetPointer(std::uint64_t offset) = 0;
    // One write at the current position; `written` receives the count actually written.
    virtual bool Write(std::span<const BYTE> data, DWORD& written) = 0;
    // One read at the current position; `read` receives the count read (0 at the end).
    virtual bool Read(std::span<BYTE> data, DWORD& read) = 0;
    // One whole write at an absolute byte offset. Handles that can write in place without
    // moving their pointer (files, disks) do so; others position first and then write.
    virtual bool WriteAt(std::uint64_t offset, std::span<const BYTE> data, DWORD& written) {
        written = 0;
        return SetPointer(offset) && Write(data, written);
    }
    // The driver's geometry and the disk size in bytes (only disks answer this).
    virtual bool QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) = 0;
    // Copies up to `bytes` bytes of the open file `source` from `sourceOffset` to `offset`
    // inside the kernel, without passing them through a buffer; `copied` is short only where
    // the source ends. False when the copy cannot be made this way or failed; the caller then
    // reads and writes itself (and sees the error there). Handles that cannot copy say so.
    virtual bool CopyFrom(CFileHandle& source, std::uint64_t sourceOffset, std::uint64_t offset, std::size_t bytes,
                          std::size_t& copied) {
        static_cast<void>(source);
        static_cast<void>(sourceOffset);
        static_cast<void>(offset);
        static_cast<void>(bytes);
        copied = 0;
        return false;
    }
};

// Unmounts the file system mounted at `mountPoint`; false with errno set.
bool UnmountFileSystem(const std::string& mountPoint);

// Error number of the last failed call on this thread.
DWORD GetLastError();
void SetLastError(DWORD code);

// A handle over a file descriptor: an ordinary file or a whole block device. The geometry of a
// block device comes from HDIO_GETGEO (heads, sectors per track), BLKSSZGET (sector size) and
// BLKGETSIZE64 (size); cylinders are the size divided by one cylinder, as the driver reports.
class CFileHandle : public CDriveHandle {
public:
    enum class Mode { Read, ReadWrite, CreateAlways };

    // Opens `path`; null with errno set on failure. Read mode refuses a directory (EISDIR), so
    // that a directory never opens as a file.
    static std::unique_ptr<CFileHandle> Open(const std::string& path, Mode mode);
    // Opens `path` for reading as a regular file: without blocking (a FIFO or a device never
    // holds the open up) and refused unless fstat shows a regular file (EISDIR for a directory,
    // EINVAL for anything else).
    static std::unique_ptr<CFileHandle> OpenRegularFile(const std::string& path);
    // Opens the whole disk or image file `path` for reading and writing, exclusively (O_EXCL:
    // a block device that is mounted or open elsewhere refuses); null with errno set.
    static std::unique_ptr<CFileHandle> OpenExclusive(const std::string& path);
    // Takes over an open descriptor.
    static std::unique_ptr<CFileHandle> Adopt(int fd);
    // A second handle on the same open file (its own descriptor); null with errno set.
    std::unique_ptr<CFileHandle> Duplicate() const;

    ~CFileHandle() override;
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;

    bool SetPointer(std::uint64_t offset) override;
    bool Write(std::span<const BYTE> data, DWORD& written) override;
    bool Read(std::span<BYTE> data, DWORD& read) override;
    bool QueryGeometry(DISK_GEOMETRY& geometry, LONGLONG& diskSize) override;
    bool WriteAt(std::uint64_t offset, std::span<const BYTE> data, DWORD& written) override;
    bool CopyFrom(CFileHandle& source, std::uint64_t sourceOffset, std::uint64_t offset, std::size_t bytes,
                  std::size_t& copied) override;
    // Reads until `data` is full or the file ends, at an absolute offset.
    bool ReadAt(std::uint64_t offset, std::span<BYTE> data, DWORD& read);
    // Size in bytes of the open file (fstat).
    bool Size(std::uint64_t& bytes) const;
    // fsync: true once the data and the file's size are on the medium.
    bool Flush();
    // The same in steps: the cached writes go out a few MiB at a time, and `bGoOn` is asked
    // before each step, so that a cancel is honoured while a large write-back runs; false from it
    // ends the flush with errno ECANCELED (what was not yet written stays cached).
    bool FlushInSteps(const std::function<bool()>& bGoOn);
    // Drops the file's cached pages (written ones must be flushed first), so that the next
    // reads come from the medium.
    void DropCache();
    // True when the handle is a block device (not an image file).
    bool IsBlockDevice() const;
    // BLKFLSBUF: the device's buffers written and dropped, so that reads come from the disk.
    bool FlushDeviceBuffers();
    // BLKRRPART: the kernel reads the disk's partition table again.
    bool RereadPartitionTable();
    // True while the open file still has a name and `path` names this very file.
    bool IsNamed(const std::string& path) const;

    // The descriptor, for the platform's own calls on the file.
    int Descriptor() const { return m_fd; }

private:
    explicit CFileHandle(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace pellorin
