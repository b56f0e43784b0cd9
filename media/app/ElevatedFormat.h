#pragma once
// The format job run by another process with administrator rights: "pkexec pellorin usb DEVICE
// --yes ..." on behalf of a desktop user who may not write the disk. The child's progress lines
// ("Formatting: 40%.") drive the dialog's bar, its messages are shown as the job's own, and a
// confirmed cancel closes the child's output, so that its next progress line ends it as Ctrl-C
// would (exit code 2).

#include "app/WorkDialogs.h"

#include <string>

namespace pellorin {

// True when this process cannot open `devicePath` for writing for lack of rights.
bool NeedsElevation(const std::string& devicePath);

// The job through `launcher` (pkexec) running `program` with the given views.
UsbFormatWorker MakeElevatedWorker(std::string launcher, std::string program, SystemViews views);

}  // namespace pellorin
