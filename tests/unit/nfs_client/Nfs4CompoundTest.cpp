// The 4.0 COMPOUND builder keeps its own copies: a compound that is queued
// or sent again encodes what it was built with, whatever happened since to
// the names and handles it was given.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "nfs_client/worker/nfs4/Nfs4Channel.h"

namespace {

using nfsclient::AttrMask;
using nfsclient::Compound;
using nfsclient::MaskOf;
namespace v41 = nfsclient::v41;

std::string Encoded(const v41::Compound41& compound) {
    std::vector<char> bytes;
    std::string why;
    EXPECT_TRUE(compound.Encode(bytes, why)) << why;
    return std::string(bytes.begin(), bytes.end());
}

TEST(Nfs4Compound, EncodesWhatItWasBuiltWithAfterItsSourcesChangedAndItMoved) {
    const AttrMask mask = MaskOf({nfsclient::kAttrType, nfsclient::kAttrSize});
    const char verifier[NFS4_VERIFIER_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
    Compound moved;
    {
        std::vector<char> handle(128, 'h');
        std::string name = "docs";
        std::string longName(300, 'n');
        Compound built;
        built.PutFh(handle);
        built.Lookup(name);
        built.Lookup(longName);
        built.GetFh();
        built.GetAttr(mask);
        built.ReadDir(7, verifier, 4096, mask);
        handle.assign(128, 'X');
        name.assign("XXXX");
        longName.assign(300, 'X');
        moved = std::move(built);
    }
    v41::Compound41 fromBuilder(0);
    moved.AppendTo(fromBuilder);

    const std::string handle(128, 'h');
    const std::string longName(300, 'n');
    v41::Compound41 direct(0);
    direct.PutFh(handle.data(), 128);
    direct.Lookup("docs", 4);
    direct.Lookup(longName.data(), 300);
    direct.GetFh();
    direct.GetAttr({mask.word[0], mask.word[1]});
    direct.ReadDir(7, verifier, 4096, 4096, {mask.word[0], mask.word[1]});
    EXPECT_EQ(Encoded(fromBuilder), Encoded(direct));
    EXPECT_EQ(moved.Ops(), (std::vector<nfs_opnum4>{OP_PUTFH, OP_LOOKUP, OP_LOOKUP, OP_GETFH,
                                                    OP_GETATTR, OP_READDIR}));
}

}  // namespace
