// The delay proxy (delay_proxy.py) from a C++ test: started as a child
// process (tests/common/TestSupport.h), asked for its counts over its control
// socket, stopped when the object goes. Must run inside the test's network
// namespace.
//
//     testproxy::DelayProxy proxy("127.0.0.20", server.Address(), 5.0);  // RTT 10 ms
//     proxy.Reset();
//     ... browse "127.0.0.20" ...
//     const nlohmann::json counts = proxy.Report();
//     EXPECT_LE(counts["rounds_to_first_readdir"].get<int>(), 8);
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "common/TestSupport.h"

namespace testproxy {

class DelayProxy {
public:
    // `script`: path of delay_proxy.py (default: NSB_SOURCE_DIR's copy);
    // `stderrPath`: a file for the proxy's messages (default: this
    // process's stderr).
    DelayProxy(const std::string& listen, const std::string& target, double delayMs,
               std::string script = "", const std::string& stderrPath = "")
        : m_control("/tmp/delay-proxy-" + std::to_string(getpid()) + "-" + listen + ".sock") {
        if (script.empty()) script = nsbtest::SourceDir() + "/testing/delay_proxy/delay_proxy.py";
        nsbtest::ChildProcess::Options options;
        options.stderrPath = stderrPath;
        m_process = std::make_unique<nsbtest::ChildProcess>(
            std::vector<std::string>{nsbtest::Python3(), script, "serve", "--listen", listen,
                                     "--target", target, "--delay-ms", std::to_string(delayMs),
                                     "--control", m_control},
            options);
    }
    ~DelayProxy() {
        m_process.reset();
        unlink(m_control.c_str());
    }
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

    std::string m_control;
    std::unique_ptr<nsbtest::ChildProcess> m_process;
};

}  // namespace testproxy
