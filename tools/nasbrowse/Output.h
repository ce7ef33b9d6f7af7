// The output of nasbrowse: a buffered writer for standard output that keeps
// its write errors, the text helpers (UTF-8 repair, JSON strings, quoted
// names, human sizes, ISO 8601 times) and the presenters that print a
// listing item by item as it arrives, in each format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nasbrowse/Result.h"

namespace nasbrowse {

// ---------------------------------------------------------------------------
// Standard output

// Writes to a file descriptor through a buffer of its own. A failed write
// is kept: every later write is dropped, and closed() tells a reader that
// went away (EPIPE, as `| head` does) from any other failure.
class OutputStream {
public:
    explicit OutputStream(int fd, size_t capacity = 64 * 1024);
    // Writes to `sink` instead of a descriptor (the HTTP daemon's response
    // body); a sink that returns false fails the stream as a closed pipe.
    using Sink = std::function<bool(const char* data, size_t size)>;
    explicit OutputStream(Sink sink, size_t capacity = 64 * 1024);
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    void Append(const char* data, size_t size);
    void Append(const std::string& text) { Append(text.data(), text.size()); }
    void Append(char c) {
        if (m_buffer.size() < m_capacity)
            m_buffer.push_back(c);
        else
            Append(&c, 1);
    }
    // Writes out everything buffered. False once the output has failed.
    bool Flush();

    bool ok() const { return m_errno == 0; }
    bool closed() const;            // the reader went away
    std::string errorText() const;  // strerror of the failure, "" when ok

private:
    bool WriteOut(const char* data, size_t size);

    int m_fd;
    Sink m_sink;
    size_t m_capacity;
    std::string m_buffer;
    int m_errno = 0;
};

// ---------------------------------------------------------------------------
// Text helpers

// `bytes` with every byte that is not part of a valid UTF-8 sequence replaced
// by U+FFFD (one per byte). Surrogates and code points above U+10FFFF are
// invalid; so are overlong forms.
std::string ValidUtf8(const std::string& bytes);
bool IsValidUtf8(const std::string& bytes);

// All bytes in lowercase hex, two digits each.
std::string Hex(const std::string& bytes);

// Appends `bytes` as a JSON string (quotes included), invalid UTF-8 replaced
// by U+FFFD. Returns false when something was replaced.
bool AppendJsonString(std::string& out, const std::string& bytes);

// A name or text for a terminal line. Left as it is unless it is empty,
// starts or ends with a blank, starts with a double quote, or holds a control
// byte (C0, DEL or C1) or invalid UTF-8; then it is written in double quotes
// with \" and \\ and \xNN for each such byte.
std::string QuoteName(const std::string& bytes);
void AppendQuotedName(std::string& out, const std::string& bytes);
// The same escapes without the quotes, for texts inside a sentence.
std::string Printable(const std::string& bytes);

// Sizes as `ls -h` writes them: bytes below 1024, else one decimal below 10
// and none above, rounded up, with K, M, G, T, P or E (powers of 1024).
std::string HumanSize(int64_t bytes);

// Modification times in ISO 8601 with the zone: 2024-05-20T10:13:20+02:00
// in the local zone (the zone's offset at that time), 2024-05-20T08:13:20Z
// in UTC; "-" for 0 (no time).
class TimeFormatter {
public:
    explicit TimeFormatter(bool utc) : m_utc(utc) {}
    std::string Format(uint64_t seconds);
    void Append(std::string& out, uint64_t seconds);
    size_t Width() const { return m_utc ? 20 : 25; }

private:
    int OffsetAt(int64_t seconds);
    struct Slot {
        int64_t bucket = INT64_MIN;
        int offset = 0;
        bool constant = false;
    };
    bool m_utc;
    Slot m_slots[256];
};

// ---------------------------------------------------------------------------
// Presenters

enum class Format { Table, Json, Jsonl, Xml };
enum class SortKey { None, Name, Size, Time };

struct PresentOptions {
    Format format = Format::Table;
    bool headers = true;  // table: the header row and the summary line
    bool human = false;   // table: sizes as HumanSize
    bool utc = false;     // table: times in UTC
    SortKey sort = SortKey::None;
    bool groupFolders = false;  // folders before files (with or without a sort)
};

struct ListingInfo {
    std::string server;       // as typed
    std::string path;         // the path shown (normalised, or raw as given)
    std::string requestPath;  // the path the request carried
};

// Prints one listing. Begin() once, Add() for each item in the order the
// answer gives them, Finish() once with the outcome. Every format but a
// sorted one writes each item as it is added; a sort holds the items until
// Finish(). A failure is never written as a table line: the caller says it
// on stderr (FailureSentence); JSON and XML carry it in the document.
class Presenter {
public:
    virtual ~Presenter() = default;
    virtual void Begin() = 0;
    virtual void Add(const Item& item) = 0;
    virtual void Finish(const Failure& failure, double elapsedSeconds) = 0;
    size_t items() const { return m_items; }

protected:
    size_t m_items = 0;
    size_t m_folders = 0;
};

std::unique_ptr<Presenter> MakeBrowsePresenter(const PresentOptions& options,
                                               const ListingInfo& listing, OutputStream& out);

// The export list: a line per export and a summary (table), or
// {"server":S,"shares":[...],"error":E} (json). Nothing but the exports that
// came is written on failure in a table.
void PrintExports(const PresentOptions& options, const std::string& server,
                  const ExportsResult& result, double elapsedSeconds, OutputStream& out);

// Orders `items` as --sort and --group-folders ask; stable, so equal keys
// keep the server's order. Names compare byte by byte; sizes and times
// largest and newest first.
void SortItems(std::vector<Item>& items, SortKey key, bool groupFolders);

// The sentence for stderr: "nasbrowse: " + the failure's text (made
// printable), its code when it has one, how many items came before it, and,
// when the text says it timed out, the NFS timeout and how to raise it. One
// line, or two with the timeout hint; each ends with a newline.
std::string FailureSentence(const Failure& failure, size_t itemsBefore, double timeoutSeconds);

// What a failure text tells of, for an administrator or a script to act on:
// "not found", "access", "timeout", "unreachable", "refused", "malformed",
// "limit", or "other". JSON and XML documents carry it beside the message.
std::string FailureKind(const std::string& text);

// A failure as an administrator reads it: "WHAT: CAUSE", where CAUSE is the
// plug-in's text without its wrappers ("The ... could not be listed: ",
// "LibNFS ... failed [...]"), which stay in the log.
Failure Presented(const Failure& failure, const std::string& what);

// The console's generic response for `failure`, as one element without
// indentation or line end: <GenericResp kind=".." errorCode=".." message=".." />.
std::string GenericRespElement(const Failure& failure);

}  // namespace nasbrowse
