#pragma once
// Source disks for the FAT engine's tests: an image file with an MBR whose partition 1 holds a
// FAT16 volume made by mkfs.fat, filled with mtools. Everything is made by tools nobody here
// wrote, so the engine is tested against volumes it did not make itself.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

struct DiskShape {
    std::uint32_t partitionStart = 32;   // first sector of partition 1 (also the hidden sectors)
    std::uint32_t partitionSectors = 40960;
    unsigned sectorsPerCluster = 4;
    unsigned rootEntries = 512;
    unsigned fats = 2;
    unsigned reservedSectors = 1;
    std::string fatType = "16";
};

// Creates `disk` (partition start + partition sectors long): MBR with partition entry 1 (type
// 0x06, active) and signature, and the volume made by mkfs.fat at the partition. Fails the
// calling test (ADD_FAILURE) and returns false when a tool fails.
bool makeFatDisk(const std::filesystem::path& disk, const DiskShape& shape = {});

// Runs one mtools command on the partition of `disk`: `tool` is e.g. "mcopy", `arguments` its
// arguments after "-i image" (already quoted). MTOOLS_SKIP_CHECK is set.
CommandResult mtools(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& tool,
                     const std::string& arguments);

// The same, failing the test when the tool fails.
bool mtoolsOk(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& tool,
              const std::string& arguments);

// Fills the volume's free clusters with one file, `volumePath`; false when a tool fails.
bool fillVolume(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& volumePath);

// Copies `bytes` into the volume as `volumePath` ("::/DIR/NAME").
bool putFile(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& volumePath,
             const std::vector<std::uint8_t>& bytes);

// Reads `volumePath` back out of the volume with mcopy; empty with `ok` false on failure.
std::vector<std::uint8_t> getFile(const std::filesystem::path& disk, std::uint32_t partitionStart,
                                  const std::string& volumePath, bool& ok);

// Paths of every file and directory below `directory` ("::/" for the root), as mdir lists them
// recursively ("::/A/B"), with directories marked by a trailing "/".
std::vector<std::string> listTree(const std::filesystem::path& disk, std::uint32_t partitionStart);

}  // namespace testsupport
