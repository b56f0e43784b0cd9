#include "platform/ImageFile.h"

#include "platform/InputFile.h"
#include <cctype>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace dorvix {

namespace {

constexpr char kTemporaryMark[] = ".dorvix-";

// Set by a test to take the hidden-name path where the file system has unnamed files.
bool unnamedFilesAllowed() {
    const char* forced = std::getenv("DORVIX_NO_UNNAMED_TEMP");
    return forced == nullptr || *forced == '\0' || std::strcmp(forced, "0") == 0;
}

// When this program began: temporaries older than that belong to an earlier run.
const std::chrono::system_clock::time_point kRunStarted = std::chrono::system_clock::now();

// The named temporary file that SIGINT, SIGTERM and SIGHUP remove before the signal takes its
// course (one capture runs at a time).
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
char g_pendingName[PATH_MAX];
volatile std::sig_atomic_t g_pendingSet = 0;
struct sigaction g_previous[std::size(kCleanupSignals)];
bool g_installed[std::size(kCleanupSignals)] = {};

extern "C" void removePendingTemporary(int signal) {
    if (g_pendingSet != 0) {
        ::unlink(g_pendingName);
    }
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        if (kCleanupSignals[i] == signal) {
            ::sigaction(signal, &g_previous[i], nullptr);
        }
    }
    ::raise(signal);  // delivered with the previous action once this handler returns
}

void registerPending(const std::filesystem::path& name) {
    const std::string text = name.string();
    if (text.size() >= sizeof g_pendingName) {
        return;
    }
    g_pendingSet = 0;
    std::memcpy(g_pendingName, text.c_str(), text.size() + 1);
    g_pendingSet = 1;
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        if (g_installed[i]) {
            continue;
        }
        struct sigaction current {};
        ::sigaction(kCleanupSignals[i], nullptr, &current);
        if (current.sa_handler == SIG_IGN) {
            continue;  // an ignored signal does not end the run
        }
        struct sigaction action {};
        action.sa_handler = removePendingTemporary;
        sigemptyset(&action.sa_mask);
        if (::sigaction(kCleanupSignals[i], &action, &g_previous[i]) == 0) {
            g_installed[i] = true;
        }
    }
}

void unregisterPending() {
    g_pendingSet = 0;
    for (std::size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        if (g_installed[i]) {
            ::sigaction(kCleanupSignals[i], &g_previous[i], nullptr);
            g_installed[i] = false;
        }
    }
}

// Removes the hidden temporaries of earlier runs from `folder`: regular files of our pattern
// (never links or anything else), last changed before this run began, and not locked by a
// capture that is still writing them.
void removeStaleTemporaries(const std::filesystem::path& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    const int dir = ::dirfd(listing);
    const auto started = std::chrono::system_clock::to_time_t(kRunStarted);
    while (const dirent* entry = ::readdir(listing)) {
        if (!isTemporaryName(entry->d_name)) {
            continue;
        }
        struct stat named {};
        if (::fstatat(dir, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) ||
            named.st_mtime >= started) {
            continue;
        }
        const int fd = ::openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat opened {};
        // Still the file looked at, and no capture holds it.
        if (::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(dir, entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(listing);
}

std::filesystem::path folderOf(const std::filesystem::path& finalPath) {
    std::filesystem::path folder = finalPath.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace

bool isTemporaryName(std::string_view name) {
    const std::size_t mark = name.rfind(kTemporaryMark);
    if (name.size() < 2 || name[0] != '.' || mark == std::string_view::npos || mark == 0) {
        return false;
    }
    const std::string_view tail = name.substr(mark + std::strlen(kTemporaryMark));
    if (tail.size() < 6) {
        return false;
    }
    for (const char c : tail) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::string imageFolder(const std::filesystem::path& imagePath) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(folderOf(imagePath), error);
    std::filesystem::path folder = error ? folderOf(imagePath) : absolute.lexically_normal();
    if (folder.filename().empty() && folder.has_parent_path() && folder != folder.root_path()) {
        folder = folder.parent_path();  // "/images/" names the folder "/images"
    }
    return folder.string();
}

ImageFile::~ImageFile() {
    close();
}

bool ImageFile::create(const std::filesystem::path& path) {
    close();
    m_file = std::fopen(path.c_str(), "w+b");
    return m_file != nullptr;
}

bool ImageFile::open(const std::filesystem::path& path) {
    close();
    m_file = std::fopen(path.c_str(), "r+b");
    return m_file != nullptr;
}

bool ImageFile::openForReading(const std::filesystem::path& path) {
    close();
    m_file = openInputFile(path.string());
    m_readOnly = m_file != nullptr;
    return m_file != nullptr;
}

void ImageFile::close() {
    if (!m_finalPath.empty()) {
        discard();
        return;
    }
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_readOnly = false;
}

bool ImageFile::createTemporary(const std::filesystem::path& finalPath) {
    close();
    m_error = 0;
    // Past a file-size limit a write fails with EFBIG, which the capture reports; the signal
    // would end the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::filesystem::path folder = folderOf(finalPath);
    removeStaleTemporaries(folder);
    int fd = unnamedFilesAllowed() ? ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666) : -1;
    std::filesystem::path named;
    if (fd < 0) {
        // File systems without unnamed files: a hidden name beside the final one.
        std::string hidden = ".";
        hidden += finalPath.filename().string();
        hidden += kTemporaryMark;
        hidden += "XXXXXX";
        std::string pattern = (folder / hidden).string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        // The name is known to the signal handlers before a signal can find the file.
        sigset_t cleanup;
        sigset_t previous;
        sigemptyset(&cleanup);
        for (const int signal : kCleanupSignals) {
            sigaddset(&cleanup, signal);
        }
        ::pthread_sigmask(SIG_BLOCK, &cleanup, &previous);
        fd = ::mkostemp(buffer.data(), O_CLOEXEC);
        if (fd >= 0) {
            named = buffer.data();
            registerPending(named);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (fd < 0) {
            return false;
        }
    }
    // Held while it is written: the stale-file sweep of another run leaves a locked file alone.
    ::flock(fd, LOCK_EX | LOCK_NB);
    m_file = ::fdopen(fd, "w+b");
    if (m_file == nullptr) {
        ::close(fd);
        if (!named.empty()) {
            ::unlink(named.c_str());
            unregisterPending();
        }
        return false;
    }
    m_finalPath = finalPath;
    m_tempPath = named;
    return true;
}

bool ImageFile::failed() { return noteFailure(errno != 0 ? errno : EIO); }

bool ImageFile::noteFailure(int error) {
    if (m_error == 0) {
        m_error = error;
    }
    return false;
}

bool ImageFile::commit() {
    if (m_file == nullptr || m_finalPath.empty()) {
        return false;
    }
    const int fd = ::fileno(m_file);
    errno = 0;
    bool ok = std::fflush(m_file) == 0 && ::fsync(fd) == 0;
    if (!ok) {
        failed();
    }
    std::filesystem::path placed = m_tempPath;
    if (ok && placed.empty()) {
        // An unnamed file gets a hidden name first: linkat cannot replace an existing file.
        const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
        const std::filesystem::path folder = folderOf(m_finalPath);
        for (int attempt = 0; attempt < 100 && placed.empty(); ++attempt) {
            char tail[32];
            std::snprintf(tail, sizeof tail, "%07dx%d", static_cast<int>(::getpid()), attempt);
            std::string hidden = ".";
            hidden += m_finalPath.filename().string();
            hidden += kTemporaryMark;
            hidden += tail;
            const std::filesystem::path candidate = folder / hidden;
            registerPending(candidate);
            if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                placed = candidate;
            } else {
                const int error = errno;
                unregisterPending();
                if (error != EEXIST) {
                    errno = error;
                    failed();
                    break;
                }
            }
        }
        ok = !placed.empty();
        m_tempPath = placed;
    }
    // rename() would put the image in place of a device node or FIFO that appeared there.
    if (ok && !outputPathReplaceable(m_finalPath.string())) {
        ok = false;
    }
    if (ok && ::rename(placed.c_str(), m_finalPath.c_str()) != 0) {
        ok = failed();
    }
    if (!ok) {
        discard();
        return false;
    }
    unregisterPending();
    std::fclose(m_file);
    m_file = nullptr;
    m_tempPath.clear();
    const std::filesystem::path folder = folderOf(m_finalPath);
    m_finalPath.clear();
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return failed();
    }
    const bool synced = ::fsync(dir) == 0;
    if (!synced) {
        failed();
    }
    ::close(dir);
    return synced;
}

void ImageFile::discard() {
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        unregisterPending();
    }
    m_tempPath.clear();
    m_finalPath.clear();
}

bool ImageFile::writeAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (m_file == nullptr || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        return false;
    }
    errno = 0;
    // The seek hands buffered bytes to the system: a full disk can fail it as well.
    if (::fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
        return failed();
    }
    return true;
}

bool ImageFile::readAt(std::uint64_t offset, std::span<std::uint8_t> bytes) {
    int error = 0;
    return readSomeAt(offset, bytes, error) == bytes.size();
}

std::size_t ImageFile::readSomeAt(std::uint64_t offset, std::span<std::uint8_t> bytes, int& error) {
    error = 0;
    if (m_file == nullptr || offset > static_cast<std::uint64_t>(INT64_MAX) - bytes.size()) {
        error = EINVAL;
        return 0;
    }
    if (m_readOnly) {
        // Positioned reads leave the stream alone, so the bulk copy may read on its own thread.
        const int fd = ::fileno(m_file);
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                error = errno != 0 ? errno : EIO;
                break;
            }
            if (n == 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        return got;
    }
    errno = 0;
    if (::fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0) {
        error = errno != 0 ? errno : EIO;
        return 0;
    }
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), m_file);
    if (got < bytes.size() && std::ferror(m_file) != 0) {
        error = errno != 0 ? errno : EIO;
        std::clearerr(m_file);
    }
    return got;
}

int ImageFile::kernelCopyDescriptor() const {
    return m_file != nullptr && m_readOnly ? ::fileno(m_file) : -1;
}

std::int64_t ImageFile::length() {
    if (m_file == nullptr || ::fseeko(m_file, 0, SEEK_END) != 0) {
        return -1;
    }
    return ::ftello(m_file);
}

bool ImageFile::flush() {
    if (m_file == nullptr) {
        return false;
    }
    errno = 0;
    return std::fflush(m_file) == 0 || failed();
}

namespace {

// Byte offset and length of a sector transfer; nothing when the buffer cannot hold it all.
bool sectorRegion(std::uint32_t firstSector, std::uint32_t count, std::uint32_t bias, std::size_t bufferBytes,
                  std::uint64_t& offset, std::size_t& bytes) {
    bytes = std::size_t{count} * ImageFileDisk::kSectorBytes;
    offset = (std::uint64_t{firstSector} + bias) * ImageFileDisk::kSectorBytes;
    return bytes <= bufferBytes;
}

}  // namespace

std::uint32_t ImageFileDisk::read(std::uint32_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) {
    std::uint64_t offset = 0;
    std::size_t bytes = 0;
    if (!sectorRegion(firstSector, count, m_bias, buffer.size(), offset, bytes)) {
        return EINVAL;
    }
    return m_file.readAt(offset, buffer.first(bytes)) ? 0 : EIO;
}

std::uint32_t ImageFileDisk::write(std::uint32_t firstSector, std::uint32_t count,
                                   std::span<const std::uint8_t> buffer) {
    std::uint64_t offset = 0;
    std::size_t bytes = 0;
    if (!sectorRegion(firstSector, count, m_bias, buffer.size(), offset, bytes)) {
        return EINVAL;
    }
    return m_file.writeAt(offset, buffer.first(bytes)) ? 0 : EIO;
}

std::uint32_t ImageFileDisk::flush() { return m_file.flush() ? 0 : EIO; }

}  // namespace dorvix
