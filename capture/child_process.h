// A program run by the capture engine (the capture helper, ssh), with its
// standard input, output and error on pipes of ours. It is started from an
// argument vector, never through a shell; none of our other descriptors
// reach it; it runs in a process group of its own, so a terminal's Ctrl-C
// reaches our program, which stops it in order, instead of killing it under
// us. A thread of ours reads its standard error, reaps it when it ends and
// sends the signals of a stop request: no zombie is left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {

class ChildProcess {
public:
    // Starts argv[0] (looked up in PATH when it holds no slash) with the
    // arguments after it. Null when it cannot be started, with the reason in
    // `error` and the system's error number in `spawnErrno` (EACCES: the
    // program may not be run by this user).
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv,
                                               std::string& error, int& spawnErrno);

    // Stops the program if it still runs (SIGTERM at once, SIGKILL a second
    // later) and waits until it has been reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // The read end of the program's standard output (ours; closed with us).
    int Output() const { return m_out; }

    // Closes the program's standard input, its cue to stop, and from now
    // sends SIGTERM after `termAfterMs` and SIGKILL after `killAfterMs`
    // unless it has ended by then. Does not wait; the first request counts.
    // Safe from any thread.
    void RequestStop(int termAfterMs, int killAfterMs);
    // Waits until the program has ended and its standard error has been
    // read, at most `timeoutMs`; true when it has.
    bool WaitForExit(int timeoutMs);

    bool Exited() const;
    // The wait status (see waitpid) once Exited().
    int WaitStatus() const;
    // The end of what the program wrote to its standard error (at most
    // kErrorTail bytes).
    std::string ErrorOutput() const;

    static constexpr size_t kErrorTail = 8192;

private:
    ChildProcess() = default;
    void Monitor();

    pid_t m_pid = -1;
    int m_in = -1;     // write end of its standard input
    int m_out = -1;    // read end of its standard output
    int m_err = -1;    // read end of its standard error (the monitor's)
    int m_wake = -1;   // eventfd: wakes the monitor for a stop request
    int m_pidfd = -1;  // readable once the program has ended (-1: polled)
    std::thread m_monitor;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_exited = false;
    bool m_errorDone = false;
    bool m_finished = false;  // exited and standard error read
    int m_status = 0;
    std::string m_errorText;
    bool m_stopRequested = false;
    std::chrono::steady_clock::time_point m_termAt;
    std::chrono::steady_clock::time_point m_killAt;
};

}  // namespace kestrel
