// The output formats of nasbrowse.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "nasbrowse/Output.h"

namespace nasbrowse {
namespace {

BrowseResult TwoItems() {
    BrowseResult result;
    result.items.push_back({"docs", true, 0, 0});
    result.items.push_back({"a.txt", false, 1600000000, 1234});
    return result;
}

TEST(Utf8, ReplacesEachInvalidByteAndKeepsValidSequences) {
    EXPECT_TRUE(IsValidUtf8("plain caf\xc3\xa9 \xf0\x9f\x93\x81"));
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\xff" "b", "a\xEF\xBF\xBD" "b"},
        {"\xc0\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD"},                   // overlong "/"
        {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},    // surrogate
        {"\xf4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
        {"end\xe2\x82", "end\xEF\xBF\xBD\xEF\xBF\xBD"},              // cut short
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(IsValidUtf8(c.in)) << c.in;
        EXPECT_EQ(ValidUtf8(c.in), c.out);
    }
    EXPECT_EQ(Hex(std::string("\x00\xff" "A", 3)), "00ff41");
}

TEST(BrowseJson, KeysInOrderAndErrorNull) {
    EXPECT_EQ(BrowseJson("nas1", "/vol", TwoItems()),
              R"({"server":"nas1","path":"/vol","items":[{"name":"docs","folder":true,"mtime":0,"size":0},)"
              R"({"name":"a.txt","folder":false,"mtime":1600000000,"size":1234}],"error":null})");
}

TEST(BrowseJson, InvalidNamesGetNameHexAndTheDocumentStaysValid) {
    BrowseResult result;
    result.items.push_back({std::string("x\xff\x01y", 4), false, 5, 6});
    result.error = {true, false, 0, "bad \xfe message"};
    const std::string text = BrowseJson("n\xe9", "/p", result);
    const auto document = nlohmann::json::parse(text);  // throws if invalid
    EXPECT_EQ(document["items"][0]["name"], "x\xEF\xBF\xBD\x01y");
    EXPECT_EQ(document["items"][0]["name_hex"], "78ff0179");
    EXPECT_EQ(document["server"], "n\xEF\xBF\xBD");
    EXPECT_TRUE(document["error"]["code"].is_null());
    EXPECT_EQ(document["error"]["message"], "bad \xEF\xBF\xBD message");
    EXPECT_NE(text.find(R"("error":{"code":null,"message":)"), std::string::npos);
}

TEST(ExportsJson, SharesAndCodedError) {
    ExportsResult result;
    result.shares = {"/vol/vol1", "/vol/c\xff"};
    result.error = {true, true, 1359, "timed out"};
    EXPECT_EQ(ExportsJson("nas1", result),
              "{\"server\":\"nas1\",\"shares\":[\"/vol/vol1\",\"/vol/c\xEF\xBF\xBD\"],"
              "\"error\":{\"code\":1359,\"message\":\"timed out\"}}");
}

TEST(BrowseTable, OneLinePerItemThenSummaryAndReadableFailure) {
    BrowseResult result = TwoItems();
    result.items.push_back({"tab\there", false, 0, 1});
    const std::string table = BrowseTable("nas1", "/vol", result, 0.25);
    EXPECT_NE(table.find("docs/\n"), std::string::npos);
    EXPECT_NE(table.find("1234"), std::string::npos);
    EXPECT_NE(table.find("tab\\x09here\n"), std::string::npos);  // one line per item
    EXPECT_NE(table.find("3 items (1 folder, 2 files) in nas1 /vol, 0.250 s\n"), std::string::npos);

    BrowseResult failed;
    failed.error = {true, true, 1359, "The shares could not be listed"};
    const std::string sentence = BrowseTable("nas1", "/", failed, 0);
    EXPECT_NE(sentence.find("failed: The shares could not be listed (error 1359)"), std::string::npos);
}

TEST(BrowseXml, OneWellFormedDocumentWithResponseAndGenericOnFailure) {
    BrowseResult result = TwoItems();
    result.items.push_back({std::string("odd\xff<&>", 7), false, 0, 0});
    result.error = {true, false, 0, "no \x01 luck"};
    const std::string text = BrowseXml("nas1", "/v\xff", "gui", result);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(text.c_str())) << text;
    const pugi::xml_node root = document.child("nasbrowse");
    EXPECT_STREQ(root.attribute("path").value(), "/v\\xFF");
    const pugi::xml_node response = root.child("MachineBrowseResp");
    ASSERT_TRUE(response);
    EXPECT_EQ(std::distance(response.children("item").begin(), response.children("item").end()), 3);
    EXPECT_STREQ(response.last_child().attribute("name").value(), "odd\\xFF<&>");
    EXPECT_STREQ(root.child("GenericResp").attribute("message").value(), "no \\x01 luck");

    // Success: no generic response.
    pugi::xml_document ok;
    ASSERT_TRUE(ok.load_string(BrowseXml("nas1", "/", "xml", TwoItems()).c_str()));
    EXPECT_FALSE(ok.child("nasbrowse").child("GenericResp"));
}

}  // namespace
}  // namespace nasbrowse
