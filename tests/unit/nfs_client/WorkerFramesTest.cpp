// The frames between the library and its worker: what goes through, and what
// a worker that misbehaves cannot make the library take.
#include <gtest/gtest.h>

#include "nfs_client/WorkerFrames.h"

namespace nfsclient {
namespace frames {
namespace {

std::vector<std::pair<Type, std::string>> ReadAll(const std::string& bytes, size_t chunk,
                                                  Reader& reader) {
    std::vector<std::pair<Type, std::string>> frames;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        reader.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
        Type type;
        std::string_view payload;
        while (reader.Next(type, payload)) frames.emplace_back(type, std::string(payload));
    }
    return frames;
}

TEST(WorkerFrames, ARequestAndItsAnswerGoThroughInPiecesOfAnySize) {
    Request request;
    request.operation = Operation::List;
    request.limits.stepMs = 1500;
    request.limits.maxEntries = 1ull << 40;
    request.limits.maxExports = 7;
    request.address = "::1";
    request.path = "/vol/vol1/a b";
    request.security = {Flavour::Krb5i,   "nas.example",        "/etc/k.keytab",
                        "backup@EXAMPLE", "FILE:/tmp/krb5cc_0", "/etc/krb5.conf"};
    ServerProfile hints;
    hints.protocol = Protocol::Nfs3;
    hints.mountPort = 20048;
    hints.mountUdpPort = 20049;
    hints.nfsPort = 2049;
    hints.hasExports = true;
    NFSItemInfo item{};
    item.name = "r\xc3\xa9sum\xc3\xa9.pdf";
    item.type = 1;
    item.mode = 0100644;
    item.size = ~0ull;
    item.writeTime = 1700000000;
    Outcome outcome{false, true, "NFS server ::1, listing of /vol: timed out"};

    std::string bytes;
    Append(bytes, kRequest, EncodeRequest(request));
    Append(bytes, kHints, EncodeHints(hints));
    Append(bytes, kEntry, EncodeEntry(item));
    Append(bytes, kProgress, "");
    Append(bytes, kDone, EncodeOutcome(outcome));
    for (size_t chunk : {1, 3, 7, 4096}) {
        Reader reader;
        const auto frames = ReadAll(bytes, chunk, reader);
        ASSERT_EQ(frames.size(), 5u) << chunk;
        EXPECT_FALSE(reader.Broken());
        Request r;
        ASSERT_TRUE(DecodeRequest(frames[0].second, r));
        EXPECT_EQ(r.operation, Operation::List);
        EXPECT_EQ(r.limits.stepMs, 1500u);
        EXPECT_EQ(r.limits.maxEntries, 1ull << 40);
        EXPECT_EQ(r.limits.maxExports, 7u);
        EXPECT_EQ(r.address, "::1");
        EXPECT_EQ(r.path, "/vol/vol1/a b");
        EXPECT_EQ(r.security.flavour, Flavour::Krb5i);
        EXPECT_EQ(r.security.serverName, "nas.example");
        EXPECT_EQ(r.security.keytab, "/etc/k.keytab");
        EXPECT_EQ(r.security.principal, "backup@EXAMPLE");
        EXPECT_EQ(r.security.credentialCache, "FILE:/tmp/krb5cc_0");
        EXPECT_EQ(r.security.kerberosConfig, "/etc/krb5.conf");
        ServerProfile h;
        ASSERT_TRUE(DecodeHints(frames[1].second, h));
        EXPECT_EQ(h.protocol, Protocol::Nfs3);
        EXPECT_EQ(h.mountPort, 20048);
        EXPECT_EQ(h.mountUdpPort, 20049);
        EXPECT_TRUE(h.hasExports);
        EntryView e;
        ASSERT_TRUE(DecodeEntry(frames[2].second, e));
        EXPECT_EQ(e.name, "r\xc3\xa9sum\xc3\xa9.pdf");
        EXPECT_EQ(e.size, ~0ull);
        EXPECT_EQ(e.mode, 0100644u);
        EXPECT_EQ(frames[3].first, kProgress);
        Outcome o;
        ASSERT_TRUE(DecodeOutcome(frames[4].second, o));
        EXPECT_FALSE(o.ok);
        EXPECT_TRUE(o.timedOut);
        EXPECT_EQ(o.error, outcome.error);
    }
}

TEST(WorkerFrames, LengthsTypesAndFieldsAWorkerMaySendAreChecked) {
    Reader huge;
    huge.Feed("\xff\xff\xff\x7fI", 5);
    Type type;
    std::string_view payload;
    EXPECT_FALSE(huge.Next(type, payload));
    EXPECT_TRUE(huge.Broken());
    EXPECT_EQ(huge.Why(), "a frame of 2147483647 bytes");
    huge.Feed("more", 4);
    EXPECT_FALSE(huge.Next(type, payload));

    Reader unknown;
    unknown.Feed("\x01\x00\x00\x00Z", 5);
    EXPECT_FALSE(unknown.Next(type, payload));
    EXPECT_TRUE(unknown.Broken());

    Reader empty;
    empty.Feed("\x00\x00\x00\x00I", 5);
    EXPECT_FALSE(empty.Next(type, payload));
    EXPECT_TRUE(empty.Broken());

    EntryView entry;
    const std::string fixed(24, '\0');
    for (const std::string& name :
         {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
          std::string("se\0cret", 7), std::string(4097, 'n')})
        EXPECT_FALSE(DecodeEntry(fixed + name, entry)) << name.size();
    EXPECT_FALSE(DecodeEntry(std::string(10, '\0'), entry));
    EXPECT_TRUE(DecodeEntry(fixed + std::string(4096, 'n'), entry));

    Outcome outcome;
    EXPECT_FALSE(DecodeOutcome(std::string("\x01\x00", 2) + "a success with a reason", outcome));
    EXPECT_FALSE(DecodeOutcome(std::string("\x00\x00", 2), outcome));  // a failure without one
    EXPECT_FALSE(DecodeOutcome(std::string("\x02\x00", 2), outcome));
    EXPECT_TRUE(DecodeOutcome(std::string("\x01\x00", 2), outcome));

    ServerProfile hints;
    const std::string noUdp(4, '\0');  // MOUNT's UDP port: none
    EXPECT_FALSE(DecodeHints(std::string("\x09") + std::string(13, '\0') + noUdp,
                             hints));  // no such protocol
    EXPECT_FALSE(DecodeHints(std::string("\x01\xff\xff\x01\x00") + std::string(9, '\0') + noUdp,
                             hints));  // port
    EXPECT_FALSE(DecodeHints(std::string(10, '\0') + std::string("\x03\0\0\0", 4) + noUdp,
                             hints));  // minor version 3
    EXPECT_FALSE(DecodeHints(std::string(14, '\0') + std::string("\x00\x00\x01\x00", 4),
                             hints));                         // UDP port 65536
    EXPECT_FALSE(DecodeHints(std::string(14, '\0'), hints));  // cut short
    EXPECT_TRUE(DecodeHints(std::string(10, '\0') + std::string("\x02\0\0\0", 4) + noUdp, hints));
    EXPECT_EQ(hints.nfs4Minor, 2u);

    Request request;
    EXPECT_FALSE(DecodeRequest(EncodeRequest(Request()) + "x", request));  // trailing bytes
    Request zero;
    zero.limits.stepMs = 0;
    EXPECT_FALSE(DecodeRequest(EncodeRequest(zero), request));
    // The security's flavour and the bound of each of its texts.
    Request flavour;
    std::string bytes = EncodeRequest(flavour);
    bytes[bytes.size() - 21] = static_cast<char>(static_cast<uint8_t>(kLastFlavour) + 1);
    EXPECT_FALSE(DecodeRequest(bytes, request));
    Request name;
    name.security.serverName.assign(kMaxServerNameBytes + 1, 'n');
    EXPECT_FALSE(DecodeRequest(EncodeRequest(name), request));
    EXPECT_NE(CheckSecurity(name.security).find("host name is longer than 255 bytes"),
              std::string::npos);
    Request cache;
    cache.security.credentialCache.assign(kMaxSecurityTextBytes + 1, 'c');
    EXPECT_FALSE(DecodeRequest(EncodeRequest(cache), request));
    cache.security.credentialCache.pop_back();
    EXPECT_TRUE(DecodeRequest(EncodeRequest(cache), request));
}

}  // namespace
}  // namespace frames
}  // namespace nfsclient
