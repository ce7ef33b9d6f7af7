// Checked reading of NFSv4 replies: results against the operations sent,
// and attributes against their mask.
#include <arpa/inet.h>  // htonl

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>  // std::pair
#include <vector>

#include "Nfs41TestSupport.h"  // nfs41test::Xdr
#include "nfs_client/worker/nfs4/Nfs4Reply.h"

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

TEST(Nfs4Reply, FileHandlesAreBoundedBeforeTheyAreCopied) {
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
}

using nfs41test::Xdr;

// One entry of a list: value-follows, cookie, name, a type-only fattr4.
Xdr& Entry(Xdr& x, uint64_t cookie, const std::string& name, uint32_t type) {
    return x.U32(1)
        .U64(cookie)
        .Opaque(name)
        .U32(1)
        .U32(MaskOf({kAttrType}).word[0])
        .U32(4)
        .U32(type);
}

std::vector<std::pair<std::string, uint64_t>> ReadAll(const std::string& bytes, uint32_t count,
                                                      bool& malformed) {
    std::vector<std::pair<std::string, uint64_t>> got;
    Nfs4Entries entries(
        v41::DirList{{bytes.data(), static_cast<uint32_t>(bytes.size())}, count, 0});
    Nfs4Entry e;
    while (entries.Next(e)) {
        Attributes a;
        std::string why;
        EXPECT_TRUE(DecodeAttributes(e.attributes, MaskOf({kAttrType}), a, why)) << why;
        EXPECT_EQ(a.type, 2u);
        got.emplace_back(std::string(e.name, e.nameLength), e.cookie);
    }
    malformed = entries.Malformed();
    EXPECT_FALSE(entries.Next(e)) << "an ended list stays ended";
    EXPECT_EQ(entries.Malformed(), malformed);
    return got;
}

TEST(Nfs4Entries, ReadsAListInPlaceAndRefusesOneThatIsNot) {
    const std::string nul("a\0b", 3);
    Xdr list;
    Entry(list, 7, "one", 2);
    Entry(list, 0x8000000000000001ull, nul, 2);
    Entry(list, 9, "", 2).U32(0);  // and the end of the list
    const std::string bytes = list.Bytes();
    bool malformed = true;
    using Got = std::vector<std::pair<std::string, uint64_t>>;
    EXPECT_EQ(ReadAll(bytes, 3, malformed),
              (Got{{"one", 7}, {nul, 0x8000000000000001ull}, {"", 9}}));
    EXPECT_FALSE(malformed);

    EXPECT_TRUE(ReadAll("", 0, malformed).empty());  // not even the end marker
    EXPECT_TRUE(malformed);
    ReadAll(bytes, 2, malformed);  // more entries than declared
    EXPECT_TRUE(malformed);
    ReadAll(bytes, 4, malformed);  // fewer
    EXPECT_TRUE(malformed);
    EXPECT_EQ(ReadAll(bytes.substr(0, bytes.size() - 6), 3, malformed).size(), 2u);
    EXPECT_TRUE(malformed);                               // cut inside the last entry
    ReadAll(bytes + std::string(4, '\0'), 3, malformed);  // bytes after the end
    EXPECT_TRUE(malformed);
    Xdr marker;  // a value-follows marker that is no boolean
    marker.U32(2);
    ReadAll(marker.Bytes(), 1, malformed);
    EXPECT_TRUE(malformed);

    Xdr longName;  // a name declared 4 GiB long
    longName.U32(1).U64(1).U32(0xFFFFFFFFu).U32(0);
    EXPECT_TRUE(ReadAll(longName.Bytes(), 1, malformed).empty());
    EXPECT_TRUE(malformed);
    Xdr wideMask;  // a mask declared a gigabyte long
    wideMask.U32(1).U64(1).Opaque("x").U32(0x40000001u).U32(0);
    EXPECT_TRUE(ReadAll(wideMask.Bytes(), 1, malformed).empty());
    EXPECT_TRUE(malformed);
}

// An fattr4 built from a mask and words, as libnfs decodes it (Get) and as
// it stands in a reply (Raw).
struct Fattr {
    Fattr(std::vector<uint32_t> m, std::vector<uint32_t> w)
        : mask(std::move(m)), words(std::move(w)) {}
    std::vector<uint32_t> mask;
    std::vector<uint32_t> words;
    fattr4 attrs{};
    std::vector<uint32_t> wire;      // big-endian values
    std::vector<uint32_t> wireMask;  // big-endian mask
    const fattr4& Get() {
        wire.clear();
        for (uint32_t w : words) wire.push_back(htonl(w));
        attrs.attrmask.bitmap4_len = static_cast<u_int>(mask.size());
        attrs.attrmask.bitmap4_val = mask.data();
        attrs.attr_vals.attrlist4_len = static_cast<u_int>(wire.size() * 4);
        attrs.attr_vals.attrlist4_val = reinterpret_cast<char*>(wire.data());
        return attrs;
    }
    RawAttributes Raw() {
        Get();
        wireMask.clear();
        for (uint32_t w : mask) wireMask.push_back(htonl(w));
        RawAttributes raw;
        raw.mask = reinterpret_cast<const char*>(wireMask.data());
        raw.maskWords = static_cast<uint32_t>(wireMask.size());
        raw.values = reinterpret_cast<const char*>(wire.data());
        raw.valuesLength = static_cast<uint32_t>(wire.size() * 4);
        return raw;
    }
};

// Decodes both forms of `f`, which must agree.
bool Decode(Fattr& f, const AttrMask& asked, Attributes& a, std::string& why) {
    Attributes raw;
    std::string rawWhy;
    const bool rawOk = DecodeAttributes(f.Raw(), asked, raw, rawWhy);
    const bool ok = DecodeAttributes(f.Get(), asked, a, why);
    EXPECT_EQ(rawOk, ok);
    EXPECT_EQ(rawWhy, why);
    EXPECT_EQ(memcmp(&raw.has, &a.has, sizeof a.has), 0);
    EXPECT_EQ(raw.type, a.type);
    EXPECT_EQ(raw.size, a.size);
    EXPECT_EQ(raw.mode, a.mode);
    EXPECT_EQ(raw.mtime, a.mtime);
    return ok;
}

constexpr AttrMask kAsked = MaskOf({kAttrType, kAttrSize, kAttrMode, kAttrTimeModify});

TEST(Attributes, DecodedInBitOrderFromTheMaskTheServerSent) {
    Fattr f{{MaskOf({kAttrType, kAttrSize}).word[0], MaskOf({kAttrMode, kAttrTimeModify}).word[1]},
            {2, 0x1, 0x2, 0755, 0, 1700000000, 5}};
    Attributes a;
    std::string why;
    ASSERT_TRUE(Decode(f, kAsked, a, why)) << why;
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
    EXPECT_FALSE(Decode(unasked, kAsked, a, why));
    EXPECT_NE(why.find("not asked for"), std::string::npos);

    Fattr shorter{{MaskOf({kAttrType, kAttrSize}).word[0]}, {1, 0}};
    EXPECT_FALSE(Decode(shorter, kAsked, a, why));
    EXPECT_NE(why.find("shorter"), std::string::npos);

    Fattr longer{{MaskOf({kAttrType}).word[0]}, {1, 7}};
    EXPECT_FALSE(Decode(longer, kAsked, a, why));
    EXPECT_NE(why.find("longer"), std::string::npos);

    Fattr third{{MaskOf({kAttrType}).word[0], 0, 1}, {1}};  // a bit in a third word
    EXPECT_FALSE(Decode(third, kAsked, a, why));

    Fattr huge{{MaskOf({kAttrType}).word[0]}, {1}};
    fattr4 attrs = huge.Get();
    attrs.attrmask.bitmap4_len = 0x40000001u;  // a mask declared a gigabyte long
    EXPECT_FALSE(DecodeAttributes(attrs, kAsked, a, why));
    attrs.attrmask.bitmap4_len = 1;
    attrs.attr_vals.attrlist4_len = 0xFFFFFFFFu;
    EXPECT_FALSE(DecodeAttributes(attrs, kAsked, a, why));
    RawAttributes raw = huge.Raw();
    raw.maskWords = 9;
    EXPECT_FALSE(DecodeAttributes(raw, kAsked, a, why));
    raw = huge.Raw();
    raw.valuesLength = 0x80000000u;
    EXPECT_FALSE(DecodeAttributes(raw, kAsked, a, why));
}

// fs_locations words: a counted string, a pathname4, one fs_location4.
void Str(std::vector<uint32_t>& w, const std::string& text) {
    w.push_back(static_cast<uint32_t>(text.size()));
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t word = 0;
        for (size_t j = 0; j < 4; ++j)
            word |= (i + j < text.size() ? static_cast<unsigned char>(text[i + j]) : 0u)
                    << (24 - 8 * j);
        w.push_back(word);
    }
}
void Path(std::vector<uint32_t>& w, const std::vector<std::string>& parts) {
    w.push_back(static_cast<uint32_t>(parts.size()));
    for (const std::string& p : parts) Str(w, p);
}
std::vector<uint32_t> Locations(
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>& locations) {
    std::vector<uint32_t> w;
    Path(w, {"moved"});  // fs_root
    w.push_back(static_cast<uint32_t>(locations.size()));
    for (const auto& [servers, root] : locations) {
        w.push_back(static_cast<uint32_t>(servers.size()));
        for (const std::string& server : servers) Str(w, server);
        Path(w, root);
    }
    return w;
}

TEST(ReferralTarget, FirstServerOfTheFirstLocationBoundedAndPrintable) {
    const uint32_t fsLocations = MaskOf({kAttrFsLocations}).word[0];
    const std::string longName(400, 'n');
    std::vector<uint32_t> trailing = Locations({{{"a"}, {"b"}}});
    trailing.push_back(0);
    std::vector<uint32_t> manyLocations = Locations({});
    manyLocations.back() = 0xFFFFFFFFu;
    std::vector<uint32_t> hugeServer = Locations({{{"a"}, {}}});
    hugeServer[4] = 0xFFFFFFF0u;  // the first server's length
    std::vector<uint32_t> deepRoot = Locations({{{"a"}, {}}});
    deepRoot.back() = 1000000;  // the root path's components
    struct Case {
        Case(const char* a, std::vector<uint32_t> m, std::vector<uint32_t> w, std::string t,
             const char* y)
            : what(a), mask(std::move(m)), words(std::move(w)), target(std::move(t)), why(y) {}
        const char* what;
        std::vector<uint32_t> mask;
        std::vector<uint32_t> words;
        std::string target;  // empty: refused
        const char* why;
    };
    const Case cases[] = {
        Case("one location", {fsLocations}, Locations({{{"nas2.test"}, {"vol", "archive"}}}),
             "nas2.test:/vol/archive", ""),
        Case("the first of several", {fsLocations, 0},
             Locations({{{"nas2.test", "nas3.test"}, {}}, {{"other"}, {"x"}}}), "nas2.test:/", ""),
        Case("escaped", {fsLocations}, Locations({{{"evil\n"}, {"a\nb"}}}), "evil\\x0a:/a\\x0ab",
             ""),
        Case("cut", {fsLocations}, Locations({{{"s"}, {longName}}}),
             "s:/" + longName.substr(0, kMaxReferralTargetBytes - 6) + "...", ""),
        Case("no location", {fsLocations}, Locations({}), "", "no location"),
        Case("no fs_locations", {0}, {}, "", "sent no fs_locations"),
        Case("another attribute", {fsLocations | 2u}, Locations({{{"a"}, {}}}), "", "malformed"),
        Case("trailing data", {fsLocations}, trailing, "", "malformed"),
        Case("4 G locations", {fsLocations}, manyLocations, "", "malformed"),
        Case("a 4 GiB server name", {fsLocations}, hugeServer, "", "malformed"),
        Case("a million components", {fsLocations}, deepRoot, "", "malformed"),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fattr f{c.mask, c.words};
        std::string target, why;
        EXPECT_EQ(DecodeReferralTarget(f.Get(), target, why), !c.target.empty());
        EXPECT_EQ(target.size() <= kMaxReferralTargetBytes ? target : "too long", c.target);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

}  // namespace
}  // namespace nfsclient
