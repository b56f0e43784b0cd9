#pragma once
// What the fuzz targets run the engines on: a disk in memory whose first bytes are the fuzzer's
// input and whose remaining sectors read as zeros up to a fixed size, so a few kilobytes reach a
// volume's FATs, root and first clusters. Writes land in an overlay (or are dropped), never in
// a file or on a device.

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <span>
#include <string_view>
#include <vector>

#include "platform/DiskDriver.h"
#include "platform/ImageFile.h"
#include "platform/Operator.h"

namespace dorvix::fuzz {

inline constexpr std::size_t kSectorBytes = 512;

[[noreturn]] inline void fuzzFailure(const char* what);

// What becomes of a write: kept in the overlay, dropped (an output nobody reads back), or a
// fault of the engine (a source that must only ever be read).
enum class Writes { Keep, Drop, Forbid };

class MemoryDisk : public SectorDisk {
public:
    // `contents` must outlive the disk.
    MemoryDisk(std::span<const std::uint8_t> contents, std::uint32_t totalSectors, Writes writes = Writes::Keep)
        : m_contents(contents), m_totalSectors(totalSectors), m_writes(writes) {}

    std::uint32_t totalSectors() const { return m_totalSectors; }

    // The disk's bytes up to its last written or given sector.
    std::vector<std::uint8_t> contents() const {
        std::size_t sectors = (m_contents.size() + kSectorBytes - 1) / kSectorBytes;
        if (!m_written.empty()) {
            sectors = std::max<std::size_t>(sectors, std::size_t{m_written.rbegin()->first} + 1);
        }
        std::vector<std::uint8_t> bytes(sectors * kSectorBytes, 0);
        for (std::size_t s = 0; s < sectors; ++s) {
            readSector(static_cast<std::uint32_t>(s), std::span(bytes).subspan(s * kSectorBytes, kSectorBytes));
        }
        return bytes;
    }

    // Transfers count x 512 bytes; EIO past the end of the disk or beyond the buffer.
    std::uint32_t read(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        return readSectors(first, count, buffer);
    }

    std::uint32_t readSectors(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) const {
        const std::size_t bytes = std::size_t{count} * kSectorBytes;
        if (bytes > buffer.size() || !inside(first, bytes)) {
            return EIO;
        }
        for (std::size_t done = 0; done < bytes;) {
            const std::uint32_t sector = first + static_cast<std::uint32_t>(done / kSectorBytes);
            const std::size_t take = std::min(kSectorBytes, bytes - done);
            readSector(sector, buffer.subspan(done, take));
            done += take;
        }
        return 0;
    }

    std::uint32_t write(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t> buffer) override {
        const std::size_t bytes = std::size_t{count} * kSectorBytes;
        if (bytes > buffer.size() || !inside(first, bytes)) {
            return EIO;
        }
        if (m_writes == Writes::Forbid) {
            fuzzFailure("a disk that is only to be read was written");
        }
        if (m_writes == Writes::Drop) {
            return 0;
        }
        for (std::size_t done = 0; done < bytes;) {
            const std::uint32_t sector = first + static_cast<std::uint32_t>(done / kSectorBytes);
            const std::size_t take = std::min(kSectorBytes, bytes - done);
            std::vector<std::uint8_t>& stored = m_written[sector];
            if (stored.empty()) {
                stored.resize(kSectorBytes);
                readSector(sector, stored);
            }
            std::memcpy(stored.data(), buffer.data() + done, take);
            done += take;
        }
        return 0;
    }

private:
    bool inside(std::uint32_t first, std::size_t bytes) const {
        return std::uint64_t{first} * kSectorBytes + bytes <= std::uint64_t{m_totalSectors} * kSectorBytes;
    }

    void readSector(std::uint32_t sector, std::span<std::uint8_t> out) const {
        if (auto written = m_written.find(sector); written != m_written.end()) {
            std::memcpy(out.data(), written->second.data(), out.size());
            return;
        }
        const std::uint64_t at = std::uint64_t{sector} * kSectorBytes;
        const std::size_t have = at < m_contents.size() ? std::min<std::size_t>(m_contents.size() - at, out.size()) : 0;
        if (have != 0) {
            std::memcpy(out.data(), m_contents.data() + at, have);
        }
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(have), out.end(), std::uint8_t{0});
    }

    std::span<const std::uint8_t> m_contents;
    std::uint32_t m_totalSectors;
    Writes m_writes;
    std::map<std::uint32_t, std::vector<std::uint8_t>> m_written;
};

// A progress window that shows nothing: the engines' texts are not what is fuzzed.
// An image file in memory, read as the engines read theirs.
class MemoryImageFile : public ImageFile {
public:
    // `bytes` must outlive the file.
    explicit MemoryImageFile(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}
    std::size_t readSomeAt(std::uint64_t offset, std::span<std::uint8_t> into, int& error) override {
        error = 0;
        if (offset >= m_bytes.size()) {
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(into.size(), m_bytes.size() - offset);
        std::memcpy(into.data(), m_bytes.data() + offset, n);
        return n;
    }
    std::int64_t length() override { return static_cast<std::int64_t>(m_bytes.size()); }
    bool writeAt(std::uint64_t, std::span<const std::uint8_t>) override { return false; }

private:
    std::span<const std::uint8_t> m_bytes;
};

class SilentWindow : public ProgressWindowHost {
public:
    void sendMessage(ProgressMessage, unsigned, std::string_view) override {}
    MessageBoxResult messageBox(std::string_view, std::string_view, MessageBoxButtons, MessageBoxIcon) override {
        return MessageBoxResult::Ok;
    }
};

// Stops the process so that libFuzzer (or the replay test) reports the input: used where a
// result contradicts what the engine promises.
[[noreturn]] inline void fuzzFailure(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace dorvix::fuzz
