#pragma once
// Shared fixtures of the FAT16 writer tests: disks in image files, file lists, and readers of
// what a written disk holds.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fat16/Fat16Disk.h"

namespace pellorin::testing_support {

// The double-NUL-terminated file list of the given paths.
std::string FileList(const std::vector<std::filesystem::path>& paths);

// A sparse image file of `bytes` bytes.
void MakeSparseImage(const std::filesystem::path& image, std::uint64_t bytes);

// A disk object that records its progress calls and can stop at a given call.
class CRecordingDisk : public CFat16Disk {
public:
    BOOL OnProgress(DWORD dwTotal, DWORD dwDone, void* context) override;

    struct Call {
        DWORD total;
        DWORD done;
        void* context;
    };
    std::vector<Call> calls;
    std::size_t stopAtCall = 0;  // 1-based; 0 never stops
};

// Formats an image file region with the embedded boot code (or the boot sector `pbr` when
// given). `trace` receives the trace.
struct FormatRun {
    BOOL result = FALSE;
    std::string trace;
    Fat16Layout layout;
    std::vector<CRecordingDisk::Call> calls;
};
FormatRun FormatImage(const std::filesystem::path& image, DWORD sectorsPerTrack, DWORD heads,
                      DWORD cylinders, const std::vector<std::filesystem::path>& files,
                      DWORD baseOffset = 0, std::vector<BYTE> pbr = {});

// 512-byte copies of the embedded templates.
std::vector<BYTE> MbrTemplate();
std::vector<BYTE> PbrTemplate();

// Copies the partition's metadata (boot sector to the end of the root directory) into a file of
// the partition's size, so fsck.fat can check it without reading gigabytes of holes.
void ExtractPartitionMetadata(const std::filesystem::path& image, const Fat16Layout& layout,
                              const std::filesystem::path& partition, std::uint64_t baseOffset = 0);

// Runs a command with MTOOLS_SKIP_CHECK=1 set.
std::string MtoolsImage(const std::filesystem::path& image, std::uint64_t partitionOffset);

// Reads `count` bytes at `offset` of a file.
std::vector<BYTE> ReadAt(const std::filesystem::path& file, std::uint64_t offset, std::size_t count);

}  // namespace pellorin::testing_support
