#pragma once
// The process's console, signals and rights, as the command line needs them: whether a stream
// is a terminal, waiting for standard input while an interrupt may arrive, Ctrl-C and its kin
// as a pending interrupt, holding the interrupt signals back while a line is drawn, and whether
// the process runs with raised rights.

#include <cstdio>
#include <memory>

namespace pellorin {

// True when `stream` writes to a terminal.
bool IsTerminal(std::FILE* stream);

// Waits up to `milliseconds` for standard input: true when it has input, has ended or failed
// (a read then tells which), false when the time ran out or a signal cut the wait short.
bool WaitForStandardInput(int milliseconds);

// While alive, SIGINT and SIGTERM are held back on this thread; one that arrives meanwhile is
// delivered when the object goes.
class CHeldInterrupts {
public:
    CHeldInterrupts();
    ~CHeldInterrupts();
    CHeldInterrupts(const CHeldInterrupts&) = delete;
    CHeldInterrupts& operator=(const CHeldInterrupts&) = delete;

private:
    struct Mask;
    std::unique_ptr<Mask> m_previous;  // the thread's signal mask before
};

// While it lives, SIGINT, SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (the reader of
// the output went away) only mark a pending interrupt (the job decides what to do with it at its
// next progress step), and SIGXFSZ is ignored so that a file-size limit fails the write instead
// of killing the process; the previous handlers come back at its end.
class CInterruptGuard {
public:
    CInterruptGuard();
    ~CInterruptGuard();
    CInterruptGuard(const CInterruptGuard&) = delete;
    CInterruptGuard& operator=(const CInterruptGuard&) = delete;

    // True once for each interrupt that arrived since the last call.
    static bool TakeInterrupt();
    // Marks an interrupt as if a signal had arrived.
    static void RaiseInterrupt();

private:
    struct Handlers;
    std::unique_ptr<Handlers> m_old;  // the handlers before
};

// True when the process's effective user or group differs from its real one (a set-id start).
bool RunsWithRaisedIds();

}  // namespace pellorin
