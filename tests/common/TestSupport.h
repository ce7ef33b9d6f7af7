// The helpers every kind of test shares: bytes as hex, whole files, a
// command's output, a socket pair, and helper programs run beside a test (the hostile
// peer, the delay proxy, a nasbrowse daemon) until they say they are ready.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace nsbtest {

// Hex of bytes, lower case, no separators, and back (throws on a non-hex digit).
inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
inline std::string Unhex(const std::string& hex) {
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not hex");
    };
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex");
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += static_cast<char>(nibble(hex[i]) * 16 + nibble(hex[i + 1]));
    return out;
}

// A file's bytes, at most `limit` of them; "" when it cannot be read.
inline std::string ReadWhole(const std::string& path, size_t limit = SIZE_MAX) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char buffer[65536];
    while (text.size() < limit && in.read(buffer, sizeof buffer).gcount() > 0)
        text.append(buffer, static_cast<size_t>(in.gcount()));
    return text;
}

// Milliseconds since `start`.
// How much slower than the plain build this run's code is (NSB_TIME_FACTOR,
// set by scripts/sanitize.sh for the sanitized builds; 1 otherwise). Time
// bounds that stand for "no wait too many" scale with it; their plain-build
// values are what the plain run checks.
inline double TimeFactor() {
    const char* text = getenv("NSB_TIME_FACTOR");
    const double factor = text != nullptr ? atof(text) : 1.0;
    return factor >= 1.0 ? factor : 1.0;
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return MsSince(start) / 1000;
}

// Sets (or unsets, with nullptr) an environment variable while in scope;
// tzset() follows each change, so that TZ takes effect at once.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = getenv(name);
        m_had = old != nullptr;
        if (m_had) m_old = old;
        Set(value);
    }
    ~ScopedEnv() { Set(m_had ? m_old.c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Set(const char* value) {
        if (value)
            setenv(m_name.c_str(), value, 1);
        else
            unsetenv(m_name.c_str());
        tzset();
    }
    std::string m_name, m_old;
    bool m_had = false;
};

// The interpreter of the test tools in testing/ (NSB_PYTHON3, which every
// test has in its environment; else python3 from PATH).
inline std::string Python3() {
    const char* python = getenv("NSB_PYTHON3");
    return python != nullptr && *python != '\0' ? python : "python3";
}

// The source tree (NSB_SOURCE_DIR, which every test has in its environment).
inline std::string SourceDir() {
    const char* dir = getenv("NSB_SOURCE_DIR");
    if (dir != nullptr) return dir;
#ifdef NSB_SOURCE_DIR_DEFAULT
    return NSB_SOURCE_DIR_DEFAULT;
#else
    throw std::runtime_error("NSB_SOURCE_DIR is not set");
#endif
}

struct CommandOutcome {
    int status = -1;     // exit status; -1 when it did not exit
    std::string output;  // what it wrote on stdout (add 2>&1 for stderr)
};
// Runs `command` with /bin/sh.
inline CommandOutcome RunCommand(const std::string& command) {
    CommandOutcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return outcome;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        outcome.output.append(buffer, n);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// A connected stream socket pair: one end written (by the code under test),
// the other read by the test.
struct SocketPair {
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        writer = fds[0];
        reader = fds[1];
    }
    ~SocketPair() {
        closeWriter();
        closeReader();
    }
    void closeWriter() {
        if (writer >= 0) close(writer);
        writer = -1;
    }
    void closeReader() {
        if (reader >= 0) close(reader);
        reader = -1;
    }
    // Closes the writer's end and reads what it wrote (small replies only:
    // they must fit in the socket buffer).
    std::string drain() {
        closeWriter();
        std::string bytes;
        char buffer[4096];
        for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, static_cast<size_t>(n));
        return bytes;
    }
    int writer = -1;
    int reader = -1;
};

// A helper program run beside a test. It is started with its `readyFd` (1:
// stdout, 2: stderr) a pipe, read until a line starting with `ready` comes
// (throws, with what it said, when none comes within the limit); its stderr
// goes to `stderrPath` otherwise. With `watchStdin` its stdin is a pipe that
// closes when this process ends. Stopped with SIGTERM, then SIGKILL after
// `graceMs`, when destroyed.
class ChildProcess {
public:
    struct Options {
        int readyFd = 1;
        std::string ready = "ready";
        int readySeconds = 20;
        std::string stderrPath;
        bool watchStdin = false;
        std::map<std::string, std::string> env;
        int graceMs = 2000;
    };
    ChildProcess(std::vector<std::string> args, const Options& options) : m_options(options) {
        int in[2] = {-1, -1}, out[2];
        if ((options.watchStdin && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe for " + args[0]);
        m_pid = fork();
        if (m_pid == 0) {
            if (options.watchStdin) dup2(in[0], 0);
            dup2(out[1], options.readyFd);
            const int err = options.stderrPath.empty()
                                ? -1
                                : open(options.stderrPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (err >= 0 && options.readyFd != 2) dup2(err, 2);
            for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (options.watchStdin) close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_out = out[0];
        const auto limit =
            std::chrono::steady_clock::now() + std::chrono::seconds(options.readySeconds);
        for (;;) {
            const size_t line = m_said.find('\n', m_lineAt);
            if (line != std::string::npos) {
                if (m_said.compare(m_lineAt, options.ready.size(), options.ready) == 0) break;
                m_lineAt = line + 1;
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  limit - std::chrono::steady_clock::now())
                                  .count();
            pollfd pfd{m_out, POLLIN, 0};
            char buffer[4096];
            const ssize_t n = left > 0 && poll(&pfd, 1, static_cast<int>(left)) > 0
                                  ? read(m_out, buffer, sizeof buffer)
                                  : 0;
            if (n <= 0) {
                Stop();
                throw std::runtime_error(args[0] + " " + (args.size() > 1 ? args[1] : "") +
                                         " did not start: " + m_said +
                                         ReadWhole(options.stderrPath, 4096));
            }
            m_said.append(buffer, static_cast<size_t>(n));
        }
    }
    ~ChildProcess() {
        Stop();
        if (m_out >= 0) close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The ready line (without its newline) and anything said before it.
    std::string ReadyLine() const {
        return m_said.substr(m_lineAt, m_said.find('\n', m_lineAt) - m_lineAt);
    }
    const std::string& Said() const { return m_said; }
    // The pipe it says things on, to go on reading after the ready line.
    int Output() const { return m_out; }
    // Stops it (SIGTERM, SIGKILL after the grace time); its exit status, or
    // 128 + the signal that ended it.
    int Stop() {
        if (m_stdin >= 0) close(m_stdin);
        m_stdin = -1;
        if (m_pid <= 0) return m_status;
        kill(m_pid, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int waited = 0; waited <= m_options.graceMs && !reaped; waited += 10)
            if (!(reaped = waitpid(m_pid, &status, WNOHANG) == m_pid)) poll(nullptr, 0, 10);
        if (!reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return m_status;
    }

private:
    Options m_options;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_said;
    size_t m_lineAt = 0;
};

}  // namespace nsbtest
