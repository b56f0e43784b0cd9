// The suspend block against a stand-in for logind on a private message bus: the inhibitor lock
// is asked for as logind expects it and held exactly from QZPreventSuspend to QZAllowSuspend.

#include "platform/Power.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A private bus daemon, ended with the scope.
class PrivateBus {
public:
    explicit PrivateBus(const std::filesystem::path& socket) : m_address("unix:path=" + socket.string()) {
        m_pid = ::fork();
        if (m_pid == 0) {
            const int quiet = ::open("/dev/null", O_WRONLY);  // its notes on limits it cannot raise
            ::dup2(quiet, STDERR_FILENO);
            const std::string listen = "--address=" + m_address;
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", listen.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~PrivateBus() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    const std::string& address() const { return m_address; }

private:
    std::string m_address;
    pid_t m_pid = -1;
};

// What logind would do with an Inhibit call: hand out one end of a pipe and watch the other.
class FakeLogind {
public:
    explicit FakeLogind(const std::string& address) {
        if (sd_bus_new(&m_bus) < 0 || sd_bus_set_address(m_bus, address.c_str()) < 0 ||
            sd_bus_set_bus_client(m_bus, 1) < 0 || sd_bus_start(m_bus) < 0 ||
            sd_bus_add_object_vtable(m_bus, nullptr, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                     kVtable, this) < 0 ||
            sd_bus_request_name(m_bus, "org.freedesktop.login1", 0) < 0) {
            return;
        }
        m_ready = true;
        m_thread = std::thread([this] {
            while (!m_stop) {
                if (sd_bus_process(m_bus, nullptr) == 0) {
                    sd_bus_wait(m_bus, 20000);
                }
            }
        });
    }
    ~FakeLogind() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        sd_bus_flush_close_unref(m_bus);
        if (m_held >= 0) ::close(m_held);
    }
    bool ready() const { return m_ready; }

    std::vector<std::string> request() {
        std::lock_guard lock(m_mutex);
        return m_request;
    }
    // True while the program holds its end of the lock (waits up to a second for a release).
    bool lockHeld() {
        std::lock_guard lock(m_mutex);
        if (m_held < 0) return false;
        pollfd watch{m_held, POLLIN, 0};
        return ::poll(&watch, 1, 1000) == 0;
    }

private:
    static int inhibit(sd_bus_message* call, void* self, sd_bus_error*) {
        auto* fake = static_cast<FakeLogind*>(self);
        const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
        if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0) return -EINVAL;
        int ends[2];
        if (::pipe(ends) != 0) return -errno;
        {
            std::lock_guard lock(fake->m_mutex);
            fake->m_request = {what, who, why, mode};
            fake->m_held = ends[0];
        }
        const int r = sd_bus_reply_method_return(call, "h", ends[1]);  // the reply carries a copy
        ::close(ends[1]);
        return r;
    }
    static constexpr sd_bus_vtable kVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Inhibit", "ssss", "h", inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    sd_bus* m_bus = nullptr;
    bool m_ready = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<std::string> m_request;
    int m_held = -1;
};

TEST(SuspendBlock, HeldThroughLogindFromPreventToAllow) {
    if (!testsupport::haveProgram("dbus-daemon")) {
        GTEST_SKIP() << "dbus-daemon missing";
    }
    testsupport::TempDir dir;
    PrivateBus bus(dir / "bus");
    FakeLogind logind(bus.address());
    ASSERT_TRUE(logind.ready());
    const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);

    dorvix::QZPreventSuspend();
    EXPECT_EQ(logind.request(), (std::vector<std::string>{"sleep:idle", "dorvix", "A disk is being imaged", "block"}));
    EXPECT_TRUE(logind.lockHeld());
    dorvix::QZAllowSuspend();
    EXPECT_FALSE(logind.lockHeld());

    if (saved) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved->c_str(), 1);
    else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

}  // namespace
