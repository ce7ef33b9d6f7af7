// Field storage of the XML messages: lookup rules and deep copies.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/BrowseMessageFields.h"
#include "host/MessageBase.h"

namespace {

using App::CLASS_MACHINE_BROWSE_ITEM;
using App::CLASS_MACHINE_BROWSE_REQ;
using App::CLASS_MACHINE_BROWSE_REQ_INFO;

App::MachineBrowseItem Item(const std::string& name, long long folder) {
    App::MachineBrowseItem item;
    item.setint64(1, 1, folder, CLASS_MACHINE_BROWSE_ITEM, 0x28DAD6);
    item.setstring(5, 5, name, CLASS_MACHINE_BROWSE_ITEM, 0x337A8B);
    return item;
}

std::string Name(const App::MachineBrowseItem& item) {
    return item.getstring(5, 5, CLASS_MACHINE_BROWSE_ITEM, 0x337A8B);
}

CNMessageBase* Info(App::MachineBrowseReq& req, bool create) {
    CNMessageBase** info = req.getObjectAccessor(create, false, 1, 1, CLASS_MACHINE_BROWSE_REQ,
                                                 0x647F8E, 18, 4);
    return info ? *info : nullptr;
}

TEST(MessageBase, FieldsAreFoundByTheirNumbersAndIdentifiers) {
    App::MachineBrowseReq req;
    EXPECT_FALSE(req.isSet(11, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ(0, req.getint64(20, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ("", req.getstring(2, 2, CLASS_MACHINE_BROWSE_REQ, 0x346425));

    req.setint64(11, 20, -7, CLASS_MACHINE_BROWSE_REQ, 0xD62386);
    req.setstring(2, 2, "", CLASS_MACHINE_BROWSE_REQ, 0x346425);
    EXPECT_TRUE(req.isSet(11, CLASS_MACHINE_BROWSE_REQ, 0xD62386));   // by field number
    EXPECT_EQ(-7, req.getint64(20, CLASS_MACHINE_BROWSE_REQ, 0xD62386));  // by second index
    EXPECT_TRUE(req.isSet(2, CLASS_MACHINE_BROWSE_REQ, 0x346425));    // set to empty is set

    // Other numbers, another class or another identifier: not this field.
    EXPECT_FALSE(req.isSet(20, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ(0, req.getint64(11, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ(0, req.getint64(20, CLASS_MACHINE_BROWSE_ITEM, 0xD62386));
    EXPECT_FALSE(req.isSet(11, CLASS_MACHINE_BROWSE_REQ, 0x1D62386ul));
    req.setstring(2, 3, "x", CLASS_MACHINE_BROWSE_REQ, 0xC000FE);
    EXPECT_EQ("", req.getstring(2, 2, CLASS_MACHINE_BROWSE_REQ, 0xC000FE));
    // A field of another type reads as unset.
    EXPECT_EQ(0, req.getint64(2, CLASS_MACHINE_BROWSE_REQ, 0x346425));
    EXPECT_EQ("", req.getstring(11, 20, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ(nullptr, req.getlistobject(11, 20, CLASS_MACHINE_BROWSE_REQ, 0xD62386, true));
}

TEST(MessageBase, ListRecordAndPasswordAccessors) {
    App::MachineBrowseResp resp;
    void** absent = resp.getlistobject(2, 5, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756, false);
    ASSERT_NE(nullptr, absent);
    EXPECT_EQ(nullptr, *absent);
    EXPECT_FALSE(resp.isSet(2, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756));
    std::vector<App::MachineBrowseItem>* items = resp.getBrowseItems();
    ASSERT_NE(nullptr, items);
    EXPECT_EQ(items, resp.getBrowseItems());  // the same list every time
    EXPECT_TRUE(resp.isSet(2, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756));

    App::MachineBrowseReq req;
    EXPECT_EQ(nullptr, Info(req, false));
    CNMessageBase* info = Info(req, true);
    ASSERT_NE(nullptr, info);
    EXPECT_NE(nullptr, dynamic_cast<App::MachineBrowseReqInfo*>(info));
    EXPECT_EQ(info, Info(req, false));

    pstring* password = req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B);
    ASSERT_NE(nullptr, password);
    EXPECT_EQ("", password->getPlainPassword().str());
    password->setPlainPassword("s3cret");
    EXPECT_EQ("s3cret", req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B)
                            ->getPlainPassword()
                            .str());
}

TEST(MessageBase, CopiesAreDeep) {
    App::MachineBrowseResp resp;
    resp.getBrowseItems()->push_back(Item("a", 1));
    App::MachineBrowseReq req;
    Info(req, true)->setint64(6, 18, 5, CLASS_MACHINE_BROWSE_REQ_INFO, 0x10E449);

    App::MachineBrowseResp respCopy(resp);
    App::MachineBrowseReq reqCopy;
    reqCopy = req;
    // Changing the originals leaves the copies alone.
    (*resp.getBrowseItems())[0].setstring(5, 5, "changed", CLASS_MACHINE_BROWSE_ITEM, 0x337A8B);
    resp.getBrowseItems()->push_back(Item("b", 0));
    Info(req, false)->setint64(6, 18, 9, CLASS_MACHINE_BROWSE_REQ_INFO, 0x10E449);

    ASSERT_EQ(1u, respCopy.getBrowseItems()->size());
    EXPECT_EQ("a", Name((*respCopy.getBrowseItems())[0]));
    EXPECT_NE(resp.getBrowseItems(), respCopy.getBrowseItems());
    CNMessageBase* copiedInfo = Info(reqCopy, false);
    ASSERT_NE(nullptr, copiedInfo);
    EXPECT_NE(Info(req, false), copiedInfo);
    EXPECT_NE(nullptr, dynamic_cast<App::MachineBrowseReqInfo*>(copiedInfo));
    EXPECT_EQ(5, copiedInfo->getint64(18, CLASS_MACHINE_BROWSE_REQ_INFO, 0x10E449));

    const App::MachineBrowseReq& same = reqCopy;
    reqCopy = same;  // self-assignment keeps the fields
    EXPECT_EQ(5, Info(reqCopy, false)->getint64(18, CLASS_MACHINE_BROWSE_REQ_INFO, 0x10E449));
}

}  // namespace
