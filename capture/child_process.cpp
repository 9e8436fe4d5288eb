#include "capture/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace kestrel {

namespace {

using Clock = std::chrono::steady_clock;

// How often the end of a program is looked for where the kernel offers no
// descriptor for it.
constexpr int kReapPollMs = 50;
// Once a program has ended, its standard error is read for this long more
// (a program it started may still hold it open).
constexpr auto kErrorDrainAfterExit = std::chrono::milliseconds(500);

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A pipe whose two ends are above the standard descriptors and closed on
// exec: the child's ends are moved to 0, 1 and 2 by the spawn actions.
bool MakePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (fds[i] > 2)
            continue;
        const int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
        if (moved < 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return false;
        }
        ::close(fds[i]);
        fds[i] = moved;
    }
    return true;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  std::string& error, int& spawnErrno) {
    spawnErrno = 0;
    if (argv.empty() || argv[0].empty()) {
        error = "no program to run";
        spawnErrno = EINVAL;
        return nullptr;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    auto fail = [&](int number) {
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd >= 0)
                ::close(fd);
        spawnErrno = number;
        error = argv[0] + ": " + std::strerror(number);
        return nullptr;
    };
    if (!MakePipe(in) || !MakePipe(out) || !MakePipe(err))
        return fail(errno);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // Descriptors that someone opened without close-on-exec stay ours too.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return fail(spawned);

    std::unique_ptr<ChildProcess> child(new ChildProcess);
    child->m_pid = pid;
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    child->m_in = in[1];
    child->m_out = out[0];
    child->m_err = err[0];
    // The monitor reads it after every wake-up, whatever woke it.
    fcntl(err[0], F_SETFL, fcntl(err[0], F_GETFL) | O_NONBLOCK);
    child->m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#ifdef SYS_pidfd_open
    child->m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
    try {
        child->m_monitor = std::thread([raw = child.get()] { raw->Monitor(); });
    } catch (const std::system_error&) {
        // Without its monitor nobody would reap it: end it here.
        ::kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        child->m_exited = child->m_errorDone = child->m_finished = true;
        error = argv[0] + ": no thread to watch it";
        spawnErrno = EAGAIN;
        return nullptr;
    }
    return child;
}

ChildProcess::~ChildProcess() {
    RequestStop(0, 1000);
    if (m_monitor.joinable())
        m_monitor.join();
    CloseFd(m_in);
    CloseFd(m_out);
    CloseFd(m_err);
    CloseFd(m_wake);
    CloseFd(m_pidfd);
}

void ChildProcess::RequestStop(int termAfterMs, int killAfterMs) {
    std::lock_guard<std::mutex> hold(m_lock);
    CloseFd(m_in);
    if (m_stopRequested || m_finished)
        return;
    m_stopRequested = true;
    const Clock::time_point now = Clock::now();
    m_termAt = now + std::chrono::milliseconds(termAfterMs);
    m_killAt = now + std::chrono::milliseconds(std::max(termAfterMs, killAfterMs));
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }
}

bool ChildProcess::WaitForExit(int timeoutMs) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_finished; });
}

bool ChildProcess::Exited() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_exited;
}

int ChildProcess::WaitStatus() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_status;
}

std::string ChildProcess::ErrorOutput() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_errorText;
}

// Reads standard error, reaps the program, sends the signals of a stop
// request when they are due. Only this thread signals and reaps, so a
// signal never reaches a process that took the number of a reaped one.
void ChildProcess::Monitor() {
    Clock::time_point exitedAt;
    bool termSent = false;
    bool killSent = false;
    for (;;) {
        int timeout = m_pidfd >= 0 ? 1000 : kReapPollMs;
        bool stopRequested;
        Clock::time_point termAt, killAt;
        bool exited;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            stopRequested = m_stopRequested;
            termAt = m_termAt;
            killAt = m_killAt;
            exited = m_exited;
        }
        const Clock::time_point now = Clock::now();
        if (stopRequested && !exited) {
            if (!termSent && now >= termAt) {
                ::kill(m_pid, SIGTERM);
                termSent = true;
            }
            if (!killSent && now >= killAt) {
                ::kill(m_pid, SIGKILL);
                killSent = true;
            }
            const Clock::time_point next = !termSent ? termAt : killAt;
            if (!killSent) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
                timeout = std::min<int>(timeout, static_cast<int>(std::max<int64_t>(wait, 0)));
            }
        }
        if (exited) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  exitedAt + kErrorDrainAfterExit - now)
                                  .count();
            if (left <= 0 || m_err < 0)
                break;
            timeout = std::min<int>(timeout, static_cast<int>(left));
        }

        pollfd fds[3];
        nfds_t count = 0;
        if (m_err >= 0)
            fds[count++] = {m_err, POLLIN, 0};
        if (m_wake >= 0)
            fds[count++] = {m_wake, POLLIN, 0};
        if (m_pidfd >= 0 && !exited)
            fds[count++] = {m_pidfd, POLLIN, 0};
        const int r = ::poll(fds, count, timeout);
        if (r < 0 && errno != EINTR)
            ::usleep(kReapPollMs * 1000);  // should not happen; never spin

        if (m_err >= 0) {
            char buffer[4096];
            const ssize_t n = ::read(m_err, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> hold(m_lock);
                m_errorText.append(buffer, static_cast<size_t>(n));
                if (m_errorText.size() > kErrorTail)
                    m_errorText.erase(0, m_errorText.size() - kErrorTail);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                std::lock_guard<std::mutex> hold(m_lock);
                CloseFd(m_err);
                m_errorDone = true;
            }
        }
        if (m_wake >= 0) {
            uint64_t value;
            [[maybe_unused]] const ssize_t n = ::read(m_wake, &value, sizeof value);
        }
        if (!exited) {
            int status = 0;
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid || (done < 0 && errno == ECHILD)) {
                exitedAt = Clock::now();
                std::lock_guard<std::mutex> hold(m_lock);
                m_exited = true;
                m_status = done == m_pid ? status : 0;
            }
        }
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_exited && m_errorDone)
                break;
        }
        m_changed.notify_all();
    }
    {
        std::lock_guard<std::mutex> hold(m_lock);
        CloseFd(m_err);
        m_errorDone = true;
        m_finished = true;
    }
    m_changed.notify_all();
}

}  // namespace kestrel
