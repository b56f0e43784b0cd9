#include "platform/OutputFile.h"

#include "platform/HiddenTemporary.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pellorin {

namespace {

// When this program began: hidden temporaries older than that belong to a killed earlier run.
const std::time_t kRunStarted = std::time(nullptr);

bool syncDescriptor(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::shared_ptr<COutputFolder> COutputFolder::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    return std::shared_ptr<COutputFolder>(new COutputFolder(fd));
}

COutputFolder::~COutputFolder() {
    const int error = errno;
    ::close(m_fd);
    errno = error;
}

std::optional<FileIdentity> COutputFolder::Entry(const std::string& name) const {
    struct stat status {};
    if (::fstatat(m_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                        S_ISDIR(status.st_mode)};
}

bool COutputFolder::Remove(const std::string& name) {
    return ::unlinkat(m_fd, name.c_str(), 0) == 0;
}

bool COutputFolder::Sync() {
    return syncDescriptor(m_fd);
}

std::unique_ptr<COutputFile> COutputFile::Create(const std::string& target) {
    const auto slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return nullptr;
    }
    std::shared_ptr<COutputFolder> directory = COutputFolder::Open(folder);
    if (!directory) {
        return nullptr;
    }
    return Create(std::move(directory), name);
}

std::unique_ptr<COutputFile> COutputFile::Create(std::shared_ptr<COutputFolder> folder, const std::string& name) {
    if (!folder) {
        errno = EBADF;
        return nullptr;
    }
    const int directory = folder->m_fd;
    // A killed run may have left its hidden name here (no unnamed files, or killed between the
    // link and the rename of Commit).
    RemoveStaleTemporaries(directory, kRunStarted);
    int fd = ::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    std::string tempName;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files on this file system: a hidden name that only this run uses.
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            tempName = HiddenTemporaryName(name);
            fd = ::openat(directory, tempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) {
                break;
            }
        }
    }
    if (fd < 0) {
        return nullptr;
    }
    // Held while it is written: the sweep of another run leaves a locked file alone.
    ::flock(fd, LOCK_EX | LOCK_NB);
    return std::unique_ptr<COutputFile>(new COutputFile(CFileHandle::Adopt(fd), std::move(folder), name, tempName));
}

COutputFile::COutputFile(std::unique_ptr<CFileHandle> file, std::shared_ptr<COutputFolder> folder, std::string name,
                         std::string tempName)
    : m_file(std::move(file)), m_folder(std::move(folder)), m_name(std::move(name)), m_tempName(std::move(tempName)) {}

COutputFile::~COutputFile() {
    const int error = errno;
    m_file.reset();
    if (!m_committed && !m_tempName.empty()) {
        m_folder->Remove(m_tempName);
    }
    errno = error;
}

bool COutputFile::Commit(const std::function<bool()>& bGoOn, const std::function<bool()>& bBeginRename) {
    if (m_committed) {
        return true;
    }
    if (!m_file->FlushInSteps(bGoOn)) {
        return false;
    }
    const std::function<bool()>& bLastCheck = bBeginRename ? bBeginRename : bGoOn;
    if (bLastCheck && !bLastCheck()) {
        errno = ECANCELED;  // a cancel during the last fsync still keeps the old file
        return false;
    }
    if (m_tempName.empty()) {
        // An unnamed file gets a hidden name first (a link cannot replace an existing file),
        // then takes the target's name in one rename.
        const std::string self = "/proc/self/fd/" + std::to_string(m_file->Descriptor());
        int linked = -1;
        for (int attempt = 0; linked != 0 && attempt < 100; ++attempt) {
            m_tempName = HiddenTemporaryName(m_name);
            linked = ::linkat(AT_FDCWD, self.c_str(), m_folder->m_fd, m_tempName.c_str(), AT_SYMLINK_FOLLOW);
            if (linked != 0 && errno != EEXIST) {
                break;
            }
        }
        if (linked != 0) {
            const int error = errno;
            m_tempName.clear();
            errno = error;
            return false;
        }
    }
    if (::renameat(m_folder->m_fd, m_tempName.c_str(), m_folder->m_fd, m_name.c_str()) != 0) {
        return false;  // the destructor removes the hidden name
    }
    m_committed = true;
    m_tempName.clear();
    // The new name is durable once the folder is.
    return m_folder->Sync();
}

}  // namespace pellorin
