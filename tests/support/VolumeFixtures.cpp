#include "VolumeFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

namespace testsupport {

namespace {

std::string imageArgument(const std::filesystem::path& disk, std::uint32_t partitionStart) {
    return shellQuote(disk.string() + "@@" + std::to_string(std::uint64_t{partitionStart} * 512));
}

void put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

bool makeFatDisk(const std::filesystem::path& disk, const DiskShape& shape) {
    std::filesystem::remove(disk);
    const std::uint64_t bytes = (std::uint64_t{shape.partitionStart} + shape.partitionSectors) * 512;
    const CommandResult made = runCommand(
        "truncate -s " + std::to_string(bytes) + " " + shellQuote(disk.string()) + " && mkfs.fat -F " + shape.fatType +
        " --offset " + std::to_string(shape.partitionStart) + " -h " + std::to_string(shape.partitionStart) +
        " -s " + std::to_string(shape.sectorsPerCluster) + " -r " + std::to_string(shape.rootEntries) + " -f " +
        std::to_string(shape.fats) + " -R " + std::to_string(shape.reservedSectors) +
        " -a -i 1A2B3C4D -n SOURCE " + shellQuote(disk.string()) + " " +
        std::to_string(shape.partitionSectors / 2));
    if (made.exitCode != 0) {
        ADD_FAILURE() << "mkfs.fat failed: " << made.output;
        return false;
    }
    std::vector<std::uint8_t> all = readFileBytes(disk);
    if (all.size() < 512) {
        ADD_FAILURE() << "disk image too small";
        return false;
    }
    std::fill(all.begin(), all.begin() + 446, 0);
    all[446] = 0x80;
    all[446 + 1] = 1;
    all[446 + 2] = 1;
    all[446 + 4] = 0x06;
    all[446 + 5] = 3;
    all[446 + 6] = 0xE0;
    all[446 + 7] = 0xD0;
    put32(all, 446 + 8, shape.partitionStart);
    put32(all, 446 + 12, shape.partitionSectors);
    std::fill(all.begin() + 462, all.begin() + 510, 0);
    all[510] = 0x55;
    all[511] = 0xAA;
    writeFileBytes(disk, all);
    return true;
}

CommandResult mtools(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& tool,
                     const std::string& arguments) {
    return runCommand("MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 " + tool + " -i " +
                      imageArgument(disk, partitionStart) + " " + arguments);
}

bool mtoolsOk(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& tool,
              const std::string& arguments) {
    const CommandResult result = mtools(disk, partitionStart, tool, arguments);
    if (result.exitCode != 0) {
        ADD_FAILURE() << tool << " " << arguments << " failed: " << result.output;
        return false;
    }
    return true;
}

bool putFile(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& volumePath,
             const std::vector<std::uint8_t>& bytes) {
    TempDir scratch;
    const auto local = scratch / "content";
    writeFileBytes(local, bytes);
    return mtoolsOk(disk, partitionStart, "mcopy", "-o " + shellQuote(local.string()) + " " + shellQuote(volumePath));
}

std::vector<std::uint8_t> getFile(const std::filesystem::path& disk, std::uint32_t partitionStart,
                                  const std::string& volumePath, bool& ok) {
    TempDir scratch;
    const auto local = scratch / "content";
    const CommandResult result =
        mtools(disk, partitionStart, "mcopy", "-n " + shellQuote(volumePath) + " " + shellQuote(local.string()));
    ok = result.exitCode == 0 && std::filesystem::exists(local);
    if (!ok) {
        return {};
    }
    return readFileBytes(local);
}

std::vector<std::string> listTree(const std::filesystem::path& disk, std::uint32_t partitionStart) {
    // mdir -/ -b prints one full path per line, directories with a trailing "/".
    const CommandResult result = mtools(disk, partitionStart, "mdir", "-/ -b ::/");
    std::vector<std::string> paths;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("::/", 0) == 0) {
            paths.push_back(line);
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool fillVolume(const std::filesystem::path& disk, std::uint32_t partitionStart, const std::string& volumePath) {
    const CommandResult listing = mtools(disk, partitionStart, "mdir", "-a ::/");
    // "  1 234 567 bytes free": the digits before "bytes free", grouped by blanks.
    const std::size_t at = listing.output.find("bytes free");
    if (listing.exitCode != 0 || at == std::string::npos) {
        return false;
    }
    std::size_t start = at;
    while (start > 0 && (std::isdigit(static_cast<unsigned char>(listing.output[start - 1])) ||
                         listing.output[start - 1] == ' ')) {
        --start;
    }
    std::string digits;
    for (std::size_t i = start; i < at; ++i) {
        if (std::isdigit(static_cast<unsigned char>(listing.output[i]))) digits.push_back(listing.output[i]);
    }
    return !digits.empty() &&
           putFile(disk, partitionStart, volumePath, std::vector<std::uint8_t>(std::stoull(digits), 0x46));
}

}  // namespace testsupport
