// The one error value of the NFS client library, on both sides of the pipe,
// and the one place where a failure at a server is worded.
#pragma once

#include <string>       // std::string
#include <string_view>  // std::string_view

namespace nfsclient {

// "NFS server ADDRESS, STEP" (or "NFS server ADDRESS" without a step): where
// something happened, for failures and for notices about entries.
inline std::string ServerPlace(std::string_view address, std::string_view step) {
    std::string text = "NFS server ";
    text.append(address);
    if (!step.empty()) text.append(", ").append(step);
    return text;
}

// "NFS server ADDRESS, STEP: CAUSE" ("NFS server ADDRESS: CAUSE" without a
// step): every failure at a server reads so.
inline std::string ServerText(std::string_view address, std::string_view step,
                              std::string_view cause) {
    return ServerPlace(address, step).append(": ").append(cause);
}

// Ok, or a failure: its text (for the caller's error buffer, as it is) and
// whether it was a timeout. A call keeps its first failure (Keep).
class Status {
public:
    Status() = default;
    // A failure worded elsewhere (the worker's own, or one passed on).
    static Status Failed(std::string text, bool timedOut = false) {
        Status status;
        status.m_text = std::move(text);
        status.m_timedOut = timedOut;
        return status;
    }
    // A failure at a server (ServerText).
    static Status AtServer(std::string_view address, std::string_view step, std::string_view cause,
                           bool timedOut = false) {
        return Failed(ServerText(address, step, cause), timedOut);
    }

    bool Ok() const { return m_text.empty(); }
    bool TimedOut() const { return m_timedOut; }
    // The failure is the server's answer about the path (no such entry, not
    // a folder, access denied): the server spoke as the call took it to, so
    // what the call knew of the server still holds.
    bool PathAnswered() const { return m_pathAnswered; }
    Status& MarkPathAnswered() {
        m_pathAnswered = !Ok();
        return *this;
    }
    const std::string& Text() const { return m_text; }
    // Takes `other` unless a failure is kept already: the first one wins.
    void Keep(Status other) {
        if (Ok()) *this = std::move(other);
    }

private:
    std::string m_text;  // empty: ok
    bool m_timedOut = false;
    bool m_pathAnswered = false;
};

}  // namespace nfsclient
