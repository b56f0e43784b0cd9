#include "jobs/DeploymentJob.h"

#include "TraceText.h"
#include "fat16/Trace.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "platform/FileFind.h"
#include "platform/OutputFile.h"
#include "support/PathJoin.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>
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

class CDeployment {
public:
    CDeployment(const std::string& strTarget, const fs::path& payloadDirectory, CDeploymentView& view,
                std::atomic<bool>& bBusy, const DeploymentIo* io)
        : m_strTarget(strTarget), m_payloadDirectory(payloadDirectory), m_view(view), m_bBusy(bBusy) {
        m_read = io && io->read ? io->read : [](const std::string&, CFileHandle& file, std::span<BYTE> buffer) {
            DWORD got = 0;
            return file.Read(buffer, got) ? std::int64_t{got} : std::int64_t{-1};
        };
        m_write = io && io->write ? io->write : [](const std::string&, CFileHandle& file, std::span<const BYTE> data) {
            DWORD written = 0;
            return file.Write(data, written) ? std::int64_t{written} : std::int64_t{-1};
        };
    }

    ~CDeployment() { discardTemporary(); }

    int Run() {
        m_view.SetProgressRange(0, 100);
        // Every file goes into the folder opened here: a folder swapped for a link to another one
        // during the run cannot redirect the files that follow.
        m_folder = COutputFolder::Open(m_strTarget);
        if (!m_folder) {
            return fail(IDS_DEPLOYMENT_FAILED, text::kCouldNotOpen, m_strTarget, m_strTarget, errorText(errno));
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
            const std::optional<FileIdentity> existing = m_folder->Entry(destinationName);
            const bool exists = existing.has_value();
            const std::optional<FileIdentity> sourceInfo = exists ? IdentityOf(source) : std::nullopt;
            if (exists && sourceInfo && sourceInfo->device == existing->device && sourceInfo->inode == existing->inode)
                continue;

            if (exists) {
                const int answer = m_view.AskQuestion(LoadStringText(step.question), destination);
                if (answer == kAnswerCancel || !m_bBusy) return cancel();
                if (answer != kAnswerYes) {
                    if (i + 1 == kSteps.size()) break;
                    continue;  // No: this file stays as it is
                }
                if (existing->directory)
                    return fail(IDS_DEPLOYMENT_FAILED, text::kCouldNotOpen, destination, destination, errorText(EISDIR));
            }

            const int result = copyFile(source, destinationName, destination);
            if (result != kWorkDone) return result;
        }
        // The renames are the commit: a cancel confirmed before them removes this run's files,
        // one after them is too late, and the result is the files written.
        m_view.BeginCommit();
        if (!m_bBusy) return cancel();
        if (commitStaged()) return kWorkDone;
        return fail(IDS_DEPLOYMENT_FAILED, text::kCouldNotOpen, m_strTarget, m_strRenameFailed, errorText(m_nRenameError));
    }

private:
    // The message names the file concerned and the system's reason on a second paragraph
    // ("/mnt/FLASH.IMG: No space left on device"); the trace gets them too.
    int fail(StringId message, const char* trace, const std::string& path, const std::string& subject,
             const std::string& reason) {
        discardTemporary();
        commitStaged();  // the files of the steps before the failure stay, as they always did
        DebugPrint(1, trace, path.c_str());
        if (!reason.empty()) {
            const std::string named = subject.empty() ? reason : subject + ": " + reason;
            DebugPrint(1, "***ERROR*** %s\n", named.c_str());
        }
        m_view.ShowWarning(WithDetail(LoadStringText(message), subject, reason));
        return kWorkFailed;
    }
    int fail(StringId message, const char* trace, const std::string& path = {}) {
        return fail(message, trace, path, {}, {});
    }

    // Cancel clean-up: everything this run created goes, and nothing else. A file the user
    // agreed to replace was never touched: its new copy was still under a temporary name.
    int cancel() {
        discardTemporary();
        m_staged.clear();  // their temporary files go with them
        for (const std::string& name : m_created) {
            if (!m_folder->Remove(name) && errno != ENOENT)
                ReportError(JoinPath(m_strTarget, name).c_str(), static_cast<DWORD>(errno));
        }
        m_created.clear();
        return kWorkCancelled;
    }

    void discardTemporary() { m_temporary.reset(); }

    // One write of the chunk; a short write is a failure, as a failed one is. errno then says
    // why: a second write of the rest shows what stopped the first (a full file system, ENOSPC),
    // else the short write counts as an I/O error.
    bool writeAll(const std::string& name, CFileHandle& file, const BYTE* data, std::size_t size) {
        const std::int64_t written = m_write(name, file, std::span<const BYTE>(data, size));
        if (written < 0) return false;
        if (static_cast<std::size_t>(written) == size) return true;
        const std::size_t done = static_cast<std::size_t>(written);
        const std::int64_t rest = m_write(name, file, std::span<const BYTE>(data + done, size - done));
        if (rest >= 0) errno = rest == 0 ? ENOSPC : EIO;
        return false;
    }

    // Reads the whole of `size` bytes unless the file ends first; -1 on an error.
    std::int64_t readFull(const std::string& name, CFileHandle& file, BYTE* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const std::int64_t got = m_read(name, file, std::span<BYTE>(data + done, size - done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return -1;
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<std::int64_t>(done);
    }

    int copyFile(const std::string& source, const std::string& name, const std::string& destination) {
        // Run as root, a payload file that is a link placed by another user could name a file
        // that user may not read: such a link is refused.
        if (IsForeignLinkForRoot(source)) {
            DebugPrint(1, text::kLinkOfOtherUser, source.c_str());
            return fail(IDS_IMAGE_SOURCE_FAILED, text::kCouldNotOpen, source, source, "a link owned by another user");
        }
        // Opened without blocking and only as a regular file: a FIFO or a device never holds
        // the job up.
        const std::unique_ptr<CFileHandle> input = CFileHandle::OpenRegularFile(source);
        std::uint64_t size = 0;
        if (!input || !input->Size(size)) {
            const int code = errno;
            return fail(IDS_IMAGE_SOURCE_FAILED, text::kCouldNotOpen, source, source,
                        code == EINVAL ? std::string("not a regular file") : errorText(code));
        }

        // The file is written as a temporary file in the folder and takes its name only once
        // it reads back equal to its source. It is created as any new file of this user is
        // (0666 less the umask).
        m_temporary = COutputFile::Create(m_folder, name);
        if (!m_temporary) {
            const int code = errno;
            return fail(IDS_DEPLOYMENT_FAILED, text::kCouldNotOpen, destination, destination, errorText(code));
        }
        CFileHandle& output = m_temporary->Handle();

        std::vector<BYTE> buffer(kDeploymentChunk);
        std::uint64_t position = 0;
        int lastPercent = 0;
        while (m_bBusy) {
            const std::int64_t got = readFull(name, *input, buffer.data(), buffer.size());
            if (got < 0) {
                const int code = errno;
                m_bBusy = false;
                return fail(IDS_DEPLOYMENT_FAILED, text::kCopyMismatch, {}, source, errorText(code));
            }
            if (got == 0 || !m_bBusy) break;  // a chunk read after a cancel is not written
            if (!writeAll(name, output, buffer.data(), static_cast<std::size_t>(got))) {
                const int code = errno;
                m_bBusy = false;
                return fail(IDS_DEPLOYMENT_FAILED, text::kCopyMismatch, {}, destination, errorText(code));
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

        if (!output.Flush()) {
            const int code = errno;
            return fail(IDS_DEPLOYMENT_FAILED, text::kCopyMismatch, {}, destination, errorText(code));
        }
        if (!readsBackEqual(name, *input, output, position)) {
            return fail(IDS_DEPLOYMENT_FAILED, text::kCopyDiffers, destination, destination,
                        "does not read back as written");
        }
        // The file takes its name when the run commits, so that a cancel later in the run still
        // finds the file it would replace.
        m_staged.emplace_back(std::move(m_temporary), name);
        return kWorkDone;
    }

    // Gives every staged file its name, in the order of the steps; false when a rename failed
    // (the files before it have their names, the rest are removed).
    bool commitStaged() {
        bool ok = true;
        for (const auto& [temporary, name] : m_staged) {
            if (ok && temporary->Commit()) {
                m_created.push_back(name);
                continue;
            }
            if (ok) {
                m_nRenameError = errno;
                m_strRenameFailed = JoinPath(m_strTarget, name);
                ReportError(m_strRenameFailed.c_str(), static_cast<DWORD>(m_nRenameError));
            }
            ok = false;
        }
        m_staged.clear();  // the temporary files of those that were not renamed go with them
        return ok;
    }

    // Reads the written file back (from the device: its cached pages are dropped first) and
    // compares it with the source from its start.
    bool readsBackEqual(const std::string& name, CFileHandle& source, CFileHandle& written, std::uint64_t length) {
        written.DropCache();
        if (!source.SetPointer(0) || !written.SetPointer(0)) return false;
        std::vector<BYTE> expected(kDeploymentChunk);
        std::vector<BYTE> actual(kDeploymentChunk);
        std::uint64_t compared = 0;
        for (;;) {
            const std::int64_t a = readFull(name, source, expected.data(), expected.size());
            const std::int64_t b = readFull(name, written, actual.data(), actual.size());
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
    decltype(DeploymentIo::read) m_read;
    decltype(DeploymentIo::write) m_write;
    std::shared_ptr<COutputFolder> m_folder;  // the target folder, open for the whole run
    std::vector<std::string> m_created;       // names this run has written into it, in order
    // Copied files that read back as written, with their final names, in the order of the steps.
    std::vector<std::pair<std::unique_ptr<COutputFile>, std::string>> m_staged;
    std::unique_ptr<COutputFile> m_temporary;  // the file being copied
    std::string m_strRenameFailed;             // the file whose rename failed, and why
    int m_nRenameError = 0;
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
