// The two browse entries: decoding, normalisation and the root answer.
#include "BrowseTestSupport.h"

#include <cstring>

#include "browse_requests/NASShareBrowse.h"
#include "common/NetworkEntryCall.h"
#include "plumbing/MessageEncoder.h"

namespace {

const char kDriverLineStart[] = "NAS NFS share browse:  SequenceNumber [42] VessaCellId [";

// The words of a record field.
std::string Words(uint32_t first, uint32_t second) {
    std::string s(8, '\0');
    memcpy(&s[0], &first, 4);
    memcpy(&s[4], &second, 4);
    return s;
}

class NetworkEntryTest : public BrowseTest {
protected:
    // Calls the entry with `fields` as message 42 and reads the reply.
    ReplyWire::Reply Browse(const MessageEncoder& fields, const char* path,
                            unsigned long clientId = 9) {
        nsbtest::NetworkCallOptions options;
        options.clientId = clientId;
        options.idleTimeoutMs = 2000;
        const nsbtest::NetworkReply r =
            nsbtest::CallNetworkEntry(NASShareBrowse, fields.Message(42), path, options);
        EXPECT_TRUE(r.wellFormed) << r.error;
        return r.reply;
    }
    std::string DriverLine() {
        for (const LogLine& l : log->Lines())
            if (l.message.rfind(kDriverLineStart, 0) == 0) return l.message;
        return "";
    }
};

TEST_F(NetworkEntryTest, RootIsAnsweredWithTheFileServerItself) {
    for (const char* root : {"/", "\\\\"}) {
        MessageEncoder message;
        message.Field(TAG_NAS_INTERFACE, std::string("/filer1/vol1/\0junk", 18));
        ReplyWire::Reply reply = Browse(message, root);
        EXPECT_EQ(Results(reply), std::vector<Result>{Folder("filer1")});
        EXPECT_TRUE(reply.ended);
        EXPECT_EQ(reply.header.jobId, 42);
        EXPECT_EQ(reply.header.kind, 0x401);
        EXPECT_EQ(reply.header.returnType, 1004u);
    }
    EXPECT_TRUE(fake_nfs::Calls().empty());
}

TEST_F(NetworkEntryTest, NearRootFormsGoToTheDriver) {
    Serve({"/vol"});
    for (const char* path : {"//", "/localhost"}) {
        MessageEncoder message;
        message.Field(TAG_NAS_INTERFACE, "localhost");
        EXPECT_EQ(Results(Browse(message, path)), std::vector<Result>{Folder("vol")}) << path;
    }
    // A single backslash is a browse path of its own, under no export.
    MessageEncoder message;
    message.Field(TAG_NAS_INTERFACE, "localhost");
    ReplyWire::Reply reply = Browse(message, "\\");
    EXPECT_TRUE(reply.items.empty());
    EXPECT_TRUE(reply.ended);
    EXPECT_EQ(fake_nfs::Calls().size(), 3u);
}

TEST_F(NetworkEntryTest, DecodesFieldsLastOccurrenceWinsShortValuesIgnored) {
    Serve({"/vol"}, {{"/vol", {File("a", 1, 1)}}});
    MessageEncoder message;
    message.Field(TAG_VESSACELL_INFO, Words(1, 7))
        .Field(TAG_SUBCLIENT_ID, Words(3, 0))
        .Field(TAG_NAS_INTERFACE, "elsewhere")
        .Field(TAG_NAS_INTERFACE, "localhost")
        .Field(TAG_VESSACELL_INFO, Words(0, 0).substr(0, 5))  // too short: ignored
        .Field(TAG_SUBCLIENT_ID, "\x01");                     // too short: ignored
    EXPECT_EQ(Results(Browse(message, "/localhost/vol/")),
              (std::vector<Result>{Result{false, "a", 1, 1}}));
    EXPECT_TRUE(log->Has(
        "NAS share browse: Path [/localhost/vol/], SequenceNumber [42] VessaCellId [7] Client [9] "
        "Subclient [3] User [] Interface [localhost] CredentialId [0]"));
    EXPECT_EQ(ListedPaths(), std::vector<std::string>{"/vol"});
}

TEST_F(NetworkEntryTest, MissingFieldsTakeDefaultsAndTheClientsHostName) {
    Serve({"/vol"});
    ORVClient::RegisterClient(9, "localhost");
    MessageEncoder message;
    message.Field(TAG_VESSACELL_INFO, Words(5, 0));  // id 0 stays the default 2
    EXPECT_EQ(Results(Browse(message, "/localhost")), std::vector<Result>{Folder("vol")});
    EXPECT_EQ(DriverLine(),
              std::string(kDriverLineStart) + "2] Client [9] Interface [localhost] BrowsePath []");
    // The summary shows the name as received: empty.
    EXPECT_TRUE(
        log->Has("NAS share browse: Path [/localhost], SequenceNumber [42] VessaCellId [2] "
                 "Client [9] Subclient [0] User [] Interface [] CredentialId [0]"));
}

TEST_F(NetworkEntryTest, PathsKeepTheirTextWhenTheyDoNotStartWithTheServer) {
    Serve({"/vol/x"});
    MessageEncoder message;
    message.Field(TAG_NAS_INTERFACE, "localhost/extra");
    Browse(message, "/vol/");
    EXPECT_NE(DriverLine().find("Interface [localhost] BrowsePath [vol]"), std::string::npos)
        << DriverLine();
}

TEST_F(NetworkEntryTest, UnknownClientWithoutInterfaceGetsOneFailureMessage) {
    MessageEncoder message;
    ReplyWire::Reply reply = Browse(message, "/vol", 9);
    EXPECT_TRUE(reply.items.empty());
    EXPECT_EQ(reply.messages.size(), 1u);
    EXPECT_TRUE(reply.ended);
    EXPECT_TRUE(log->Has("Could not lookup host name for client Id[9]"));
    bool logged = false;
    for (const std::string& m : log->Messages(LOG_ERROR))
        logged |= m.rfind("Couldn't browse NFS NAS share [vol] from Interface [], error=", 0) == 0;
    EXPECT_TRUE(logged);
}

TEST_F(NetworkEntryTest, NullMessageOrPathNeverCrashes) {
    ReplySocket wire;
    NASShareBrowse(nullptr, const_cast<char*>("/"), 9, 0, nullptr);
    EXPECT_EQ(log->Messages(LOG_ERROR), std::vector<std::string>{"Null Pointers"});
    EXPECT_TRUE(wire.Silent());

    MessageEncoder message;
    message.Field(TAG_NAS_INTERFACE, "localhost");
    ReplyWire::Reply reply = Browse(message, nullptr);
    EXPECT_TRUE(reply.items.empty());
    ASSERT_EQ(reply.messages.size(), 1u);
    EXPECT_EQ(reply.messages[0], "The browse request carried no path.");
    EXPECT_TRUE(reply.ended);
    EXPECT_TRUE(fake_nfs::Calls().empty());
}

class XmlEntryTest : public BrowseTest {
protected:
    void Set(const App::FieldKey& key, const std::string& value) {
        request.setstring(key.field, key.secondIndex, value, App::CLASS_MACHINE_BROWSE_REQ, key.id);
    }
    void SetNumber(const App::FieldKey& key, long long value) {
        request.setint64(key.field, key.secondIndex, value, App::CLASS_MACHINE_BROWSE_REQ, key.id);
    }
    void SetVessaCell(long long value) {
        CNMessageBase** info =
            request.getObjectAccessor(true, false, App::REQ_INFO.field, App::REQ_INFO.secondIndex,
                                      App::CLASS_MACHINE_BROWSE_REQ, App::REQ_INFO.id,
                                      App::REQ_INFO_KIND, App::REQ_INFO_SCHEMA);
        (*info)->setint64(App::REQ_INFO_VESSACELL_ID.field, App::REQ_INFO_VESSACELL_ID.secondIndex,
                          value, App::CLASS_MACHINE_BROWSE_REQ_INFO, App::REQ_INFO_VESSACELL_ID.id);
    }
    std::vector<Result> Browse() {
        NASShareXMLBrowse(&request, &response, &generic);
        return Results(*response.getBrowseItems());
    }
    std::string DriverVessaCell() {
        const std::string start = "NAS NFS share browse:  VessaCellId [";
        for (const LogLine& l : log->Lines())
            if (l.message.rfind(start, 0) == 0)
                return l.message.substr(start.size(), l.message.find(']') - start.size());
        return "";
    }

    App::MachineBrowseReq request;
    App::MachineBrowseResp response;
    App::GenericResp generic;
};

TEST_F(XmlEntryTest, RootIsAnsweredWithTheFileServerItself) {
    Set(App::REQ_PATH, "/");
    Set(App::REQ_INTERFACE_NAME, "/filer1/");
    EXPECT_EQ(Browse(), std::vector<Result>{Folder("filer1")});
    EXPECT_EQ(response.getstring(App::RESP_PATH.field, App::RESP_PATH.secondIndex,
                                 App::CLASS_MACHINE_BROWSE_RESP, App::RESP_PATH.id),
              "/");
    EXPECT_TRUE(fake_nfs::Calls().empty());
}

TEST_F(XmlEntryTest, VessaCellIdIsTheUnsignedLow32Bits) {
    Serve({"/vol"});
    Set(App::REQ_INTERFACE_NAME, "localhost");
    SetNumber(App::REQ_CLIENT_ID, 9);
    struct Case {
        bool set;
        long long stored;
        const char* expected;
    };
    for (const Case& c :
         {Case{false, 0, "2"}, Case{true, 0, "2"}, Case{true, 5, "5"},
          Case{true, (1ll << 32) + 5, "5"}, Case{true, (1ll << 31) + 5, "2147483653"}}) {
        App::MachineBrowseReq fresh;
        request = fresh;
        Set(App::REQ_INTERFACE_NAME, "localhost");
        Set(App::REQ_PATH, "/localhost");
        SetNumber(App::REQ_CLIENT_ID, 9);
        if (c.set) SetVessaCell(c.stored);
        log->Clear();
        Browse();
        EXPECT_EQ(DriverVessaCell(), c.expected) << c.stored;
    }
}

TEST_F(XmlEntryTest, UnsetPathGoesToTheDriverAsTheTopLevel) {
    Serve({"/vol/a", "/home"});
    Set(App::REQ_INTERFACE_NAME, "localhost");
    SetNumber(App::REQ_CLIENT_ID, 9);
    App::MachineBrowseItem existing;
    response.getBrowseItems()->push_back(existing);
    std::vector<Result> results = Browse();
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[1], Folder("home"));
    EXPECT_EQ(results[2], Folder("vol"));
    EXPECT_TRUE(log->Has("Number of items in the NAS share browse response [3]"));
}

TEST_F(XmlEntryTest, FailureLandsInTheGenericResponse) {
    Set(App::REQ_INTERFACE_NAME, "localhost");
    Set(App::REQ_PATH, "/localhost/vol");
    SetNumber(App::REQ_CLIENT_ID, 9);
    EXPECT_TRUE(Browse().empty());
    EXPECT_EQ(generic.getint64(App::GENERIC_ERROR_CODE.secondIndex, App::CLASS_GENERIC_RESP,
                               App::GENERIC_ERROR_CODE.id),
              1359);
    bool logged = false;
    for (const std::string& m : log->Messages(LOG_ERROR))
        logged |=
            m.rfind("Couldn't XML browse NFS NAS share [/vol] from Interface [localhost], error=",
                    0) == 0;
    EXPECT_TRUE(logged);
}

TEST_F(XmlEntryTest, NullArgumentsAreRefused) {
    NASShareXMLBrowse(nullptr, &response, &generic);
    NASShareXMLBrowse(&request, nullptr, &generic);
    NASShareXMLBrowse(&request, &response, nullptr);
    EXPECT_EQ(log->Messages(LOG_ERROR),
              (std::vector<std::string>{"Null Pointers", "Null Pointers", "Null Pointers"}));
    EXPECT_FALSE(
        response.isSet(App::RESP_PATH.field, App::CLASS_MACHINE_BROWSE_RESP, App::RESP_PATH.id));
}

}  // namespace
