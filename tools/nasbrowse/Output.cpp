#include "nasbrowse/Output.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>
#include <vector>

#include "host_framework/MessageXml.h"  // EscapeText: the console's text escape

namespace nasbrowse {
namespace {

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), or 0.
size_t Utf8SequenceLength(const unsigned char* p, size_t left) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) low = 0xA0;   // overlong
        if (b0 == 0xED) high = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) low = 0x90;   // overlong
        if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (left < length) return 0;
    if (p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return length;
}

const char kHexDigits[] = "0123456789abcdef";
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

void AppendNumber(std::string& out, long long value) {
    char digits[24];
    const auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, done.ptr);
}

void AppendUnsigned(std::string& out, unsigned long long value) {
    char digits[24];
    const auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, done.ptr);
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Elapsed(double seconds) {
    char text[32];
    snprintf(text, sizeof text, "%.3f s", seconds);
    return text;
}

// {"code":C,"message":M} or null.
void AppendJsonError(std::string& out, const Failure& failure) {
    if (!failure.failed) {
        out += "null";
        return;
    }
    out += "{\"kind\":";
    AppendJsonString(out, FailureKind(failure.message));
    out += ",\"code\":";
    if (failure.hasCode)
        AppendNumber(out, failure.code);
    else
        out += "null";
    out += ",\"message\":";
    AppendJsonString(out, failure.message);
    out += '}';
}

void AppendJsonItem(std::string& out, const Item& item) {
    out += "{\"name\":";
    const bool valid = AppendJsonString(out, item.name);
    out += item.folder ? ",\"folder\":true,\"mtime\":" : ",\"folder\":false,\"mtime\":";
    AppendUnsigned(out, item.mtime);
    out += ",\"size\":";
    AppendNumber(out, item.size);
    if (!valid) {
        out += ",\"name_hex\":\"";
        out += Hex(item.name);
        out += '"';
    }
    out += '}';
}

// An XML attribute value: the console's text escape, then the entities.
void AppendXmlAttribute(std::string& out, const char* name, const std::string& bytes) {
    out += ' ';
    out += name;
    out += "=\"";
    for (const char c : MessageXml::EscapeText(bytes)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    out += '"';
}

// ---------------------------------------------------------------------------

class TablePresenter : public Presenter {
public:
    TablePresenter(const PresentOptions& options, const ListingInfo& listing, OutputStream& out)
        : m_options(options), m_listing(listing), m_out(out), m_times(options.utc) {}

    // The header waits for the first item or a successful end, so that a
    // failure with nothing listed leaves stdout empty.
    void Begin() override {}

    void Header() {
        m_headerDone = true;
        if (!m_options.headers) return;
        m_line.clear();
        m_line += "TYPE ";
        PadLeft("SIZE", SizeWidth());
        m_line += "  ";
        m_line += "MODIFIED";
        m_line.append(m_times.Width() - 8, ' ');
        m_line += "  NAME\n";
        m_out.Append(m_line);
    }

    void Add(const Item& item) override {
        if (!m_headerDone) Header();
        ++m_items;
        if (item.folder) ++m_folders;
        m_line.clear();
        m_line += item.folder ? "d    " : "-    ";
        if (m_options.human) {
            PadLeft(HumanSize(item.size), SizeWidth());
        } else {
            char digits[24];
            const auto done = std::to_chars(digits, digits + sizeof digits, item.size);
            PadLeft(std::string_view(digits, static_cast<size_t>(done.ptr - digits)), SizeWidth());
        }
        m_line += "  ";
        const size_t timeAt = m_line.size();
        m_times.Append(m_line, item.mtime);
        const size_t written = m_line.size() - timeAt;
        if (written < m_times.Width()) m_line.append(m_times.Width() - written, ' ');
        m_line += "  ";
        AppendQuotedName(m_line, item.name);
        if (item.folder) m_line += '/';
        m_line += '\n';
        m_out.Append(m_line);
    }

    void Finish(const Failure& failure, double elapsedSeconds) override {
        // After a failure the summary would read as a complete answer; the
        // sentence on stderr says what happened instead.
        if (failure.failed || !m_options.headers) return;
        if (!m_headerDone) Header();
        m_out.Append(Plural(m_items, "item", "items") + " (" +
                     Plural(m_folders, "folder", "folders") + ", " +
                     Plural(m_items - m_folders, "file", "files") + ") in " +
                     QuoteName(m_listing.server) + " " + QuoteName(m_listing.path) + ", " +
                     Elapsed(elapsedSeconds) + "\n");
    }

private:
    size_t SizeWidth() const { return m_options.human ? 6 : 14; }
    void PadLeft(std::string_view text, size_t width) {
        if (text.size() < width) m_line.append(width - text.size(), ' ');
        m_line.append(text.data(), text.size());
    }

    PresentOptions m_options;
    ListingInfo m_listing;
    OutputStream& m_out;
    TimeFormatter m_times;
    std::string m_line;
    bool m_headerDone = false;
};

class JsonPresenter : public Presenter {
public:
    JsonPresenter(const ListingInfo& listing, OutputStream& out) : m_listing(listing), m_out(out) {}

    void Begin() override {
        m_line = "{\"server\":";
        AppendJsonString(m_line, m_listing.server);
        m_line += ",\"path\":";
        AppendJsonString(m_line, m_listing.path);
        m_line += ",\"items\":[";
        m_out.Append(m_line);
    }
    void Add(const Item& item) override {
        m_line.clear();
        if (m_items++ != 0) m_line += ',';
        AppendJsonItem(m_line, item);
        m_out.Append(m_line);
    }
    void Finish(const Failure& failure, double) override {
        m_line = "],\"error\":";
        AppendJsonError(m_line, failure);
        m_line += "}\n";
        m_out.Append(m_line);
    }

private:
    ListingInfo m_listing;
    OutputStream& m_out;
    std::string m_line;
};

class JsonLinesPresenter : public Presenter {
public:
    JsonLinesPresenter(const ListingInfo& listing, OutputStream& out)
        : m_listing(listing), m_out(out) {}

    void Begin() override {}
    void Add(const Item& item) override {
        ++m_items;
        if (item.folder) ++m_folders;
        m_line.clear();
        AppendJsonItem(m_line, item);
        m_line += '\n';
        m_out.Append(m_line);
    }
    void Finish(const Failure& failure, double) override {
        m_line = "{\"summary\":true,\"server\":";
        AppendJsonString(m_line, m_listing.server);
        m_line += ",\"path\":";
        AppendJsonString(m_line, m_listing.path);
        m_line += ",\"items\":";
        AppendUnsigned(m_line, m_items);
        m_line += ",\"folders\":";
        AppendUnsigned(m_line, m_folders);
        m_line += ",\"files\":";
        AppendUnsigned(m_line, m_items - m_folders);
        m_line += ",\"error\":";
        AppendJsonError(m_line, failure);
        m_line += "}\n";
        m_out.Append(m_line);
    }

private:
    ListingInfo m_listing;
    OutputStream& m_out;
    std::string m_line;
};

// <nasbrowse server= path=> holding the console's response (and, on
// failure, its generic response), written item by item.
class XmlPresenter : public Presenter {
public:
    XmlPresenter(const ListingInfo& listing, OutputStream& out) : m_listing(listing), m_out(out) {}

    void Begin() override {
        m_line = "<?xml version=\"1.0\"?>\n<nasbrowse";
        AppendXmlAttribute(m_line, "server", m_listing.server);
        AppendXmlAttribute(m_line, "path", m_listing.path);
        m_line += ">\n  <MachineBrowseResp";
        AppendXmlAttribute(m_line, "path", m_listing.requestPath);
        m_out.Append(m_line);
    }
    void Add(const Item& item) override {
        m_line.clear();
        if (m_items++ == 0) m_line += ">\n";
        m_line += "    <item folder=\"";
        m_line += item.folder ? '1' : '0';
        m_line += '"';
        AppendXmlAttribute(m_line, "name", item.name);
        if (item.mtime != 0) {
            m_line += " mtime=\"";
            AppendUnsigned(m_line, item.mtime);
            m_line += '"';
        }
        if (item.size != 0) {
            m_line += " size=\"";
            AppendNumber(m_line, item.size);
            m_line += '"';
        }
        m_line += " />\n";
        m_out.Append(m_line);
    }
    void Finish(const Failure& failure, double) override {
        m_line = m_items == 0 ? " />\n" : "  </MachineBrowseResp>\n";
        if (failure.failed) {
            m_line += "  " + GenericRespElement(failure) + "\n";
        }
        m_line += "</nasbrowse>\n";
        m_out.Append(m_line);
    }

private:
    ListingInfo m_listing;
    OutputStream& m_out;
    std::string m_line;
};

// Holds the items until Finish, then hands them on in order.
class SortingPresenter : public Presenter {
public:
    SortingPresenter(std::unique_ptr<Presenter> inner, SortKey key, bool groupFolders)
        : m_inner(std::move(inner)), m_key(key), m_groupFolders(groupFolders) {}

    void Begin() override { m_inner->Begin(); }
    void Add(const Item& item) override {
        ++m_items;
        m_held.push_back(item);
    }
    void Finish(const Failure& failure, double elapsedSeconds) override {
        SortItems(m_held, m_key, m_groupFolders);
        for (const Item& item : m_held) m_inner->Add(item);
        m_held.clear();
        m_inner->Finish(failure, elapsedSeconds);
    }

private:
    std::unique_ptr<Presenter> m_inner;
    SortKey m_key;
    bool m_groupFolders;
    std::vector<Item> m_held;
};

}  // namespace

// ---------------------------------------------------------------------------

OutputStream::OutputStream(int fd, size_t capacity) : m_fd(fd), m_capacity(capacity) {
    m_buffer.reserve(capacity);
}

OutputStream::OutputStream(Sink sink, size_t capacity)
    : m_fd(-1), m_sink(std::move(sink)), m_capacity(capacity) {
    m_buffer.reserve(capacity);
}

void OutputStream::Append(const char* data, size_t size) {
    if (m_errno != 0) return;
    if (m_buffer.size() + size <= m_capacity) {
        m_buffer.append(data, size);
        return;
    }
    if (!Flush()) return;
    if (size >= m_capacity)
        WriteOut(data, size);
    else
        m_buffer.append(data, size);
}

bool OutputStream::Flush() {
    if (m_errno != 0) return false;
    if (!m_buffer.empty()) {
        WriteOut(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
    }
    return m_errno == 0;
}

bool OutputStream::WriteOut(const char* data, size_t size) {
    if (m_sink) {
        if (!m_sink(data, size)) m_errno = EPIPE;
        return m_errno == 0;
    }
    while (size > 0) {
        const ssize_t n = write(m_fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A non-blocking descriptor inherited from the caller.
                pollfd p{m_fd, POLLOUT, 0};
                if (poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
            }
            m_errno = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool OutputStream::closed() const { return m_errno == EPIPE; }

std::string OutputStream::errorText() const { return m_errno == 0 ? "" : strerror(m_errno); }

bool IsValidUtf8(const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = Utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string ValidUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        const size_t n = Utf8SequenceLength(p + i, bytes.size() - i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(bytes, i, n);
            i += n;
        }
    }
    return out;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    out.reserve(2 * bytes.size());
    for (unsigned char b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0x0F];
    }
    return out;
}

bool AppendJsonString(std::string& out, const std::string& bytes) {
    bool valid = true;
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    size_t from = 0;  // start of the bytes not yet copied
    for (size_t i = 0; i < size;) {
        const unsigned char b = p[i];
        if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') {
            ++i;
            continue;
        }
        if (b >= 0x80) {
            const size_t n = Utf8SequenceLength(p + i, size - i);
            if (n != 0) {
                i += n;
                continue;
            }
        }
        out.append(bytes, from, i - from);
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (b < 0x20) {
                out += "\\u00";
                out += kHexDigits[b >> 4];
                out += kHexDigits[b & 0x0F];
            } else {
                out += kReplacement;
                valid = false;
            }
        }
        from = ++i;
    }
    out.append(bytes, from, size - from);
    out += '"';
    return valid;
}

namespace {

// True for the byte at `p[i]` that a terminal line must not carry as it is:
// C0 controls, DEL, C1 controls (U+0080 .. U+009F move terminals as C0 ones
// do) and invalid UTF-8. `length` gets the bytes it takes.
bool NeedsEscape(const unsigned char* p, size_t left, size_t& length) {
    const unsigned char b = p[0];
    length = 1;
    if (b < 0x20 || b == 0x7F) return true;
    if (b < 0x80) return false;
    const size_t n = Utf8SequenceLength(p, left);
    if (n == 0) return true;
    length = n;
    return b == 0xC2 && p[1] < 0xA0;
}

// Appends `bytes` with every byte NeedsEscape finds as \xNN; with `quoted`,
// double quotes and backslashes get a backslash too.
void AppendEscaped(std::string& out, const std::string& bytes, bool quoted) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = 0; i < size;) {
        size_t n = 0;
        if (NeedsEscape(p + i, size - i, n)) {
            for (size_t k = 0; k < n; ++k) {
                out += "\\x";
                out += kHexDigits[p[i + k] >> 4];
                out += kHexDigits[p[i + k] & 0x0F];
            }
        } else if (quoted && (p[i] == '"' || p[i] == '\\')) {
            out += '\\';
            out += static_cast<char>(p[i]);
        } else {
            out.append(bytes, i, n);
        }
        i += n;
    }
}

}  // namespace

void AppendQuotedName(std::string& out, const std::string& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    auto blank = [](unsigned char c) { return c == ' ' || c == '\t'; };
    bool quote = size == 0 || blank(p[0]) || blank(p[size - 1]) || p[0] == '"';
    for (size_t i = 0, n = 0; i < size && !quote; i += n) quote = NeedsEscape(p + i, size - i, n);
    if (!quote) {
        out += bytes;
        return;
    }
    out += '"';
    AppendEscaped(out, bytes, true);
    out += '"';
}

std::string QuoteName(const std::string& bytes) {
    std::string out;
    AppendQuotedName(out, bytes);
    return out;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    AppendEscaped(out, bytes, false);
    return out;
}

std::string HumanSize(int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static const char units[] = "KMGTPE";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    value /= 1024;
    for (;;) {
        // Rounded up, as ls does, so that a size is never shown smaller.
        const double shown = value < 10 ? std::ceil(value * 10) / 10 : std::ceil(value);
        if (shown < 1024 || unit + 1 == sizeof units - 1) {
            char text[32];
            if (shown < 10)
                snprintf(text, sizeof text, "%.1f%c", shown, units[unit]);
            else
                snprintf(text, sizeof text, "%.0f%c", shown, units[unit]);
            return text;
        }
        value /= 1024;
        ++unit;
    }
}

int TimeFormatter::OffsetAt(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return static_cast<int>(local.tm_gmtoff);
}

std::string TimeFormatter::Format(uint64_t seconds) {
    std::string out;
    Append(out, seconds);
    return out;
}

namespace {

// `value` in exactly `width` decimal digits (value < 10^width).
void AppendDigits(std::string& out, int64_t value, int width) {
    char digits[20];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<size_t>(width));
}

}  // namespace

void TimeFormatter::Append(std::string& out, uint64_t seconds) {
    // Beyond the year 9999 the text would not be ISO 8601 any more.
    if (seconds == 0) {
        out += '-';
        return;
    }
    if (seconds > 253402300799ull) {
        out += '@';
        out += std::to_string(seconds);
        return;
    }
    int64_t t = static_cast<int64_t>(seconds);
    int offset = 0;
    if (!m_utc) {
        // A zone's offset changes at most once in a quarter hour: when both
        // ends of the quarter agree, so does every second in it. A listing's
        // times cluster, so few quarters are ever asked for.
        const int64_t bucket = t / 900;
        Slot& slot = m_slots[static_cast<size_t>(bucket) & 255];
        if (slot.bucket != bucket) {
            const int first = OffsetAt(bucket * 900);
            const int last = OffsetAt(bucket * 900 + 899);
            slot.bucket = bucket;
            slot.offset = first;
            slot.constant = first == last;
        }
        offset = slot.constant ? slot.offset : OffsetAt(t);
        t += offset;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    const int64_t days = t / 86400;
    const int64_t secondOfDay = t % 86400;
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    AppendDigits(out, year, 4);
    out += '-';
    AppendDigits(out, month, 2);
    out += '-';
    AppendDigits(out, day, 2);
    out += 'T';
    AppendDigits(out, secondOfDay / 3600, 2);
    out += ':';
    AppendDigits(out, secondOfDay / 60 % 60, 2);
    out += ':';
    AppendDigits(out, secondOfDay % 60, 2);
    if (m_utc) {
        out += 'Z';
        return;
    }
    const int magnitude = offset < 0 ? -offset : offset;
    out += offset < 0 ? '-' : '+';
    AppendDigits(out, magnitude / 3600, 2);
    out += ':';
    AppendDigits(out, magnitude / 60 % 60, 2);
}

void SortItems(std::vector<Item>& items, SortKey key, bool groupFolders) {
    auto before = [key](const Item& a, const Item& b) {
        switch (key) {
        case SortKey::Name: return a.name < b.name;
        case SortKey::Size: return a.size > b.size;
        case SortKey::Time: return a.mtime > b.mtime;
        case SortKey::None: break;
        }
        return false;
    };
    std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
        if (groupFolders && a.folder != b.folder) return a.folder;
        return before(a, b);
    });
}

std::unique_ptr<Presenter> MakeBrowsePresenter(const PresentOptions& options,
                                               const ListingInfo& listing, OutputStream& out) {
    std::unique_ptr<Presenter> presenter;
    switch (options.format) {
    case Format::Table: presenter = std::make_unique<TablePresenter>(options, listing, out); break;
    case Format::Json: presenter = std::make_unique<JsonPresenter>(listing, out); break;
    case Format::Jsonl: presenter = std::make_unique<JsonLinesPresenter>(listing, out); break;
    case Format::Xml: presenter = std::make_unique<XmlPresenter>(listing, out); break;
    }
    if (options.sort != SortKey::None || options.groupFolders)
        presenter = std::make_unique<SortingPresenter>(std::move(presenter), options.sort,
                                                       options.groupFolders);
    return presenter;
}

void PrintExports(const PresentOptions& options, const std::string& server,
                  const ExportsResult& result, double elapsedSeconds, OutputStream& out) {
    if (options.format == Format::Json) {
        std::string text = "{\"server\":";
        AppendJsonString(text, server);
        text += ",\"shares\":[";
        for (size_t i = 0; i < result.shares.size(); ++i) {
            if (i != 0) text += ',';
            AppendJsonString(text, result.shares[i]);
        }
        text += "],\"error\":";
        AppendJsonError(text, result.error);
        text += "}\n";
        out.Append(text);
        return;
    }
    for (const std::string& share : result.shares) out.Append(QuoteName(share) + "\n");
    if (!result.error.failed && options.headers)
        out.Append(Plural(result.shares.size(), "export", "exports") + " of " + QuoteName(server) +
                   ", " + Elapsed(elapsedSeconds) + "\n");
}

std::string FailureSentence(const Failure& failure, size_t itemsBefore, double timeoutSeconds) {
    std::string text = failure.message.empty() ? "failed for no reason given" : failure.message;
    std::string sentence = "nasbrowse: " + Printable(text);
    if (itemsBefore != 0)
        sentence += "; " + Plural(itemsBefore, "item", "items") + " came before the failure";
    sentence += '\n';
    if (text.find("timed out") != std::string::npos && timeoutSeconds > 0) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%g", timeoutSeconds);
        sentence += std::string("nasbrowse: each NFS step may take ") + seconds +
                    " s; if the server is only slow, raise it with --timeout SECONDS\n";
    }
    return sentence;
}

namespace {

bool Holds(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

}  // namespace

std::string FailureKind(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // In this order: a timeout of a refused step is a timeout, a refusal of
    // access is access.
    static const std::vector<std::pair<const char*, std::vector<const char*>>> kinds = {
        {"limit", {"holds more than", "has more than", "the most one"}},
        {"timeout", {"timed out", "nothing came for", "took longer than"}},
        {"refused", {"connection refused"}},
        {"access",
         {"permission denied", "access denied", "not permitted", "auth", "does not admit",
          "no access", "acces"}},
        {"unreachable",
         {"did not resolve", "does not resolve", "address is empty", "unreachable", "no route",
          "cannot connect", "no daemon answered", "host is down"}},
        {"refused", {"refused"}},
        {"not found", {"no export of", "no such", "not found", "does not exist", "noent"}},
        {"malformed", {"malformed", "framing", "not understood", "invalid", "bad "}},
    };
    for (const auto& [kind, needles] : kinds)
        for (const char* needle : needles)
            if (Holds(lower, needle)) return kind;
    return "other";
}

std::string GenericRespElement(const Failure& failure) {
    std::string element = "<GenericResp";
    AppendXmlAttribute(element, "kind", FailureKind(failure.message));
    if (failure.hasCode) {
        element += " errorCode=\"";
        AppendNumber(element, failure.code);
        element += '"';
    }
    AppendXmlAttribute(element, "message", failure.message);
    return element + " />";
}

Failure Presented(const Failure& failure, const std::string& what) {
    if (!failure.failed) return failure;
    Failure out = failure;
    std::string cause = failure.message;
    // The plug-in's lead: "The shares of ... could not be listed: ".
    const char kLead[] = " could not be listed: ";
    const size_t lead = cause.find(kLead);
    if (cause.rfind("The ", 0) == 0 && lead != std::string::npos)
        cause = cause.substr(lead + sizeof kLead - 1);
    // Its wrapper of the library's text: "LibNFS export list failed [...]".
    const size_t open = cause.find(" failed [");
    if (cause.rfind("LibNFS ", 0) == 0 && open != std::string::npos && cause.back() == ']')
        cause = cause.substr(open + 9, cause.size() - open - 10);
    // A name that did not resolve reaches the library as an empty address.
    if (Holds(cause, "did not resolve to an address"))
        cause = "the name does not resolve to an address; check it, or give the server's address";
    out.message = what.empty() ? cause : what + ": " + cause;
    return out;
}

}  // namespace nasbrowse
