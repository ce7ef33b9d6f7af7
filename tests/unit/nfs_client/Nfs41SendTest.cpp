// SendCompound41 without a server: the check of libnfs's request layout,
// refusals before anything is queued, and the callback's once-only rule.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nfs_client/worker/nfs4/Nfs4Compound.h"

namespace {

using namespace nfsclient::v41;
using testing::HasSubstr;

struct Calls {
    int count = 0;
    int status = 0;
};

void Count(rpc_context*, int status, void*, void* privateData) {
    auto* calls = static_cast<Calls*>(privateData);
    ++calls->count;
    calls->status = status;
}

TEST(Nfs41Send, ThisLibnfsHasTheRequestLayoutTheSenderNeeds) {
    rpc_context* rpc = rpc_init_context();
    ASSERT_NE(rpc, nullptr);
    std::string why;
    EXPECT_TRUE(Nfs41Usable(rpc, why)) << why;
    rpc_destroy_context(rpc);
}

TEST(Nfs41Send, RefusesBeforeQueueingAndNeverCallsBack) {
    rpc_context* rpc = rpc_init_context();
    ASSERT_NE(rpc, nullptr);
    Calls calls;
    Compound41 tooMany(1);
    for (uint32_t i = 0; i <= kMaxOps; ++i) tooMany.GetFh();
    EXPECT_EQ(SendCompound41(rpc, tooMany, &Count, &calls), -1);
    EXPECT_THAT(rpc_get_error(rpc),
                HasSubstr("NFSv4 COMPOUND not sent: 65 operations, more than 64"));
    Compound41 fine(1);
    fine.PutRootFh();
    EXPECT_EQ(SendCompound41(rpc, fine, nullptr, &calls), -1);
    EXPECT_THAT(rpc_get_error(rpc), HasSubstr("no callback"));
    rpc_destroy_context(rpc);
    EXPECT_EQ(calls.count, 0);
}

// A queued request belongs to libnfs: destroying the context cancels it,
// and the callback (which frees what the sender keeps per request) runs
// exactly once.
TEST(Nfs41Send, QueuedRequestIsCancelledOnceWhenTheContextGoes) {
    rpc_context* rpc = rpc_init_context();
    ASSERT_NE(rpc, nullptr);
    Calls calls;
    Compound41 compound(1);
    compound.PutRootFh();
    compound.GetFh();
    ASSERT_EQ(SendCompound41(rpc, compound, &Count, &calls), 0) << rpc_get_error(rpc);
    ASSERT_EQ(SendCompound41(rpc, compound, &Count, &calls), 0) << rpc_get_error(rpc);
    EXPECT_EQ(calls.count, 0);
    rpc_destroy_context(rpc);
    EXPECT_EQ(calls.count, 2);
    EXPECT_EQ(calls.status, RPC_STATUS_CANCEL);
}

}  // namespace
