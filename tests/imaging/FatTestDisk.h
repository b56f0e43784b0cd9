#pragma once
// A disk image file opened as the FAT engine's disk for the unit tests, with sector reads
// that can be made to fail at chosen sectors.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <set>

#include "platform/ImageFile.h"
#include "fat/FatVolume.h"

namespace dorvix::testing {

// What a test volume's sectors are: the file, plus sectors whose reads fail.
struct TestDisk : SectorDisk {
    ImageFile file;
    std::set<std::uint32_t> failingSectors;
    bool failArmed = true;
    unsigned reads = 0;
    unsigned writes = 0;

    std::uint32_t read(std::uint32_t first, std::uint32_t count, std::span<std::uint8_t> buffer) override {
        ++reads;
        if (failArmed) {
            for (std::uint32_t s = first; s < first + count; ++s) {
                if (failingSectors.count(s) != 0) {
                    return EIO;
                }
            }
        }
        const std::size_t length = std::min<std::size_t>(std::size_t{count} * 512, buffer.size());
        return file.readAt(std::uint64_t{first} * 512, buffer.first(length)) ? 0 : EIO;
    }
    std::uint32_t write(std::uint32_t first, std::uint32_t count, std::span<const std::uint8_t> buffer) override {
        ++writes;
        const std::size_t length = std::min<std::size_t>(std::size_t{count} * 512, buffer.size());
        return file.writeAt(std::uint64_t{first} * 512, buffer.first(length)) && file.flush() ? 0 : EIO;
    }
};

// A FatVolume set up on a disk image file (not yet mounted).
struct TestVolume {
    TestDisk disk;
    FatVolume volume;
    std::uint8_t mbr[512] = {};
    std::uint8_t boot[512] = {};

    bool open(const std::filesystem::path& path) {
        if (!disk.file.open(path)) {
            return false;
        }
        volume = FatVolume{};
        volume.disk = &disk;
        return true;
    }
    VolumeProblem mount() { return mountVolume(volume, mbr, boot); }
    bool openAndMount(const std::filesystem::path& path) { return open(path) && mount() == VolumeProblem::None; }
};

}  // namespace dorvix::testing
