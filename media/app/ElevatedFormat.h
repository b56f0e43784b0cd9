#pragma once
// The format job run by another process with administrator rights: "pkexec pellorin usb DEVICE
// --yes ..." on behalf of a desktop user who may not write the disk. The child's progress lines
// ("Formatting: 40%.") drive the dialog's bar, its messages are shown as the job's own, and a
// confirmed cancel closes the child's output, so that its next progress line ends it as Ctrl-C
// would (exit code 2).

#include "app/WorkDialogs.h"

#include <string>
#include <string_view>

namespace pellorin {

// True when this process cannot open `devicePath` for writing for lack of rights.
bool NeedsElevation(const std::string& devicePath);

// The job through `launcher` (pkexec) running `program` (the installed pellorin, the path the
// polkit action names) with the device, the payload folder and --yes only.
UsbFormatWorker MakeElevatedWorker(std::string launcher, std::string program);

// The percentage of one line the elevated child printed ("Formatting: 40%."), or -1 when the
// line holds none (no '%', no digits before it, or a number that is no percentage). Never throws.
int PercentOfLine(std::string_view line);

}  // namespace pellorin
