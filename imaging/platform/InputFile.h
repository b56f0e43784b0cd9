#pragma once
// Files dorvix reads and files it is about to replace. An input (the image, the MBR and boot
// code files) is opened without blocking and must be a regular file: a FIFO would wait for a
// writer forever, a device node would be read as if it were an image. An output path may
// name a regular file (replaced) or a symbolic link (the link is replaced, not its target),
// never a device node, a FIFO, a socket or a directory.

#include <cstdio>
#include <string>

namespace dorvix {

enum class PathKind { Absent, Regular, SymbolicLink, Other };

// What is at `path` without following a final symbolic link (lstat).
PathKind pathKind(const std::string& path);

// Opens `path` for reading as a buffered stream, or returns nullptr with errno set (ENXIO
// when the path is not a regular file). The open never waits on a FIFO or a device.
std::FILE* openInputFile(const std::string& path);

// True when something is at `path` (after following symbolic links).
bool pathExists(const std::string& path);

// True when `path` exists and is a regular file (after following symbolic links).
bool isRegularFile(const std::string& path);

// True when a new file may take the place of `path`: nothing there, a regular file or a link.
inline bool outputPathReplaceable(const std::string& path) {
    const PathKind kind = pathKind(path);
    return kind != PathKind::Other;
}

}  // namespace dorvix
