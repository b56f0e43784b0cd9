#include "platform/OutputFile.h"

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace pellorin {

namespace {

// ".NAME.xxxxxx" with six random letters: hidden, and beside the target so a rename is atomic.
std::string temporaryName(const std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string suffix(6, 'x');
    for (char& c : suffix) {
        c = kLetters[random() % (sizeof kLetters - 1)];
    }
    return "." + name + "." + suffix;
}

bool syncDescriptor(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<COutputFile> COutputFile::Create(const std::string& target) {
    const auto slash = target.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return nullptr;
    }
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return nullptr;
    }
    int fd = ::openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    std::string tempName;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files on this file system: a hidden name that only this run uses.
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            tempName = temporaryName(name);
            fd = ::openat(directory, tempName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) {
                break;
            }
        }
    }
    if (fd < 0) {
        const int error = errno;
        ::close(directory);
        errno = error;
        return nullptr;
    }
    return std::unique_ptr<COutputFile>(
        new COutputFile(CFileHandle::Adopt(fd), directory, std::move(folder), name, tempName));
}

COutputFile::COutputFile(std::unique_ptr<CFileHandle> file, int directory, std::string folder,
                         std::string name, std::string tempName)
    : m_file(std::move(file)),
      m_directory(directory),
      m_folder(std::move(folder)),
      m_name(std::move(name)),
      m_tempName(std::move(tempName)) {}

COutputFile::~COutputFile() {
    const int error = errno;
    m_file.reset();
    if (!m_committed && !m_tempName.empty()) {
        ::unlinkat(m_directory, m_tempName.c_str(), 0);
    }
    ::close(m_directory);
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
            m_tempName = temporaryName(m_name);
            linked = ::linkat(AT_FDCWD, self.c_str(), m_directory, m_tempName.c_str(), AT_SYMLINK_FOLLOW);
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
    if (::renameat(m_directory, m_tempName.c_str(), m_directory, m_name.c_str()) != 0) {
        return false;  // the destructor removes the hidden name
    }
    m_committed = true;
    m_tempName.clear();
    // The new name is durable once the folder is.
    return syncDescriptor(m_directory);
}

}  // namespace pellorin
