// What GetByName does around the resolver it is given: address texts never
// reach it, its order and families are honoured, a resolver that hangs is
// left behind within the timeout, and hung lookups are bounded in number
// and give their places back. Runs with the fake resolver of the unit tests'
// main (tests/fakes/FakeResolver.h).
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/FakeResolver.h"
#include "host/Lookups.h"

namespace {

std::string Resolve(const std::string& name,
                    CLumIPAddr::IP_FAMILY family = CLumIPAddr::IP_FAMILY_ANY) {
    CLumIPAddr address;
    const CLumError e = CLumIPAddr::GetByName(name.c_str(), address, family);
    if (e.IsError()) return "error: " + e.AsString(ERROR_OUTPUT_USER);
    CLumString text;
    address.GetAddressString(text);
    return text.m_text;
}

// Counts the names the resolver is asked for, then answers as the fake.
std::atomic<int> g_asked{0};
int CountingResolver(const std::string& name, CLumIPAddr::IP_FAMILY family,
                     std::vector<CLumIPAddr>& addresses) {
    ++g_asked;
    return fake_resolver::Resolve(name, family, addresses);
}

class Resolver : public ::testing::Test {
protected:
    void SetUp() override { CLumIPAddr::SetLookupTimeoutMs(2000); }
    void TearDown() override {
        fake_resolver::ReleaseHung();
        // Hung lookups end once released; a lookup works again at the latest then.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Resolve("localhost") != "127.0.0.1" && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        fake_resolver::Hang();
        fake_resolver::Install();
        CLumIPAddr::SetLookupTimeoutMs(5000);
    }
};

TEST_F(Resolver, AddressTextsNeverReachItHostNamesAlways) {
    g_asked = 0;
    CLumIPAddr::SetResolver(CountingResolver);
    EXPECT_EQ(Resolve("192.0.2.7"), "192.0.2.7");
    EXPECT_EQ(Resolve("::1", CLumIPAddr::IP_FAMILY_V4),
              "error: Host name [::1] has no IPv4 address");
    EXPECT_EQ(g_asked.load(), 0);
    EXPECT_EQ(Resolve("localhost"), "127.0.0.1");
    EXPECT_EQ(Resolve("filer.nsb-test.invalid")
                  .rfind("error: Host name [filer.nsb-test.invalid] could not be resolved: ", 0),
              0u);
    EXPECT_EQ(g_asked.load(), 2);
}

TEST_F(Resolver, IPv4IsPreferredAndTheFamilyAskedForIsKept) {
    fake_resolver::Add("filer.nsb-test", {"2001:db8::5", "192.0.2.5", "192.0.2.6"});
    fake_resolver::Add("v6only.nsb-test", {"2001:db8::6"});
    EXPECT_EQ(Resolve("filer.nsb-test"), "192.0.2.5");
    EXPECT_EQ(Resolve("filer.nsb-test", CLumIPAddr::IP_FAMILY_V6), "2001:db8::5");
    EXPECT_EQ(Resolve("v6only.nsb-test"), "2001:db8::6");
    EXPECT_EQ(Resolve("v6only.nsb-test", CLumIPAddr::IP_FAMILY_V4)
                  .rfind("error: Host name [v6only.nsb-test]", 0),
              0u);
    fake_resolver::Add("filer.nsb-test", {});
    fake_resolver::Add("v6only.nsb-test", {});
}

TEST_F(Resolver, AHangingResolverIsLeftBehindWithinTheTimeout) {
    CLumIPAddr::SetLookupTimeoutMs(200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Resolve("nas.hang.invalid"),
              "error: Host name [nas.hang.invalid] could not be resolved: timed out after 200 ms");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(200));
    EXPECT_LT(took, std::chrono::milliseconds(1200));

    // Whole seconds are said in seconds.
    CLumIPAddr::SetLookupTimeoutMs(1000);
    EXPECT_EQ(Resolve("nas.hang.invalid", CLumIPAddr::IP_FAMILY_V4),
              "error: Host name [nas.hang.invalid] could not be resolved: timed out after 1 s");
}

// At most 32 lookups run at once, those whose callers gave up included; a
// further one fails at once until they end.
TEST_F(Resolver, HungLookupsAreBoundedAndGiveTheirPlacesBack) {
    // A lookup's thread gives its place back just after its caller has the
    // answer: let those of earlier tests finish.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CLumIPAddr::SetLookupTimeoutMs(0);
    for (int i = 0; i < 32; ++i) Resolve("n" + std::to_string(i) + ".hang.invalid");
    CLumIPAddr::SetLookupTimeoutMs(2000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        Resolve("localhost"),
        "error: Host name [localhost] could not be resolved: too many lookups are still running");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    fake_resolver::ReleaseHung();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string result = Resolve("localhost");
    while (result != "127.0.0.1" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        result = Resolve("localhost");
    }
    EXPECT_EQ(result, "127.0.0.1");
}

}  // namespace

// The name each address was last resolved from, per thread and for the
// last few names only; an address text given as the name is no host name.
TEST_F(Resolver, RemembersTheLastNamesResolvedOnThisThread) {
    fake_resolver::Add("nas1.nsb-test.invalid", {"192.0.2.1"});
    fake_resolver::Add("nas2.nsb-test.invalid", {"192.0.2.2"});
    fake_resolver::Add("alias.nsb-test.invalid", {"192.0.2.1"});
    EXPECT_EQ(Resolve("nas1.nsb-test.invalid"), "192.0.2.1");
    EXPECT_EQ(Resolve("nas2.nsb-test.invalid"), "192.0.2.2");
    EXPECT_EQ(Resolve("192.0.2.3"), "192.0.2.3");
    EXPECT_EQ(CLumIPAddr::NameResolvedTo("192.0.2.1"), "nas1.nsb-test.invalid");
    EXPECT_EQ(CLumIPAddr::NameResolvedTo("192.0.2.2"), "nas2.nsb-test.invalid");
    EXPECT_EQ(CLumIPAddr::NameResolvedTo("192.0.2.3"), "");
    Resolve("alias.nsb-test.invalid");  // the latest name for the address wins
    EXPECT_EQ(CLumIPAddr::NameResolvedTo("192.0.2.1"), "alias.nsb-test.invalid");
    std::string elsewhere = "unset";
    std::thread([&elsewhere] { elsewhere = CLumIPAddr::NameResolvedTo("192.0.2.1"); }).join();
    EXPECT_EQ(elsewhere, "");
    for (int i = 10; i < 20; ++i) {
        const std::string name = "n" + std::to_string(i) + ".nsb-test.invalid";
        fake_resolver::Add(name, {"192.0.2." + std::to_string(i)});
        Resolve(name);
        fake_resolver::Add(name, {});
    }
    EXPECT_EQ(CLumIPAddr::NameResolvedTo("192.0.2.2"), "") << "only the last few are kept";
    EXPECT_EQ(CLumIPAddr::NameResolvedTo("192.0.2.19"), "n19.nsb-test.invalid");
    for (const char* name :
         {"nas1.nsb-test.invalid", "nas2.nsb-test.invalid", "alias.nsb-test.invalid"})
        fake_resolver::Add(name, {});
}
