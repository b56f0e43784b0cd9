#pragma once
// Finding a file by its path, as the desktop's file search reports it: attributes, the three
// times, the size and the names. On Linux there are no 8.3 alternate names, so
// shortName stays empty and callers derive the short name themselves.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/DriveHandle.h"
#include "platform/WinTypes.h"

namespace pellorin {

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
inline constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;

// A point in time in UTC: seconds since 1970-01-01 00:00:00 and the fraction.
struct UnixTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

// What a file search reports of one file.
struct FoundFile {
    DWORD attributes = 0;  // FILE_ATTRIBUTE_* bits
    UnixTime created;
    UnixTime accessed;
    UnixTime written;
    std::uint64_t size = 0;
    std::string name;       // last component of the path
    std::string shortName;  // 8.3 name when the file system keeps one
};

// Looks the path up. Regular files carry the archive attribute (and read-only when the owner
// may not write them); directories the directory attribute. The creation time is the birth
// time where the file system records one, else the last write time. FALSE with errno set
// when the path cannot be found.
BOOL FindFile(const std::string& path, FoundFile& data);

// The same for a file that is open; `path` gives the names.
BOOL FindOpenFile(const CFileHandle& file, const std::string& path, FoundFile& data);

// Which file a name stands for: two names with the same identity are the same file.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool directory = false;
};

// The identity of the file `path` names (a link is followed); none when it cannot be found.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// The device numbers ("MAJOR:MINOR") of the block device that the node `path` stands for, found
// wherever the node lies; empty when `path` is no block device node.
std::string BlockDeviceNumber(const std::string& path);

// The device numbers ("MAJOR:MINOR") of the file system that holds `path`; empty when it cannot
// be found.
std::string FileSystemNumber(const std::string& path);

// True when `path` names a folder (a link to one included).
bool IsDirectory(const std::string& path);

// True when this process may not open `path` for writing for lack of rights (EACCES, EPERM).
bool WritingIsDenied(const std::string& path);

// The name of the group that owns `path`, its number when it has no name; "disk" when the
// path cannot be looked at.
std::string GroupOwning(const std::string& path);

// Writes `text` into the existing file `name` of the folder `folder` in one write, opening
// it without following a link; false with errno set (EIO for a short write).
bool WriteExistingFile(const std::string& folder, const std::string& name, const std::string& text);

// The process's working folder; "/" when it cannot be told.
std::string CurrentDirectory();

// True when this process runs as root and `path` is a symbolic link that another user owns:
// a link such a user placed could name a file that user may not read.
bool IsForeignLinkForRoot(const std::string& path);

}  // namespace pellorin
