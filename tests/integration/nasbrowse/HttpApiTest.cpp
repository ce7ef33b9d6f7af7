// `nasbrowse serve --http` through a real HTTP client: each endpoint gives
// what the command line gives for the same request, listings stream, and
// every request without its due is refused.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "integration/nasbrowse/NasbrowseRun.h"
#include "NfsTestServer.h"

namespace {

using namespace nbtest;

const size_t kBigFolder = 100000;

// A daemon with the HTTP listener only, and a client that carries its token.
struct HttpDaemon {
    explicit HttpDaemon(std::vector<std::string> extra = {}) : daemon(With(std::move(extra))) {
        const std::smatch match = Match(daemon.Endpoint());
        port = std::stoi(match[1]);
        token = match[2];
    }
    static std::vector<std::string> With(std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--http", "127.0.0.1:0"});
        return extra;
    }
    static std::smatch Match(const std::string& url) {
        static const std::regex form(R"(^http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{64})$)");
        std::smatch match;
        EXPECT_TRUE(std::regex_match(url, match, form)) << url;
        return match;
    }
    httplib::Client Client(bool withToken = true) const {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60, 0);
        if (withToken) client.set_default_headers({{"Authorization", "Bearer " + token}});
        return client;
    }
    Daemon daemon;
    int port = 0;
    std::string token;
};

class NasbrowseHttp : public nbtest::ServedSuite<NasbrowseHttp> {
public:
    static void Populate(nfstest::NfsTestServer& server) {
        const std::string vol1 = server.AddExport("/vol/vol1");
        nfstest::MakeDir(vol1 + "/docs");
        nfstest::MakeFile(vol1 + "/docs/a.txt", 1, 1600000000);
        nfstest::MakeFile(vol1 + "/docs/b.txt", 2, 1600000000);
        nfstest::MakeManyFiles(server.AddExport("/big"), kBigFolder);
    }
    // The console's request, as `browse --via xml` makes it.
    static std::string XmlRequest(const std::string& path) {
        return "<?xml version=\"1.0\"?>\n<MachineBrowseReq clientId=\"2\" path=\"/" + Address() +
               path + "\" interfaceName=\"" + Address() +
               "\">\n  <info vessaCellId=\"2\" />\n</MachineBrowseReq>\n";
    }
};

// The console's answer inside `browse --format xml`, as it stands alone:
// the generic response when there is one, else the browse response.
std::string ConsoleDocument(const std::string& cli) {
    std::string response;
    for (const std::string& line : Lines(cli)) {
        if (line.rfind("  <GenericResp", 0) == 0)
            return "<?xml version=\"1.0\"?>\n" + line.substr(2) + "\n";
        if (line.rfind("  ", 0) == 0) response += line.substr(2) + "\n";
    }
    return "<?xml version=\"1.0\"?>\n" + response;
}

TEST_F(NasbrowseHttp, EveryEndpointAnswersAsTheCommandLine) {
    HttpDaemon http;
    httplib::Client client = http.Client();

    const Outcome exportsCli = Nasbrowse({"exports", Address(), "--format", "json"});
    auto exports =
        client.Get("/api/v1/exports", httplib::Params{{"server", Address()}}, httplib::Headers{});
    ASSERT_TRUE(exports) << httplib::to_string(exports.error());
    EXPECT_EQ(exports->status, 200);
    EXPECT_EQ(exports->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(exports->body, exportsCli.out);

    // Listings, a failed folder and a path no export holds: the same lines
    // as --format jsonl, with status 200 and the failure in the summary.
    const struct {
        const char* path;
        const char* via;
        bool failed;
    } browses[] = {{"/vol/vol1/docs", "gui", false},
                   {"/vol/vol1/docs", "xml", false},
                   {"/", "gui", false},
                   {"/vol/vol1/missing", "gui", true},
                   {"/vol/vol9", "xml", true}};
    for (const auto& row : browses) {
        const std::string context = std::string(row.path) + " via " + row.via;
        const Outcome cli =
            Nasbrowse({"browse", Address(), row.path, "--format", "jsonl", "--via", row.via});
        EXPECT_EQ(cli.status, row.failed ? 1 : 0) << context << cli.err;
        auto http =
            client.Get("/api/v1/browse",
                       httplib::Params{{"server", Address()}, {"path", row.path}, {"via", row.via}},
                       httplib::Headers{});
        ASSERT_TRUE(http) << context;
        EXPECT_EQ(http->status, 200) << context;
        EXPECT_EQ(http->get_header_value("Content-Type"), "application/x-ndjson") << context;
        EXPECT_EQ(http->body, cli.out) << context;
    }

    // The console's road: the XML response byte for byte, or its generic
    // response on failure.
    for (const char* path : {"/vol/vol1/docs", "/vol/vol1/missing"}) {
        const Outcome xml =
            Nasbrowse({"browse", Address(), path, "--via", "xml", "--format", "xml"});
        auto http = client.Post("/api/v1/xml", XmlRequest(path), "application/xml");
        ASSERT_TRUE(http) << path;
        EXPECT_EQ(http->status, 200) << path;
        EXPECT_EQ(http->get_header_value("Content-Type"), "application/xml") << path;
        EXPECT_EQ(http->body, ConsoleDocument(xml.out)) << path << "\n" << xml.out;
    }
}

TEST_F(NasbrowseHttp, ABigFolderStreamsInChunksAndTheLogHasALinePerRequest) {
    HttpDaemon http;
    httplib::Client client = http.Client();
    size_t lines = 0;
    std::string last;
    std::chrono::steady_clock::time_point first;
    const auto start = std::chrono::steady_clock::now();
    auto result =
        client.Get("/api/v1/browse", httplib::Params{{"server", Address()}, {"path", "/big"}},
                   httplib::Headers{}, [&](const char* data, size_t size) {
                       if (lines == 0 && last.empty()) first = std::chrono::steady_clock::now();
                       lines += static_cast<size_t>(std::count(data, data + size, '\n'));
                       last.append(data, size);
                       if (last.size() > 4096) last.erase(0, last.size() - 4096);
                       return true;
                   });
    const auto end = std::chrono::steady_clock::now();
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    EXPECT_EQ(result->get_header_value("Transfer-Encoding"), "chunked");
    EXPECT_EQ(lines, kBigFolder + 1);
    const std::string summary = Lines(last).back();
    EXPECT_EQ(Json::parse(summary).at("items"), kBigFolder) << summary;
    EXPECT_TRUE(Json::parse(summary).at("error").is_null()) << summary;
    // Streamed: the first bytes came well before the end.
    EXPECT_LT(first - start, (end - start) / 2);

    EXPECT_EQ(http.daemon.Stop(), 0);
    size_t access = 0;
    for (const std::string& line : Lines(http.daemon.Log()))
        access += line.find(" Access peer [127.0.0.1:") != std::string::npos;
    EXPECT_EQ(access, 1u) << http.daemon.Log();
    EXPECT_NE(http.daemon.Log().find("target [/api/v1/browse] status [200] server [" + Address() +
                                     "] path [/big] result [ok] items [100000]"),
              std::string::npos)
        << http.daemon.Log();
}

TEST_F(NasbrowseHttp, RequestsWithoutTheirDueAreRefused) {
    HttpDaemon http;
    const std::string browse = "/api/v1/browse?server=" + Address() + "&path=/vol/vol1/docs";
    const std::string bearer = "Bearer " + http.token;
    const std::string cookie = "nasbrowse-" + std::to_string(http.port) + "=" + http.token;
    const std::string host = "127.0.0.1:" + std::to_string(http.port);
    struct Row {
        Row(const char* w, httplib::Headers h, std::string p, std::string b, int s, const char* t)
            : what(w),
              headers(std::move(h)),
              path(std::move(p)),
              body(std::move(b)),
              status(s),
              says(t) {}
        const char* what;
        httplib::Headers headers;
        std::string path;
        std::string body;  // POST when not empty
        int status;
        const char* says;
    };
    const httplib::Headers authorized = {{"Authorization", bearer}};
    const Row rows[] = {
        Row("no token", {}, browse, "", 403, "no access token"),
        Row("a wrong token", {{"Authorization", "Bearer 00"}}, browse, "", 403,
            "not this daemon's"),
        Row("the token in the query", {}, browse + "&token=" + http.token, "", 200, ""),
        Row("the cookie", {{"Cookie", "a=b; " + cookie}}, browse, "", 200, ""),
        Row("localhost",
            {{"Authorization", bearer}, {"Host", "localhost:" + std::to_string(http.port)}}, browse,
            "", 200, ""),
        Row("another Host",
            {{"Authorization", bearer}, {"Host", "rebind.example:" + std::to_string(http.port)}},
            browse, "", 403, "Host header"),
        Row("a 1 MiB body", authorized, "/api/v1/xml", std::string(1 << 20, 'x'), 413, "64 KiB"),
        Row("a body that is no request", authorized, "/api/v1/xml", "<a/>", 400,
            "not a MachineBrowseReq"),
        Row("no server", authorized, "/api/v1/browse?path=/", "", 400, "server parameter"),
        Row("a path that climbs", authorized, browse + "/..", "", 400, ".."),
        Row("a bad road", authorized, browse + "&via=tcp", "", 400, "gui or xml"),
        Row("an unknown page", authorized, "/nothing.html", "", 404, "no such page"),
    };
    for (const auto& row : rows) {
        httplib::Client client = http.Client(false);
        httplib::Headers headers = row.headers;
        headers.emplace("Origin", "http://rebind.example");
        auto result = row.body.empty()
                          ? client.Get(row.path.c_str(), headers)
                          : client.Post(row.path.c_str(), headers, row.body, "application/xml");
        ASSERT_TRUE(result) << row.what << ": " << httplib::to_string(result.error());
        EXPECT_EQ(result->status, row.status) << row.what << ": " << result->body;
        EXPECT_NE(result->body.find(row.says), std::string::npos)
            << row.what << ": " << result->body;
        EXPECT_FALSE(result->has_header("Access-Control-Allow-Origin")) << row.what;
        EXPECT_NE(result->get_header_value("Content-Security-Policy").find("script-src 'self'"),
                  std::string::npos)
            << row.what;
    }

    // The page's address trades the token for a cookie scripts cannot read.
    httplib::Client client = http.Client(false);
    auto page = client.Get(("/?token=" + http.token).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 303);
    EXPECT_EQ(page->get_header_value("Set-Cookie"), cookie + "; Path=/; HttpOnly; SameSite=Strict");

    EXPECT_EQ(http.daemon.Stop(), 0);
    const std::string& log = http.daemon.Log();
    size_t at = 0, seen = 0;
    while ((at = log.find(http.token, at)) != std::string::npos) ++seen, ++at;
    EXPECT_EQ(seen, 1u) << "the token is written only on the line that prints the page\n" << log;
}

TEST_F(NasbrowseHttp, PeersOutsideTheAllowListAndRequestsBeyondTheBoundAreRefused) {
    HttpDaemon http({"--max-requests", "1", "--allow", "127.0.0.1/32"});
    const std::string browse = "/api/v1/browse?server=" + Address() + "&path=/vol/vol1/docs";

    // From 127.0.0.2, with the right token and Host: still refused.
    const std::string command =
        "curl -s --max-time 10 --interface 127.0.0.2 -w ' %{http_code}' -H "
        "'Authorization: Bearer " +
        http.token + "' 'http://127.0.0.1:" + std::to_string(http.port) + browse + "'";
    FILE* curl = popen(command.c_str(), "r");
    ASSERT_NE(curl, nullptr);
    std::string answer;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, curl)) > 0) answer.append(buffer, n);
    pclose(curl);
    EXPECT_NE(answer.find("does not take requests from your address"), std::string::npos) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 4), " 403") << answer;

    // With one request in flight (a big listing its reader holds back), the
    // next is told to come back.
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false, release = false;
    std::thread slow([&] {
        httplib::Client held = http.Client();
        held.Get("/api/v1/browse", httplib::Params{{"server", Address()}, {"path", "/big"}},
                 httplib::Headers{}, [&](const char*, size_t) {
                     std::unique_lock<std::mutex> lock(mutex);
                     started = true;
                     cv.notify_all();
                     cv.wait_for(lock, std::chrono::seconds(30), [&] { return release; });
                     return true;
                 });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(30), [&] { return started; });
    }
    auto busy = http.Client().Get(browse.c_str());
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status, 429) << busy->body;
    EXPECT_EQ(busy->get_header_value("Retry-After"), "1");
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cv.notify_all();
    slow.join();
    EXPECT_EQ(http.daemon.Stop(), 0);
    EXPECT_TRUE(std::regex_search(http.daemon.Log(),
                                  std::regex(R"(Refused a connection from \[127\.0\.0\.2:\d+\])")))
        << http.daemon.Log();
}

}  // namespace
