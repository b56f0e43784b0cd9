#pragma once
// Disks for the engines' unit tests, served through the same DeviceProvider seam as the
// device table's: a disk in memory, a wrapper that makes the n-th read, write or flush fail
// (a write may land in part first), and a provider that hands out both by device number.
// Counts and logs are kept per disk across every driver opened on it, because an engine may
// open its disk more than once (the target-BIOS list is read before a capture).

#include "platform/DiskDriver.h"
#include "platform/ImageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dorvixtest {

// Open marks where a driver was opened on the disk; it is logged, never counted or failed.
enum class DiskOp { Read, Write, Flush, Open };

// One call an engine made on a disk, in order.
struct DiskCall {
    DiskOp op = DiskOp::Read;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

struct DiskCounts {
    unsigned reads = 0;
    unsigned writes = 0;
    unsigned flushes = 0;
    unsigned of(DiskOp op) const { return op == DiskOp::Read ? reads : op == DiskOp::Write ? writes : flushes; }
};

// The medium: its bytes, the DISK_INFO its driver reports and how the driver answers the
// calls that are not transfers (failed transfers are the FaultyDriver's business).
struct MemoryMedium {
    dorvix::DiskInfo info;
    std::vector<std::uint8_t> bytes;
    std::uint32_t infoOutputError = 0;  // first DISK_INFO request (structure as output buffer)
    std::uint32_t infoInputError = 0;   // second request (structure as input buffer)
    std::uint32_t closeError = 0;
    unsigned closes = 0;

    // A disk of `sectors` 512-byte sectors with the given geometry (zeros: the disk record's defaults).
    static MemoryMedium ofSectors(std::uint32_t sectors, std::uint32_t heads = 0, std::uint32_t sectorsPerTrack = 0) {
        MemoryMedium m;
        m.info.totalSectors = sectors;
        m.info.bytesPerSector = 512;
        m.info.heads = heads;
        m.info.sectorsPerTrack = sectorsPerTrack;
        m.bytes.assign(std::size_t{sectors} * 512, 0);
        return m;
    }
};

// A DiskDriver over a MemoryMedium. Transfers past the end fail with ENXIO, as the file driver's do.
class MemoryDriver : public dorvix::DiskDriver {
public:
    explicit MemoryDriver(MemoryMedium& medium) : m_medium(medium) {}

    std::uint32_t getInfo(dorvix::InfoRequest how, dorvix::DiskInfo& info) override {
        const std::uint32_t error =
            how == dorvix::InfoRequest::OutputBuffer ? m_medium.infoOutputError : m_medium.infoInputError;
        if (error == 0) {
            info = m_medium.info;
        }
        return error;
    }
    std::uint32_t read(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        std::size_t offset = 0;
        std::size_t length = 0;
        if (const std::uint32_t error = range(first, count, buffer.size(), offset, length)) {
            return error;
        }
        std::memcpy(buffer.data(), m_medium.bytes.data() + offset, length);
        return 0;
    }
    std::uint32_t write(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t> buffer) override {
        std::size_t offset = 0;
        std::size_t length = 0;
        if (const std::uint32_t error = range(first, count, buffer.size(), offset, length)) {
            return error;
        }
        std::memcpy(m_medium.bytes.data() + offset, buffer.data(), length);
        return 0;
    }
    std::uint32_t close() override {
        ++m_medium.closes;
        return m_medium.closeError;
    }

private:
    std::uint32_t range(std::uint32_t first, std::uint32_t count, std::size_t bufferBytes, std::size_t& offset,
                        std::size_t& length) const {
        const std::size_t sector = m_medium.info.bytesPerSector;
        offset = std::size_t{first} * sector;
        length = std::size_t{count} * sector;
        if (length > bufferBytes) {
            return EINVAL;
        }
        return offset + length > m_medium.bytes.size() ? ENXIO : 0;
    }

    MemoryMedium& m_medium;
};

// Which call fails: the nth (from 1) read, write or flush made on the disk, and with `onward`
// every later one of its kind too. A short write puts the first half of its bytes on the disk
// before it fails.
struct Fault {
    DiskOp op = DiskOp::Read;
    unsigned nth = 0;  // 0: nothing fails
    bool shortWrite = false;
    std::uint32_t error = EIO;
    bool onward = false;
};

// What the wrapper saw on one disk: every call (the failing one included) and whether the
// fault was reached.
struct FaultState {
    Fault fault;
    DiskCounts counts;
    std::vector<DiskCall> calls;
    bool fired = false;

    // Logs and counts one call; true when it is the one `fault` names.
    bool strikes(DiskOp op, std::uint32_t first, std::uint32_t count) {
        calls.push_back({op, first, count});
        unsigned& seen = op == DiskOp::Read ? counts.reads : op == DiskOp::Write ? counts.writes : counts.flushes;
        ++seen;
        if (fault.nth != 0 && fault.op == op && (fault.nth == seen || (fault.onward && seen > fault.nth))) {
            fired = true;
            return true;
        }
        return false;
    }
};

// Wraps any DiskDriver; every call is counted and logged in `state`, and the one `state.fault`
// names fails with its error code.
class FaultyDriver : public dorvix::DiskDriver {
public:
    FaultyDriver(std::unique_ptr<dorvix::DiskDriver> inner, FaultState& state)
        : m_inner(std::move(inner)), m_state(state) {}

    std::uint32_t getInfo(dorvix::InfoRequest how, dorvix::DiskInfo& info) override {
        const std::uint32_t error = m_inner->getInfo(how, info);
        if (error == 0 && info.bytesPerSector != 0) {
            m_sectorBytes = info.bytesPerSector;
        }
        return error;
    }
    std::uint32_t read(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        if (strikes(DiskOp::Read, first, count)) {
            return m_state.fault.error;
        }
        return m_inner->read(first, count, buffer);
    }
    std::uint32_t write(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t> buffer) override {
        if (!strikes(DiskOp::Write, first, count)) {
            return m_inner->write(first, count, buffer);
        }
        if (m_state.fault.shortWrite) {
            writeFirstHalf(first, count, buffer);
        }
        return m_state.fault.error;
    }
    std::uint32_t flush() override {
        if (strikes(DiskOp::Flush, 0, 0)) {
            return m_state.fault.error;
        }
        return m_inner->flush();
    }
    std::uint32_t lockExclusive() override { return m_inner->lockExclusive(); }
    std::uint32_t close() override { return m_inner->close(); }

private:
    bool strikes(DiskOp op, std::uint32_t first, std::uint32_t count) { return m_state.strikes(op, first, count); }
    // Whole sectors go straight through; a sector cut in the middle is read, half overlaid and
    // written back, as a device that stopped inside it would leave it.
    void writeFirstHalf(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t> buffer) {
        const std::size_t half = std::min(buffer.size(), std::size_t{count} * m_sectorBytes) / 2;
        const auto whole = static_cast<std::uint32_t>(half / m_sectorBytes);
        if (whole != 0) {
            m_inner->write(first, whole, buffer.first(std::size_t{whole} * m_sectorBytes));
        }
        const std::size_t rest = half % m_sectorBytes;
        if (rest != 0) {
            std::vector<std::uint8_t> sector(m_sectorBytes);
            if (m_inner->read(first + whole, 1, sector) == 0) {
                std::memcpy(sector.data(), buffer.data() + std::size_t{whole} * m_sectorBytes, rest);
                m_inner->write(first + whole, 1, sector);
            }
        }
    }

    std::unique_ptr<dorvix::DiskDriver> m_inner;
    FaultState& m_state;
    std::uint32_t m_sectorBytes = 512;
};

// An image file of the platform whose reads, writes, flushes and commit are logged and counted
// in `state` (in 512-byte sectors: offset / 512, length rounded up), and the one `state.fault`
// names fails with its error code: a short write puts the first half of its bytes down first, a
// failed commit (the flush that makes the file durable, counted as a flush) removes the
// temporary file as the platform's does. The kernel never copies from it, so every byte of a
// restore's copy is read here.
class FaultyImageFile : public dorvix::ImageFile {
public:
    explicit FaultyImageFile(FaultState& state) : m_state(state) {}

    std::size_t readSomeAt(std::uint64_t offset, std::span<std::uint8_t> bytes, int& error) override {
        if (strikes(DiskOp::Read, offset, bytes.size())) {
            error = static_cast<int>(m_state.fault.error);
            return 0;
        }
        return ImageFile::readSomeAt(offset, bytes, error);
    }
    bool writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        if (!strikes(DiskOp::Write, offset, bytes.size())) {
            return ImageFile::writeAt(offset, bytes);
        }
        if (m_state.fault.shortWrite) {
            ImageFile::writeAt(offset, bytes.first(bytes.size() / 2));
        }
        return noteFailure(static_cast<int>(m_state.fault.error));
    }
    bool flush() override {
        return strikes(DiskOp::Flush, 0, 0) ? noteFailure(static_cast<int>(m_state.fault.error)) : ImageFile::flush();
    }
    bool commit() override {
        if (strikes(DiskOp::Flush, 0, 0)) {
            discard();
            return noteFailure(static_cast<int>(m_state.fault.error));
        }
        return ImageFile::commit();
    }
    int kernelCopyDescriptor() const override { return -1; }

private:
    // Logged in 512-byte sectors, as the disks' calls are.
    bool strikes(DiskOp op, std::uint64_t offset, std::size_t bytes) {
        return m_state.strikes(op, static_cast<std::uint32_t>(offset / 512), static_cast<std::uint32_t>((bytes + 511) / 512));
    }

    FaultState& m_state;
};

// DSKn: served from memory, every disk behind a FaultyDriver (which fails nothing until told).
class MemoryDevices : public dorvix::DeviceProvider {
public:
    struct Disk {
        MemoryMedium medium;
        FaultState faults;
        std::string path;  // what backingPath answers
        std::uint32_t openError = 0;
        std::uint32_t dismountError = 0;
        std::uint32_t mountError = 0;
        unsigned opens = 0;
        unsigned dismounts = 0;
        unsigned mounts = 0;
    };

    Disk& add(std::uint8_t n, MemoryMedium medium) {
        Disk& disk = m_disks[n];
        disk = Disk{};
        disk.medium = std::move(medium);
        return disk;
    }
    Disk& operator[](std::uint8_t n) { return m_disks.at(n); }

    std::uint32_t open(std::uint8_t n, std::unique_ptr<dorvix::DiskDriver>& driver) override {
        Disk* disk = find(n);
        if (disk == nullptr) {
            return ENOENT;
        }
        ++disk->opens;
        disk->faults.calls.push_back({DiskOp::Open, 0, 0});
        if (disk->openError != 0) {
            return disk->openError;
        }
        driver = std::make_unique<FaultyDriver>(std::make_unique<MemoryDriver>(disk->medium), disk->faults);
        return 0;
    }
    std::uint32_t dismountStore(std::uint8_t n) override {
        Disk* disk = find(n);
        if (disk == nullptr) {
            return ENOENT;
        }
        ++disk->dismounts;
        return disk->dismountError;
    }
    std::uint32_t mountFirstPartition(std::uint8_t n, bool /*diskWritten*/) override {
        Disk* disk = find(n);
        if (disk == nullptr) {
            return ENOENT;
        }
        ++disk->mounts;
        return disk->mountError;
    }
    std::string backingPath(std::uint8_t n) override {
        Disk* disk = find(n);
        return disk != nullptr ? disk->path : std::string();
    }
    // Every image file the engines open or create, behind one fault wrapper.
    std::unique_ptr<dorvix::ImageFile> newImageFile() override { return std::make_unique<FaultyImageFile>(imageFaults); }

    FaultState imageFaults;

private:
    Disk* find(std::uint8_t n) {
        auto it = m_disks.find(n);
        return it == m_disks.end() ? nullptr : &it->second;
    }

    std::map<std::uint8_t, Disk> m_disks;
};

}  // namespace dorvixtest
