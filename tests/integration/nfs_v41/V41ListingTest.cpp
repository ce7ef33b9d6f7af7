// Directory listings from a server that speaks only NFSv4.1 and 4.2 (4.0
// refused, no MOUNT), over the library's sessions: the checks every road
// shares (ListingChecks.h) and those of the roads without MOUNT
// (V4ListingChecks.h), unchanged.
#include "integration/nfs_v4/V4ListingChecks.h"

using namespace listingtest;

namespace {

// Every TEST_P(Listing, ...) runs against the 4.1 / 4.2-only server only.
INSTANTIATE_TEST_SUITE_P(, Listing, testing::Values(ServerKind::V41Only), KindName);

}  // namespace
