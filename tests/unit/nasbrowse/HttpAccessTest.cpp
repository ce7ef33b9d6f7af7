// Which Host headers and tokens the HTTP daemon takes.
#include <gtest/gtest.h>

#include "nasbrowse/HttpAccess.h"

namespace nasbrowse {
namespace {

TEST(HttpAccess, HostMustNameTheDaemonWithItsPort) {
    const struct {
        const char* host;
        const char* listen;
        const char* local;
        bool allowed;
    } rows[] = {
        {"127.0.0.1:7480", "127.0.0.1", "127.0.0.1", true},
        {"LOCALHOST:7480", "127.0.0.1", "127.0.0.1", true},
        {"[::1]:7480", "::1", "::1", true},
        {"192.0.2.5:7480", "0.0.0.0", "192.0.2.5", true},  // the address it came in on
        {"127.0.0.1", "127.0.0.1", "127.0.0.1", false},    // no port
        {"127.0.0.1:7481", "127.0.0.1", "127.0.0.1", false},
        {"rebind.example:7480", "127.0.0.1", "127.0.0.1", false},
        {"localhost.rebind.example:7480", "127.0.0.1", "127.0.0.1", false},
        {"", "127.0.0.1", "127.0.0.1", false},
        {"0.0.0.0:7480", "0.0.0.0", "192.0.2.5", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(HostAllowed(row.host, row.listen, row.local, 7480), row.allowed) << row.host;
}

TEST(HttpAccess, TokenComesFromBearerThenCookieThenQuery) {
    const struct {
        const char* authorization;
        const char* cookies;
        const char* query;
        const char* token;
    } rows[] = {
        {"Bearer abc", "nasbrowse-7480=def", "ghi", "abc"},
        {"bearer  abc ", "", "", "abc"},
        {"Basic abc", "nasbrowse-7480=def", "", "def"},
        {"", "a=1; nasbrowse-7480=def; b=2", "ghi", "def"},
        {"", "nasbrowse-7481=def; xnasbrowse-7480=x", "ghi", "ghi"},
        {"", "", "", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(TokenOf(row.authorization, row.cookies, "nasbrowse-7480", row.query), row.token)
            << row.authorization << " | " << row.cookies;

    EXPECT_TRUE(SameToken("abc", "abc"));
    EXPECT_FALSE(SameToken("abd", "abc"));
    EXPECT_FALSE(SameToken("ab", "abc"));
    EXPECT_FALSE(SameToken("", ""));  // a daemon without a token takes none
}

}  // namespace
}  // namespace nasbrowse
