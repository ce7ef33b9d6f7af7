// Field storage of the XML messages: lookup rules and deep copies.

#include <malloc.h>

#include <cstdio>
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
    CNMessageBase** info =
        req.getObjectAccessor(create, false, 1, 1, CLASS_MACHINE_BROWSE_REQ, 0x647F8E, 18, 4);
    return info ? *info : nullptr;
}

TEST(MessageBase, FieldsAreFoundByTheirNumbersAndIdentifiers) {
    App::MachineBrowseReq req;
    EXPECT_FALSE(req.isSet(11, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ(0, req.getint64(20, CLASS_MACHINE_BROWSE_REQ, 0xD62386));
    EXPECT_EQ("", req.getstring(2, 2, CLASS_MACHINE_BROWSE_REQ, 0x346425));

    req.setint64(11, 20, -7, CLASS_MACHINE_BROWSE_REQ, 0xD62386);
    req.setstring(2, 2, "", CLASS_MACHINE_BROWSE_REQ, 0x346425);
    EXPECT_TRUE(req.isSet(11, CLASS_MACHINE_BROWSE_REQ, 0xD62386));       // by field number
    EXPECT_EQ(-7, req.getint64(20, CLASS_MACHINE_BROWSE_REQ, 0xD62386));  // by second index
    EXPECT_TRUE(req.isSet(2, CLASS_MACHINE_BROWSE_REQ, 0x346425));        // set to empty is set

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
    EXPECT_EQ(
        "s3cret",
        req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B)->getPlainPassword().str());
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

TEST(MessageBase, HandedOutAddressesOutliveNewFieldsAndMoves) {
    App::MachineBrowseResp resp;
    void** list = resp.getlistobject(2, 5, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756, true);
    ASSERT_NE(nullptr, list);
    auto* items = static_cast<std::vector<App::MachineBrowseItem>*>(*list);
    App::MachineBrowseReq req;
    CNMessageBase** info =
        req.getObjectAccessor(true, false, 1, 1, CLASS_MACHINE_BROWSE_REQ, 0x647F8E, 18, 4);
    pstring* password = req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B);
    ASSERT_NE(nullptr, info);
    CNMessageBase* record = *info;

    // Enough further fields to make the message's own storage grow.
    for (unsigned int id = 1; id <= 20; ++id) {
        resp.setstring(1, 1, "path", App::CLASS_MACHINE_BROWSE_RESP, id);
        req.setint64(3, 3, id, CLASS_MACHINE_BROWSE_REQ, id);
        items->push_back(Item("n" + std::to_string(id), 0));
    }
    password->setPlainPassword("kept");
    EXPECT_EQ(list, resp.getlistobject(2, 5, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756, false));
    EXPECT_EQ(items, resp.getBrowseItems());
    EXPECT_EQ(20u, resp.getBrowseItems()->size());
    EXPECT_EQ(info,
              req.getObjectAccessor(false, false, 1, 1, CLASS_MACHINE_BROWSE_REQ, 0x647F8E, 18, 4));
    EXPECT_EQ(record, *info);
    EXPECT_EQ(password, req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B));

    // A moved message keeps them; the moved-from one is empty and usable.
    App::MachineBrowseResp moved(std::move(resp));
    EXPECT_EQ(items, moved.getBrowseItems());
    EXPECT_EQ(list, moved.getlistobject(2, 5, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756, false));
    EXPECT_FALSE(resp.isSet(2, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756));
    EXPECT_EQ("", resp.getstring(1, 1, App::CLASS_MACHINE_BROWSE_RESP, 7));
    resp.setint64(1, 1, 4, App::CLASS_MACHINE_BROWSE_RESP, 7);
    EXPECT_EQ(4, resp.getint64(1, App::CLASS_MACHINE_BROWSE_RESP, 7));
    App::MachineBrowseReq assigned;
    assigned = std::move(req);
    EXPECT_EQ(password, assigned.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B));
    EXPECT_EQ("kept", password->getPlainPassword().str());
    EXPECT_EQ(20, assigned.getint64(3, CLASS_MACHINE_BROWSE_REQ, 20));
}

TEST(MessageBase, ASetReplacesTheFieldWhateverItHeld) {
    App::MachineBrowseReq req;
    const unsigned long cls = CLASS_MACHINE_BROWSE_REQ;
    ASSERT_NE(nullptr, req.getlistobject(4, 4, cls, 0x99, true));
    req.setstring(4, 4, "text", cls, 0x99);  // the list goes (a leak shows under the sanitizers)
    EXPECT_EQ(nullptr, req.getlistobject(4, 4, cls, 0x99, false));
    EXPECT_EQ("text", req.getstring(4, 4, cls, 0x99));
    req.setint64(5, 6, 42, cls, 0x99);  // other numbers, other type
    EXPECT_FALSE(req.isSet(4, cls, 0x99));
    EXPECT_EQ("", req.getstring(5, 6, cls, 0x99));
    EXPECT_EQ(42, req.getint64(6, cls, 0x99));
    req.setstring(5, 6, "again", cls, 0x99);
    EXPECT_EQ(0, req.getint64(6, cls, 0x99));
    // An accessor with other numbers replaces the field by a new, empty one.
    pstring* password = req.getpstringobject(7, 7, cls, 0x99);
    ASSERT_NE(nullptr, password);
    EXPECT_EQ("", password->getPlainPassword().str());
    EXPECT_EQ("", req.getstring(5, 6, cls, 0x99));
    CNMessageBase** record = req.getObjectAccessor(true, false, 8, 8, cls, 0x99, 18, 4);
    ASSERT_NE(nullptr, record);
    ASSERT_NE(nullptr, *record);
    EXPECT_EQ(nullptr, req.getpstringobject(8, 8, cls, 0x99));  // holds a record
    EXPECT_FALSE(req.isSet(7, cls, 0x99));
}

TEST(MessageBase, TextsKeepEveryByte) {
    const std::string bytes("a\0b\xff\0", 5);
    const std::string longText(100000, 'x');
    App::MachineBrowseItem item;
    item.setstring(5, 5, bytes, CLASS_MACHINE_BROWSE_ITEM, 1);
    item.setstring(5, 5, longText, CLASS_MACHINE_BROWSE_ITEM, 2);
    item.setstring(5, 5, "", CLASS_MACHINE_BROWSE_ITEM, 3);
    const App::MachineBrowseItem copy(item);
    item.setstring(5, 5, "short", CLASS_MACHINE_BROWSE_ITEM, 2);  // over a longer text
    for (const App::MachineBrowseItem* m :
         {static_cast<const App::MachineBrowseItem*>(&item), &copy}) {
        EXPECT_EQ(bytes, m->getstring(5, 5, CLASS_MACHINE_BROWSE_ITEM, 1));
        EXPECT_EQ("", m->getstring(5, 5, CLASS_MACHINE_BROWSE_ITEM, 3));
        EXPECT_TRUE(m->isSet(5, CLASS_MACHINE_BROWSE_ITEM, 3));
    }
    EXPECT_EQ("short", item.getstring(5, 5, CLASS_MACHINE_BROWSE_ITEM, 2));
    EXPECT_EQ(longText, copy.getstring(5, 5, CLASS_MACHINE_BROWSE_ITEM, 2));
}

TEST(MessageBase, CopiesOfClearedListsAndRecordsAndOfPasswords) {
    App::MachineBrowseResp resp;
    void** list = resp.getlistobject(2, 5, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756, true);
    delete static_cast<std::vector<App::MachineBrowseItem>*>(*list);
    *list = nullptr;  // the holder of the address may clear it
    App::MachineBrowseReq req;
    CNMessageBase** info =
        req.getObjectAccessor(true, false, 1, 1, CLASS_MACHINE_BROWSE_REQ, 0x647F8E, 18, 4);
    delete *info;
    *info = nullptr;
    req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B)->setPlainPassword("pw");

    const App::MachineBrowseResp respCopy(resp);
    App::MachineBrowseReq reqCopy(req);
    void** copiedList = const_cast<App::MachineBrowseResp&>(respCopy).getlistobject(
        2, 5, App::CLASS_MACHINE_BROWSE_RESP, 0x99D756, false);
    ASSERT_NE(nullptr, copiedList);
    EXPECT_NE(list, copiedList);
    EXPECT_EQ(nullptr, *copiedList);
    EXPECT_EQ(nullptr, Info(reqCopy, false));
    EXPECT_NE(nullptr, Info(reqCopy, true));  // created now
    req.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B)->setPlainPassword("changed");
    EXPECT_EQ("pw", reqCopy.getpstringobject(8, 14, CLASS_MACHINE_BROWSE_REQ, 0x89BA9B)
                        ->getPlainPassword()
                        .str());
}

// What the XML road holds per entry: the item in the response's list plus
// everything it owns, as the plug-in fills it (four fields, a 16-byte name
// like "endless-0000123456"), measured through the allocator.
TEST(MessageBase, AnItemCostsAtMost100Bytes) {
    constexpr size_t kItems = 100000;
    // In-use heap bytes plus the mapped blocks (the reserved list is one).
    const auto inUse = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
    const size_t before = inUse();
    {
        std::vector<App::MachineBrowseItem> items;
        items.reserve(kItems);
        char name[24];
        for (size_t i = 0; i < kItems; ++i) {
            snprintf(name, sizeof name, "entry-%010zu", i);
            App::MachineBrowseItem item = Item(name, 0);
            item.setint64(2, 2, 1700000000 + static_cast<long long>(i), CLASS_MACHINE_BROWSE_ITEM,
                          0xA710C2);
            item.setint64(3, 3, static_cast<long long>(i) * 4096, CLASS_MACHINE_BROWSE_ITEM,
                          0x282B9D);
            items.push_back(std::move(item));
        }
        const double perItem = double(inUse() - before) / kItems;
        printf("bytes per item: %.1f\n", perItem);
        EXPECT_LE(perItem, 100.0);
    }
}

}  // namespace
