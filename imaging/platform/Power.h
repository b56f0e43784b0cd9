#pragma once
// Power services of the device: the suspend-control calls of the maker's library and the
// reset request.
//
// The reset restarts the machine dorvix runs on, so it is planned before it is announced and
// never reached by a test:
// - DORVIX_RESET_COMMAND, when present in the environment (even empty), decides alone: its
//   command is run with /bin/sh, and an empty one means no reset (tests set one or the other);
// - otherwise the machine is restarted only by a process running as root on the device's own
//   disks (no DORVIX_DEVICES table of a test): through systemd's logind where it runs, else
//   with sync() and reboot(RB_AUTOBOOT).
// Without a reset the operator is told that the device must be restarted by hand.
//
// Suspend is blocked with a logind inhibitor lock ("sleep:idle", mode "block") while an
// engine runs; without logind nothing happens.

#include <string>

namespace dorvix {

// Keep the device from suspending while an engine runs, and allow it again; always paired.
// The results are not used.
int QZPreventSuspend();
int QZAllowSuspend();

enum class ResetWay {
    None,     // the operator restarts the device by hand
    Command,  // DORVIX_RESET_COMMAND
    Logind,   // logind's Reboot, falling back to the kernel's reboot
};

struct ResetPlan {
    ResetWay way = ResetWay::None;
    std::string command;
};

// What the reset decision looks at.
struct ResetSituation {
    const char* resetCommand = nullptr;  // DORVIX_RESET_COMMAND; nullptr when absent
    const char* deviceTable = nullptr;   // DORVIX_DEVICES; nullptr when absent
    bool root = false;                   // effective user id 0
};

// The decision alone, without side effects.
ResetPlan planReset(const ResetSituation& situation);

// The plan for this process (secure_getenv, geteuid).
ResetPlan planSystemReset();

// Only the program itself may restart the machine: its main() calls this. Test programs that
// run the main flow in their own process never do, so their reset requests end at the plan.
void enableMachineReset();

// The parameterless call made just before the reset: flushes file-system buffers.
void preResetCall();

// Carries out `plan` (the reset request, SetSystemPowerState with the reset flag); false when
// no reset was requested or the request failed, so the device must be restarted by hand.
bool requestSystemReset(const ResetPlan& plan);

}  // namespace dorvix
