// The NFSv4.1 reply decoder against replies recorded from nfs-ganesha 4.3
// (CapturedReplies.h), and against every bound: truncated, oversized and
// garbled variants of them, and replies made by hand.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CapturedReplies.h"
#include "Nfs41TestSupport.h"
#include "nfs_client/worker/nfs4/Nfs4Reply.h"  // Nfs4Entries

namespace {

using namespace nfsclient::v41;
using nfs41test::Decoded;
using nfs41test::FromHex;
using nfs41test::Patched;
using nfs41test::Text;
using nfs41test::WordAt;
using nfs41test::Xdr;
using testing::ElementsAre;
using testing::HasSubstr;

std::unique_ptr<Decoded> Decode(const std::string& bytes) {
    return std::make_unique<Decoded>(bytes);
}
std::unique_ptr<Decoded> Capture(const char* hex) { return Decode(FromHex(hex)); }

void ExpectSameChannel(const ChannelAttrs& got, const ChannelAttrs& want, const char* which) {
    EXPECT_EQ(got.headerPadSize, want.headerPadSize) << which;
    EXPECT_EQ(got.maxRequestSize, want.maxRequestSize) << which;
    EXPECT_EQ(got.maxResponseSize, want.maxResponseSize) << which;
    EXPECT_EQ(got.maxResponseSizeCached, want.maxResponseSizeCached) << which;
    EXPECT_EQ(got.maxOperations, want.maxOperations) << which;
    EXPECT_EQ(got.maxRequests, want.maxRequests) << which;
    EXPECT_EQ(got.rdmaIrdCount, 0u) << which;
}

std::string SessionOf(const char* createSessionHex) {
    auto d = Capture(createSessionHex);
    return std::string(d->At(0).u.createSession.sessionId, kSessionIdSize);
}

// The names of the entries of the READDIR result at `index` (of the 4.0
// results), in server order, read in place.
std::vector<std::string> EntryNames(const Compound41Res& res, unsigned index, bool* eof = nullptr,
                                    std::vector<uint64_t>* cookies = nullptr) {
    std::vector<std::string> names;
    nfsclient::Nfs4Entries entries(res.v40dirs[index]);
    for (nfsclient::Nfs4Entry e; entries.Next(e);) {
        names.emplace_back(e.name, e.nameLength);
        if (cookies) cookies->push_back(e.cookie);
    }
    EXPECT_FALSE(entries.Malformed());
    const READDIR4resok& ok = res.v40ops[index].nfs_resop4_u.opreaddir.READDIR4res_u.resok4;
    EXPECT_EQ(ok.reply.entries, nullptr) << "entries are read in place, not decoded by libnfs";
    if (eof) *eof = ok.reply.eof != 0;
    return names;
}

// --- what ganesha sent ------------------------------------------------

TEST(Nfs41Decode, ExchangeIdGivesClientIdSequenceAndTheServerIdentity) {
    for (const char* hex : {captured::kExchangeId, captured::kExchangeIdMinor2}) {
        auto d = Capture(hex);
        ASSERT_TRUE(d->Ok()) << d->Why();
        ASSERT_EQ(d->Res().count, 1u);
        EXPECT_EQ(d->At(0).op, kOpExchangeId);
        const ExchangeIdRes& e = d->At(0).u.exchangeId;
        EXPECT_NE(e.clientId, 0u);
        EXPECT_EQ(e.sequenceId, 1u);
        EXPECT_EQ(e.flags & (kExchgIdUseNonPnfs | kExchgIdUsePnfsMds | kExchgIdUsePnfsDs),
                  kExchgIdUseNonPnfs);
        EXPECT_EQ(e.flags & kExchgIdConfirmedR, 0u) << "a new client";
        EXPECT_EQ(e.stateProtect, kStateProtectNone);
        EXPECT_EQ(e.implIdCount, 0u);
        // ganesha: owner major id = its host name, scope = that + "_NFS-Ganesha" and a NUL.
        const std::string owner = Text(e.serverMajorId);
        EXPECT_FALSE(owner.empty());
        EXPECT_EQ(Text(e.serverScope), owner + std::string("_NFS-Ganesha\0", 13));
        EXPECT_EQ(d->Res().v40count, 0u);
    }
}

TEST(Nfs41Decode, CreateSessionEchoesTheChannelsAskedFor) {
    auto d = Capture(captured::kCreateSession);
    ASSERT_TRUE(d->Ok()) << d->Why();
    ASSERT_EQ(d->At(0).op, kOpCreateSession);
    const CreateSessionRes& c = d->At(0).u.createSession;
    EXPECT_EQ(c.sequence, 1u) << "eir_sequenceid of the EXCHANGE_ID";
    EXPECT_EQ(c.flags, 0u);
    ExpectSameChannel(c.fore, DefaultForeChannel(8), "fore channel");
    ExpectSameChannel(c.back, DefaultBackChannel(), "back channel");
}

TEST(Nfs41Decode, SequenceResultsNameTheSessionAndSlot) {
    const std::string session = SessionOf(captured::kCreateSession);
    struct Case {
        const char* hex;
        uint32_t sequence, slot, count;
    };
    for (const Case& c :
         {Case{captured::kReclaimComplete, 1, 0, 2}, Case{captured::kCompleteAlready, 2, 0, 2},
          Case{captured::kRootGetFhGetAttr, 1, 1, 4}, Case{captured::kReadDirPseudoRoot, 1, 2, 3},
          Case{captured::kLookupGetFh, 3, 0, 5}, Case{captured::kPutFhReadDir, 2, 1, 3}}) {
        auto d = Capture(c.hex);
        ASSERT_TRUE(d->Ok()) << d->Why();
        ASSERT_EQ(d->Res().count, c.count);
        ASSERT_EQ(d->At(0).op, kOpSequence);
        const SequenceRes& s = d->At(0).u.sequence;
        EXPECT_EQ(std::string(s.sessionId, kSessionIdSize), session);
        EXPECT_EQ(s.sequenceId, c.sequence);
        EXPECT_EQ(s.slotId, c.slot);
        EXPECT_EQ(s.highestSlotId, 7u);
        EXPECT_EQ(s.targetHighestSlotId, 7u);
        EXPECT_EQ(s.statusFlags, kSeqStatusCbPathDown) << "no back channel was set up";
    }
    auto again = Capture(captured::kCompleteAlready);
    EXPECT_EQ(again->Res().status, kErrCompleteAlready);
    EXPECT_EQ(again->At(1).op, kOpReclaimComplete);
}

// The 4.0 operations come out as libnfs's structs, with the 4.0 view
// holding only them, so the 4.0 reply handlers can read it unchanged.
TEST(Nfs41Decode, FourZeroResultsAreLibnfsStructsBehindTheSequence) {
    auto d = Capture(captured::kRootGetFhGetAttr);
    ASSERT_TRUE(d->Ok()) << d->Why();
    const COMPOUND4res& v40 = d->Res().v40;
    EXPECT_EQ(v40.status, NFS4_OK);
    ASSERT_EQ(v40.resarray.resarray_len, 3u);
    const nfs_resop4* ops = v40.resarray.resarray_val;
    EXPECT_EQ(ops[0].resop, OP_PUTROOTFH);
    EXPECT_EQ(d->At(1).v40Index, 0);
    ASSERT_EQ(ops[1].resop, OP_GETFH);
    EXPECT_EQ(ops[1].nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object.nfs_fh4_len, 128u)
        << "ganesha's pseudo root handle is exactly the largest allowed";
    ASSERT_EQ(ops[2].resop, OP_GETATTR);
    const fattr4& attrs = ops[2].nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
    ASSERT_EQ(attrs.attrmask.bitmap4_len, 2u);
    EXPECT_EQ(attrs.attrmask.bitmap4_val[0], 0x00100102u);
    EXPECT_EQ(attrs.attrmask.bitmap4_val[1], 0x00800000u);
    ASSERT_EQ(attrs.attr_vals.attrlist4_len, 36u) << "type, fsid, fileid, mounted-on fileid";
    const std::string values(attrs.attr_vals.attrlist4_val, 36);
    EXPECT_EQ(WordAt(values, 0), static_cast<uint32_t>(NF4DIR));
    EXPECT_EQ(WordAt(values, 8), 0x98u) << "ganesha's pseudo fsid major";
}

TEST(Nfs41Decode, ReadDirEntriesInServerOrder) {
    auto pseudo = Capture(captured::kReadDirPseudoRoot);
    ASSERT_TRUE(pseudo->Ok()) << pseudo->Why();
    ASSERT_EQ(pseudo->Res().v40count, 2u);
    bool eof = false;
    EXPECT_THAT(EntryNames(pseudo->Res(), 1, &eof), ElementsAre("vol", "home"));
    EXPECT_TRUE(eof);

    auto listing = Capture(captured::kPutFhReadDir);
    ASSERT_TRUE(listing->Ok()) << listing->Why();
    ASSERT_EQ(listing->Res().v40ops[1].resop, OP_READDIR);
    std::vector<uint64_t> cookies;
    EXPECT_THAT(EntryNames(listing->Res(), 1, &eof, &cookies),
                ElementsAre("caf\xe9.txt", "a.txt", "docs"))
        << "names are raw bytes";
    EXPECT_TRUE(eof);
    EXPECT_THAT(cookies, ElementsAre(4, 3, 0x7fffffff)) << "ganesha's cookies are not monotonic";
}

TEST(Nfs41Decode, FailedLookupEndsTheReplyAndTheFourZeroView) {
    auto d = Capture(captured::kLookupNoEnt);
    ASSERT_TRUE(d->Ok()) << d->Why();
    EXPECT_EQ(d->Res().status, NFS4ERR_NOENT);
    ASSERT_EQ(d->Res().count, 3u) << "SEQUENCE, PUTROOTFH, LOOKUP; GETFH not evaluated";
    EXPECT_EQ(d->At(2).status, NFS4ERR_NOENT);
    // What the 4.0 handlers read: the failed operation is the last one.
    EXPECT_EQ(d->Res().v40.status, NFS4ERR_NOENT);
    ASSERT_EQ(d->Res().v40.resarray.resarray_len, 2u);
    EXPECT_EQ(d->Res().v40ops[1].resop, OP_LOOKUP);
    EXPECT_EQ(d->Res().v40ops[1].nfs_resop4_u.oplookup.status, NFS4ERR_NOENT);
}

TEST(Nfs41Decode, SessionAndCompoundErrors) {
    struct Case {
        const char* name;
        const char* hex;
        int32_t status;
        uint32_t count;
        uint32_t lastOp;
    };
    const Case cases[] = {
        {"minor version 0", captured::kMinorVersion0, NFS4ERR_MINOR_VERS_MISMATCH, 0, 0},
        {"minor version 3", captured::kMinorVersion3, NFS4ERR_MINOR_VERS_MISMATCH, 0, 0},
        {"no SEQUENCE", captured::kOpNotInSession, kErrOpNotInSession, 0, 0},
        {"EXCHANGE_ID not alone", captured::kNotOnlyOp, kErrNotOnlyOp, 0, 0},
        {"unknown session", captured::kBadSession, kErrBadSession, 1, kOpSequence},
        {"sequence id skipped", captured::kSeqMisordered, kErrSeqMisordered, 1, kOpSequence},
        {"slot not granted", captured::kBadSlot, kErrBadSlot, 1, kOpSequence},
        {"client with a session", captured::kClientIdBusy, kErrClientIdBusy, 1, kOpDestroyClientId},
        {"session destroyed", captured::kDestroySession, NFS4_OK, 1, kOpDestroySession},
        {"client destroyed", captured::kDestroyClientId, NFS4_OK, 1, kOpDestroyClientId},
    };
    for (const Case& c : cases) {
        auto d = Capture(c.hex);
        ASSERT_TRUE(d->Ok()) << c.name << ": " << d->Why();
        EXPECT_EQ(d->Res().status, c.status) << c.name;
        ASSERT_EQ(d->Res().count, c.count) << c.name;
        if (c.count > 0) {
            EXPECT_EQ(d->At(c.count - 1).op, c.lastOp) << c.name;
        }
        EXPECT_EQ(d->Res().v40.resarray.resarray_len, 0u) << c.name;
        EXPECT_EQ(d->Res().tag.length, 0u) << c.name;
    }
}

// --- bounds -------------------------------------------------------------

const char* const kAllCaptures[] = {
    captured::kMinorVersion0,    captured::kOpNotInSession,    captured::kExchangeId,
    captured::kCreateSession,    captured::kReclaimComplete,   captured::kCompleteAlready,
    captured::kRootGetFhGetAttr, captured::kReadDirPseudoRoot, captured::kLookupGetFh,
    captured::kPutFhReadDir,     captured::kLookupNoEnt,       captured::kBadSession,
    captured::kClientIdBusy,     captured::kDestroySession,    captured::kDestroyClientId,
};

TEST(Nfs41DecodeBounds, EveryTruncationIsRefusedAsCutShort) {
    for (const char* hex : kAllCaptures) {
        const std::string whole = FromHex(hex);
        for (size_t length = 0; length < whole.size(); ++length) {
            auto d = Decode(whole.substr(0, length));
            EXPECT_FALSE(d->Ok()) << length << " of " << whole.size() << " bytes of " << hex;
            EXPECT_THAT(d->Why(), HasSubstr("cut short")) << length << " bytes of " << hex;
        }
    }
}

TEST(Nfs41DecodeBounds, BytesAfterTheLastResultAreRefused) {
    for (const char* hex : kAllCaptures) {
        auto d = Decode(FromHex(hex) + std::string(4, '\0'));
        EXPECT_FALSE(d->Ok());
        EXPECT_EQ(d->Why(), "4 bytes after the last result");
    }
}

TEST(Nfs41DecodeBounds, TagAndResultCount) {
    const std::string bad = FromHex(captured::kBadSession);
    auto count = Decode(Patched(bad, 8, kMaxOps + 1));
    EXPECT_EQ(count->Why(), "65 results, more than 64");
    auto huge = Decode(Patched(bad, 4, 0xfffffff0u));
    EXPECT_EQ(huge->Why(), "tag: 4294967280 bytes, more than 1024")
        << "no signed overflow in the bound";
    auto longTag = Decode(Xdr().U32(0).Opaque(std::string(1025, 't')).U32(0).Bytes());
    EXPECT_EQ(longTag->Why(), "tag: 1025 bytes, more than 1024");
    auto longestTag = Decode(Xdr().U32(0).Opaque(std::string(1024, 't')).U32(0).Bytes());
    EXPECT_TRUE(longestTag->Ok()) << longestTag->Why();
}

TEST(Nfs41DecodeBounds, ExchangeIdTextsCountsAndStateProtection) {
    const std::string reply = FromHex(captured::kExchangeId);
    auto good = Decode(reply);
    const ExchangeIdRes& e = good->At(0).u.exchangeId;
    const size_t majorLength = good->OffsetOf(e.serverMajorId.data) - 4;
    const size_t scopeLength = good->OffsetOf(e.serverScope.data) - 4;
    const size_t implCount = reply.size() - 4;
    const size_t stateProtect =
        12 + 4 + 4 + 8 + 4 + 4;  // header, op, status, client id, sequence, flags

    EXPECT_EQ(Decode(Patched(reply, majorLength, 1025))->Why(),
              "result 1 (EXCHANGE_ID): server owner: 1025 bytes, more than 1024");
    EXPECT_THAT(Decode(Patched(reply, majorLength, 1000))->Why(),
                HasSubstr("server owner: the reply is cut short"));
    EXPECT_EQ(Decode(Patched(reply, scopeLength, 2000))->Why(),
              "result 1 (EXCHANGE_ID): server scope: 2000 bytes, more than 1024");
    EXPECT_EQ(Decode(Patched(reply, implCount, 2))->Why(),
              "result 1 (EXCHANGE_ID): implementation id: 2 of them, more than 1");
    EXPECT_THAT(Decode(Patched(reply, implCount, 1))->Why(), HasSubstr("cut short"));
    EXPECT_EQ(Decode(Patched(reply, stateProtect, 1))->Why(),
              "result 1 (EXCHANGE_ID): state protection: 1, which was not asked for");
}

TEST(Nfs41DecodeBounds, ExchangeIdWithAnImplementationId) {
    Xdr x;
    x.U32(0).Opaque("").U32(1).U32(kOpExchangeId).U32(0);
    x.U64(0x1122).U32(5).U32(kExchgIdUseNonPnfs).U32(0).U64(9).Opaque("owner").Opaque("scope");
    x.U32(1).Opaque("example.org").Opaque("server 1.0").U64(1700000000).U32(5);
    auto d = Decode(x.Bytes());
    ASSERT_TRUE(d->Ok()) << d->Why();
    const ExchangeIdRes& e = d->At(0).u.exchangeId;
    EXPECT_EQ(e.clientId, 0x1122u);
    EXPECT_EQ(e.serverMinorId, 9u);
    EXPECT_EQ(Text(e.serverMajorId), "owner");
    EXPECT_EQ(Text(e.implDomain), "example.org");
    EXPECT_EQ(Text(e.implName), "server 1.0");
    EXPECT_EQ(e.implDateSeconds, 1700000000);
    EXPECT_EQ(e.implDateNseconds, 5u);
}

TEST(Nfs41DecodeBounds, CreateSessionRdmaValues) {
    const std::string reply = FromHex(captured::kCreateSession);
    const size_t foreRdmaCount = 12 + 4 + 4 + 16 + 4 + 4 + 6 * 4;
    ASSERT_EQ(WordAt(reply, foreRdmaCount), 0u);
    EXPECT_EQ(Decode(Patched(reply, foreRdmaCount, 2))->Why(),
              "result 1 (CREATE_SESSION): fore channel: 2 RDMA ird values, more than 1");
    EXPECT_THAT(Decode(Patched(reply, foreRdmaCount, 1))->Why(), HasSubstr("cut short"));
}

TEST(Nfs41DecodeBounds, HandlesBitmapsAndAttributeValues) {
    const std::string reply = FromHex(captured::kRootGetFhGetAttr);
    auto good = Decode(reply);
    const nfs_resop4* ops = good->Res().v40ops;
    const size_t handleLength =
        good->OffsetOf(ops[1].nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object.nfs_fh4_val) - 4;
    const fattr4& attrs = ops[2].nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
    const size_t valuesLength = good->OffsetOf(attrs.attr_vals.attrlist4_val) - 4;
    const size_t maskWords = valuesLength - 4 - 4 * attrs.attrmask.bitmap4_len;
    ASSERT_EQ(WordAt(reply, maskWords), 2u);

    EXPECT_EQ(Decode(Patched(reply, handleLength, 129))->Why(),
              "result 3 (GETFH): file handle: 129 bytes, more than 128");
    EXPECT_EQ(Decode(Patched(reply, maskWords, kMaxBitmapWords + 1))->Why(),
              "result 4 (GETATTR): attributes: 9 words, more than 8");
    EXPECT_EQ(Decode(Patched(reply, valuesLength, kMaxAttrBytes + 1))->Why(),
              "result 4 (GETATTR): attributes: 65537 bytes, more than 65536");
    EXPECT_EQ(Decode(Patched(reply, valuesLength, 0x80000000u))->Why(),
              "result 4 (GETATTR): attributes: 2147483648 bytes, more than 65536")
        << "libnfs 4.0 would take this length as negative and read out of bounds";
}

TEST(Nfs41DecodeBounds, ReadDirNamesListMarkersAndEof) {
    const std::string reply = FromHex(captured::kPutFhReadDir);
    auto good = Decode(reply);
    nfsclient::Nfs4Entries entries(good->Res().v40dirs[1]);
    nfsclient::Nfs4Entry first;
    ASSERT_TRUE(entries.Next(first));
    const size_t nameLength = good->OffsetOf(first.name) - 4;
    const size_t firstMarker = nameLength - 8 - 4;
    ASSERT_EQ(WordAt(reply, firstMarker), 1u);

    // A name may be long (the listing leaves out those over 4 KiB); one
    // declared beyond what is decoded at all is a malformed reply.
    EXPECT_EQ(Decode(Patched(reply, nameLength, kMaxDecodedNameBytes + 1))->Why(),
              "result 3 (READDIR): entry name: 65537 bytes, more than 65536");
    EXPECT_EQ(Decode(Patched(reply, nameLength, kMaxNameBytes + 1))->Why(),
              "result 3 (READDIR): entry name: the reply is cut short");
    EXPECT_EQ(Decode(Patched(reply, firstMarker, 2))->Why(),
              "result 3 (READDIR): entry list: not a boolean (2)");
    EXPECT_EQ(Decode(Patched(reply, reply.size() - 4, 7))->Why(),
              "result 3 (READDIR): eof: not a boolean (7)");
}

std::string ReadDirReply(uint32_t entries) {
    Xdr x;
    x.U32(0).Opaque("").U32(1).U32(OP_READDIR).U32(0).Fixed("verifier");
    for (uint32_t i = 0; i < entries; ++i) x.U32(1).U64(i + 1).Opaque("n").U32(0).U32(0);
    x.U32(0).U32(1);
    return x.Bytes();
}

TEST(Nfs41DecodeBounds, ReadDirEntryCountIsBounded) {
    EXPECT_EQ(Decode(ReadDirReply(kMaxDirEntries + 1))->Why(),
              "result 1 (READDIR): entry list: more than 65536 entries");
    auto d = Decode(ReadDirReply(kMaxDirEntries));
    ASSERT_TRUE(d->Ok()) << d->Why();
    EXPECT_EQ(d->Res().v40dirs[0].count, kMaxDirEntries);
    EXPECT_EQ(EntryNames(d->Res(), 0).size(), kMaxDirEntries);
}

TEST(Nfs41DecodeBounds, GarbledStructure) {
    const std::string destroyed = FromHex(captured::kDestroySession);
    EXPECT_EQ(Decode(Patched(destroyed, 12, OP_ACCESS))->Why(),
              "result 1 is for operation 3, which this client does not send");
    EXPECT_EQ(Decode(Patched(destroyed, 12, 99))->Why(),
              "result 1 is for operation 99, which this client does not send");
    EXPECT_EQ(Decode(Patched(destroyed, 0, NFS4ERR_DELAY))->Why(),
              "COMPOUND status 10008, but its last result's is 0");
    const std::string failedThenMore = Xdr()
                                           .U32(NFS4ERR_NOENT)
                                           .Opaque("")
                                           .U32(2)
                                           .U32(OP_PUTROOTFH)
                                           .U32(NFS4ERR_NOENT)
                                           .U32(OP_GETFH)
                                           .U32(NFS4ERR_NOENT)
                                           .Bytes();
    EXPECT_EQ(Decode(failedThenMore)->Why(),
              "result 1 (PUTROOTFH) failed with 2, yet more results follow");
}

// --- the reply against the request ----------------------------------------

TEST(Nfs41MatchReply, ResultsMustAnswerTheOperationsSent) {
    const uint32_t reclaim[] = {kOpSequence, kOpReclaimComplete};
    EXPECT_TRUE(MatchReply(reclaim, 2, Capture(captured::kReclaimComplete)->Res()));
    {
        auto d = Capture(captured::kReclaimComplete);
        EXPECT_FALSE(MatchReply(reclaim, 1, d->Res()));
        EXPECT_STREQ(d->Res().malformed, "2 results for 1 operations");
    }
    {
        const uint32_t other[] = {kOpSequence, kOpDestroySession};
        auto d = Capture(captured::kReclaimComplete);
        EXPECT_FALSE(MatchReply(other, 2, d->Res()));
        EXPECT_STREQ(
            d->Res().malformed,
            "result 2 is for RECLAIM_COMPLETE, but the operation sent there was DESTROY_SESSION");
    }
    {
        const uint32_t lookup[] = {kOpSequence, OP_PUTROOTFH, OP_LOOKUP, OP_GETFH};
        EXPECT_TRUE(MatchReply(lookup, 4, Capture(captured::kLookupNoEnt)->Res()))
            << "a failed operation ends the reply early";
    }
    {
        const uint32_t five[] = {kOpSequence, OP_PUTROOTFH, OP_GETFH, OP_GETATTR, OP_GETATTR};
        auto d = Capture(captured::kRootGetFhGetAttr);
        EXPECT_FALSE(MatchReply(five, 5, d->Res()));
        EXPECT_STREQ(d->Res().malformed, "status NFS4_OK with 4 results for 5 operations");
    }
}

TEST(Nfs41MatchReply, IllegalOperationMayEndTheReply) {
    Xdr x;
    x.U32(NFS4ERR_OP_ILLEGAL).Opaque("").U32(2);
    x.U32(kOpSequence).U32(0).Fixed(std::string(16, 's')).U32(1).U32(0).U32(0).U32(0).U32(0);
    x.U32(kOpIllegal).U32(NFS4ERR_OP_ILLEGAL);
    const uint32_t sent[] = {kOpSequence, kOpReclaimComplete};
    auto d = Decode(x.Bytes());
    ASSERT_TRUE(d->Ok()) << d->Why();
    EXPECT_TRUE(MatchReply(sent, 2, d->Res()));
}

TEST(Nfs41CheckSequence, SessionSlotAndSequenceMustBeTheOnesSent) {
    auto d = Capture(captured::kReclaimComplete);
    const SequenceRes& got = d->At(0).u.sequence;
    SequenceArgs sent{};
    memcpy(sent.sessionId, got.sessionId, kSessionIdSize);
    sent.sequenceId = 1;
    sent.slotId = 0;
    std::string why;
    EXPECT_TRUE(CheckSequence(sent, got, why)) << why;
    SequenceArgs slot = sent;
    slot.slotId = 1;
    EXPECT_FALSE(CheckSequence(slot, got, why));
    EXPECT_EQ(why, "the SEQUENCE reply is for slot 0, not 1");
    SequenceArgs sequence = sent;
    sequence.sequenceId = 2;
    EXPECT_FALSE(CheckSequence(sequence, got, why));
    SequenceArgs session = sent;
    session.sessionId[15] ^= 1;
    EXPECT_FALSE(CheckSequence(session, got, why));
    EXPECT_EQ(why, "the SEQUENCE reply names another session");
}

}  // namespace

// SECINFO's flavour list: Kerberos V5 known with or without the OID's DER
// header, any other mechanism not; the count and each OID bounded.
TEST(Nfs41DecodeBounds, SecinfoFlavoursAndTheirBounds) {
    const std::string krb5 = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02";
    auto reply = [](uint32_t op, uint32_t count, const std::vector<std::string>& oids) {
        Xdr x;
        x.U32(0).Opaque("").U32(1).U32(op).U32(0).U32(count).U32(1);  // AUTH_SYS first
        for (const std::string& oid : oids) x.U32(6).Opaque(oid).U32(0).U32(3);
        return x.Bytes();
    };
    auto d =
        Decode(reply(kOpSecinfo, 4, {"\x06\x09" + krb5, krb5, "\x06\x06\x2b\x06\x01\x05\x05\x02"}));
    ASSERT_TRUE(d->Ok()) << d->Why();
    const SecinfoRes& s = d->At(0).u.secinfo;
    ASSERT_EQ(s.count, 4u);
    EXPECT_EQ(s.entries[0].flavour, 1u);
    EXPECT_TRUE(s.entries[1].kerberos);
    EXPECT_EQ(s.entries[1].service, 3u);
    EXPECT_TRUE(s.entries[2].kerberos);
    EXPECT_FALSE(s.entries[3].kerberos);
    EXPECT_TRUE(Decode(reply(kOpSecinfoNoName, 1, {}))->Ok());
    EXPECT_EQ(Decode(reply(kOpSecinfo, kMaxSecinfoEntries + 1, {}))->Why(),
              "result 1 (SECINFO): flavour count: 17, more than 16");
    EXPECT_EQ(Decode(reply(kOpSecinfoNoName, 2, {std::string(kMaxOidBytes + 1, 'o')}))->Why(),
              "result 1 (SECINFO_NO_NAME): mechanism OID: 65 bytes, more than 64");
    EXPECT_THAT(Decode(reply(kOpSecinfo, 3, {krb5}))->Why(), HasSubstr("cut short"));
}
