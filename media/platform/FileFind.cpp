#include "platform/FileFind.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <grp.h>
#include <unistd.h>

#include <vector>

namespace pellorin {

namespace {

UnixTime FromTimestamp(const struct statx_timestamp& stamp) {
    return UnixTime{stamp.tv_sec, stamp.tv_nsec};
}

void Fill(const struct statx& status, const std::string& path, FoundFile& data) {
    data = FoundFile{};
    if (S_ISDIR(status.stx_mode)) {
        data.attributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        data.attributes = FILE_ATTRIBUTE_ARCHIVE;
        if ((status.stx_mode & S_IWUSR) == 0) {
            data.attributes |= FILE_ATTRIBUTE_READONLY;
        }
    }
    data.written = FromTimestamp(status.stx_mtime);
    data.accessed = FromTimestamp(status.stx_atime);
    data.created = (status.stx_mask & STATX_BTIME) != 0 ? FromTimestamp(status.stx_btime)
                                                               : data.written;
    data.size = status.stx_size;
    std::string name = path;
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    const auto slash = name.find_last_of('/');
    data.name = slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

BOOL FindFile(const std::string& path, FoundFile& data) {
    struct statx status {};
    if (path.empty()) {
        errno = ENOENT;
        return FALSE;
    }
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        return FALSE;
    }
    Fill(status, path, data);
    return TRUE;
}

BOOL FindOpenFile(const CFileHandle& file, const std::string& path, FoundFile& data) {
    struct statx status {};
    if (::statx(file.Descriptor(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
        return FALSE;
    }
    Fill(status, path, data);
    return TRUE;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                        S_ISDIR(status.st_mode)};
}

std::string BlockDeviceNumber(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) {
        return {};
    }
    return std::to_string(major(status.st_rdev)) + ":" + std::to_string(minor(status.st_rdev));
}

std::string FileSystemNumber(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    return std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
}

bool IsForeignLinkForRoot(const std::string& path) {
    struct stat link {};
    return ::geteuid() == 0 && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != 0;
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string CurrentDirectory() {
    std::vector<char> buffer(4096);
    return ::getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string("/");
}

bool WritingIsDenied(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EACCES || errno == EPERM;
}

std::string GroupOwning(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "disk";
    if (const struct group* g = ::getgrgid(st.st_gid)) return g->gr_name;
    return std::to_string(st.st_gid);
}

bool WriteExistingFile(const std::string& folder, const std::string& name, const std::string& text) {
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    const int fd = ::openat(dir, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    const int openError = errno;
    ::close(dir);
    if (fd < 0) {
        errno = openError;
        return false;
    }
    const ssize_t written = ::write(fd, text.data(), text.size());
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (written != static_cast<ssize_t>(text.size())) {
        errno = written < 0 ? writeError : EIO;
        return false;
    }
    return closed;
}

}  // namespace pellorin
