#pragma once
// A disk image file opened as the FAT engine's device for the unit tests, with sector reads
// that can be made to fail.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>

#include "disk/ImageFile.h"
#include "fat/FatVolume.h"

namespace dorvix::testing {

// What a test volume's callbacks act on: the file, plus sectors whose reads fail.
struct TestDisk {
    ImageFile file;
    std::set<std::uint32_t> failingSectors;
    bool failArmed = true;
    unsigned reads = 0;
    unsigned writes = 0;
};

inline int testDiskRead(FatVolume& volume, std::uint32_t first, std::uint32_t count, std::uint8_t* buffer,
                        std::size_t bytes) {
    auto& disk = *static_cast<TestDisk*>(volume.device);
    ++disk.reads;
    if (disk.failArmed) {
        for (std::uint32_t s = first; s < first + count; ++s) {
            if (disk.failingSectors.count(s) != 0) {
                return -1;
            }
        }
    }
    const std::size_t length = std::min<std::size_t>(std::size_t{count} * 512, bytes);
    return disk.file.readAt(std::uint64_t{first} * 512, {buffer, length}) ? 0 : -1;
}

inline int testDiskWrite(FatVolume& volume, std::uint32_t first, std::uint32_t count, std::uint8_t* buffer,
                         std::size_t bytes) {
    auto& disk = *static_cast<TestDisk*>(volume.device);
    ++disk.writes;
    const std::size_t length = std::min<std::size_t>(std::size_t{count} * 512, bytes);
    return disk.file.writeAt(std::uint64_t{first} * 512, {buffer, length}) && disk.file.flush() ? 0 : -1;
}

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
        volume.device = &disk;
        volume.sectorReader = testDiskRead;
        volume.sectorWriter = testDiskWrite;
        return true;
    }
    VolumeProblem mount() { return mountVolume(volume, mbr, boot); }
    bool openAndMount(const std::filesystem::path& path) { return open(path) && mount() == VolumeProblem::None; }
};

}  // namespace dorvix::testing
