// Directory listings from an NFSv4-only server: the checks both roads share
// (ListingChecks.h), then those of this road alone (long paths, pseudo
// directories, failure wording).
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ListingChecks.h"

using namespace listingtest;

namespace {

// Every TEST_P(Listing, ...) of this file runs against the NFSv4-only server only.
INSTANTIATE_TEST_SUITE_P(, Listing, testing::Values(ServerKind::V4Only), KindName);

TEST_P(Listing, PathsLongerThanOneRequestAndPseudoDirectories) {
    const ListResult deep = List(Address(), s_deep);
    ASSERT_EQ(deep.rc, 0) << deep.error.substr(0, 300);
    EXPECT_THAT(Names(deep), UnorderedElementsAre("bottom.txt"));
    const ListResult missing = List(Address(), s_deep + "/missing");
    EXPECT_THAT(missing.error, HasSubstr("no such directory"));
    EXPECT_LT(missing.error.size(), static_cast<size_t>(NFS_ERROR_TEXT_SIZE));

    // A nested export is listed through its junction; a pseudo directory too.
    const ListResult nested = List(Address(), "//vol/vol1/./nested/");
    ASSERT_EQ(nested.rc, 0) << nested.error;
    EXPECT_THAT(Names(nested), UnorderedElementsAre("inner.txt"));
    const ListResult pseudo = List(Address(), "/vol");
    ASSERT_EQ(pseudo.rc, 0) << pseudo.error;
    EXPECT_THAT(Names(pseudo), UnorderedElementsAre("vol1"));
}

TEST_P(Listing, FailuresAreWordedAsOverNfsV3) {
    const ListResult missing = List(Address(), "/vol/vol1/a/missing");
    EXPECT_NE(missing.rc, 0);
    EXPECT_THAT(missing.error, HasSubstr("NFS server 127.0.0.1, lookup of /vol/vol1/a: no such directory"));
    const ListResult file = List(Address(), "/vol/vol1/file.txt");
    EXPECT_THAT(file.error, HasSubstr("lookup of /vol/vol1/file.txt: not a directory (a regular file)"));
    const ListResult below = List(Address(), "/vol/vol1/file.txt/x");
    EXPECT_THAT(below.error, HasSubstr("not a directory"));
    const ListResult link = List(Address(), "/vol/vol1/escape");
    EXPECT_THAT(link.error, HasSubstr("lookup of /vol/vol1/escape: not a directory (a symbolic link"));
    const ListResult through = List(Address(), "/vol/vol1/escape/etc");
    EXPECT_THAT(through.error, HasSubstr("lookup of /vol/vol1/escape: not a directory (a symbolic link"));
    const ListResult kerberos = List(Address(), "/secure");
    EXPECT_NE(kerberos.rc, 0);
    EXPECT_THAT(kerberos.error, HasSubstr("access denied"));
    EXPECT_TRUE(missing.entries.empty() && file.entries.empty() && link.entries.empty());
}

}  // namespace
