// XML text of the browse messages: round trips, escapes, and documents that
// an independent XML 1.0 parser (xmllint) accepts.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/TestSupport.h"
#include "host/BrowseMessageFields.h"
#include "host_framework/MessageXml.h"

namespace {

using namespace App;

// Runs xmllint on `xml`; returns its complaints, empty when it accepts.
std::string XmllintComplaints(const std::string& xml) {
    char path[] = "/tmp/msgxml-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "mkstemp failed";
    close(fd);
    std::ofstream(path, std::ios::binary) << xml;
    const nsbtest::CommandOutcome xmllint =
        nsbtest::RunCommand(std::string("xmllint --noout ") + path + " 2>&1");
    unlink(path);
    if (xmllint.status != 0 && xmllint.output.empty())
        return "xmllint exit status " + std::to_string(xmllint.status);
    return xmllint.output;
}

void SetItem(MachineBrowseItem& item, const std::string& name, long long folder) {
    item.setint64(ITEM_FOLDER.field, ITEM_FOLDER.secondIndex, folder, CLASS_MACHINE_BROWSE_ITEM,
                  ITEM_FOLDER.id);
    item.setstring(ITEM_NAME.field, ITEM_NAME.secondIndex, name, CLASS_MACHINE_BROWSE_ITEM,
                   ITEM_NAME.id);
}

std::string ItemName(const MachineBrowseItem& item) {
    return item.getstring(ITEM_NAME.field, ITEM_NAME.secondIndex, CLASS_MACHINE_BROWSE_ITEM,
                          ITEM_NAME.id);
}

// Names that XML cannot carry as they are, and some it can.
std::vector<std::string> HardNames() {
    std::vector<std::string> names;
    for (int b = 1; b <= 255; ++b) names.push_back(std::string("<") + static_cast<char>(b) + "&\"");
    std::string all;
    for (int b = 1; b <= 255; ++b) all += static_cast<char>(b);
    names.push_back(all);
    names.push_back("caf\xc3\xa9 \xf0\x9f\x98\x80");          // valid UTF-8 stays readable
    names.push_back("\xef\xbf\xbe\xef\xbf\xbf");              // U+FFFE, U+FFFF
    names.push_back("\xed\xa0\x80\xc0\xaf\xf4\x90\x80\x80");  // surrogate, overlong, > U+10FFFF
    names.push_back("\\x41\\\\");                             // text that looks like escapes
    names.push_back("\t\n\r  ");
    names.push_back("");
    return names;
}

TEST(MessageXml, ResponseRoundTripsEveryByteAndXmllintAcceptsIt) {
    MachineBrowseResp resp;
    resp.setstring(RESP_PATH.field, RESP_PATH.secondIndex, "/vol\x01\\", CLASS_MACHINE_BROWSE_RESP,
                   RESP_PATH.id);
    const std::vector<std::string> names = HardNames();
    for (const std::string& name : names) {
        MachineBrowseItem item;
        SetItem(item, name, static_cast<long long>(name.size() % 2));
        resp.getBrowseItems()->push_back(item);
    }
    MachineBrowseItem full;
    SetItem(full, "f", 0);
    full.setint64(ITEM_MODIFY_TIME.field, ITEM_MODIFY_TIME.secondIndex, -1,
                  CLASS_MACHINE_BROWSE_ITEM, ITEM_MODIFY_TIME.id);
    full.setint64(ITEM_SIZE.field, ITEM_SIZE.secondIndex, INT64_MIN, CLASS_MACHINE_BROWSE_ITEM,
                  ITEM_SIZE.id);
    resp.getBrowseItems()->push_back(full);

    const std::string xml = MessageXml::WriteMachineBrowseResp(resp);
    EXPECT_EQ("", XmllintComplaints(xml));
    EXPECT_NE(std::string::npos, xml.find("name=\"caf\xc3\xa9 \xf0\x9f\x98\x80\""));
    EXPECT_NE(std::string::npos, xml.find("name=\"\\\\x41\\\\\\\\\""));

    MachineBrowseResp back;
    std::string error;
    ASSERT_TRUE(MessageXml::ReadMachineBrowseResp(xml, back, error)) << error;
    EXPECT_EQ("/vol\x01\\", back.getstring(RESP_PATH.field, RESP_PATH.secondIndex,
                                           CLASS_MACHINE_BROWSE_RESP, RESP_PATH.id));
    const auto& items = *back.getBrowseItems();
    ASSERT_EQ(names.size() + 1, items.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i], ItemName(items[i])) << "item " << i;
        EXPECT_EQ(
            static_cast<long long>(names[i].size() % 2),
            items[i].getint64(ITEM_FOLDER.secondIndex, CLASS_MACHINE_BROWSE_ITEM, ITEM_FOLDER.id));
        EXPECT_FALSE(items[i].isSet(ITEM_SIZE.field, CLASS_MACHINE_BROWSE_ITEM, ITEM_SIZE.id));
    }
    EXPECT_EQ(-1, items.back().getint64(ITEM_MODIFY_TIME.secondIndex, CLASS_MACHINE_BROWSE_ITEM,
                                        ITEM_MODIFY_TIME.id));
    EXPECT_EQ(INT64_MIN, items.back().getint64(ITEM_SIZE.secondIndex, CLASS_MACHINE_BROWSE_ITEM,
                                               ITEM_SIZE.id));
}

TEST(MessageXml, EscapeIsReversibleAndStrict) {
    EXPECT_EQ("a\\\\b\\x01\\x7F\\xFF\xc3\xa9", MessageXml::EscapeText("a\\b\x01\x7f\xff\xc3\xa9"));
    std::string bytes, error;
    ASSERT_TRUE(MessageXml::UnescapeText("\\x0a\\x0A\\\\x", bytes, error));
    EXPECT_EQ("\n\n\\x", bytes);
    for (const char* bad : {"\\", "a\\q", "\\x4", "\\xg0"}) {
        EXPECT_FALSE(MessageXml::UnescapeText(bad, bytes, error)) << bad;
        EXPECT_NE(std::string::npos, error.find("bad escape")) << error;
    }
}

TEST(MessageXml, RequestRoundTripKeepsSetFieldsOnly) {
    MachineBrowseReq req;
    req.setint64(REQ_CLIENT_ID.field, REQ_CLIENT_ID.secondIndex, 2, CLASS_MACHINE_BROWSE_REQ,
                 REQ_CLIENT_ID.id);
    req.setstring(REQ_PATH.field, REQ_PATH.secondIndex, "\\\\", CLASS_MACHINE_BROWSE_REQ,
                  REQ_PATH.id);
    req.setstring(REQ_USER_NAME.field, REQ_USER_NAME.secondIndex, "", CLASS_MACHINE_BROWSE_REQ,
                  REQ_USER_NAME.id);
    req.getpstringobject(REQ_PASSWORD.field, REQ_PASSWORD.secondIndex, CLASS_MACHINE_BROWSE_REQ,
                         REQ_PASSWORD.id)
        ->setPlainPassword("p\"w");
    CNMessageBase** info = req.getObjectAccessor(true, false, REQ_INFO.field, REQ_INFO.secondIndex,
                                                 CLASS_MACHINE_BROWSE_REQ, REQ_INFO.id,
                                                 REQ_INFO_KIND, REQ_INFO_SCHEMA);
    (*info)->setint64(REQ_INFO_VESSACELL_ID.field, REQ_INFO_VESSACELL_ID.secondIndex,
                      (1LL << 32) + 5, CLASS_MACHINE_BROWSE_REQ_INFO, REQ_INFO_VESSACELL_ID.id);

    const std::string xml = MessageXml::WriteMachineBrowseReq(req);
    EXPECT_EQ("", XmllintComplaints(xml));
    EXPECT_NE(std::string::npos, xml.find("userName=\"\""));
    EXPECT_EQ(std::string::npos, xml.find("interfaceName"));
    EXPECT_EQ(std::string::npos, xml.find("subclientId"));

    MachineBrowseReq back;
    std::string error;
    ASSERT_TRUE(MessageXml::ReadMachineBrowseReq(xml, back, error)) << error;
    EXPECT_EQ("\\\\", back.getstring(REQ_PATH.field, REQ_PATH.secondIndex, CLASS_MACHINE_BROWSE_REQ,
                                     REQ_PATH.id));
    EXPECT_TRUE(back.isSet(REQ_USER_NAME.field, CLASS_MACHINE_BROWSE_REQ, REQ_USER_NAME.id));
    EXPECT_FALSE(
        back.isSet(REQ_INTERFACE_NAME.field, CLASS_MACHINE_BROWSE_REQ, REQ_INTERFACE_NAME.id));
    EXPECT_FALSE(
        back.isSet(REQ_CREDENTIAL_ID.field, CLASS_MACHINE_BROWSE_REQ, REQ_CREDENTIAL_ID.id));
    EXPECT_EQ("p\"w", back.getpstringobject(REQ_PASSWORD.field, REQ_PASSWORD.secondIndex,
                                            CLASS_MACHINE_BROWSE_REQ, REQ_PASSWORD.id)
                          ->getPlainPassword()
                          .str());
    CNMessageBase** backInfo =
        back.getObjectAccessor(false, false, REQ_INFO.field, REQ_INFO.secondIndex,
                               CLASS_MACHINE_BROWSE_REQ, REQ_INFO.id, 0, 0);
    ASSERT_NE(nullptr, *backInfo);
    EXPECT_EQ((1LL << 32) + 5,
              (*backInfo)->getint64(REQ_INFO_VESSACELL_ID.secondIndex,
                                    CLASS_MACHINE_BROWSE_REQ_INFO, REQ_INFO_VESSACELL_ID.id));
}

TEST(MessageXml, HandWrittenRequestWithUnknownPartsAndLargeIds) {
    const std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<MachineBrowseReq clientId=\"18446744073709551615\" path=\"/filer1/vol&amp;1\" "
        "interfaceName=\"filer1\" colour=\"blue\" subclientId=\"-3\">"
        "<extra><info vessaCellId=\"1\"/></extra><info vessaCellId=\"5\" x=\"y\"/><info "
        "vessaCellId=\"6\"/>"
        "</MachineBrowseReq>";
    MachineBrowseReq req;
    std::string error;
    ASSERT_TRUE(MessageXml::ReadMachineBrowseReq(xml, req, error)) << error;
    EXPECT_EQ(-1,
              req.getint64(REQ_CLIENT_ID.secondIndex, CLASS_MACHINE_BROWSE_REQ, REQ_CLIENT_ID.id));
    EXPECT_EQ(-3, req.getint64(REQ_SUBCLIENT_ID.secondIndex, CLASS_MACHINE_BROWSE_REQ,
                               REQ_SUBCLIENT_ID.id));
    EXPECT_EQ("/filer1/vol&1", req.getstring(REQ_PATH.field, REQ_PATH.secondIndex,
                                             CLASS_MACHINE_BROWSE_REQ, REQ_PATH.id));
    CNMessageBase** info = req.getObjectAccessor(false, false, REQ_INFO.field, REQ_INFO.secondIndex,
                                                 CLASS_MACHINE_BROWSE_REQ, REQ_INFO.id, 0, 0);
    ASSERT_NE(nullptr, *info);
    EXPECT_EQ(5, (*info)->getint64(REQ_INFO_VESSACELL_ID.secondIndex, CLASS_MACHINE_BROWSE_REQ_INFO,
                                   REQ_INFO_VESSACELL_ID.id));
}

TEST(MessageXml, BadRequestsAreRefusedWithAClearTextAndLeaveTheMessageAlone) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "malformed XML at offset 0: No document element found"},
        {"<MachineBrowseReq path=\"a\"", "malformed XML at offset"},
        {"<MachineBrowseReq path=\"a\"></Other>", "malformed XML at offset"},
        {"<GenericResp/>", "expected a <MachineBrowseReq> element, found <GenericResp>"},
        {"<MachineBrowseReq clientId=\"12x\"/>",
         "bad number \"12x\" in attribute clientId of <MachineBrowseReq>"},
        {"<MachineBrowseReq clientId=\"\"/>", "bad number"},
        {"<MachineBrowseReq clientId=\"99999999999999999999\"/>", "bad number"},
        {"<MachineBrowseReq clientId=\" 1\"/>", "bad number"},
        {"<MachineBrowseReq><info vessaCellId=\"-\"/></MachineBrowseReq>",
         "attribute vessaCellId of <info>"},
        {"<MachineBrowseReq path=\"\\q\"/>", "bad escape at character 0"},
    };
    for (const auto& c : cases) {
        MachineBrowseReq req;
        req.setstring(REQ_PATH.field, REQ_PATH.secondIndex, "kept", CLASS_MACHINE_BROWSE_REQ,
                      REQ_PATH.id);
        std::string error;
        EXPECT_FALSE(MessageXml::ReadMachineBrowseReq(c.first, req, error)) << c.first;
        EXPECT_NE(std::string::npos, error.find(c.second)) << c.first << " gave: " << error;
        EXPECT_EQ("kept", req.getstring(REQ_PATH.field, REQ_PATH.secondIndex,
                                        CLASS_MACHINE_BROWSE_REQ, REQ_PATH.id));
    }
}

TEST(MessageXml, GenericResponseAndEmptyResponse) {
    GenericResp generic;
    generic.setint64(GENERIC_ERROR_CODE.field, GENERIC_ERROR_CODE.secondIndex, 1359,
                     CLASS_GENERIC_RESP, GENERIC_ERROR_CODE.id);
    generic.setstring(GENERIC_MESSAGE.field, GENERIC_MESSAGE.secondIndex,
                      "The shares of NAS file server [f<1>] could not be listed: \x1b[31m",
                      CLASS_GENERIC_RESP, GENERIC_MESSAGE.id);
    const std::string xml = MessageXml::WriteGenericResp(generic);
    EXPECT_EQ("", XmllintComplaints(xml));
    GenericResp back;
    std::string error;
    ASSERT_TRUE(MessageXml::ReadGenericResp(xml, back, error)) << error;
    EXPECT_EQ(1359, back.getint64(GENERIC_ERROR_CODE.secondIndex, CLASS_GENERIC_RESP,
                                  GENERIC_ERROR_CODE.id));
    EXPECT_EQ(generic.getstring(GENERIC_MESSAGE.field, GENERIC_MESSAGE.secondIndex,
                                CLASS_GENERIC_RESP, GENERIC_MESSAGE.id),
              back.getstring(GENERIC_MESSAGE.field, GENERIC_MESSAGE.secondIndex, CLASS_GENERIC_RESP,
                             GENERIC_MESSAGE.id));

    const std::string empty = MessageXml::WriteMachineBrowseResp(MachineBrowseResp());
    EXPECT_EQ("", XmllintComplaints(empty));
    EXPECT_NE(std::string::npos, empty.find("<MachineBrowseResp />")) << empty;
    EXPECT_EQ("", XmllintComplaints(MessageXml::WriteGenericResp(GenericResp())));
}

}  // namespace
