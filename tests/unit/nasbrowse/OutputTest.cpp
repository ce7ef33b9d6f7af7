// The output of nasbrowse: text helpers, the presenters of each format, and
// the output stream's error handling.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "common/TestSupport.h"
#include "nasbrowse/Output.h"

namespace nasbrowse {
namespace {

using Json = nlohmann::json;

// An output stream over an in-memory file, read back with Text().
class Captured {
public:
    Captured() : m_fd(memfd_create("nasbrowse-output", MFD_CLOEXEC)), m_out(m_fd, 256) {}
    ~Captured() { close(m_fd); }
    OutputStream& out() { return m_out; }
    // What reached the file so far (nothing buffered is flushed).
    std::string Written() const {
        std::string text;
        char buffer[4096];
        ssize_t n;
        off_t at = 0;
        while ((n = pread(m_fd, buffer, sizeof buffer, at)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        return text;
    }
    std::string Text() {
        m_out.Flush();
        return Written();
    }

private:
    int m_fd;
    OutputStream m_out;
};

std::vector<Item> SomeItems() {
    return {{"docs", true, 0, 0},
            {"a.txt", false, 1600000000, 1234},
            {std::string("bad\xff name", 9), false, 1600000001, 7},
            {"big.iso", false, 1500000000, 5LL << 30}};
}

const ListingInfo kListing{"nas1", "/vol/vol1", "/nas1/vol/vol1"};

std::string Present(PresentOptions options, const std::vector<Item>& items,
                    const Failure& failure = {}) {
    Captured captured;
    auto presenter = MakeBrowsePresenter(options, kListing, captured.out());
    presenter->Begin();
    for (const Item& item : items) presenter->Add(item);
    presenter->Finish(failure, 0.25);
    return captured.Text();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(Utf8, ReplacesEachInvalidByteAndKeepsValidSequences) {
    EXPECT_TRUE(IsValidUtf8("plain caf\xc3\xa9 \xf0\x9f\x93\x81"));
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\xff"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        {"\xc0\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong "/"
        {"\xed\xa0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
        {"\xf4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
        {"end\xe2\x82", "end\xEF\xBF\xBD\xEF\xBF\xBD"},                            // cut short
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(IsValidUtf8(c.in)) << c.in;
        EXPECT_EQ(ValidUtf8(c.in), c.out);
        std::string json;
        EXPECT_FALSE(AppendJsonString(json, c.in));
        EXPECT_EQ(Json::parse(json).get<std::string>(), c.out);
    }
    EXPECT_EQ(Hex(std::string("\x00\xff"
                              "A",
                              3)),
              "00ff41");
}

TEST(JsonString, EveryByteValueGivesValidJsonThatReadsBack) {
    std::string all;
    for (int b = 1; b < 0x80; ++b) all += static_cast<char>(b);
    all += "caf\xc3\xa9";
    std::string json;
    EXPECT_TRUE(AppendJsonString(json, all));
    EXPECT_EQ(Json::parse(json).get<std::string>(), all);
    EXPECT_NE(json.find("\\u0001"), std::string::npos);
    EXPECT_NE(json.find("\\n"), std::string::npos);
}

TEST(Json, OneDocumentInKeyOrderWithNameHexAndTheError) {
    const std::string text = Present({Format::Json}, SomeItems());
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.substr(0, 62),
              R"({"server":"nas1","path":"/vol/vol1","items":[{"name":"docs","f)");
    EXPECT_NE(text.find(R"({"name":"a.txt","folder":false,"mtime":1600000000,"size":1234})"),
              std::string::npos);
    EXPECT_NE(text.find(R"("error":null})"), std::string::npos);
    const Json document = Json::parse(text);
    EXPECT_EQ(document["items"].size(), 4u);
    EXPECT_EQ(document["items"][2]["name"], "bad\xEF\xBF\xBD name");
    EXPECT_EQ(document["items"][2]["name_hex"], "626164ff206e616d65");
    EXPECT_FALSE(document["items"][1].contains("name_hex"));

    const Json failed =
        Json::parse(Present({Format::Json}, {SomeItems()[1]}, {true, true, 1359, "no \xfe luck"}));
    EXPECT_EQ(failed["error"],
              Json::parse(R"({"kind":"other","code":1359,"message":"no \ufffd luck"})"));
    EXPECT_EQ(failed["items"].size(), 1u);  // what came before the failure
    const Json gui = Json::parse(Present({Format::Json}, {}, {true, false, 0, "x"}));
    EXPECT_TRUE(gui["error"]["code"].is_null());
}

TEST(JsonLines, AnObjectPerItemThenTheSummary) {
    const std::vector<std::string> lines =
        Lines(Present({Format::Jsonl}, SomeItems(), {true, false, 0, "cut short"}));
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 0; i < 4; ++i) {
        const Json item = Json::parse(lines[i]);
        EXPECT_TRUE(item.contains("name") && !item.contains("summary")) << lines[i];
    }
    EXPECT_EQ(
        Json::parse(lines[4]),
        Json::parse(
            R"({"summary":true,"server":"nas1","path":"/vol/vol1","items":4,"folders":1,"files":3,)"
            R"("error":{"kind":"other","code":null,"message":"cut short"}})"));
}

TEST(Table, HeaderRowsAndSummaryOrNoHeaders) {
    PresentOptions options;
    options.utc = true;
    const std::vector<std::string> lines = Lines(Present(options, SomeItems()));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "TYPE           SIZE  MODIFIED              NAME");
    EXPECT_EQ(lines[1], "d                 0  -                     docs/");
    EXPECT_EQ(lines[2], "-              1234  2020-09-13T12:26:40Z  a.txt");
    EXPECT_EQ(lines[3], "-                 7  2020-09-13T12:26:41Z  \"bad\\xff name\"");
    EXPECT_EQ(lines[5], "4 items (1 folder, 3 files) in nas1 /vol/vol1, 0.250 s");

    options.headers = false;
    options.human = true;
    const std::vector<std::string> bare = Lines(Present(options, SomeItems()));
    ASSERT_EQ(bare.size(), 4u);
    EXPECT_EQ(bare[3], "-      5.0G  2017-07-14T02:40:00Z  big.iso");

    // A failure: the items that came, no summary (the caller says it on
    // stderr); nothing at all, not even the header, when nothing came.
    options.headers = true;
    EXPECT_EQ(Lines(Present(options, {SomeItems()[1]}, {true, false, 0, "x"})).size(), 2u);
    EXPECT_EQ(Present(options, {}, {true, false, 0, "x"}), "");
    EXPECT_EQ(Lines(Present(options, {})).size(), 2u);  // header and "0 items"
}

TEST(Table, NamesAreQuotedOnlyWhenTheyWouldMisleadATerminal) {
    EXPECT_EQ(QuoteName("plain name.txt"), "plain name.txt");
    EXPECT_EQ(QuoteName("caf\xc3\xa9\\x"), "caf\xc3\xa9\\x");
    EXPECT_EQ(QuoteName(" lead"), "\" lead\"");
    EXPECT_EQ(QuoteName("trail\t"), "\"trail\\x09\"");
    EXPECT_EQ(QuoteName("line\nfeed"), "\"line\\x0afeed\"");
    EXPECT_EQ(QuoteName("esc\x1b[31m"), "\"esc\\x1b[31m\"");
    EXPECT_EQ(QuoteName("c1\xc2\x9b"
                        "2J"),
              "\"c1\\xc2\\x9b2J\"");
    EXPECT_EQ(QuoteName("\"q\" and \\"), "\"\\\"q\\\" and \\\\\"");
    EXPECT_EQ(QuoteName(""), "\"\"");
    EXPECT_EQ(Printable("a\x01"
                        "b\\"),
              "a\\x01b\\");
}

TEST(Table, HumanSizesRoundUpAsLsDoes) {
    const struct {
        int64_t bytes;
        const char* text;
    } cases[] = {{0, "0"},          {1023, "1023"},      {1024, "1.0K"},     {1025, "1.1K"},
                 {10239, "10K"},    {10240, "10K"},      {10241, "11K"},     {1048575, "1.0M"},
                 {1048576, "1.0M"}, {5LL << 30, "5.0G"}, {INT64_MAX, "8.0E"}};
    for (const auto& c : cases) EXPECT_EQ(HumanSize(c.bytes), c.text) << c.bytes;
}

// Sets TZ for the lifetime of the object.
struct Zone : nsbtest::ScopedEnv {
    explicit Zone(const char* zone) : ScopedEnv("TZ", zone) {}
};

std::string Reference(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    char text[40];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;
    char zone[48];
    snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', labs(offset) / 3600,
             labs(offset) / 60 % 60);
    return std::string(text) + zone;
}

TEST(Times, LocalTimesCarryTheZoneOffsetOfTheirOwnDate) {
    {
        Zone zone("Europe/Berlin");
        TimeFormatter times(false);
        EXPECT_EQ(times.Format(1700000000), "2023-11-14T23:13:20+01:00");
        EXPECT_EQ(times.Format(1690000000), "2023-07-22T06:26:40+02:00");
        // The second before and at a change to summer time.
        EXPECT_EQ(times.Format(1679792399), "2023-03-26T01:59:59+01:00");
        EXPECT_EQ(times.Format(1679792400), "2023-03-26T03:00:00+02:00");
        EXPECT_EQ(times.Format(0), "-");
    }
    // Zones with odd offsets and changes, against the C library, second by
    // second around each change and at random times.
    const struct {
        const char* zone;
        time_t change;  // one change of its offset, scanned second by second
    } zones[] = {{"Australia/Lord_Howe", 1696087800},  // 2023-10-01 02:00 +10:30 -> +11:00
                 {"Asia/Kathmandu", 504901800},        // 1986-01-01 +05:30 -> +05:45
                 {"America/St_Johns", 1678597260},     // 2023-03-12 -03:30 -> -02:30
                 {"Africa/Monrovia", 63593070}};  // 1972-01-07 -00:44:30 -> +00:00, mid-quarter
    for (const auto& z : zones) {
        Zone zone(z.zone);
        TimeFormatter times(false);
        unsigned seed = 7;
        for (int i = 0; i < 20000; ++i) {
            seed = seed * 1103515245 + 12345;
            const time_t t = static_cast<time_t>(seed % 2000000000u) + 1;
            ASSERT_EQ(times.Format(static_cast<uint64_t>(t)), Reference(t)) << z.zone << " " << t;
        }
        for (time_t t = z.change - 1800; t < z.change + 1800; ++t)
            ASSERT_EQ(times.Format(static_cast<uint64_t>(t)), Reference(t)) << z.zone << " " << t;
    }
    TimeFormatter utc(true);
    EXPECT_EQ(utc.Format(1700000000), "2023-11-14T22:13:20Z");
    EXPECT_EQ(utc.Format(253402300799ull), "9999-12-31T23:59:59Z");
    EXPECT_EQ(utc.Format(253402300800ull), "@253402300800");
}

TEST(Xml, TheSameWellFormedDocumentForAnyItemsWithTheGenericResponseOnFailure) {
    std::vector<Item> items = SomeItems();
    items.push_back({"odd<&>\"\x01", false, 0, 0});
    const std::string text = Present({Format::Xml}, items, {true, true, 1359, "no \x01 luck"});
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(text.c_str())) << text;
    const pugi::xml_node root = document.child("nasbrowse");
    EXPECT_STREQ(root.attribute("path").value(), "/vol/vol1");
    const pugi::xml_node response = root.child("MachineBrowseResp");
    EXPECT_STREQ(response.attribute("path").value(), "/nas1/vol/vol1");
    EXPECT_EQ(std::distance(response.children("item").begin(), response.children("item").end()), 5);
    EXPECT_STREQ(response.last_child().attribute("name").value(), "odd<&>\"\\x01");
    EXPECT_FALSE(response.first_child().attribute("mtime"));  // unset when 0
    EXPECT_STREQ(root.child("GenericResp").attribute("errorCode").value(), "1359");
    EXPECT_STREQ(root.child("GenericResp").attribute("message").value(), "no \\x01 luck");

    pugi::xml_document empty;
    ASSERT_TRUE(empty.load_string(Present({Format::Xml}, {}).c_str()));
    EXPECT_TRUE(empty.child("nasbrowse").child("MachineBrowseResp"));
    EXPECT_FALSE(empty.child("nasbrowse").child("GenericResp"));
}

TEST(Presenters, EveryUnsortedFormatWritesEachItemBeforeTheEnd) {
    for (Format format : {Format::Table, Format::Json, Format::Jsonl, Format::Xml}) {
        Captured captured;
        PresentOptions options;
        options.format = format;
        auto presenter = MakeBrowsePresenter(options, kListing, captured.out());
        presenter->Begin();
        presenter->Add({"first-item", false, 1, 1});
        captured.out().Flush();
        EXPECT_NE(captured.Written().find("first-item"), std::string::npos)
            << static_cast<int>(format);

        // A sort holds the items until the end.
        Captured sorted;
        options.sort = SortKey::Name;
        auto holding = MakeBrowsePresenter(options, kListing, sorted.out());
        holding->Begin();
        holding->Add({"zz", false, 1, 1});
        holding->Add({"aa", false, 1, 1});
        sorted.out().Flush();
        EXPECT_EQ(sorted.Written().find("zz"), std::string::npos);
        holding->Finish({}, 0);
        const std::string text = sorted.Text();
        EXPECT_LT(text.find("aa"), text.find("zz"));
        EXPECT_EQ(holding->items(), 2u);
    }
}

TEST(Sort, KeysAndFolderGroupingKeepTheServersOrderForTies) {
    std::vector<Item> items = {
        {"b", false, 5, 10}, {"D", true, 9, 0}, {"a", false, 5, 30}, {"c", true, 1, 0}};
    auto names = [&] {
        std::string order;
        for (const Item& item : items) order += item.name;
        return order;
    };
    SortItems(items, SortKey::Name, false);
    EXPECT_EQ(names(), "Dabc");  // byte order
    SortItems(items, SortKey::Size, false);
    EXPECT_EQ(names(), "abDc");
    SortItems(items, SortKey::Time, true);
    EXPECT_EQ(names(), "Dcab");  // folders first, newest first, a before b as they were
    items = {{"b", false, 0, 0}, {"x", true, 0, 0}, {"a", false, 0, 0}};
    SortItems(items, SortKey::None, true);
    EXPECT_EQ(names(), "xba");
}

TEST(Exports, TableAndJson) {
    ExportsResult result;
    result.shares = {"/vol/vol1", "/vol/c\xff"};
    Captured table;
    PrintExports({}, "nas1", result, 0.5, table.out());
    EXPECT_EQ(table.Text(), "/vol/vol1\n\"/vol/c\\xff\"\n2 exports of nas1, 0.500 s\n");

    result.error = {true, true, 1359, "timed out"};
    Captured failed;
    PrintExports({}, "nas1", result, 0.5, failed.out());
    EXPECT_EQ(failed.Text(), "/vol/vol1\n\"/vol/c\\xff\"\n");  // no count after a failure
    Captured json;
    PrintExports({Format::Json}, "nas1", result, 0, json.out());
    EXPECT_EQ(json.Text(),
              "{\"server\":\"nas1\",\"shares\":[\"/vol/vol1\",\"/vol/c\xEF\xBF\xBD\"],"
              "\"error\":{\"kind\":\"timeout\",\"code\":1359,\"message\":\"timed out\"}}\n");
}

TEST(FailureSentence, OneLineWithCodeAndCountAndATimeoutHintOnASecond) {
    EXPECT_EQ(
        FailureSentence({true, true, 1359, "The folder [/x] could not be listed: gone\n"}, 0, 10),
        "nasbrowse: The folder [/x] could not be listed: gone\\x0a\n");
    EXPECT_EQ(FailureSentence({true, false, 0, "cut"}, 3, 10),
              "nasbrowse: cut; 3 items came before the failure\n");
    const std::string timedOut =
        FailureSentence({true, false, 0, "mount of /vol: timed out"}, 0, 2);
    EXPECT_EQ(Lines(timedOut).size(), 2u);
    EXPECT_NE(timedOut.find("2 s"), std::string::npos);
    EXPECT_NE(timedOut.find("--timeout"), std::string::npos);
}

// The plug-in's texts as they come, and what an administrator reads.
TEST(FailureSentence, TheCauseWithoutTheWrappersAndItsKind) {
    const struct {
        const char* text;
        const char* shown;
        const char* kind;
    } cases[] = {
        {"The shares of NAS file server [nas1] could not be listed: LibNFS export list failed "
         "[NFS server 10.0.0.1, portmapper (port 111): connection refused (nothing listening)]",
         "W: NFS server 10.0.0.1, portmapper (port 111): connection refused (nothing listening)",
         "refused"},
        {"The shares of NAS file server [x.invalid] could not be listed: LibNFS export list failed "
         "[NFS export list: the NFS server address is empty (the file server name did not resolve "
         "to an address)]",
         "W: the name does not resolve to an address; check it, or give the server's address",
         "unreachable"},
        {"NFS server 10.0.0.1, listing of /vol: timed out after 2 s without an answer",
         "W: NFS server 10.0.0.1, listing of /vol: timed out after 2 s without an answer",
         "timeout"},
        {"no export of nas1 holds /x (exports: /vol)",
         "W: no export of nas1 holds /x (exports: /vol)", "not found"},
        {"NFS server 10.0.0.1, MOUNT of /vol: access denied (the export does not admit this host)",
         nullptr, "access"},
        {"NFS server 10.0.0.1: the server's reply is malformed (a record beyond any reply's size)",
         nullptr, "malformed"},
        {"the folder holds more than 250000 entries; --via xml holds ...", nullptr, "limit"},
        {"the plug-in answered error 5 without a text", nullptr, "other"},
    };
    for (const auto& c : cases) {
        const Failure shown = Presented({true, true, 1359, c.text}, "W");
        if (c.shown != nullptr) {
            EXPECT_EQ(shown.message, c.shown);
        }
        EXPECT_EQ(FailureKind(shown.message), c.kind) << c.text;
        EXPECT_EQ(FailureKind(c.text), c.kind) << c.text;
    }
    EXPECT_FALSE(Presented({}, "W").failed);
}

TEST(OutputStream, KeepsTheFirstErrorAndTellsAClosedPipeFromAFullDisk) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    {
        OutputStream out(full, 16);
        out.Append(std::string(100, 'x'));
        EXPECT_FALSE(out.ok());
        EXPECT_FALSE(out.closed());
        EXPECT_EQ(out.errorText(), "No space left on device");
        out.Append("more");
        EXPECT_FALSE(out.Flush());
    }
    close(full);

    signal(SIGPIPE, SIG_IGN);  // as nasbrowse does
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    {
        OutputStream out(pipeFds[1]);
        out.Append("to nobody");
        EXPECT_FALSE(out.Flush());
        EXPECT_TRUE(out.closed());
    }
    close(pipeFds[1]);
}

}  // namespace
}  // namespace nasbrowse
