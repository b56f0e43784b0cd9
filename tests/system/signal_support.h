// Runs a built program with its output captured and signals it at a chosen moment, for the
// system tests of cancels and signals.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace systemtest {

inline // Starts pellorin with standard error on a pipe, sends `signal` once the writer reports
// progress, and returns the exit status (minus the signal's number when it killed the program).
// With `trigger`, the signal waits for that line instead, and then until the process is inside
// one of the system calls `syscalls` (as /proc/PID/syscall shows it); `observed` tells whether it
// was seen there before the signal went. Standard input is /dev/null, or with `inputOpen` a pipe
// that stays open without input (for a program waiting at a question).
int runAndSignal(const std::vector<std::string>& args, int signal, std::string& output, const std::string& trigger = "",
                 const std::vector<long>& syscalls = {}, bool* observed = nullptr, bool inputOpen = false) {
    int pipeFds[2];
    int inputFds[2] = {-1, -1};
    if (::pipe(pipeFds) != 0) return -1;
    if (inputOpen && ::pipe(inputFds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    if (inputOpen) {
        posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, inputFds[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (inputOpen) ::close(inputFds[0]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        if (inputOpen) ::close(inputFds[1]);
        return -1;
    }
    bool sent = false;
    char buffer[256];
    for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(got));
        if (!sent && output.find(trigger.empty() ? "Formatting: " : trigger) != std::string::npos) {
            for (int i = 0; !syscalls.empty() && i < 20000; ++i) {
                std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
                std::string word;
                if (!(in >> word)) break;  // the process has ended
                // "running" while in user space, else the number of the call it waits in.
                const long number = word == "running" ? -1 : std::strtol(word.c_str(), nullptr, 10);
                if (std::find(syscalls.begin(), syscalls.end(), number) != syscalls.end()) {
                    if (observed != nullptr) *observed = true;
                    break;
                }
                ::usleep(200);
            }
            ::kill(pid, signal);
            sent = true;
        }
    }
    ::close(pipeFds[0]);
    if (inputOpen) ::close(inputFds[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1000;
}

}  // namespace systemtest
