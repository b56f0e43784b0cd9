#pragma once
// "pellorin deploy": the deployment job in a terminal.

#include "app/TerminalView.h"
#include "jobs/DeploymentJob.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iosfwd>
#include <string>

namespace pellorin {

// How the overwrite questions are answered.
enum class OverwritePolicy { Ask, Yes, No };

// The deployment job's view on the terminal: the ISO job's progress display, the questions on
// `err` answered from `in` ("y", "n" or "c"; the end of input and Ctrl-C cancel), and Ctrl-C
// during a copy as the confirmed Cancel.
class CTerminalDeploymentView : public CDeploymentView {
public:
    CTerminalDeploymentView(std::FILE* err, bool bIsTerminal, std::istream& in, OverwritePolicy policy,
                            std::atomic<bool>& bBusy);

    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void SetStatusText(std::string_view text) override;
    void ShowWarning(std::string_view text) override;
    int AskQuestion(std::string_view text, std::string_view destination) override;
    void PumpOneMessage() override;
    // Serves a pending interrupt; later ones are too late to cancel anything.
    void BeginCommit() override;

    void Finish() { m_display.Finish(); }

private:
    // Waits for an answer on standard input; false when Ctrl-C came first.
    bool waitForInput();

    CTerminalIsoView m_display;
    std::FILE* m_err;
    std::istream& m_in;
    OverwritePolicy m_policy;
    std::atomic<bool>& m_bBusy;
    bool m_bCommitting = false;
};

// Copies the deployment files into `strFolder`. Returns the exit code: 0 done, 2 cancelled,
// 3 failed.
int RunDeployCommand(const std::string& strFolder, const std::filesystem::path& payloadDirectory,
                     OverwritePolicy policy, std::istream& in, std::FILE* out, std::FILE* err);

}  // namespace pellorin
