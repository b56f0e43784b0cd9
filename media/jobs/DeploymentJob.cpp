#include "jobs/DeploymentJob.h"

#include "fat16/Trace.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "support/PathJoin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

namespace pellorin {

namespace {

namespace fs = std::filesystem;

std::string errorText(int code) {
    char text[256];
    GetErrorText(static_cast<DWORD>(code), text, sizeof text);
    return text;
}

struct Step {
    StringId status;
    std::string_view source;  // a name, or "FLASH.*" for the first flash image
    StringId question;
};

constexpr std::array<Step, 3> kSteps{{
    {IDS_EXTRACTING_TOOL, "KMV.EXE", IDS_CONFIRM_OVERWRITE_TOOL},
    {IDS_EXTRACTING_IMAGE, "FLASH.*", IDS_CONFIRM_OVERWRITE_IMAGE},
    {IDS_EXTRACTING_DOCS, "RECOVERY.PDF", IDS_CONFIRM_OVERWRITE_DOCS},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::toupper(x) == std::toupper(y);
           });
}

// The name of a payload file as the directory spells it: the exact name when it exists, else
// the first entry by name that matches regardless of case. "FLASH.*" follows the rule of the
// USB and ISO jobs: FLASH.IMG first, else the first regular file of any extension, so that a
// FLASH.BAK or a folder FLASH.D beside FLASH.IMG is never taken for the image. The pattern
// itself when nothing matches, so that the open fails and names it.
std::string findSourceName(const fs::path& directory, std::string_view pattern) {
    const bool anyExtension = pattern.ends_with(".*");
    std::error_code ec;
    if (anyExtension) {
        const std::string image = std::string(pattern.substr(0, pattern.size() - 1)) + "IMG";
        const std::string found = findSourceName(directory, image);
        if (fs::exists(fs::symlink_status(directory / found, ec))) return found;
    }
    if (!anyExtension && fs::exists(directory / pattern, ec)) return std::string(pattern);
    const std::string_view prefix = anyExtension ? pattern.substr(0, pattern.size() - 1) : pattern;
    std::optional<std::string> best;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const bool matches = anyExtension ? name.size() >= prefix.size() &&
                                                equalsIgnoringCase(std::string_view(name).substr(0, prefix.size()), prefix)
                                          : equalsIgnoringCase(name, prefix);
        const bool usable = !anyExtension || fs::is_regular_file(it->path(), ec);
        if (matches && usable && (!best || name < *best)) best = name;
    }
    return best ? *best : std::string(pattern);
}

// ".NAME.xxxxxx" with six random letters: hidden, and beside the destination so a rename is
// atomic.
std::string temporaryName(const std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    return "." + name + "." + suffix;
}

// A file descriptor that closes itself.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { reset(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

class CDeployment {
public:
    CDeployment(const std::string& strTarget, const fs::path& payloadDirectory, CDeploymentView& view,
                std::atomic<bool>& bBusy, const DeploymentIo* io)
        : m_strTarget(strTarget), m_payloadDirectory(payloadDirectory), m_view(view), m_bBusy(bBusy) {
        m_read = io && io->read ? io->read : [](int fd, void* p, std::size_t n) { return ::read(fd, p, n); };
        m_write = io && io->write ? io->write : [](int fd, const void* p, std::size_t n) { return ::write(fd, p, n); };
    }

    ~CDeployment() { discardTemporary(); }

    int Run() {
        m_view.SetProgressRange(0, 100);
        // Every file goes into the folder opened here: a folder swapped for a link to another one
        // during the run cannot redirect the files that follow.
        m_folder.reset(::open(m_strTarget.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!m_folder.valid()) {
            return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Could not open [%s]!\n", m_strTarget, m_strTarget,
                        errorText(errno));
        }
        for (std::size_t i = 0; i < kSteps.size(); ++i) {
            // A cancel confirmed between two files (or while a question was open) ends the run
            // here: no further question is asked.
            if (!m_bBusy) return cancel();
            const Step& step = kSteps[i];
            m_view.SetStatusText(LoadStringText(step.status));
            m_view.SetProgressPos(0);

            const std::string name = findSourceName(m_payloadDirectory, step.source);
            const std::string source = (m_payloadDirectory / name).string();
            // The tool and the documentation take their fixed names; the flash image keeps its own.
            const bool anyExtension = step.source.ends_with(".*");
            const std::string destinationName = anyExtension ? name : std::string(step.source);
            const std::string destination = JoinPath(m_strTarget, destinationName);

            // A folder that is the payload directory already holds the file: copying it onto
            // itself would do nothing, and a cancel would then delete the payload's own file.
            struct stat existing {};
            const bool exists = ::fstatat(m_folder.get(), destinationName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
            struct stat sourceInfo {};
            if (exists && ::stat(source.c_str(), &sourceInfo) == 0 && sourceInfo.st_dev == existing.st_dev &&
                sourceInfo.st_ino == existing.st_ino)
                continue;

            if (exists) {
                const int answer = m_view.AskQuestion(LoadStringText(step.question), destination);
                if (answer == kAnswerCancel || !m_bBusy) return cancel();
                if (answer != kAnswerYes) {
                    if (i + 1 == kSteps.size()) break;
                    continue;  // No: this file stays as it is
                }
                if (S_ISDIR(existing.st_mode)) {
                    return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Could not open [%s]!\n", destination, destination,
                                errorText(EISDIR));
                }
            }

            const int result = copyFile(source, destinationName, destination);
            if (result != kWorkDone) return result;
        }
        // The renames are the commit: a cancel confirmed before them removes this run's files,
        // one after them is too late, and the result is the files written.
        m_view.BeginCommit();
        if (!m_bBusy) return cancel();
        if (commitStaged()) return kWorkDone;
        return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Could not open [%s]!\n", m_strTarget, m_strRenameFailed,
                    errorText(m_nRenameError));
    }

private:
    // The message names the file concerned and the reason on a second paragraph.
    int fail(StringId message, const char* trace, const std::string& path, const std::string& subject,
             const std::string& reason) {
        discardTemporary();
        commitStaged();  // the files of the steps before the failure stay, as they always did
        m_view.ShowWarning(WithDetail(LoadStringText(message), subject, reason));
        DebugPrint(1, trace, path.c_str());
        return kWorkFailed;
    }

    // Cancel clean-up: everything this run created goes, and nothing else. A file the user
    // agreed to replace was never touched: its new copy was still under a temporary name.
    int cancel() {
        discardTemporary();
        for (const auto& [temporary, name] : m_staged) ::unlinkat(m_folder.get(), temporary.c_str(), 0);
        m_staged.clear();
        for (const std::string& name : m_created) {
            if (::unlinkat(m_folder.get(), name.c_str(), 0) != 0 && errno != ENOENT)
                ReportError(JoinPath(m_strTarget, name).c_str(), static_cast<DWORD>(errno));
        }
        m_created.clear();
        return kWorkCancelled;
    }

    void discardTemporary() {
        m_temporaryFd.reset();
        if (!m_strTemporary.empty()) {
            ::unlinkat(m_folder.get(), m_strTemporary.c_str(), 0);
            m_strTemporary.clear();
        }
    }

    // One write of the whole chunk; a failed or short one says why in `reason`.
    bool writeAll(int fd, const BYTE* data, std::size_t size, std::string& reason) {
        errno = 0;
        const ssize_t written = m_write(fd, data, size);
        if (written >= 0 && static_cast<std::size_t>(written) == size) return true;
        if (written < 0) {
            reason = errorText(errno);
        } else {
            char text[128];
            std::snprintf(text, sizeof text, "only %zd of %zu bytes written", written, size);
            reason = text;
        }
        return false;
    }

    // Reads the whole of `size` bytes unless the file ends first; -1 on an error.
    ssize_t readFull(int fd, BYTE* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = m_read(fd, data + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return -1;
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<ssize_t>(done);
    }

    int copyFile(const std::string& source, const std::string& name, const std::string& destination) {
        // Run as root, a payload file that is a link placed by another user could name a file
        // that user may not read: such a link is refused.
        struct stat link {};
        if (::geteuid() == 0 && ::lstat(source.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && link.st_uid != 0) {
            DebugPrint(1, "***ERROR*** [%s] is a link owned by another user!\n", source.c_str());
            return fail(IDS_IMAGE_SOURCE_FAILED, "***ERROR*** Could not open [%s]!\n", source, source,
                        "a link owned by another user");
        }
        CFd input(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (!input.valid() || ::fstat(input.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            const bool opened = input.valid() && info.st_mode != 0;
            const std::string reason = opened ? std::string("not a regular file") : errorText(errno);
            return fail(IDS_IMAGE_SOURCE_FAILED, "***ERROR*** Could not open [%s]!\n", source, source, reason);
        }
        ::fcntl(input.get(), F_SETFL, 0);  // blocking reads from here on
        const std::uint64_t size = static_cast<std::uint64_t>(info.st_size);

        // The file is written under a temporary name in the folder and takes its name only once
        // it reads back equal to its source. It is created as any new file of this user is
        // (0666 less the umask).
        int fd = -1;
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            m_strTemporary = temporaryName(name);
            fd = ::openat(m_folder.get(), m_strTemporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            const int code = errno;
            m_strTemporary.clear();
            return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Could not open [%s]!\n", destination, destination,
                        errorText(code));
        }
        m_temporaryFd.reset(fd);

        std::vector<BYTE> buffer(kDeploymentChunk);
        std::uint64_t position = 0;
        int lastPercent = 0;
        while (m_bBusy) {
            const ssize_t got = readFull(input.get(), buffer.data(), buffer.size());
            if (got < 0) {
                const int code = errno;
                ReportError(source.c_str(), static_cast<DWORD>(code));
                m_bBusy = false;
                return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Read/Write mismatch!\n", {}, source, errorText(code));
            }
            if (got == 0 || !m_bBusy) break;  // a chunk read after a cancel is not written
            std::string reason;
            if (!writeAll(fd, buffer.data(), static_cast<std::size_t>(got), reason)) {
                m_bBusy = false;
                return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Read/Write mismatch!\n", {}, destination, reason);
            }
            position += static_cast<std::uint64_t>(got);
            const int percent = size == 0 ? 100 : static_cast<int>(std::min<std::uint64_t>(position * 100 / size, 100));
            if (percent != lastPercent) {
                m_view.SetProgressPos(percent);
                lastPercent = percent;
            }
            m_view.PumpOneMessage();
        }
        if (!m_bBusy) return cancel();

        if (::fsync(fd) != 0) {
            const int code = errno;
            ReportError(destination.c_str(), static_cast<DWORD>(code));
            return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** Read/Write mismatch!\n", {}, destination, errorText(code));
        }
        if (!readsBackEqual(input.get(), fd, position)) {
            return fail(IDS_DEPLOYMENT_FAILED, "***ERROR*** [%s] does not read back as written!\n", destination,
                        destination, "does not read back as written");
        }
        // The file takes its name when the run commits, so that a cancel later in the run still
        // finds the file it would replace.
        m_staged.emplace_back(m_strTemporary, name);
        m_strTemporary.clear();
        m_temporaryFd.reset();
        return kWorkDone;
    }

    // Gives every staged file its name, in the order of the steps; false when a rename failed
    // (the files before it have their names, the rest are removed).
    bool commitStaged() {
        bool ok = true;
        for (const auto& [temporary, name] : m_staged) {
            if (ok && ::renameat(m_folder.get(), temporary.c_str(), m_folder.get(), name.c_str()) == 0) {
                m_created.push_back(name);
                continue;
            }
            if (ok) {
                m_nRenameError = errno;
                m_strRenameFailed = JoinPath(m_strTarget, name);
                ReportError(m_strRenameFailed.c_str(), static_cast<DWORD>(m_nRenameError));
            }
            ok = false;
            ::unlinkat(m_folder.get(), temporary.c_str(), 0);
        }
        m_staged.clear();
        ::fsync(m_folder.get());
        return ok;
    }

    // Reads the written file back (from the device: its cached pages are dropped first) and
    // compares it with the source from its start.
    bool readsBackEqual(int source, int written, std::uint64_t length) {
        ::posix_fadvise(written, 0, 0, POSIX_FADV_DONTNEED);
        if (::lseek(source, 0, SEEK_SET) != 0 || ::lseek(written, 0, SEEK_SET) != 0) return false;
        std::vector<BYTE> expected(kDeploymentChunk);
        std::vector<BYTE> actual(kDeploymentChunk);
        std::uint64_t compared = 0;
        for (;;) {
            const ssize_t a = readFull(source, expected.data(), expected.size());
            const ssize_t b = readFull(written, actual.data(), actual.size());
            if (a < 0 || b < 0 || a != b) return false;
            if (a == 0) break;
            if (std::memcmp(expected.data(), actual.data(), static_cast<std::size_t>(a)) != 0) return false;
            compared += static_cast<std::uint64_t>(a);
        }
        return compared == length;
    }

    const std::string& m_strTarget;
    const fs::path& m_payloadDirectory;
    CDeploymentView& m_view;
    std::atomic<bool>& m_bBusy;
    std::function<ssize_t(int, void*, std::size_t)> m_read;
    std::function<ssize_t(int, const void*, std::size_t)> m_write;
    CFd m_folder;                        // the target folder, open for the whole run
    std::vector<std::string> m_created;  // names this run has written into it, in order
    std::vector<std::pair<std::string, std::string>> m_staged;  // copied files: temporary name, final name
    std::string m_strTemporary;          // the temporary file's name in the folder
    std::string m_strRenameFailed;       // the file whose rename failed, and why
    int m_nRenameError = 0;
    CFd m_temporaryFd;
};

}  // namespace

int CopyDeploymentFiles(const std::string& strTarget, const fs::path& payloadDirectory, CDeploymentView& view,
                        std::atomic<bool>& bBusy, const DeploymentIo* io) {
    try {
        CDeployment job(strTarget, payloadDirectory, view, bBusy, io);
        return job.Run();
    } catch (const std::exception& e) {
        view.ShowWarning(WithDetail(LoadStringText(IDS_DEPLOYMENT_FAILED), strTarget, e.what()));
        DebugPrint(1, "%s\n", e.what());
    } catch (...) {
        view.ShowWarning(LoadStringText(IDS_DEPLOYMENT_FAILED));
    }
    return kWorkFailed;
}

}  // namespace pellorin
