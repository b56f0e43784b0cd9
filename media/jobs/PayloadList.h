#pragma once
// The payload: the files the USB and ISO workflows put on their boot volume, found in the
// payload directory (the program's own directory unless one is given).

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pellorin {

// Names looked for, in the order in which they are listed and then written onto the volume.
inline constexpr const char* kPayloadNames[] = {"KERNEL.SYS", "COMMAND.COM", "AUTOEXEC.BAT",
                                                "RECOVERY.PDF", "KMV.EXE", "FLASH.IMG"};

struct PayloadList {
    // Full paths, each ended by a NUL, the list ended by an empty string (a second NUL): the
    // file list the FAT16 writer takes.
    std::string files;
    std::vector<std::string> paths;    // the same paths, in list order
    std::vector<std::uint64_t> sizes;  // each listed file's size, in list order
    std::uint64_t totalSize = 0;       // sum of `sizes`
    std::vector<std::string> missing;  // candidates that were not found (also on the trace)
    // Files present under a payload name that cannot be read as regular files (a directory, a
    // FIFO, a device, a dangling link, no permission): the path and the reason, also on the
    // trace. They are not listed; a job refuses to build without them.
    struct Unusable {
        std::string path;
        std::string reason;
    };
    std::vector<Unusable> unusable;
};

// The directory of the running program (from /proc/self/exe); empty when it cannot be read.
std::filesystem::path ProgramDirectory();

// Finds the payload files in `payloadDirectory`. A name is matched regardless of case, as the
// desktop's file system does; "FLASH.IMG" falls back to the first regular "FLASH.*" by name. A
// missing file is reported on the trace and left out; it is not an error here. Each found file
// is opened once (without blocking) to learn that it is a readable regular file and its size.
PayloadList BuildPayloadList(const std::filesystem::path& payloadDirectory);

// What the main window says about a payload directory, found by the rules of BuildPayloadList
// but without writing to the trace: whether it holds a non-empty, readable KERNEL.SYS and which
// flash image the jobs would take. Both are needed for a medium that starts and restores.
struct PayloadSummary {
    bool kernel = false;
    std::filesystem::path flashImage;  // empty when there is no readable one
    std::uint64_t flashImageSize = 0;
    bool Usable() const { return kernel && !flashImage.empty(); }
};
PayloadSummary SummarizePayload(const std::filesystem::path& payloadDirectory);

}  // namespace pellorin
