#include "platform/Console.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace pellorin {

namespace {

volatile std::sig_atomic_t s_interrupted = 0;

extern "C" void onInterruptSignal(int) { s_interrupted = 1; }

constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ};

}  // namespace

struct CInterruptGuard::Handlers {
    struct sigaction actions[std::size(kInterruptSignals)] {};
};

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

CInterruptGuard::CInterruptGuard() : m_old(std::make_unique<Handlers>()) {
    s_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // writes and reads in progress go on; the job polls the mark
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (std::size_t i = 0; i < std::size(kInterruptSignals); ++i) {
        sigaction(kInterruptSignals[i], kInterruptSignals[i] == SIGXFSZ ? &ignore : &action, &m_old->actions[i]);
    }
}

CInterruptGuard::~CInterruptGuard() {
    for (std::size_t i = 0; i < std::size(kInterruptSignals); ++i) sigaction(kInterruptSignals[i], &m_old->actions[i], nullptr);
}

bool CInterruptGuard::TakeInterrupt() {
    if (s_interrupted == 0) return false;
    s_interrupted = 0;
    return true;
}

void CInterruptGuard::RaiseInterrupt() { s_interrupted = 1; }

bool RunsWithRaisedIds() {
    return ::geteuid() != ::getuid() || ::getegid() != ::getgid();
}

}  // namespace pellorin
