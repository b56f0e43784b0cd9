#include "platform/Console.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace pellorin {

struct CHeldInterrupts::Mask {
    sigset_t set;
};

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

bool WaitForStandardInput(int milliseconds) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, 1, milliseconds);
    return ready > 0 || (ready < 0 && errno != EINTR);
}

CHeldInterrupts::CHeldInterrupts() : m_previous(std::make_unique<Mask>()) {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, &m_previous->set);
}

CHeldInterrupts::~CHeldInterrupts() {
    pthread_sigmask(SIG_SETMASK, &m_previous->set, nullptr);
}

bool RunsWithRaisedIds() {
    return ::geteuid() != ::getuid() || ::getegid() != ::getgid();
}

}  // namespace pellorin
