#pragma once
// The image file a capture writes: created unnamed beside its final name, named once it is
// flushed, and read and written at byte offsets; and its sectors as the disk of a FatVolume.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <span>

#include "platform/DiskDriver.h"

namespace dorvix {

// An open image file (read and write), closed on destruction.
class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile();
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
    bool commit();
    // Closes and removes an uncommitted temporary file.
    void discard();
    // Opens an existing file for reading and writing.
    bool open(const std::filesystem::path& path);
    void close();
    bool isOpen() const { return m_file != nullptr; }

    // Writes the bytes at `offset`; true when every byte was written.
    bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    // Reads exactly `bytes.size()` bytes at `offset`; false on a short read.
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> bytes);
    // Length of the file (its end position), or -1.
    std::int64_t length();
    bool flush();
    // The system's error code of the first write, flush or commit that failed; 0 when none did.
    int lastError() const { return m_error; }

private:
    bool failed();  // keeps errno as lastError, returns false

    std::FILE* m_file = nullptr;
    std::filesystem::path m_finalPath;  // set while a temporary file is open
    std::filesystem::path m_tempPath;   // its name, or empty when it is unnamed
    int m_error = 0;
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
