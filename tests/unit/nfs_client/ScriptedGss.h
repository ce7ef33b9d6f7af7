// A scripted GSS mechanism and the RPCSEC_GSS wire pieces the tests build
// replies from: shared by the unit tests, the GSS reply fuzz target and the
// hostile catalogue's connection-level cases.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nfs_client/worker/rpc/GssMechanism.h"

namespace gsstest {

// The set-up is one token each way ("hello", then any answer completes it).
// A checksum is "M" and a sum of the message's bytes; a wrap is "W" and the
// message with every byte flipped.
class Scripted final : public nfsclient::GssMechanism {
public:
    Step Initiate(const std::string& input, std::string& output, std::string&) override {
        output = input.empty() ? "hello" : "";
        return input.empty() ? Step::Continue : Step::Complete;
    }
    bool Sign(const std::string& message, std::string& mic, std::string&) override {
        mic = Mic(message);
        return true;
    }
    bool Verify(const std::string& message, const std::string& mic, std::string& why) override {
        why = "bad checksum";
        return mic == Mic(message);
    }
    bool Wrap(const std::string& message, std::string& wrapped, std::string&) override {
        wrapped = "W" + Flip(message);
        return true;
    }
    bool Unwrap(const std::string& wrapped, std::string& message, std::string& why) override {
        why = "bad wrap";
        if (wrapped.empty() || wrapped[0] != 'W') return false;
        message = Flip(wrapped.substr(1));
        return true;
    }
    std::unique_ptr<GssMechanism> Fresh(std::string&) override {
        return std::make_unique<Scripted>();
    }
    static std::string Mic(const std::string& message) {
        uint32_t sum = 7;
        for (unsigned char c : message) sum = sum * 31 + c;
        return "M" + std::to_string(sum);
    }
    static std::string Flip(std::string bytes) {
        for (char& c : bytes) c = static_cast<char>(~c);
        return bytes;
    }
};

inline std::string Be32(uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}
inline std::string Opaque(const std::string& bytes) {
    return Be32(static_cast<uint32_t>(bytes.size())) + bytes +
           std::string((4 - bytes.size() % 4) % 4, '\0');
}

// An accepted reply record (with its 4 marker bytes) to `xid`, with an
// RPCSEC_GSS `verifier` and `result` after accept_stat SUCCESS.
inline std::string Reply(uint32_t xid, const std::string& verifier, const std::string& result) {
    return Be32(0) + Be32(xid) + Be32(1) + Be32(0) + Be32(6) + Opaque(verifier) + Be32(0) + result;
}

}  // namespace gsstest
