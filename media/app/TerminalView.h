#pragma once
// The terminal face of pellorin's jobs: a progress bar and status line on standard error, message
// texts on the standard streams, and Ctrl-C as the Cancel button.

#include "fat16/Trace.h"
#include "iso/IsoJobView.h"
#include "platform/Console.h"

#include <cstdio>
#include <iosfwd>
#include <string>
#include <string_view>

namespace pellorin {

// One line of the terminal progress display: "[#########           ]  45% Formatting: 45%.".
std::string RenderProgressLine(int nPercent, std::string_view status, std::size_t barWidth);

// A message text for the terminal: the table's "\r\n" line breaks become "\n".
std::string TerminalText(std::string_view text);

// Reads one answer line: true for "y" or "yes" in any case, false for anything else or none.
bool ReadYesAnswer(std::istream& in);

// The ISO job's view on the terminal. Progress goes to `err` as a redrawn bar when it is a
// terminal, else as a status line for each new status and each tenth of the progress; either is
// drawn when the job pumps, as a window repaints. A status before the first progress step is a
// line of its own. An interrupt served by
// PumpOneMessage is the confirmed Cancel: it clears the job's busy flag.
class CTerminalIsoView : public CIsoJobView {
public:
    CTerminalIsoView(std::FILE* err, bool bIsTerminal);
    ~CTerminalIsoView() override;
    CTerminalIsoView(const CTerminalIsoView&) = delete;
    CTerminalIsoView& operator=(const CTerminalIsoView&) = delete;

    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    void SetStatusText(std::string_view text) override;
    void ShowWarning(std::string_view text) override;
    void PumpOneMessage() override;
    // Serves a pending interrupt; later ones are too late to cancel anything.
    void BeginCommit() override;
    void ShowMissingPayload(std::string_view path) override;

    // Ends a bar line that is still open, and a trace line left open, so that following output
    // starts on a new line.
    void Finish();

protected:
    // Takes the job's busy flag down for a confirmed cancel; false when the job was not busy.
    virtual bool ClaimCancel() {
        if (!g_bIsoBusy) return false;
        g_bIsoBusy = false;
        return true;
    }

private:
    void draw();
    // Before a trace line: the bar's line ends, so that the trace does not run on from it.
    static void endBarLine(void* self);

    std::FILE* m_err;
    bool m_bIsTerminal;
    int m_nLower = 0;
    int m_nUpper = 100;
    int m_nPos = 0;
    bool m_bPosSeen = false;
    bool m_bDirty = false;  // progress changed since it was last drawn
    int m_nLastDecile = -1;
    int m_nLastLinePos = -1;  // the position when the last status line was printed
    std::string m_strStatus;
    std::string m_strLastLine;  // the last status printed as a line of its own
    std::string m_strBarLine;   // the bar as last drawn
    bool m_bLineOpen = false;
    TraceHook m_previousHook;
    bool m_bCommitting = false;
};

}  // namespace pellorin
