// The process's log writer: one line per call through spdlog, to a file or
// to stderr, with a level the host can change at run time.
#include "host/LogWriter.h"

#include <atomic>
#include <cstdarg>
#include <memory>
#include <stdexcept>

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "host_framework/FormatV.h"

namespace {

// Writes through one spdlog logger of its own (not in spdlog's registry, so
// writers never collide by name). The sinks are the _mt kind and serialise
// whole lines; the level is atomic. Every line is flushed when written so a
// crash loses nothing already logged.
class CSpdLogWriter : public CAdjustableLogWriter {
public:
    CSpdLogWriter(spdlog::sink_ptr sink, int level)
        : m_logger(std::make_shared<spdlog::logger>("nsb", std::move(sink))), m_level(level) {
        // Time, then the text WriteLog composes: level, what happened, and
        // where in the code, process and thread last.
        m_logger->set_pattern("%Y-%m-%d %H:%M:%S.%f %v, process %P thread %t)");
        m_logger->set_level(spdlog::level::trace);  // gating is ours, by m_level
        m_logger->flush_on(spdlog::level::trace);
    }

    void WriteLog(int level, const char* function, int line, int, int, const char* format,
                  ...) override __attribute__((format(printf, 7, 8))) {
        if (level >= 0 && level > GetLogLevel()) return;

        std::string message;
        va_list args;
        va_start(args, format);
        const bool formatted = FormatV(message, format, args);
        va_end(args);
        if (!formatted) {
            message = "(log text could not be formatted: ";
            message += format != nullptr ? format : "null format";
            message += ")";
        }

        const std::string where = EscapeControlBytes(function != nullptr ? function : "?");
        // Data reaches spdlog only as arguments of a fixed format.
        const std::string text = EscapeControlBytes(message);
        if (level < 0)
            m_logger->info("error {}  (in {}:{}", text, where, line);
        else if (level == 0)
            m_logger->info("info {}  (in {}:{}", text, where, line);
        else
            m_logger->info("debug{} {}  (in {}:{}", level, text, where, line);
    }

    int GetLogLevel() override { return m_level.load(std::memory_order_relaxed); }

    void SetLogLevel(int level) override { m_level.store(level, std::memory_order_relaxed); }

private:
    std::shared_ptr<spdlog::logger> m_logger;
    std::atomic<int> m_level;
};

}  // namespace

boost::shared_ptr<CLogWriterInterface> MakeLogWriter(const std::string& filePath, int level) {
    spdlog::sink_ptr sink;
    if (filePath.empty()) {
        sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    } else {
        try {
            sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(filePath, false);
        } catch (const spdlog::spdlog_ex& e) {
            throw std::runtime_error(e.what());
        }
    }
    return boost::shared_ptr<CLogWriterInterface>(new CSpdLogWriter(std::move(sink), level));
}

// Installed when the library is loaded, before any code that links the
// library runs its own initialisers.
boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter = MakeLogWriter(std::string(), 0);
