#pragma once
// What the ISO job needs from whoever shows it: the terminal now, the "Creating ISO Image" work
// dialog later. The job runs on the caller's thread; the view's PumpOneMessage is where a cancel
// request reaches it.

#include <string_view>

namespace pellorin {

// True from the ISO job's start until its end; a confirmed cancel clears it, and the job stops
// at its next progress step.
extern bool g_bIsoBusy;

class CIsoJobView {
public:
    virtual ~CIsoJobView() = default;

    virtual void SetProgressRange(int nLower, int nUpper) = 0;
    virtual void SetProgressPos(int nPos) = 0;
    // The status line (string 17 until the first progress step, then string 20).
    virtual void SetStatusText(std::string_view text) = 0;
    // A warning message box with the application's name as caption.
    virtual void ShowWarning(std::string_view text) = 0;
    // Serves at most one pending message or event. A confirmed cancel clears g_bIsoBusy here.
    virtual void PumpOneMessage() = 0;
    // The job is about to commit (the ISO's rename, the start of the USB read-back): a cancel
    // confirmed until now is served as by PumpOneMessage, and from here on no cancel is taken
    // or asked for. The job then checks its busy flag once more; past the commit the result is
    // what happened.
    virtual void BeginCommit() { PumpOneMessage(); }
    // The job is about to write its disk or file for the first time: a cancel from here on
    // leaves it incomplete.
    virtual void BeginWriting() {}
    // A payload file that was not found: the image is built without it. The terminal names it;
    // a view that has no place for it may leave it to the trace.
    virtual void ShowMissingPayload(std::string_view path) { static_cast<void>(path); }
};

}  // namespace pellorin
