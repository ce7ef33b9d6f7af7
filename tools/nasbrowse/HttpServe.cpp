// nasbrowse serve --http: the HTTP side of the daemon, built as the module
// nasbrowse-http.so (see HttpServe.h). The HTTP library
// (cpp-httplib) parses requests and writes responses; this file decides who
// is answered and what. Every request passes one gate (the peer's address,
// the Host header, the access token, shutdown, the bound of requests in
// flight) before any handler runs, and leaves one access line when its
// response is written. One request per connection: a connection holds a
// thread of the pool only while its request is answered.
#include "nasbrowse/HttpServe.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <type_traits>

#include <httplib.h>

#include "host/LogWriter.h"             // NSB_LOG
#include "host_framework/CallSite.h"    // NSB_LOG_HERE
#include "host_framework/MessageXml.h"  // the console's XML text
#include "host/BrowseMessageFields.h"   // App::RESP_ITEMS, App::GENERIC_*
#include "nasbrowse/Browse.h"
#include "nasbrowse/GuiMessage.h"  // GuiRequestPath
#include "nasbrowse/HostSetup.h"   // SetThreadRoadEntryBound
#include "nasbrowse/HttpAccess.h"
#include "nasbrowse/Net.h"  // ParseEndpoint, EndpointText

namespace nasbrowse {
namespace {

const char kAccess[] = "nasbrowse::serve access";
const size_t kMaxBody = 64 * 1024;
const size_t kMaxWebFile = 4 * 1024 * 1024;
// Requests beyond --max-requests are answered 429 by these spare threads
// rather than left waiting.
const unsigned int kSpareThreads = 4;

// No inline script or style, nothing from another origin, no framing.
const char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const char kRefusedPeer[] =
    "This nasbrowse daemon does not take requests from your address; its administrator can "
    "allow it with --allow CIDR.";

// What the access line of the request being answered on this thread says.
// The gate starts it; handlers and the streaming body fill it in; the
// library's logger writes it once the response is out. All on one thread.
struct AccessRecord {
    bool started = false;
    std::chrono::steady_clock::time_point start;
    std::string server;
    std::string path;
    std::string result = "ok";
    unsigned long long items = 0;
};
thread_local AccessRecord t_access;

std::string FailedResult(const Failure& failure) {
    return failure.failed ? "failed: " + failure.message : "ok";
}

// {"error":{"code":null,"message":M}} with a status.
void SetError(httplib::Response& response, int status, const std::string& message) {
    std::string body = "{\"error\":{\"code\":null,\"message\":";
    AppendJsonString(body, message);
    body += "}}\n";
    response.status = status;
    response.set_content(body, "application/json");
    t_access.result = "refused: " + message;
}

// Whether the request on this thread holds one of the --max-requests
// places: taken by the gate, given back by the access log once the
// response is out, or, should the library end the connection before
// logging, by the pool when the connection's task ends.
thread_local bool t_counted = false;

void GiveBack(std::atomic<unsigned int>& inFlight) {
    if (!t_counted) return;
    t_counted = false;
    --inFlight;
}

class CountingPool : public httplib::TaskQueue {
public:
    CountingPool(size_t threads, std::atomic<unsigned int>& inFlight)
        : m_pool(threads), m_inFlight(inFlight) {}
    void enqueue(std::function<void()> fn) override {
        m_pool.enqueue([this, fn = std::move(fn)] {
            fn();
            GiveBack(m_inFlight);
        });
    }
    void shutdown() override { m_pool.shutdown(); }

private:
    httplib::ThreadPool m_pool;
    std::atomic<unsigned int>& m_inFlight;
};

std::string RandomToken() {
    unsigned char bytes[32];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("no random bytes for the access token: ") +
                                     strerror(errno));
        }
        got += static_cast<size_t>(n);
    }
    return Hex(std::string(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

const char* ContentTypeOf(const std::string& name) {
    static const std::map<std::string, const char*> types = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".json", "application/json"}};
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return nullptr;
    const auto it = types.find(name.substr(dot));
    return it == types.end() ? nullptr : it->second;
}

struct WebFile {
    std::string type;
    std::string bytes;
};

// The page's files, read once at start: every regular file of `dir` with a
// known type. The page needs index.html.
bool LoadWebFiles(const std::string& dir, std::map<std::string, WebFile>& out, std::string& error) {
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr) {
        error = "cannot open the page's folder " + dir + ": " + strerror(errno);
        return false;
    }
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        const char* type = ContentTypeOf(name);
        struct stat info {};
        const std::string path = dir + "/" + name;
        if (type == nullptr || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            static_cast<size_t>(info.st_size) > kMaxWebFile)
            continue;
        FILE* file = fopen(path.c_str(), "rb");
        if (file == nullptr) continue;
        WebFile web{type, std::string(static_cast<size_t>(info.st_size), '\0')};
        const size_t read = fread(&web.bytes[0], 1, web.bytes.size(), file);
        fclose(file);
        web.bytes.resize(read);
        out["/" + name] = std::move(web);
    }
    closedir(folder);
    if (out.count("/index.html") == 0) {
        error = "the page's folder " + dir + " has no index.html";
        return false;
    }
    return true;
}

bool PeerFromText(const std::string& text, sockaddr_storage& out) {
    out = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        return true;
    }
    return false;
}

// The folder of the page's files: the installed share/nasbrowse/web, or, in
// the build tree, the source's.
std::string DefaultWebDir() {
    const std::string dir = ProgramDir();
    struct stat info {};
    if (stat((dir + "/" + kBuildTreeMarker).c_str(), &info) == 0) return NASBROWSE_SOURCE_WEB_DIR;
    return dir + "/" + NASBROWSE_INSTALL_WEB_REL;
}

}  // namespace

// Hidden, as everything of the module but its entry point.
class HttpDaemon final : public HttpService {
public:
    HttpDaemon(const Plugin& plugin, const HostOptions& host, const ServeOptions& serve,
               std::vector<Cidr> allow);
    ~HttpDaemon() override;
    HttpDaemon(const HttpDaemon&) = delete;
    HttpDaemon& operator=(const HttpDaemon&) = delete;

    bool Start(std::string& error) override;
    std::string Url() const override;
    void Stop() override;

private:
    struct State;
    std::unique_ptr<State> m;
};

struct HttpDaemon::State {
    State(const Plugin& plugin, const HostOptions& host, const ServeOptions& serve,
          std::vector<Cidr> allow)
        : plugin(plugin), host(host), serve(serve), allow(std::move(allow)) {}

    httplib::Server::HandlerResponse Gate(const httplib::Request& request,
                                          httplib::Response& response);
    void Exports(const httplib::Request& request, httplib::Response& response);
    void Browse(const httplib::Request& request, httplib::Response& response);
    void Xml(const httplib::Request& request, httplib::Response& response);
    void Page(const httplib::Request& request, httplib::Response& response);
    void LogAccess(const httplib::Request& request, const httplib::Response& response);
    // The target of a browse or an export list from the query; false with a
    // 400 set on `response`.
    bool TargetOf(const httplib::Request& request, bool withPath, Target& target,
                  httplib::Response& response);

    const Plugin& plugin;
    const HostOptions host;
    const ServeOptions serve;
    const std::vector<Cidr> allow;
    std::map<std::string, WebFile> web;
    std::string token;
    std::string cookieName;
    std::string listenAddress;
    int port = 0;
    std::atomic<unsigned int> inFlight{0};
    std::atomic<bool> stopping{false};
    httplib::Server server;
    std::thread thread;
};

httplib::Server::HandlerResponse HttpDaemon::State::Gate(const httplib::Request& request,
                                                         httplib::Response& response) {
    using Outcome = httplib::Server::HandlerResponse;
    t_access = AccessRecord();
    t_access.started = true;
    t_access.start = std::chrono::steady_clock::now();

    sockaddr_storage peer;
    if (!PeerFromText(request.remote_addr, peer) || !PeerAllowed(allow, peer)) {
        NSB_LOG_HERE(LOG_ERROR, "Refused a connection from [%s]: not in the allowed addresses (%s)",
                     HostPort(request.remote_addr, request.remote_port).c_str(),
                     allow.empty() ? "loopback only" : "--allow");
        SetError(response, 403, kRefusedPeer);
        return Outcome::Handled;
    }
    const std::string hostHeader = request.get_header_value("Host");
    if (!HostAllowed(hostHeader, listenAddress, request.local_addr, port)) {
        SetError(response, 403,
                 "the Host header names \"" + Printable(hostHeader) +
                     "\", not this daemon: use http://" + HostPort(listenAddress, port) +
                     "/ or http://localhost:" + std::to_string(port) + "/");
        return Outcome::Handled;
    }
    const std::string given =
        TokenOf(request.get_header_value("Authorization"), request.get_header_value("Cookie"),
                cookieName, request.get_param_value("token"));
    if (!SameToken(given, token)) {
        SetError(response, 403,
                 given.empty() ? "no access token: open the address the daemon printed when it "
                                 "started (http://" +
                                     HostPort(listenAddress, port) +
                                     "/?token=...), or send Authorization: Bearer TOKEN"
                               : "the access token is not this daemon's: it makes a new one "
                                 "each time it starts; use the address it printed last");
        return Outcome::Handled;
    }
    if (stopping) {
        SetError(response, 503, "the daemon is shutting down; start it again and retry");
        return Outcome::Handled;
    }
    if (inFlight.fetch_add(1) >= serve.maxRequests) {
        --inFlight;
        response.set_header("Retry-After", "1");
        SetError(response, 429,
                 "the daemon is answering " + std::to_string(serve.maxRequests) +
                     " requests already (--max-requests); retry in a moment");
        return Outcome::Handled;
    }
    t_counted = true;
    return Outcome::Unhandled;
}

bool HttpDaemon::State::TargetOf(const httplib::Request& request, bool withPath, Target& target,
                                 httplib::Response& response) {
    if (!request.has_param("server")) {
        SetError(response, 400, "the server parameter is missing: name the NAS file server");
        return false;
    }
    const std::string server = request.get_param_value("server");
    const std::string path = request.has_param("path") ? request.get_param_value("path") : "/";
    t_access.server = server;
    t_access.path = path;
    std::string error;
    if (!ParseTarget(server, withPath ? &path : nullptr, false, target, error)) {
        SetError(response, 400, error);
        return false;
    }
    if (target.server.empty()) {
        SetError(response, 400, "the server parameter is empty: name the NAS file server");
        return false;
    }
    return true;
}

void HttpDaemon::State::Exports(const httplib::Request& request, httplib::Response& response) {
    Target target;
    if (!TargetOf(request, false, target, response)) return;
    const auto start = std::chrono::steady_clock::now();
    ExportsResult result = ListExports(plugin, host, target.server);
    result.error = Presented(result.error, "cannot list the exports of " + target.server);
    std::string body;
    OutputStream out([&body](const char* data, size_t size) {
        body.append(data, size);
        return true;
    });
    PresentOptions present;
    present.format = Format::Json;
    PrintExports(present, target.server, result,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                 out);
    out.Flush();
    t_access.items = result.shares.size();
    t_access.result = FailedResult(result.error);
    response.set_content(body, "application/json");
}

void HttpDaemon::State::Browse(const httplib::Request& request, httplib::Response& response) {
    Target target;
    if (!TargetOf(request, true, target, response)) return;
    const std::string via = request.has_param("via") ? request.get_param_value("via") : "gui";
    if (via != "gui" && via != "xml") {
        SetError(response, 400, "via is gui or xml, not \"" + Printable(via) + "\"");
        return;
    }
    const std::string requestPath = GuiRequestPath(target.server, target.path, false);
    // The body is written while the plug-in answers, item by item, in
    // chunks. A client that goes away makes the rest go nowhere; the
    // browse still runs to its end, so that the plug-in's entry returns.
    response.set_chunked_content_provider(
        "application/x-ndjson", [this, target, requestPath, via](size_t, httplib::DataSink& sink) {
            bool clientGone = false;
            OutputStream out([&sink, &clientGone](const char* data, size_t size) {
                if (!clientGone && !sink.write(data, size)) clientGone = true;
                return true;
            });
            PresentOptions present;
            present.format = Format::Jsonl;
            const ListingInfo listing{target.server, target.path, requestPath};
            std::unique_ptr<Presenter> presenter = MakeBrowsePresenter(present, listing, out);
            const Road road = via == "gui" ? Road::Gui : Road::Xml;
            const unsigned long long bound = SetThreadRoadEntryBound(plugin, road);
            const auto start = std::chrono::steady_clock::now();
            const RoadOutcome outcome =
                road == Road::Gui
                    ? BrowseViaGui(plugin, host, target.server, requestPath, *presenter, out)
                    : BrowseViaXml(plugin, host, target.server, requestPath, *presenter, out);
            const Failure failure =
                FinishedBrowseFailure(plugin, host, target.server, target.path, false, road, bound,
                                      outcome.failure, presenter->items());
            presenter->Finish(
                failure,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            out.Flush();
            t_access.items = presenter->items();
            t_access.result =
                clientGone ? "failed: the client went away before the end" : FailedResult(failure);
            if (!clientGone) sink.done();
            return !clientGone;
        });
}

void HttpDaemon::State::Xml(const httplib::Request& request, httplib::Response& response) {
    App::MachineBrowseReq browse;
    std::string error;
    if (!MessageXml::ReadMachineBrowseReq(request.body, browse, error)) {
        SetError(response, 400, "the body is not a MachineBrowseReq (docs/XML.md): " + error);
        return;
    }
    const unsigned long reqClass = App::CLASS_MACHINE_BROWSE_REQ;
    t_access.server =
        browse.getstring(App::REQ_INTERFACE_NAME.field, App::REQ_INTERFACE_NAME.secondIndex,
                         reqClass, App::REQ_INTERFACE_NAME.id);
    t_access.path = browse.getstring(App::REQ_PATH.field, App::REQ_PATH.secondIndex, reqClass,
                                     App::REQ_PATH.id);
    App::MachineBrowseResp answer;
    App::GenericResp generic;
    const unsigned long long bound = SetThreadRoadEntryBound(plugin, Road::Xml);
    plugin.xmlBrowse(&browse, &answer, &generic);
    void** list = answer.getlistobject(App::RESP_ITEMS.field, App::RESP_ITEMS.secondIndex,
                                       App::CLASS_MACHINE_BROWSE_RESP, App::RESP_ITEMS.id, false);
    if (list != nullptr && *list != nullptr)
        t_access.items = static_cast<std::vector<App::MachineBrowseItem>*>(*list)->size();
    const unsigned long genClass = App::CLASS_GENERIC_RESP;
    if (generic.isSet(App::GENERIC_ERROR_CODE.field, genClass, App::GENERIC_ERROR_CODE.id) ||
        generic.isSet(App::GENERIC_MESSAGE.field, genClass, App::GENERIC_MESSAGE.id)) {
        // The generic response as the command line words it (--format xml).
        Failure failure;
        failure.failed = true;
        failure.hasCode =
            generic.isSet(App::GENERIC_ERROR_CODE.field, genClass, App::GENERIC_ERROR_CODE.id);
        failure.code = generic.getint64(App::GENERIC_ERROR_CODE.secondIndex, genClass,
                                        App::GENERIC_ERROR_CODE.id);
        failure.message =
            generic.getstring(App::GENERIC_MESSAGE.field, App::GENERIC_MESSAGE.secondIndex,
                              genClass, App::GENERIC_MESSAGE.id);
        std::string path = t_access.path;
        if (path.rfind("/" + t_access.server, 0) == 0) path.erase(0, t_access.server.size() + 1);
        if (path.empty() || path[0] != '/') path.insert(0, "/");
        failure = FinishedBrowseFailure(plugin, host, t_access.server, path, true, Road::Xml, bound,
                                        failure, t_access.items);
        t_access.result = FailedResult(failure);
        response.set_content("<?xml version=\"1.0\"?>\n" + GenericRespElement(failure) + "\n",
                             "application/xml");
        return;
    }
    response.set_content(MessageXml::WriteMachineBrowseResp(answer), "application/xml");
}

void HttpDaemon::State::Page(const httplib::Request& request, httplib::Response& response) {
    if (request.path == "/" && request.has_param("token")) {
        // The token moves from the address into a cookie that scripts
        // cannot read and other sites cannot send.
        response.set_header("Set-Cookie",
                            cookieName + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
        response.set_redirect("/", 303);
        return;
    }
    const auto it = web.find(request.path == "/" ? "/index.html" : request.path);
    if (it == web.end()) {
        SetError(response, 404, "no such page: " + Printable(request.path));
        return;
    }
    response.set_content(it->second.bytes, it->second.type.c_str());
}

void HttpDaemon::State::LogAccess(const httplib::Request& request,
                                  const httplib::Response& response) {
    const long long ms = t_access.started ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - t_access.start)
                                                .count()
                                          : 0;
    if (!t_access.started && response.status >= 400) t_access.result = "refused";
    NSB_LOG(0, kAccess,
            "Access peer [%s] method [%s] target [%s] status [%d] server [%s] path [%s] result "
            "[%s] items [%llu] ms [%lld]",
            HostPort(request.remote_addr, request.remote_port).c_str(), request.method.c_str(),
            request.path.c_str(), response.status, t_access.server.c_str(), t_access.path.c_str(),
            t_access.result.c_str(), t_access.items, ms);
    t_access = AccessRecord();
}

HttpDaemon::HttpDaemon(const Plugin& plugin, const HostOptions& host, const ServeOptions& serve,
                       std::vector<Cidr> allow)
    : m(std::make_unique<State>(plugin, host, serve, std::move(allow))) {}

HttpDaemon::~HttpDaemon() { Stop(); }

bool HttpDaemon::Start(std::string& error) {
    Endpoint endpoint;
    if (!ParseEndpoint(m->serve.http, endpoint, error)) {
        error = "--http: " + error;
        return false;
    }
    const std::string webDir = m->serve.webDir.empty() ? DefaultWebDir() : m->serve.webDir;
    if (!LoadWebFiles(webDir, m->web, error)) return false;
    try {
        m->token = RandomToken();
    } catch (const std::runtime_error& e) {
        error = e.what();
        return false;
    }
    const std::string text = EndpointText(endpoint.address);
    const size_t colon = text.rfind(':');
    m->listenAddress = text.substr(0, colon);
    if (!m->listenAddress.empty() && m->listenAddress.front() == '[')
        m->listenAddress = m->listenAddress.substr(1, m->listenAddress.size() - 2);

    httplib::Server& server = m->server;
    State* state = m.get();
    server.new_task_queue = [state] {
        return new CountingPool(state->serve.maxRequests + kSpareThreads, state->inFlight);
    };
    server.set_keep_alive_max_count(1);
    // A streamed listing is written in many pieces: each leaves at once.
    server.set_tcp_nodelay(true);
    server.set_read_timeout(std::max(1u, m->serve.frameTimeoutMs / 1000), 0);
    server.set_write_timeout(30, 0);
    server.set_payload_max_length(kMaxBody);
    server.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"X-Frame-Options", "DENY"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-store"}});
    server.set_pre_routing_handler(
        [state](const httplib::Request& request, httplib::Response& response) {
            return state->Gate(request, response);
        });
    server.set_logger([state](const httplib::Request& request, const httplib::Response& response) {
        state->LogAccess(request, response);
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty()) return;
        if (response.status == 413)
            SetError(response, 413, "the request body is larger than 64 KiB");
        else if (response.status == 404)
            SetError(response, 404, "no such page or API");
        else
            SetError(response, response.status, "bad request");
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr thrown) {
            std::string what = "unknown";
            try {
                std::rethrow_exception(thrown);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            SetError(response, 500, "the daemon failed to answer: " + what);
        });
    server.Get("/api/v1/exports",
               [state](const httplib::Request& request, httplib::Response& response) {
                   state->Exports(request, response);
               });
    server.Get("/api/v1/browse",
               [state](const httplib::Request& request, httplib::Response& response) {
                   state->Browse(request, response);
               });
    server.Post("/api/v1/xml",
                [state](const httplib::Request& request, httplib::Response& response) {
                    state->Xml(request, response);
                });
    server.Get("/[A-Za-z0-9_.-]*",
               [state](const httplib::Request& request, httplib::Response& response) {
                   state->Page(request, response);
               });

    const int port = static_cast<int>(
        ntohs(endpoint.address.ss_family == AF_INET6
                  ? reinterpret_cast<const sockaddr_in6*>(&endpoint.address)->sin6_port
                  : reinterpret_cast<const sockaddr_in*>(&endpoint.address)->sin_port));
    if (port == 0) {
        m->port = server.bind_to_any_port(m->listenAddress);
    } else {
        m->port = server.bind_to_port(m->listenAddress, port) ? port : -1;
    }
    if (m->port <= 0) {
        error = "cannot listen on " + m->serve.http + ": " + strerror(errno);
        return false;
    }
    m->cookieName = "nasbrowse-" + std::to_string(m->port);
    m->thread = std::thread([state] { state->server.listen_after_bind(); });
    NSB_LOG_HERE(0, "Listening for HTTP on [%s]; requests taken from [%s]",
                 HostPort(m->listenAddress, m->port).c_str(),
                 m->allow.empty() ? "loopback only" : "--allow");
    return true;
}

std::string HttpDaemon::Url() const {
    return "http://" + HostPort(m->listenAddress, m->port) + "/?token=" + m->token;
}

void HttpDaemon::Stop() {
    if (!m->thread.joinable()) return;
    m->stopping = true;
    // A stop before the listener runs would be lost: wait for it (briefly:
    // a listener that failed never runs, and its thread has ended).
    for (int i = 0; i < 100 && !m->server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    m->server.stop();
    m->thread.join();
}

// The module's one entry point (the only symbol it exports).
extern "C" __attribute__((visibility("default"))) HttpService* nasbrowse_http_service(
    const char* version, const Plugin& plugin, const HostOptions& host, const ServeOptions& serve,
    const std::vector<Cidr>& allow) {
    if (version == nullptr || std::strcmp(version, NASBROWSE_VERSION) != 0) return nullptr;
    return new HttpDaemon(plugin, host, serve, allow);
}
static_assert(std::is_same<decltype(&nasbrowse_http_service), MakeHttpServiceFn>::value,
              "the entry point is what the program calls");

}  // namespace nasbrowse
