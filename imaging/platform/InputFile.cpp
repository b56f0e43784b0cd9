#include "platform/InputFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvix {

PathKind pathKind(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? PathKind::Absent : PathKind::Other;
    }
    if (S_ISREG(st.st_mode)) {
        return PathKind::Regular;
    }
    return S_ISLNK(st.st_mode) ? PathKind::SymbolicLink : PathKind::Other;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::FILE* openInputFile(const std::string& path) {
    // O_NONBLOCK keeps open() of a FIFO from waiting for a writer; the type is checked on the
    // descriptor itself, so a path swapped after a check cannot slip through.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = ENXIO;
        return nullptr;
    }
    // Regular files never block; the flag is cleared so the stream behaves as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

}  // namespace dorvix
