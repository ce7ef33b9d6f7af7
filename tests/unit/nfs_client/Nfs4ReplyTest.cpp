// Checked reading of NFSv4 replies: results against the operations sent,
// and attributes against their mask.
#include <arpa/inet.h>  // htonl

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nfs_client/Nfs4Reply.h"

namespace nfsclient {
namespace {

struct Reply {
    std::vector<nfs_resop4> results;
    COMPOUND4res res{};

    Reply& Add(nfs_opnum4 op, int status = NFS4_OK) {
        nfs_resop4 r;
        memset(&r, 0, sizeof r);
        r.resop = op;
        memcpy(&r.nfs_resop4_u, &status, sizeof status);  // every result starts with its status
        results.push_back(r);
        return *this;
    }
    const COMPOUND4res& Res(int status = NFS4_OK) {
        res.status = static_cast<nfsstat4>(status);
        res.resarray.resarray_len = static_cast<u_int>(results.size());
        res.resarray.resarray_val = results.data();
        return res;
    }
};

const std::vector<nfs_opnum4> kSent = {OP_PUTROOTFH, OP_LOOKUP, OP_GETFH, OP_GETATTR, OP_READDIR};

TEST(Nfs4Reply, ResultsMustMatchTheOperationsSentInNumberAndOrder) {
    Reply good;
    good.Add(OP_PUTROOTFH).Add(OP_LOOKUP).Add(OP_GETFH).Add(OP_GETATTR).Add(OP_READDIR);
    const Nfs4Reply ok(good.Res(), kSent);
    EXPECT_TRUE(ok.WellFormed()) << ok.Why();
    EXPECT_EQ(ok.Count(), 5u);

    Reply swapped;  // a GETFH result where READDIR's belongs
    swapped.Add(OP_PUTROOTFH).Add(OP_LOOKUP).Add(OP_GETFH).Add(OP_GETATTR).Add(OP_GETFH);
    EXPECT_FALSE(Nfs4Reply(swapped.Res(), kSent).WellFormed());

    Reply longer;
    longer.Add(OP_PUTROOTFH)
        .Add(OP_LOOKUP)
        .Add(OP_GETFH)
        .Add(OP_GETATTR)
        .Add(OP_READDIR)
        .Add(OP_READDIR);
    EXPECT_FALSE(Nfs4Reply(longer.Res(), kSent).WellFormed());

    Reply shorter;  // success, yet results missing
    shorter.Add(OP_PUTROOTFH).Add(OP_LOOKUP);
    const Nfs4Reply lacking(shorter.Res(), kSent);
    EXPECT_FALSE(lacking.WellFormed());
    EXPECT_NE(lacking.Why().find("lacks operations"), std::string::npos);

    Reply noArray;
    noArray.Res();
    noArray.res.resarray.resarray_len = 3;
    noArray.res.resarray.resarray_val = nullptr;
    EXPECT_FALSE(Nfs4Reply(noArray.res, kSent).WellFormed());
}

TEST(Nfs4Reply, AFailedCompoundEndsWithTheFailingOperation) {
    Reply failed;
    failed.Add(OP_PUTROOTFH).Add(OP_LOOKUP, NFS4ERR_NOENT);
    const Nfs4Reply reply(failed.Res(NFS4ERR_NOENT), kSent);
    ASSERT_TRUE(reply.WellFormed()) << reply.Why();
    EXPECT_EQ(reply.FailedIndex(), 1u);
    EXPECT_EQ(reply.FailedStatus(), NFS4ERR_NOENT);

    Reply goesOn;  // results after a failed one
    goesOn.Add(OP_PUTROOTFH).Add(OP_LOOKUP, NFS4ERR_NOENT).Add(OP_GETFH);
    EXPECT_FALSE(Nfs4Reply(goesOn.Res(NFS4ERR_NOENT), kSent).WellFormed());

    Reply bare;  // no results at all: the COMPOUND's own status stands
    const Nfs4Reply none(bare.Res(NFS4ERR_MINOR_VERS_MISMATCH), kSent);
    ASSERT_TRUE(none.WellFormed());
    EXPECT_EQ(none.FailedStatus(), NFS4ERR_MINOR_VERS_MISMATCH);
}

TEST(Nfs4Reply, FileHandlesAndNamesAreBoundedBeforeTheyAreCopied) {
    std::vector<char> bytes(200, 'h');
    Reply reply;
    reply.Add(OP_PUTROOTFH).Add(OP_GETFH);
    nfs_fh4& fh = reply.results[1].nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
    fh.nfs_fh4_val = bytes.data();
    fh.nfs_fh4_len = kMaxHandleBytes;
    const Nfs4Reply read(reply.Res(), {OP_PUTROOTFH, OP_GETFH});
    std::vector<char> handle;
    std::string why;
    EXPECT_TRUE(read.Handle(1, handle, why));
    EXPECT_EQ(handle.size(), kMaxHandleBytes);
    fh.nfs_fh4_len = 0xFFFFFFF0u;
    EXPECT_FALSE(Nfs4Reply(reply.Res(), {OP_PUTROOTFH, OP_GETFH}).Handle(1, handle, why));
    EXPECT_NE(why.find("file handle"), std::string::npos);

    entry4 entry{};
    char name[] = "abc";
    entry.name.utf8string_val = name;
    entry.name.utf8string_len = 3;
    const char* data = nullptr;
    size_t length = 0;
    ASSERT_TRUE(EntryName(entry, data, length));
    EXPECT_EQ(length, 3u);
    entry.name.utf8string_len = 0xFFFFFFFFu;  // declared 4 GiB long
    EXPECT_FALSE(EntryName(entry, data, length));
}

// An fattr4 built from a mask and big-endian words.
struct Fattr {
    std::vector<uint32_t> mask;
    std::vector<uint32_t> words;
    fattr4 attrs{};
    const fattr4& Get() {
        for (uint32_t& w : words) w = htonl(w);
        attrs.attrmask.bitmap4_len = static_cast<u_int>(mask.size());
        attrs.attrmask.bitmap4_val = mask.data();
        attrs.attr_vals.attrlist4_len = static_cast<u_int>(words.size() * 4);
        attrs.attr_vals.attrlist4_val = reinterpret_cast<char*>(words.data());
        return attrs;
    }
};

constexpr AttrMask kAsked = MaskOf({kAttrType, kAttrSize, kAttrMode, kAttrTimeModify});

TEST(Attributes, DecodedInBitOrderFromTheMaskTheServerSent) {
    Fattr f{{MaskOf({kAttrType, kAttrSize}).word[0], MaskOf({kAttrMode, kAttrTimeModify}).word[1]},
            {2, 0x1, 0x2, 0755, 0, 1700000000, 5}};
    Attributes a;
    std::string why;
    ASSERT_TRUE(DecodeAttributes(f.Get(), kAsked, a, why)) << why;
    EXPECT_EQ(a.type, 2u);
    EXPECT_EQ(a.size, 0x100000002ull);
    EXPECT_EQ(a.mode, 0755u);
    EXPECT_EQ(a.mtime, 1700000000);
    EXPECT_TRUE(a.Has(kAttrMode));
    EXPECT_FALSE(a.Has(kAttrFsid));
}

TEST(Attributes, UnaskedShortLongAndOversizedListsAreRefused) {
    Attributes a;
    std::string why;
    Fattr unasked{{MaskOf({kAttrType, kAttrFsid}).word[0]}, {1, 0, 0, 0, 0}};
    EXPECT_FALSE(DecodeAttributes(unasked.Get(), kAsked, a, why));
    EXPECT_NE(why.find("not asked for"), std::string::npos);

    Fattr shorter{{MaskOf({kAttrType, kAttrSize}).word[0]}, {1, 0}};
    EXPECT_FALSE(DecodeAttributes(shorter.Get(), kAsked, a, why));
    EXPECT_NE(why.find("shorter"), std::string::npos);

    Fattr longer{{MaskOf({kAttrType}).word[0]}, {1, 7}};
    EXPECT_FALSE(DecodeAttributes(longer.Get(), kAsked, a, why));
    EXPECT_NE(why.find("longer"), std::string::npos);

    Fattr third{{MaskOf({kAttrType}).word[0], 0, 1}, {1}};  // a bit in a third word
    EXPECT_FALSE(DecodeAttributes(third.Get(), kAsked, a, why));

    Fattr huge{{MaskOf({kAttrType}).word[0]}, {1}};
    fattr4 attrs = huge.Get();
    attrs.attrmask.bitmap4_len = 0x40000001u;  // a mask declared a gigabyte long
    EXPECT_FALSE(DecodeAttributes(attrs, kAsked, a, why));
    attrs.attrmask.bitmap4_len = 1;
    attrs.attr_vals.attrlist4_len = 0xFFFFFFFFu;
    EXPECT_FALSE(DecodeAttributes(attrs, kAsked, a, why));
}

}  // namespace
}  // namespace nfsclient
