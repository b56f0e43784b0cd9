#pragma once
// "pellorin drives" and "pellorin usb": the disk list and the USB job in a terminal.

#include "app/TerminalView.h"
#include "usb/UsbFormat.h"

#include <cstdio>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>

namespace pellorin {

// The USB job's view on the terminal: the ISO job's progress display, with Ctrl-C cancelling
// the USB job's write.
class CTerminalUsbView : public CTerminalIsoView {
public:
    using CTerminalIsoView::CTerminalIsoView;
    void BeginWriting() override { m_bWriting = true; }
    // True once the job began to write the disk.
    bool Writing() const { return m_bWriting; }

protected:
    bool ClaimCancel() override { return g_bFormatBusy.exchange(false); }

private:
    bool m_bWriting = false;
};

// The text with every control character (and the backslash) written as an escape: "\x1b", "\\".
std::string EscapeControls(std::string_view text);

// Lists every disk: path, model, size, bus, and whether it can be formatted or why not.
// Returns the exit code (0).
int RunDrivesCommand(const SystemViews& views, std::FILE* out);

// Checks the disk, asks string 27 (unless bYes) on `err` with the answer from `in`, and formats
// it with a terminal progress display; Ctrl-C cancels the write. Returns the exit code: 0 done,
// 2 cancelled (No, or Ctrl-C), 3 refused or failed.
int RunUsbCommand(const UsbFormatRequest& request, bool bYes, CUsbPlatform& platform, std::istream& in,
                  std::FILE* out, std::FILE* err);

}  // namespace pellorin
