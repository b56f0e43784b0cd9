#pragma once
// A program run as a child process whose standard output and error come back through a pipe
// of ours (its standard input is /dev/null). Closing our end of the pipe is how the parent
// tells the child to stop: its next write fails.

#include <memory>
#include <string>
#include <vector>

namespace pellorin {

class CChildProcess {
public:
    // Starts `arguments[0]` (a path) with these arguments and this process's environment; null
    // when it cannot be started.
    static std::unique_ptr<CChildProcess> Start(const std::vector<std::string>& arguments);

    // Closes our end of the pipe; does not wait for the child.
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // True while our end of the output pipe is open.
    bool OutputOpen() const { return m_output >= 0; }
    // Waits up to `milliseconds` for output and appends what one read brings to `output`; the
    // end of the output closes our end. True when the pipe had something to tell (output, its
    // end or an error), false when the time ran out.
    bool ReadOutput(int milliseconds, std::string& output);
    // Reads everything up to the end of the output, then closes our end.
    void ReadRest(std::string& output);
    // Closes our end of the pipe.
    void CloseOutput();

    // True once the child has ended (or cannot be waited for any more); does not block.
    bool HasEnded();
    // The child's exit code once it has ended normally; -1 when it was ended by a signal or
    // its end could not be learnt.
    int ExitCode() const { return m_exitCode; }

private:
    CChildProcess(int pid, int output) : m_pid(pid), m_output(output) {}
    int m_pid;
    int m_output;
    int m_exitCode = -1;
};

}  // namespace pellorin
