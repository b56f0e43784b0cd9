#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace pellorin {

std::unique_ptr<CChildProcess> CChildProcess::Start(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return nullptr;
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return nullptr;
    }
    return std::unique_ptr<CChildProcess>(new CChildProcess(pid, fds[0]));
}

CChildProcess::~CChildProcess() {
    CloseOutput();
}

bool CChildProcess::ReadOutput(int milliseconds, std::string& output) {
    if (m_output < 0) return false;
    pollfd poller{m_output, POLLIN, 0};
    if (::poll(&poller, 1, milliseconds) <= 0) return false;
    char buffer[4096];
    const ssize_t got = ::read(m_output, buffer, sizeof buffer);
    if (got > 0) output.append(buffer, static_cast<std::size_t>(got));
    if (got == 0) CloseOutput();
    return true;
}

void CChildProcess::ReadRest(std::string& output) {
    if (m_output < 0) return;
    char buffer[4096];
    for (ssize_t got; (got = ::read(m_output, buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(got));
    }
    CloseOutput();
}

void CChildProcess::CloseOutput() {
    if (m_output >= 0) ::close(m_output);
    m_output = -1;
}

bool CChildProcess::HasEnded() {
    int status = 0;
    const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }
    return done < 0 && errno != EINTR;
}

}  // namespace pellorin
