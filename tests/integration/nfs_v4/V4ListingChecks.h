// Listing checks of the roads without MOUNT (NFSv4.0, and NFSv4.1 / 4.2 over
// a session), on top of those every road shares (ListingChecks.h): long
// paths, pseudo directories, failure wording. A group includes this header
// in one source file and instantiates the suite for its server kind:
//
//     INSTANTIATE_TEST_SUITE_P(, Listing, testing::Values(ServerKind::V4Only), KindName);
#pragma once

#include <sys/stat.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ListingChecks.h"

namespace listingtest {

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

// 150 one-byte components: more LOOKUPs than one COMPOUND may carry, though
// their bytes would fit; a failure in the second or third COMPOUND names its
// component.
TEST_P(Listing, PathOfMoreComponentsThanOneCompoundCarries) {
    std::string local = s_vol1 + "/levels";
    std::string path = "/vol/vol1/levels";
    mkdir(local.c_str(), 0755);
    for (int i = 0; i < 150; ++i) {
        local += "/d";
        path += "/d";
        mkdir(local.c_str(), 0755);
    }
    nfstest::MakeFile(local + "/floor.txt", 3);
    const ListResult listed = List(Address(), path);
    ASSERT_EQ(listed.rc, 0) << listed.error.substr(0, 300);
    EXPECT_THAT(Names(listed), UnorderedElementsAre("floor.txt"));
    std::string missing = "/vol/vol1/levels";
    for (int i = 0; i < 100; ++i) missing += "/d";
    missing += "/gone";
    for (int i = 0; i < 20; ++i) missing += "/d";
    ExpectFailed(List(Address(), missing), {"/d/d/gone: no such directory"});
}

TEST_P(Listing, FailuresAreWordedAsOverNfsV3) {
    const ListResult missing =
        ExpectFailed(List(Address(), "/vol/vol1/a/missing"),
                     {"NFS server 127.0.0.1, lookup of /vol/vol1/a: no such directory"});
    const ListResult file = List(Address(), "/vol/vol1/file.txt");
    EXPECT_THAT(file.error,
                HasSubstr("lookup of /vol/vol1/file.txt: not a directory (a regular file)"));
    const ListResult below = List(Address(), "/vol/vol1/file.txt/x");
    EXPECT_THAT(below.error, HasSubstr("not a directory"));
    const ListResult link = List(Address(), "/vol/vol1/escape");
    EXPECT_THAT(link.error,
                HasSubstr("lookup of /vol/vol1/escape: not a directory (a symbolic link"));
    const ListResult through = List(Address(), "/vol/vol1/escape/etc");
    EXPECT_THAT(through.error,
                HasSubstr("lookup of /vol/vol1/escape: not a directory (a symbolic link"));
    // Its SECINFO names krb5: Kerberos, which needs the server's name.
    ExpectFailed(List(Address(), "/secure"),
                 {"security flavour krb5: Kerberos (krb5) needs the file server's host name"});
    EXPECT_TRUE(missing.entries.empty() && file.entries.empty() && link.entries.empty());
}

}  // namespace listingtest
