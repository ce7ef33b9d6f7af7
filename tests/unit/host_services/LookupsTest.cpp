// Lookups: address resolution (never leaving this machine), the client
// registry, the VessaCell id and the message buffer.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "host/Lookups.h"
#include "host/Message.h"

namespace {

const unsigned int kTestTimeoutMs = 1500;

class HostLookups : public ::testing::Test {
protected:
    void SetUp() override { CLumIPAddr::SetLookupTimeoutMs(kTestTimeoutMs); }
    void TearDown() override { CLumIPAddr::SetLookupTimeoutMs(5000); }

    // The text form of `name` resolved for `family`, or "error: <text>".
    static std::string Resolve(const char* name,
                               CLumIPAddr::IP_FAMILY family = CLumIPAddr::IP_FAMILY_ANY) {
        CLumIPAddr address;
        const CLumError e = CLumIPAddr::GetByName(name, address, family);
        if (e.IsError()) return "error: " + e.AsString(ERROR_OUTPUT_USER);
        CLumString text;
        const CLumError t = address.GetAddressString(text);
        return t.IsError() ? "text error: " + t.AsString() : text.m_text;
    }
};

TEST_F(HostLookups, AddressTextsAndHostsFileNames) {
    EXPECT_EQ("127.0.0.1", Resolve("127.0.0.1"));
    EXPECT_EQ("::1", Resolve("::1"));
    EXPECT_EQ("::1", Resolve("::1", CLumIPAddr::IP_FAMILY_V6));
    EXPECT_EQ("127.0.0.1", Resolve("localhost"));  // IPv4 preferred
    EXPECT_EQ("127.0.0.1", Resolve("localhost", CLumIPAddr::IP_FAMILY_V4));
}

TEST_F(HostLookups, AddressTextOfTheWrongFamilyFailsWithoutAResolver) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("error: Host name [::1] has no IPv4 address",
              Resolve("::1", CLumIPAddr::IP_FAMILY_V4));
    EXPECT_EQ("error: Host name [10.1.2.3] has no IPv6 address",
              Resolve("10.1.2.3", CLumIPAddr::IP_FAMILY_V6));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

TEST_F(HostLookups, MissingNameIsBadArguments) {
    CLumIPAddr address;
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        const CLumError e = CLumIPAddr::GetByName(name, address, CLumIPAddr::IP_FAMILY_ANY);
        EXPECT_TRUE(e.IsError());
        EXPECT_EQ(160u, FXErrorUtil::GetWin32(e));
    }
    CLumString text;
    text.m_text = "stale";
    EXPECT_TRUE(address.GetAddressString(text).IsError());  // never set
    EXPECT_TRUE(text.empty());
    EXPECT_STREQ("", text.c_str());
}

// A reserved name never resolves. Whether the resolver answers at once or
// DNS is unreachable, the call ends within the timeout and names the host.
TEST_F(HostLookups, UnresolvableNameFailsWithinTheTimeout) {
    const char* name = "no-such-nas.nsb-test.invalid";
    const auto start = std::chrono::steady_clock::now();
    CLumIPAddr address;
    const CLumError e = CLumIPAddr::GetByName(name, address, CLumIPAddr::IP_FAMILY_ANY);
    const auto took = std::chrono::steady_clock::now() - start;

    ASSERT_TRUE(e.IsError());
    EXPECT_NE(0u, FXErrorUtil::GetWin32(e));
    const std::string text = e.AsString(ERROR_OUTPUT_USER);
    EXPECT_EQ(0u, text.find("Host name [no-such-nas.nsb-test.invalid] could not be resolved: "))
        << text;
    EXPECT_LT(took, std::chrono::milliseconds(kTestTimeoutMs + 1000));
}

// With no time to wait, callers give up on lookups that are still running.
// Those finish in the background and give their place back: a later lookup
// works again, at the latest once they are done.
TEST_F(HostLookups, AbandonedLookupsLeaveLaterLookupsWorking) {
    CLumIPAddr::SetLookupTimeoutMs(0);
    for (int i = 0; i < 8; ++i) {
        const std::string name = "abandoned-" + std::to_string(i) + ".nsb-test.invalid";
        const std::string result = Resolve(name.c_str());
        EXPECT_EQ(0u, result.find("error: Host name [" + name + "] could not be resolved: "))
            << result;
    }
    CLumIPAddr::SetLookupTimeoutMs(kTestTimeoutMs);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string result = Resolve("localhost");
    while (result != "127.0.0.1" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        result = Resolve("localhost");
    }
    EXPECT_EQ("127.0.0.1", result);
}

TEST(HostRegistry, ClientHostNamesByIdAndTheVessaCellId) {
    ORVClient::ClearRegistry();
    std::string name = "unchanged";
    EXPECT_NE(0, ORVClient(7).getNetworkHostname(name, nullptr));
    EXPECT_EQ("unchanged", name);

    ORVClient::RegisterClient(7, "client7.example");
    ORVClient::RegisterClient(8, "client8.example");
    EXPECT_EQ(0, ORVClient(7).getNetworkHostname(name, nullptr));
    EXPECT_EQ("client7.example", name);
    ORVClient::ClearRegistry();
    EXPECT_NE(0, ORVClient(8).getNetworkHostname(name, nullptr));
    EXPECT_EQ("client7.example", name);

    ORVPI_VessaServer::SetVessaCellId(0);
    EXPECT_EQ(0ul, ORVPI_VessaServer().getVessaCellId());
    ORVPI_VessaServer::SetVessaCellId(42);
    EXPECT_EQ(42ul, ORVPI_VessaServer().getVessaCellId());
    ORVPI_VessaServer::SetVessaCellId(0);
}

TEST(HostBuffer, ZeroFilledOfTheGivenSize) {
    OrvBuffer buffer(100);
    ASSERT_EQ(100, buffer.getSize());
    for (int i = 0; i < 100; ++i) ASSERT_EQ('\0', static_cast<char*>(buffer)[i]);
    OrvBuffer negative(-5);
    EXPECT_EQ(0, negative.getSize());
    EXPECT_NE(nullptr, static_cast<char*>(negative));
}

}  // namespace
