#include "nfs_client/library/WorkerProcess.h"

#include <fcntl.h>        // pipe2, fcntl, O_CLOEXEC, O_NONBLOCK
#include <poll.h>         // poll
#include <signal.h>       // kill, sigset_t
#include <spawn.h>        // posix_spawn
#include <sys/syscall.h>  // SYS_pidfd_open
#include <sys/wait.h>     // waitpid
#include <unistd.h>       // read, write, close

#include <cerrno>   // errno
#include <cstring>  // strerror, strsignal
#include <vector>   // std::vector

extern char** environ;

namespace nfsclient {
namespace {

using Clock = std::chrono::steady_clock;

// The environment a worker gets: only what the runtime and the sanitizers read.
std::vector<std::string> WorkerEnvironment() {
    static const char* const kKept[] = {"LD_LIBRARY_PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                                        "LSAN_OPTIONS",    "TSAN_OPTIONS", "MSAN_OPTIONS"};
    std::vector<std::string> kept;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        for (const char* name : kKept) {
            const size_t n = strlen(name);
            if (strncmp(*e, name, n) == 0 && (*e)[n] == '=') kept.emplace_back(*e);
        }
    return kept;
}

std::string Describe(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = strsignal(signal);
        return "killed by signal " + std::to_string(signal) + " (" +
               (name != nullptr ? name : "unknown") + ")";
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "stopped";
}

}  // namespace

void Worker::CloseInput() {
    if (m_in >= 0) close(m_in);
    m_in = -1;
}

void Worker::CloseOutput() {
    if (m_out >= 0) close(m_out);
    m_out = -1;
}

bool Worker::Ended() {
    if (m_pid < 0) return true;
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == 0) return false;
    m_pid = -1;  // reaped, or reaped by a host that reaps its children itself
    return true;
}

bool Worker::Fits(const WorkerSettings& settings) const {
    return settings.path == m_settings.path && settings.memoryMiB == m_settings.memoryMiB &&
           settings.callLimitMs == m_settings.callLimitMs;
}

bool Worker::Waiting() const {
    if (m_pid < 0 || m_in < 0 || m_out < 0) return false;
    // A waiting worker has said nothing: output or its end means it is not.
    pollfd pfd{m_out, POLLIN, 0};
    if (poll(&pfd, 1, 0) != 0) return false;
    int status = 0;
    return waitpid(m_pid, &status, WNOHANG) == 0;
}

bool Worker::Start(const WorkerSettings& settings, std::string& why) {
    int request[2];
    int answer[2];
    if (pipe2(request, O_CLOEXEC) != 0) {
        why = strerror(errno);
        return false;
    }
    if (pipe2(answer, O_CLOEXEC) != 0) {
        why = strerror(errno);
        close(request[0]);
        close(request[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, request[0], 0);
    posix_spawn_file_actions_adddup2(&actions, answer[1], 1);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string memory = std::to_string(settings.memoryMiB);
    const std::string cpu = std::to_string(settings.callLimitMs / 1000 + 2);
    std::vector<char*> argv = {const_cast<char*>(settings.path.c_str()),
                               const_cast<char*>("--limits"), const_cast<char*>(memory.c_str()),
                               const_cast<char*>(cpu.c_str()), nullptr};
    std::vector<std::string> environment = WorkerEnvironment();
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    m_settings = settings;
    const int rc =
        posix_spawn(&m_pid, settings.path.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(request[0]);
    close(answer[1]);
    m_in = request[1];
    m_out = answer[0];
    if (rc != 0) {
        m_pid = -1;
        why = strerror(rc);
        return false;
    }
    fcntl(m_in, F_SETFL, O_NONBLOCK);
    fcntl(m_out, F_SETFL, O_NONBLOCK);
    // A larger pipe lets the worker run ahead of the caller's callbacks with
    // fewer wake-ups (best effort: the default 64 KiB works too).
    fcntl(m_out, F_SETPIPE_SZ, 1 << 20);
    return true;
}

std::string Worker::Reap(int graceMs) {
    if (m_pid < 0) return "stopped";
    int status = 0;
    // A worker on its way out is given `graceMs` to end by itself, woken by
    // its end (a pidfd) rather than by a clock.
    if (graceMs > 0) {
        const int process = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
        const Clock::time_point until = Clock::now() + std::chrono::milliseconds(graceMs);
        for (;;) {
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                if (process >= 0) close(process);
                m_pid = -1;
                return Describe(status);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (done < 0 || left <= 0) break;
            pollfd pfd{process, POLLIN, 0};
            if (process < 0 || poll(&pfd, 1, static_cast<int>(left < 10 ? left : 10)) < 0)
                usleep(200);
        }
        if (process >= 0) close(process);
    }
    kill(m_pid, SIGKILL);
    pid_t done;
    do {
        done = waitpid(m_pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    m_pid = -1;
    // A host that reaps its children itself leaves nothing to read.
    return done < 0 ? "stopped (its exit status is not known)" : Describe(status);
}

// Writes everything to a non-blocking descriptor by `deadline`.
bool WriteAll(int fd, const std::string& bytes, Clock::time_point deadline) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left));
    }
    return true;
}

}  // namespace nfsclient
