// The delay proxy (delay_proxy.py) from a C++ test: started as a child
// process, asked for its counts over its control socket, stopped when the
// object goes. Must run inside the test's network namespace.
//
//     testproxy::DelayProxy proxy("127.0.0.20", server.Address(), 5.0);  // RTT 10 ms
//     proxy.Reset();
//     ... browse "127.0.0.20" ...
//     const nlohmann::json counts = proxy.Report();
//     EXPECT_LE(counts["rounds_to_first_readdir"].get<int>(), 8);
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace testproxy {

class DelayProxy {
public:
    // `script`: path of delay_proxy.py (default: NSB_SOURCE_DIR's copy).
    DelayProxy(const std::string& listen, const std::string& target, double delayMs,
               std::string script = "") {
        if (script.empty()) {
            const char* source = getenv("NSB_SOURCE_DIR");
            if (source == nullptr)
                throw std::runtime_error("delay proxy: NSB_SOURCE_DIR is not set");
            script = std::string(source) + "/testing/delay_proxy/delay_proxy.py";
        }
        m_control = "/tmp/delay-proxy-" + std::to_string(getpid()) + "-" + listen + ".sock";
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("delay proxy: pipe");
        std::vector<std::string> args = {"python3",   script,       "serve",
                                         "--listen",  listen,       "--target",
                                         target,      "--delay-ms", std::to_string(delayMs),
                                         "--control", m_control};
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp("python3", argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string said;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (said.find('\n') == std::string::npos && std::chrono::steady_clock::now() < limit) {
            pollfd pfd{out[0], POLLIN, 0};
            if (poll(&pfd, 1, 200) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            said.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
        if (said.rfind("ready", 0) != 0) {
            Stop();
            throw std::runtime_error("delay proxy did not start on " + listen);
        }
    }
    ~DelayProxy() { Stop(); }
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;

    // The counts since the last reset (see delay_proxy.py for the fields).
    nlohmann::json Report(bool reset = false) {
        return nlohmann::json::parse(Command(reset ? "report-reset" : "report"));
    }
    void Reset() { Command("reset"); }

private:
    std::string Command(const std::string& command) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, m_control.c_str(), sizeof sun.sun_path - 1);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
            if (fd >= 0) close(fd);
            throw std::runtime_error("delay proxy: no control socket at " + m_control);
        }
        const std::string line = command + "\n";
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            close(fd);
            throw std::runtime_error("delay proxy: control write");
        }
        std::string answer;
        char buffer[4096];
        for (;;) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 10000) <= 0) break;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<size_t>(n));
            if (answer.find('\n') != std::string::npos) break;
        }
        close(fd);
        if (answer.empty()) throw std::runtime_error("delay proxy: no answer to " + command);
        return answer;
    }

    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        bool reaped = false;
        for (int i = 0; i < 200 && !reaped; ++i) {
            reaped = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
            if (!reaped) poll(nullptr, 0, 10);
        }
        if (!reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
        unlink(m_control.c_str());
    }

    pid_t m_pid = -1;
    std::string m_control;
};

}  // namespace testproxy
