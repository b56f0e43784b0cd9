#include "app/DeployCommand.h"

#include "app/CommandLine.h"
#include "jobs/StringTable.h"
#include "jobs/WorkResult.h"
#include "platform/Console.h"

#include <cctype>
#include <iostream>

namespace pellorin {

CTerminalDeploymentView::CTerminalDeploymentView(std::FILE* err, bool bIsTerminal, std::istream& in,
                                                 OverwritePolicy policy, std::atomic<bool>& bBusy)
    : m_display(err, bIsTerminal), m_err(err), m_in(in), m_policy(policy), m_bBusy(bBusy) {}

void CTerminalDeploymentView::SetProgressRange(int nLower, int nUpper) { m_display.SetProgressRange(nLower, nUpper); }
void CTerminalDeploymentView::SetProgressPos(int nPos) { m_display.SetProgressPos(nPos); }
void CTerminalDeploymentView::SetStatusText(std::string_view text) { m_display.SetStatusText(text); }
void CTerminalDeploymentView::ShowWarning(std::string_view text) {
    m_display.ShowWarning(text);
}

int CTerminalDeploymentView::AskQuestion(std::string_view text, std::string_view destination) {
    if (m_policy == OverwritePolicy::Yes) return kAnswerYes;
    if (m_policy == OverwritePolicy::No) return kAnswerNo;
    m_display.Finish();
    for (;;) {
        std::fprintf(m_err, "%s%s", TerminalText(text).c_str(), std::string(cli::kOverwritePrompt).c_str());
        std::fflush(m_err);
        if (!waitForInput()) return kAnswerCancel;  // Ctrl-C at the question
        std::string answer;
        if (!std::getline(m_in, answer)) {
            // The end of input: the prompt's line is ended, and the file stays as it was.
            std::fprintf(m_err, "\n%s%s\n", std::string(destination).c_str(), std::string(cli::kKept).c_str());
            std::fflush(m_err);
            return kAnswerCancel;
        }
        std::string word;
        for (unsigned char c : answer) {
            if (!std::isspace(c)) word.push_back(static_cast<char>(std::tolower(c)));
        }
        if (word == "y" || word == "yes") return kAnswerYes;
        if (word == "n" || word == "no") return kAnswerNo;
        if (word == "c" || word == "cancel") return kAnswerCancel;
    }
}

bool CTerminalDeploymentView::waitForInput() {
    // Only the process's own standard input can be watched; a reading from it that is already
    // buffered needs no wait.
    if (&m_in != &std::cin || std::cin.rdbuf()->in_avail() > 0) return true;
    for (;;) {
        if (CInterruptGuard::TakeInterrupt()) {
            std::fprintf(m_err, "\n%s\n", std::string(cli::kCancelled).c_str());
            std::fflush(m_err);
            return false;
        }
        if (WaitForStandardInput(100)) return true;  // input, its end or an error: getline tells
    }
}

void CTerminalDeploymentView::PumpOneMessage() {
    // The ISO job's display would take an interrupt for the ISO job, so it draws with the
    // interrupt signals held back; one that arrives meanwhile is taken below.
    bool interrupted = false;
    {
        const CHeldInterrupts held;
        interrupted = CInterruptGuard::TakeInterrupt();
        m_display.PumpOneMessage();  // draws the progress
    }

    // Ctrl-C is the terminal's Cancel, confirmed: the job stops at this step and cleans up.
    if ((interrupted || CInterruptGuard::TakeInterrupt()) && m_bBusy && !m_bCommitting) {
        m_bBusy = false;
        m_display.Finish();
        std::fprintf(m_err, "%s\n", std::string(cli::kCancelled).c_str());
        std::fflush(m_err);
    }
}

void CTerminalDeploymentView::BeginCommit() {
    PumpOneMessage();
    m_bCommitting = true;
}

int RunDeployCommand(const std::string& strFolder, const std::filesystem::path& payloadDirectory,
                     OverwritePolicy policy, std::istream& in, std::FILE* out, std::FILE* err) {
    std::atomic<bool> bBusy{true};
    CTerminalDeploymentView view(err, IsTerminal(err), in, policy, bBusy);
    int result = kWorkFailed;
    {
        CInterruptGuard interrupts;
        result = CopyDeploymentFiles(strFolder, payloadDirectory, view, bBusy);
        // An interrupt after the last step is too late to cancel anything.
    }
    view.Finish();
    switch (result) {
    case kWorkDone:
        std::fprintf(out, "%s\n", TerminalText(LoadStringText(IDS_DEPLOYMENT_DONE)).c_str());
        return kExitDone;
    case kWorkCancelled: return kExitCancelled;
    default: return kExitFailed;
    }
}

}  // namespace pellorin
