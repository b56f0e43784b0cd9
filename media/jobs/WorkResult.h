#pragma once
// How a work dialog (and the job it runs) ends.

namespace pellorin {

enum WorkResult : int {
    kWorkDone = 1,       // IDOK
    kWorkCancelled = 2,  // IDCANCEL: cancelled or abandoned
    kWorkFailed = 3,     // failed, and already reported to the user
};

}  // namespace pellorin
