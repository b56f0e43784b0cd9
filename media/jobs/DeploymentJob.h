#pragma once
// The "&Deployment" job: copies the restoration tool (KMV.EXE), the flash image (the first
// FLASH.*) and the restore documentation (RECOVERY.PDF) from the payload directory into a
// folder, asking before an existing file is replaced. Each file is written as a temporary file
// in the folder (platform/OutputFile.h), flushed to the device, read back and compared with its source, and only
// then given its name; a cancel removes every file this run created. The folder is opened once
// and every file is created, renamed and removed relative to it, so that a folder swapped during
// the run cannot send files elsewhere; new files get 0666 less the umask. Run as root, a payload
// file that is a link owned by another user is refused.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "platform/DriveHandle.h"

namespace pellorin {

// Answers to the job's overwrite questions (the message-box answers).
enum QuestionAnswer : int {
    kAnswerCancel = 2,
    kAnswerYes = 6,
    kAnswerNo = 7,
};

// Copy chunk: 32 KiB, one progress step each.
inline constexpr std::size_t kDeploymentChunk = 0x8000;

// What the deployment job needs from whoever shows it: the "Extracting Files" dialog or the
// terminal.
class CDeploymentView {
public:
    virtual ~CDeploymentView() = default;

    virtual void SetProgressRange(int nLower, int nUpper) = 0;
    virtual void SetProgressPos(int nPos) = 0;
    virtual void SetStatusText(std::string_view text) = 0;
    // A warning message box with the application's name as caption.
    virtual void ShowWarning(std::string_view text) = 0;
    // A question with Yes, No and Cancel about the existing file `destination`; returns a
    // QuestionAnswer.
    virtual int AskQuestion(std::string_view text, std::string_view destination) = 0;
    // Serves at most one pending message or event; a confirmed cancel clears the busy flag
    // here or from another thread.
    virtual void PumpOneMessage() = 0;
    // The job is about to give the copied files their names: a cancel confirmed until now is
    // served as by PumpOneMessage, and from here on no cancel is taken or asked for.
    virtual void BeginCommit() { PumpOneMessage(); }
};

// The reads and writes of the copy, replaceable so that tests can make them fail. Each is told
// the name of the file being copied and works at the file's position; it returns the bytes
// moved (a read 0 at the file's end), or -1 with errno set.
struct DeploymentIo {
    std::function<std::int64_t(const std::string& name, CFileHandle& file, std::span<BYTE> buffer)> read;
    std::function<std::int64_t(const std::string& name, CFileHandle& file, std::span<const BYTE> data)> write;
};

// Runs the job into the folder `strTarget` with the files of `payloadDirectory`. `bBusy` is the
// caller's busy flag, true from before the start: polled after every chunk; clearing it cancels. Returns
// kWorkDone, kWorkCancelled (this run's files deleted) or kWorkFailed (string 6 or 14 shown).
int CopyDeploymentFiles(const std::string& strTarget, const std::filesystem::path& payloadDirectory,
                        CDeploymentView& view, std::atomic<bool>& bBusy, const DeploymentIo* io = nullptr);

}  // namespace pellorin
