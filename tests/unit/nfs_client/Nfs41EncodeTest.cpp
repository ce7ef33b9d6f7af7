// The NFSv4.1 COMPOUND encoder: bytes checked by hand word by word, the
// size bound, and what it refuses to encode.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Nfs41TestSupport.h"

namespace {

using namespace nfsclient::v41;
using nfs41test::FromHex;
using nfs41test::ToHex;
using testing::HasSubstr;

std::string Encoded(const Compound41& compound) {
    std::vector<char> out;
    std::string why;
    EXPECT_TRUE(compound.Encode(out, why)) << why;
    EXPECT_EQ(out.size(), compound.EncodedSizeBound())
        << "the bound is exact for what this client sends";
    return std::string(out.begin(), out.end());
}

// Hex with the spaces of the expectations below removed.
std::string Words(const std::string& spaced) {
    std::string hex;
    for (char c : spaced)
        if (c != ' ' && c != '\n') hex += c;
    return hex;
}

TEST(Nfs41Encode, ExchangeIdWithOwnerVerifierAndNoImplementationId) {
    ExchangeIdArgs args;
    memcpy(args.verifier, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    args.ownerId = "owner";
    Compound41 compound(1);
    compound.ExchangeId(args);
    EXPECT_EQ(ToHex(Encoded(compound)),
              Words("00000000 00000001 00000001"   // empty tag, minor version 1, one operation
                    " 0000002a 01020304 05060708"  // EXCHANGE_ID, co_verifier
                    " 00000005 6f776e65 72000000"  // co_ownerid "owner", padded
                    " 00010001"                    // USE_NON_PNFS, SUPP_MOVED_REFER
                    " 00000000 00000000"));        // SP4_NONE, no eia_client_impl_id
}

TEST(Nfs41Encode, CreateSessionAsksForSlotsAndAMinimalBackChannel) {
    CreateSessionArgs args;
    args.clientId = 0x0123456789abcdefull;
    args.sequence = 1;
    Compound41 compound(1);
    compound.CreateSession(args);
    const std::string head =
        "00000000 00000001 00000001 0000002b 01234567 89abcdef 00000001 00000000";
    const std::string fore = " 00000000 00100000 00100000 00001000 00000040 00000008 00000000";
    const std::string back = " 00000000 00000100 00000100 00000000 00000002 00000001 00000000";
    EXPECT_EQ(ToHex(Encoded(compound)), Words(head + fore + back + " 40000000 00000001 00000000"))
        << "8 slots, 64 operations, 1 MiB each way; callback program, one AUTH_NONE";

    args.authNoneCallback = false;
    Compound41 bare(1);
    bare.CreateSession(args);
    EXPECT_EQ(ToHex(Encoded(bare)), Words(head + fore + back + " 40000000 00000000"));
}

TEST(Nfs41Encode, SequenceThenTheOperationsLibnfsEncodes) {
    SequenceArgs sequence{};
    for (int i = 0; i < 16; ++i) sequence.sessionId[i] = static_cast<char>(i);
    sequence.sequenceId = 7;
    sequence.slotId = 3;
    sequence.highestSlotId = 7;
    Compound41 compound(2);
    compound.SetTag("abcde");
    compound.Sequence(sequence);
    compound.PutRootFh();
    compound.Lookup("vol", 3);
    compound.PutFh("abc", 3);
    compound.GetFh();
    compound.GetAttr({0x00100102, 0x00800000});
    compound.ReadDir(0x1122334455667788ull, "\xa1\xa2\xa3\xa4\xa5\xa6\xa7\xa8", 8192, 65536,
                     {0x00100812, 0x00200002});
    EXPECT_EQ(
        ToHex(Encoded(compound)),
        Words("00000005 61626364 65000000 00000002 00000007"   // tag "abcde", minor 2, 7 operations
              " 00000035 00010203 04050607 08090a0b 0c0d0e0f"  // SEQUENCE, session id
              " 00000007 00000003 00000007 00000000"  // sequence, slot, highest slot, no caching
              " 00000018"                             // PUTROOTFH
              " 0000000f 00000003 766f6c00"           // LOOKUP "vol"
              " 00000016 00000003 61626300"           // PUTFH "abc"
              " 0000000a"                             // GETFH
              " 00000009 00000002 00100102 00800000"  // GETATTR, two mask words
              " 0000001a 11223344 55667788 a1a2a3a4 a5a6a7a8"  // READDIR cookie, verifier
              " 00002000 00010000 00000002 00100812 00200002"));
}

TEST(Nfs41Encode, ReclaimCompleteAndTheTeardownOperations) {
    SessionId id;
    memset(id, 0xee, sizeof id);
    Compound41 reclaim(1);
    reclaim.ReclaimComplete();
    EXPECT_EQ(ToHex(Encoded(reclaim)), Words("00000000 00000001 00000001 0000003a 00000000"));
    Compound41 destroy(1);
    destroy.DestroySession(id);
    EXPECT_EQ(ToHex(Encoded(destroy)),
              Words("00000000 00000001 00000001 0000002c eeeeeeee eeeeeeee eeeeeeee eeeeeeee"));
    Compound41 client(1);
    client.DestroyClientId(0xfedcba9876543210ull);
    EXPECT_EQ(ToHex(Encoded(client)),
              Words("00000000 00000001 00000001 00000039 fedcba98 76543210"));
}

// The 4.0 road's COMPOUNDs can be sent over a session unchanged.
TEST(Nfs41Encode, OperationsOfAFourZeroCompoundEncodeAsTheirOwn) {
    std::string name = "docs";
    uint32_t mask[2] = {0x00100102, 0x00800000};
    nfs_argop4 ops[3];
    memset(ops, 0, sizeof ops);
    ops[0].argop = OP_PUTROOTFH;
    ops[1].argop = OP_LOOKUP;
    ops[1].nfs_argop4_u.oplookup.objname.utf8string_len = 4;
    ops[1].nfs_argop4_u.oplookup.objname.utf8string_val = &name[0];
    ops[2].argop = OP_GETATTR;
    ops[2].nfs_argop4_u.opgetattr.attr_request.bitmap4_len = 2;
    ops[2].nfs_argop4_u.opgetattr.attr_request.bitmap4_val = mask;
    COMPOUND4args args{};
    args.argarray.argarray_len = 3;
    args.argarray.argarray_val = ops;

    Compound41 appended(1);
    appended.Append40(args);
    Compound41 built(1);
    built.PutRootFh();
    built.Lookup("docs", 4);
    built.GetAttr({0x00100102, 0x00800000});
    EXPECT_EQ(ToHex(Encoded(appended)), ToHex(Encoded(built)));
    EXPECT_EQ(appended.OpAt(1), static_cast<uint32_t>(OP_LOOKUP));
}

TEST(Nfs41Encode, RefusesWhatItCannotEncodeSafely) {
    std::vector<char> out;
    std::string why;

    Compound41 tooMany(1);
    for (uint32_t i = 0; i <= kMaxOps; ++i) tooMany.GetFh();
    EXPECT_FALSE(tooMany.Encode(out, why));
    EXPECT_THAT(why, HasSubstr("65 operations, more than 64"));

    Compound41 longOwner(1);
    ExchangeIdArgs owner;
    owner.ownerId.assign(kMaxOpaqueBytes + 1, 'x');
    longOwner.ExchangeId(owner);
    EXPECT_FALSE(longOwner.Encode(out, why));

    const std::string handle(kMaxFileHandleBytes + 1, 'h');
    Compound41 longHandle(1);
    longHandle.PutFh(handle.data(), static_cast<uint32_t>(handle.size()));
    EXPECT_EQ(longHandle.EncodedSizeBound(), 0u);

    Compound41 wideMask(1);
    wideMask.GetAttr(std::vector<uint32_t>(kMaxBitmapWords + 1, 1));
    EXPECT_EQ(wideMask.EncodedSizeBound(), 0u);

    nfs_argop4 access{};
    access.argop = OP_ACCESS;
    Compound41 unsupported(1);
    unsupported.Add40(access);
    EXPECT_FALSE(unsupported.Encode(out, why));
    EXPECT_THAT(why, HasSubstr("cannot encode"));
}

// libnfs's fixed-size opaque writer does not check its room: the encoder
// must refuse before writing when the stream is one byte short.
TEST(Nfs41Encode, NeverWritesPastAShortStream) {
    SequenceArgs sequence{};
    Compound41 compound(1);
    compound.Sequence(sequence);
    compound.ReadDir(1, "\x01\x02\x03\x04\x05\x06\x07\x08", 1, 1, {1, 2});
    const size_t bound = compound.EncodedSizeBound();
    for (size_t room = 0; room < bound; ++room) {
        std::vector<char> buffer(room + 64, '\x5a');
        ZDR zdr;
        libnfs_zdrmem_create(&zdr, buffer.data(), static_cast<uint32_t>(room), ZDR_ENCODE);
        std::string why;
        EXPECT_FALSE(compound.Encode(&zdr, why)) << room;
        EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(buffer.size(), '\x5a'))
            << "wrote into a stream of " << room << " bytes";
        libnfs_zdr_destroy(&zdr);
    }
}

TEST(Nfs41ClientOwner, EachCallHasItsOwnIdAndTheProcessOneVerifier) {
    const ExchangeIdArgs a = NewClientOwner("nsb");
    const ExchangeIdArgs b = NewClientOwner("nsb");
    EXPECT_NE(a.ownerId, b.ownerId);
    EXPECT_EQ(std::string(a.verifier, kVerifierSize), std::string(b.verifier, kVerifierSize));
    EXPECT_EQ(a.ownerId.rfind("nsb ", 0), 0u);
    EXPECT_EQ(a.flags, kExchgIdUseNonPnfs | kExchgIdSuppMovedRefer);
    EXPECT_LE(NewClientOwner(std::string(5000, 'p')).ownerId.size(), kMaxOpaqueBytes);
}

}  // namespace
