#include "platform/Power.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/reboot.h>
#include <unistd.h>

#ifdef DORVIX_HAVE_SYSTEMD
#include <systemd/sd-bus.h>
#endif

namespace dorvix {

namespace {

#ifdef DORVIX_HAVE_SYSTEMD
constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";

// A connection to the system bus, closed with the scope.
struct SystemBus {
    sd_bus* bus = nullptr;
    SystemBus() {
        if (sd_bus_open_system(&bus) < 0) {
            bus = nullptr;
        }
    }
    ~SystemBus() { sd_bus_flush_close_unref(bus); }
    SystemBus(const SystemBus&) = delete;
    SystemBus& operator=(const SystemBus&) = delete;
};

bool logindReboot() {
    SystemBus system;
    if (system.bus == nullptr) {
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // Not interactive: there is nobody to ask for a password.
    const int r = sd_bus_call_method(system.bus, kLogindService, kLogindPath, kLogindManager, "Reboot", &error,
                                     &reply, "b", 0);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return r >= 0;
}

// The inhibitor lock held while an engine runs: logind keeps it while this descriptor is open.
int inhibitorLock() {
    SystemBus system;
    if (system.bus == nullptr) {
        return -1;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int fd = -1;
    if (sd_bus_call_method(system.bus, kLogindService, kLogindPath, kLogindManager, "Inhibit", &error, &reply,
                           "ssss", "sleep:idle", "dorvix", "A disk is being imaged", "block") >= 0) {
        int received = -1;
        // The descriptor belongs to the reply: keep a copy of our own.
        if (sd_bus_message_read(reply, "h", &received) >= 0 && received >= 0) {
            fd = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
        }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return fd;
}
#else
bool logindReboot() { return false; }
int inhibitorLock() { return -1; }
#endif

// The maker's library keeps its state for the process; so does its stand-in.
int g_inhibitor = -1;
bool g_machineResetEnabled = false;

}  // namespace

int QZPreventSuspend() {
    if (g_inhibitor < 0) {
        g_inhibitor = inhibitorLock();
    }
    return 1;
}

int QZAllowSuspend() {
    if (g_inhibitor >= 0) {
        ::close(g_inhibitor);
        g_inhibitor = -1;
    }
    return 1;
}

ResetPlan planReset(const ResetSituation& situation) {
    if (situation.resetCommand != nullptr) {
        if (*situation.resetCommand == '\0') {
            return {};
        }
        return {ResetWay::Command, situation.resetCommand};
    }
    // A device table named in the environment is a test's (or a trial's) set of image files:
    // the machine under it is not the imaged device. Only root may restart a machine at all.
    if (situation.deviceTable != nullptr || !situation.root) {
        return {};
    }
    return {ResetWay::Logind, {}};
}

ResetPlan planSystemReset() {
    return planReset({::secure_getenv("DORVIX_RESET_COMMAND"), std::getenv("DORVIX_DEVICES"), ::geteuid() == 0});
}

void enableMachineReset() { g_machineResetEnabled = true; }

void preResetCall() { ::sync(); }

bool requestSystemReset(const ResetPlan& plan) {
    switch (plan.way) {
    case ResetWay::None:
        return false;
    case ResetWay::Command:
        return std::system(plan.command.c_str()) == 0;
    case ResetWay::Logind:
        // The decision is taken again here, from this process's own state, and only the
        // program itself goes on: no plan made up elsewhere (a test's) restarts the machine.
        if (!g_machineResetEnabled || planSystemReset().way != ResetWay::Logind) {
            return false;
        }
        if (logindReboot()) {
            return true;
        }
        ::sync();
        return ::reboot(RB_AUTOBOOT) == 0;
    }
    return false;
}

}  // namespace dorvix
