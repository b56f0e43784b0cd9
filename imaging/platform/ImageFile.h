#pragma once
// An image file as the engines reach it: the image a restore or flat write reads (opened
// without blocking, a regular file only), and the image a capture writes (created unnamed
// beside its final name, named once it is flushed); read and written at byte offsets; and its
// sectors as the disk of a FatVolume. Every read, write, flush and commit of an engine goes
// through the virtual members, so that tests can fail any of them (see
// DeviceProvider::newImageFile).

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <span>

#include "platform/DiskDriver.h"

namespace dorvix {

// An open image file, closed on destruction.
class ImageFile {
public:
    ImageFile() = default;
    virtual ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Creates the file anew (an existing one is replaced); false when that is not possible.
    bool create(const std::filesystem::path& path);
    // Creates the file that is to become `finalPath`, unnamed (O_TMPFILE) in its folder where
    // the file system allows it, else under a hidden temporary name there (see
    // isTemporaryName). Nothing appears under `finalPath` before commit(); an uncommitted file
    // is removed by discard(), close() and the destructor, and by SIGINT, SIGTERM and SIGHUP;
    // an unnamed one leaves nothing at all even when the process is killed. Hidden temporaries
    // that a killed run left in the folder are removed first. A file-size limit makes a write
    // fail (EFBIG) instead of ending the process.
    bool createTemporary(const std::filesystem::path& finalPath);
    // Flushes the file to the disk and puts it under its final name (replacing a file there),
    // then flushes the folder. False, and the temporary file removed, on any failure.
    virtual bool commit();
    // Closes and removes an uncommitted temporary file.
    void discard();
    // Opens an existing file for reading and writing.
    bool open(const std::filesystem::path& path);
    // Opens an existing image for reading only; the open never waits on a FIFO or a device, and
    // anything but a regular file is refused (errno ENXIO).
    bool openForReading(const std::filesystem::path& path);
    void close();
    bool isOpen() const { return m_file != nullptr; }

    // Writes the bytes at `offset`; true when every byte was written.
    virtual bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Reads exactly `bytes.size()` bytes at `offset`; false on a short read.
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> bytes);
    // Reads up to `bytes.size()` bytes at `offset` and returns how many it read: fewer at the
    // file's end (`error` 0) or where the system failed the read (`error` its code). A file
    // opened for reading only may be read so from another thread while nothing else uses it.
    virtual std::size_t readSomeAt(std::uint64_t offset, std::span<std::uint8_t> bytes, int& error);
    // Length of the file (its end position), or -1.
    virtual std::int64_t length();
    virtual bool flush();
    // The descriptor the kernel may copy this file's bytes from onto a disk, or -1 when the
    // bytes must be read through readSomeAt.
    virtual int kernelCopyDescriptor() const;
    // The system's error code of the first write, flush or commit that failed; 0 when none did.
    int lastError() const { return m_error; }

protected:
    // Keeps `error` as lastError unless an earlier failure is kept; returns false.
    bool noteFailure(int error);

private:
    bool failed();  // keeps errno as lastError, returns false

    std::FILE* m_file = nullptr;
    std::filesystem::path m_finalPath;  // set while a temporary file is open
    std::filesystem::path m_tempPath;   // its name, or empty when it is unnamed
    int m_error = 0;
    bool m_readOnly = false;            // opened by openForReading
};

// True for the names of hidden temporary image files: "." + final name + ".dorvix-" + letters
// and digits. Only regular files of this pattern, older than the running program and held
// open by no other capture, are removed as stale.
bool isTemporaryName(std::string_view name);

// The folder an image file goes to, as an absolute path for messages.
std::string imageFolder(const std::filesystem::path& imagePath);

// The 512-byte sectors of an image file: sector s lies at (s + sectorBias) x 512, so a bias of 1
// steps over the image header. A transfer fails (EIO) unless every byte was moved; flush hands
// the file's buffered bytes to the system (commit() makes them durable).
class ImageFileDisk : public SectorDisk {
public:
    static constexpr std::uint32_t kSectorBytes = 512;

    ImageFileDisk(ImageFile& file, std::uint32_t sectorBias) : m_file(file), m_bias(sectorBias) {}
    std::uint32_t read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) override;
    std::uint32_t write(std::uint32_t firstSector, std::uint32_t count, std::span<const std::uint8_t> buffer) override;
    std::uint32_t flush() override;

private:
    ImageFile& m_file;
    std::uint32_t m_bias;
};

}  // namespace dorvix
