// The host's logging service: the process-wide log writer and the call-site
// macro that asks for the level before it evaluates any argument.
#pragma once

#include <string>                // std::string
#include <boost/shared_ptr.hpp>  // boost::shared_ptr

#include "host/Platform.h"  // HOST_API, LOG_ERROR

// Interface of a log writer. Implementations must be safe to call from any
// number of threads at once and must write each call as one whole line.
class HOST_API CLogWriterInterface {
public:
    virtual ~CLogWriterInterface() {}

    // Writes one line. `function` is the writing function's signature text,
    // `line` its source line; the two zeros are reserved. `format` is a printf
    // format owned by the caller's code, never data; the values are escaped
    // by the writer so that no value can start a new line.
    virtual void WriteLog(int level, const char* function, int line, int, int, const char* format,
                          ...) __attribute__((format(printf, 7, 8))) = 0;

    // The writer's current level: lines of level N >= 0 are written only when
    // this returns N or more.
    virtual int GetLogLevel() = 0;
};

// The process's log writer. The host framework library installs a default
// writer (stderr, level 0) when it is loaded, so this is never empty unless a
// host empties it on purpose; the macro below tolerates that too.
extern HOST_API boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

// Writes one log line at `level` with the signature text `function` when the
// writer's level admits it. The level is asked first, so the arguments are
// not evaluated when the line is not written. Level LOG_ERROR (-1) is always
// written.
#define NSB_LOG(level, function, ...)                                                       \
    do {                                                                                    \
        CLogWriterInterface* nsbWriter_ = g_ptrLogWriter.get();                             \
        if (nsbWriter_ != nullptr && ((level) < 0 || nsbWriter_->GetLogLevel() >= (level))) \
            nsbWriter_->WriteLog((level), (function), __LINE__, 0, 0, __VA_ARGS__);         \
    } while (0)

// The writer's current level, or -1 when there is no writer.
inline int CurrentLogLevel() {
    CLogWriterInterface* w = g_ptrLogWriter.get();
    return w ? w->GetLogLevel() : -1;
}

// ---- Our stand-in host only: the writers of the host program and of tests.
// Not part of the host's interface; the plug-in only writes through
// g_ptrLogWriter, with NSB_LOG. ----

// A log writer whose level can be changed while other threads write through
// it. The writers made by MakeLogWriter are of this kind; the host reaches
// SetLogLevel with boost::dynamic_pointer_cast.
class HOST_API CAdjustableLogWriter : public CLogWriterInterface {
public:
    // Lines asked for after this call see the new level.
    virtual void SetLogLevel(int level) = 0;
};

// Makes the default writer: one line per call with time, process and thread
// id, level, function text, source line and message, written through spdlog
// to `filePath`, or to stderr when `filePath` is empty. Control bytes and
// backslashes in the formatted message are escaped as \xNN and \\.
// Throws std::runtime_error when the file cannot be opened.
HOST_API boost::shared_ptr<CLogWriterInterface> MakeLogWriter(const std::string& filePath,
                                                              int level);
