// A log writer for tests: records every line it is asked to write, with its
// level, function text, source line and formatted message, at a level the
// test sets. Install() puts it in g_ptrLogWriter for the test's lifetime.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>
#include <boost/shared_ptr.hpp>

#include "host/LogWriter.h"

struct LogLine {
    int level;
    std::string function;
    int line;
    std::string format;
    std::string message;
};

class CapturingLogWriter : public CLogWriterInterface {
public:
    explicit CapturingLogWriter(int level = 4) : m_level(level) {}

    void WriteLog(int level, const char* function, int line, int, int, const char* format,
                  ...) override {
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        int n = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string message(n > 0 ? static_cast<size_t>(n) : 0, '\0');
        if (n > 0) vsnprintf(&message[0], message.size() + 1, format, args);
        va_end(args);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(LogLine{level, function ? function : "", line, format, message});
    }

    int GetLogLevel() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_levelQueries;
        return m_level;
    }

    void SetLevel(int level) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_level = level;
    }
    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    // Messages of the lines at `level`, in order.
    std::vector<std::string> Messages(int level) {
        std::vector<std::string> out;
        for (const LogLine& l : Lines())
            if (l.level == level) out.push_back(l.message);
        return out;
    }
    // True when some line has exactly this message.
    bool Has(const std::string& message) {
        for (const LogLine& l : Lines())
            if (l.message == message) return true;
        return false;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.clear();
    }

private:
    std::mutex m_mutex;
    int m_level;
    int m_levelQueries = 0;
    std::vector<LogLine> m_lines;
};

// Installs a capturing writer as the process's log writer and restores the
// previous one when it goes out of scope.
class ScopedCapturingLog {
public:
    explicit ScopedCapturingLog(int level = 4)
        : m_previous(g_ptrLogWriter), m_writer(new CapturingLogWriter(level)) {
        g_ptrLogWriter = m_writer;
    }
    ~ScopedCapturingLog() { g_ptrLogWriter = m_previous; }
    CapturingLogWriter* operator->() { return m_writer.get(); }
    CapturingLogWriter& writer() { return *m_writer; }

private:
    boost::shared_ptr<CLogWriterInterface> m_previous;
    boost::shared_ptr<CapturingLogWriter> m_writer;
};
