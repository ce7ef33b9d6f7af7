// The bounded NFSv3 and MOUNT reply decoders, on replies built by hand: what
// a well-behaved server sends, and what a hostile one could.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nfs_client/worker/nfs3/Nfs3Replies.h"

namespace nfsclient {
namespace {

struct Xdr {
    std::string bytes;
    Xdr& U32(uint32_t v) {
        for (int i = 3; i >= 0; --i) bytes.push_back(static_cast<char>(v >> (8 * i)));
        return *this;
    }
    Xdr& U64(uint64_t v) {
        return U32(static_cast<uint32_t>(v >> 32)).U32(static_cast<uint32_t>(v));
    }
    Xdr& Opaque(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        bytes += s;
        bytes.append((4 - s.size() % 4) % 4, '\0');
        return *this;
    }
    Xdr& Fattr(uint32_t type, uint64_t size, uint32_t mtime) {
        U32(type).U32(0644).U32(1).U32(0).U32(0).U64(size).U64(0).U64(0).U64(1).U64(99).U64(0);
        return U32(mtime).U32(0).U64(0);
    }
};

std::vector<std::string> Exports(const std::string& bytes, size_t max, std::string& why, bool& ok) {
    std::vector<std::string> paths;
    ok = DecodeExportList(
        bytes.data(), bytes.size(), max,
        [&](const Bytes& b) {
            paths.emplace_back(b.data, b.length);
            return true;
        },
        why);
    return paths;
}

TEST(Nfs3Replies, ExportListsOfAnyLengthWithoutRecursionAndWithinTheirBounds) {
    Xdr list;
    for (int i = 0; i < 100000; ++i)
        list.U32(1).Opaque("/vol/v" + std::to_string(i)).U32(1).Opaque("*").U32(0);
    list.U32(0);
    std::string why;
    bool ok = false;
    const auto paths = Exports(list.bytes, 100000, why, ok);
    ASSERT_TRUE(ok) << why;
    ASSERT_EQ(paths.size(), 100000u);
    EXPECT_EQ(paths.back(), "/vol/v99999");
    Exports(list.bytes, 99999, why, ok);
    EXPECT_FALSE(ok);
    EXPECT_NE(why.find("more than 99999 exports"), std::string::npos);

    Xdr nul;  // a path with a NUL byte keeps its length
    nul.U32(1).Opaque(std::string("/vol/vol1\0evil", 14)).U32(0).U32(0);
    const auto withNul = Exports(nul.bytes, 10, why, ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(withNul[0].size(), 14u);

    Xdr longPath;  // decoded: the caller leaves it out
    longPath.U32(1).Opaque(std::string(100000, 'a')).U32(0).U32(0);
    EXPECT_EQ(Exports(longPath.bytes, 10, why, ok)[0].size(), 100000u);
    EXPECT_TRUE(ok);
    Xdr declared;  // a 40-byte reply that declares a gigabyte
    declared.U32(1).U32(0x40000000);
    Exports(declared.bytes, 10, why, ok);
    EXPECT_FALSE(ok);
    Xdr notBool;
    notBool.U32(7);
    Exports(notBool.bytes, 10, why, ok);
    EXPECT_FALSE(ok);
}

TEST(Nfs3Replies, MountResultsBoundTheirHandleAndFlavourList) {
    MountResult result;
    std::string why;
    Xdr good;
    good.U32(0).Opaque("HANDLE").U32(1).U32(1);
    ASSERT_TRUE(DecodeMountResult(good.bytes.data(), good.bytes.size(), result, why)) << why;
    EXPECT_EQ(std::string(result.handle.data, result.handle.length), "HANDLE");
    Xdr refused;
    refused.U32(13);
    ASSERT_TRUE(DecodeMountResult(refused.bytes.data(), refused.bytes.size(), result, why));
    EXPECT_EQ(result.status, 13u);

    Xdr hugeHandle;
    hugeHandle.U32(0).U32(0xFFFFFFF0u).U32(0);
    EXPECT_FALSE(DecodeMountResult(hugeHandle.bytes.data(), hugeHandle.bytes.size(), result, why));
    Xdr tooLong;
    tooLong.U32(0).Opaque(std::string(kNfs3HandleBytes + 1, 'h')).U32(0);
    EXPECT_FALSE(DecodeMountResult(tooLong.bytes.data(), tooLong.bytes.size(), result, why));
    Xdr flavours;
    flavours.U32(0).Opaque("H").U32(0x40000001u).U32(1);
    EXPECT_FALSE(DecodeMountResult(flavours.bytes.data(), flavours.bytes.size(), result, why));
}

TEST(Nfs3Replies, DirectoryPagesGiveNamesWithTheirLengthAndRefuseWhatDoesNotFit) {
    Xdr page;
    page.U32(0).U32(1).Fattr(2, 4096, 1).U32(0x11223344).U32(0x55667788);
    page.U32(1).U64(1).Opaque("a.txt").U64(10).U32(1).Fattr(1, 5, 1600000000).U32(0);
    page.U32(1).U64(2).Opaque(std::string("se\0cret.txt", 11)).U64(20).U32(0).U32(1).Opaque("FH");
    page.U32(0).U32(1);
    DirectoryPage header;
    std::vector<DirectoryEntry> entries;
    std::vector<std::string> names;
    const auto keep = [&](const DirectoryEntry& e, std::string&) {
        entries.push_back(e);
        names.emplace_back(e.name.data, e.name.length);
        return true;
    };
    std::string why;
    ASSERT_TRUE(DecodeDirectoryPage(page.bytes.data(), page.bytes.size(), 100, header, keep, why))
        << why;
    EXPECT_TRUE(header.eof);
    EXPECT_EQ(header.entries, 2u);
    EXPECT_EQ(std::string(header.verifier, 8), "\x11\x22\x33\x44\x55\x66\x77\x88");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[1], std::string("se\0cret.txt", 11));
    EXPECT_TRUE(entries[0].hasAttributes);
    EXPECT_EQ(entries[0].attributes.size, 5u);
    EXPECT_EQ(entries[0].attributes.mtimeSeconds, 1600000000u);
    EXPECT_FALSE(entries[1].hasAttributes);
    EXPECT_EQ(entries[1].cookie, 20u);

    EXPECT_FALSE(DecodeDirectoryPage(page.bytes.data(), page.bytes.size(), 1, header, keep, why));
    EXPECT_NE(why.find("more than 1 entries"), std::string::npos);
    for (size_t cut = 0; cut + 1 < page.bytes.size(); cut += 3)
        EXPECT_FALSE(DecodeDirectoryPage(page.bytes.data(), cut, 100, header, keep, why)) << cut;
    const auto stop = [](const DirectoryEntry&, std::string& cause) {
        cause = "stopped";
        return false;
    };
    EXPECT_FALSE(DecodeDirectoryPage(page.bytes.data(), page.bytes.size(), 100, header, stop, why));
    EXPECT_EQ(why, "stopped");

    Xdr hugeName;
    hugeName.U32(0).U32(0).U64(0).U32(1).U64(1).U32(0xFFFFFFFFu);
    EXPECT_FALSE(
        DecodeDirectoryPage(hugeName.bytes.data(), hugeName.bytes.size(), 100, header, keep, why));
    Xdr failed;
    failed.U32(13).U32(0);
    ASSERT_TRUE(
        DecodeDirectoryPage(failed.bytes.data(), failed.bytes.size(), 100, header, keep, why));
    EXPECT_EQ(header.status, 13u);
}

TEST(Nfs3Replies, LookupResultsCarryTheHandleAndTheObjectsAttributes) {
    LookupResult result;
    std::string why;
    Xdr found;
    found.U32(0).Opaque("FH1").U32(1).Fattr(2, 4096, 7).U32(0);
    ASSERT_TRUE(DecodeLookupResult(found.bytes.data(), found.bytes.size(), result, why)) << why;
    EXPECT_EQ(std::string(result.handle.data, result.handle.length), "FH1");
    EXPECT_TRUE(result.hasAttributes);
    EXPECT_EQ(result.attributes.type, 2u);
    Xdr missing;
    missing.U32(2).U32(0);
    ASSERT_TRUE(DecodeLookupResult(missing.bytes.data(), missing.bytes.size(), result, why));
    EXPECT_EQ(result.status, 2u);
    Xdr trailing = found;
    trailing.U32(0);
    EXPECT_FALSE(DecodeLookupResult(trailing.bytes.data(), trailing.bytes.size(), result, why));
}

}  // namespace
}  // namespace nfsclient
