// Directory listings from an NFSv4-only server (minor version 0): the checks
// every road shares (ListingChecks.h) and those of the roads without MOUNT
// (V4ListingChecks.h).
#include "V4ListingChecks.h"

using namespace listingtest;

namespace {

// Every TEST_P(Listing, ...) runs against the NFSv4-only server only.
INSTANTIATE_TEST_SUITE_P(, Listing, testing::Values(ServerKind::V4Only), KindName);

}  // namespace
