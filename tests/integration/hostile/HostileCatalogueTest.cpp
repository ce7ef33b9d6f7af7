// The hostile-server catalogue: one scripted peer per fault
// (testing/hostile_nfs, fault by name), browsed through `nasbrowse`
// (exports, and browse on both roads) and through the plug-in's network
// entry in a forked child. Every probe must
//   - end with exit status 0 or 1, never a signal (the plug-in child: exit 0
//     after the reply's end marker);
//   - end within the timeout + 2 s (--timeout 2), or the case's own bound;
//   - keep the peak resident memory of the probed process itself under
//     64 MiB (WatchedChild.h says how it is measured without its children);
//   - never offer a name that cannot stand as one path component ("", ".",
//     "..", holding "/" or NUL), the same name twice, or a negative size;
//   - give the right answer where the fault allows one, and a worded
//     failure naming the server where it does not.
// The catalogue is not part of the default test run (NSB_HOSTILE_TESTS);
// HostilePeer.* (the peer serving correctly) is.
//
// Environment: NSB_HOSTILE_KILL_AFTER (seconds past which a probe is
// killed, default its bound + 3), NSB_HOSTILE_REPORT (a file that gets one
// tab-separated line per probe).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "HostileHarness.h"
#include "delay_proxy/DelayProxy.h"

namespace {

using namespace hostile;

constexpr unsigned kTimeoutSeconds = 2;
constexpr long kRssLimitKiB = 64 * 1024;
// A listing that makes progress for ever is cut by the whole-call bound,
// not by the timeout. The tests ask for a short one through this variable
// (the product's default is far longer): 5 s, two and a half timeouts, so
// that a server's progress has outlived the timeout twice when it ends.
constexpr unsigned kCallLimitSeconds = 5;
const char* const kCallLimitVariable = "NASBROWSE_NFS_CALL_LIMIT";
const char* const kAddress = "127.0.0.10";
const std::string kDocs = "/vol/vol1/docs";
const std::string kBig = "/vol/vol1/big";
constexpr size_t kBigEntries = 1000;
// A probe of a server that answers every call in 1.8 s (--timeout 2) takes
// as many of those as it makes calls one after the other.
constexpr double kSlowServerBound = 40;
constexpr double kBareEntriesBound = 15;

// The kind of server the peer plays: NFSv3 with portmapper and MOUNT (and
// NFSv4.0 beside it), NFSv4.0 only, or NFSv4.1 / 4.2 only (sessions; minor
// version 0 refused).
enum class Road { V3, V4, V41 };

const char* RoadSuffix(Road road) {
    return road == Road::V3 ? "_v3" : road == Road::V4 ? "_v4" : "_v41";
}

// What a probe's answer must be.
enum class Expect {
    Right,           // exit 0 and exactly the right items
    Failure,         // a worded failure that names the server
    RightOrFailure,  // either of the two
    Contained,       // only the bounds and the invariants
};

struct Case {
    std::string id;
    std::string fault;
    Road road = Road::V3;
    std::vector<std::string> peerArgs;
    std::vector<Probe> probes;
    Expect expect = Expect::Failure;
    std::vector<Item> extras;            // more items the right docs listing holds
    std::vector<std::string> optional;   // names or export paths that may also appear
    double bound = kTimeoutSeconds + 2;  // seconds
    unsigned callLimit = 0;              // seconds, set in kCallLimitVariable for the probes
    bool anyOrder = false;               // the export list may come in either server kind's order
    bool tornDown = false;               // NFSv4.1: every probe destroyed its session and client id
    std::string cause;                   // a failure must say this (the real cause)
    size_t bigEntries = kBigEntries;     // entries of kBig
    // The peer paces it (delays, a drip, pages until the call limit): what
    // it checks is timing, which only the plain build measures; a sanitized
    // build (NSB_TIME_FACTOR above 1) meets the same code at full speed in
    // the other cases and leaves these out.
    bool paced = false;
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.id; }

// ---- the tree of testing/hostile_nfs/tree.py ---------------------------------

std::vector<Item> Folders(std::initializer_list<const char*> names) {
    std::vector<Item> out;
    for (const char* n : names) out.push_back(Item{n, true, 0});
    return out;
}

std::vector<Item> RightItems(const Case& c, const Probe& probe) {
    if (probe.kind == Kind::Exports)
        return c.road != Road::V3 ? Folders({"/home/alice", "/vol/vol1", "/vol/vol2"})
                                  : Folders({"/vol/vol1", "/vol/vol2", "/home/alice"});
    if (probe.path == "/") return Folders({"home", "vol"});
    if (probe.path == "/vol") return Folders({"vol1", "vol2"});
    if (probe.path == kDocs) {
        std::vector<Item> out = {{"contracts", true, 4096},
                                 {"policy.md", false, 32174},
                                 {"org chart.png", false, 6137019},
                                 {"budget-2024.xlsx", false, 6792782}};
        out.insert(out.end(), c.extras.begin(), c.extras.end());
        return out;
    }
    if (probe.path == kBig) {
        std::vector<Item> out;
        char name[24];
        for (size_t i = 0; i < c.bigEntries; ++i) {
            snprintf(name, sizeof name, "f%07zu", i);
            out.push_back(Item{name, false, static_cast<long long>(i)});
        }
        return out;
    }
    return {};
}

// ---- checks ------------------------------------------------------------------

// A name the browse may offer as one path component.
bool GoodComponent(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool GoodExportPath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return false;
    if (path == "/") return true;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (!GoodComponent(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

std::string Names(const std::vector<Item>& items, size_t limit = 12) {
    std::string out;
    for (size_t i = 0; i < items.size() && i < limit; ++i)
        out += (i ? ", " : "") + Shown(items[i].name, 40) + (items[i].folder ? "/" : "");
    if (items.size() > limit) out += ", ... (" + std::to_string(items.size()) + ")";
    return out;
}

// Whatever came, before a failure or not.
void ExpectInvariants(const ProbeRun& run) {
    std::set<std::string> seen;
    size_t reported = 0;
    for (const Item& item : run.answer.items) {
        const bool good =
            run.probe.kind == Kind::Exports ? GoodExportPath(item.name) : GoodComponent(item.name);
        if (!good && reported++ < 5)
            ADD_FAILURE() << "offered a name that cannot stand: \"" << Shown(item.name) << "\"";
        if (!seen.insert(item.name).second && reported++ < 5)
            ADD_FAILURE() << "offered \"" << Shown(item.name) << "\" twice";
        if (item.size < 0 && reported++ < 5)
            ADD_FAILURE() << "\"" << Shown(item.name) << "\" has a negative size " << item.size;
    }
}

void ExpectRight(const Case& c, const ProbeRun& run) {
    const Answer& a = run.answer;
    EXPECT_TRUE(run.ended.exited && run.ended.status == 0 && !a.failed)
        << "expected the right answer, got " << run.ended.Describe()
        << (a.failed ? ": " + a.failure : "");
    const std::vector<Item> want = RightItems(c, run.probe);
    std::multiset<std::string> wanted, got;
    std::map<std::string, const Item*> byName;
    for (const Item& i : want) wanted.insert(i.name);
    for (const Item& i : a.items) {
        got.insert(i.name);
        byName[i.name] = &i;
    }
    std::multiset<std::string> allowed = wanted;
    for (const std::string& o : c.optional) allowed.insert(o);
    std::vector<std::string> missing, unexpected;
    std::set_difference(wanted.begin(), wanted.end(), got.begin(), got.end(),
                        std::back_inserter(missing));
    std::set_difference(got.begin(), got.end(), allowed.begin(), allowed.end(),
                        std::back_inserter(unexpected));
    std::string m, u;
    for (size_t i = 0; i < missing.size() && i < 8; ++i) m += " \"" + Shown(missing[i], 40) + "\"";
    for (size_t i = 0; i < unexpected.size() && i < 8; ++i)
        u += " \"" + Shown(unexpected[i], 40) + "\"";
    EXPECT_TRUE(missing.empty()) << missing.size() << " missing:" << m;
    EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " not expected:" << u;
    if (run.probe.kind == Kind::Exports && !c.anyOrder && c.optional.empty() && missing.empty() &&
        unexpected.empty()) {
        std::vector<std::string> order, wantOrder;
        for (const Item& i : a.items) order.push_back(i.name);
        for (const Item& i : want) wantOrder.push_back(i.name);
        EXPECT_EQ(order, wantOrder) << "the export list in another order";
    }
    for (const Item& w : want) {
        const auto it = byName.find(w.name);
        if (it == byName.end()) continue;
        EXPECT_EQ(it->second->folder, w.folder) << Shown(w.name);
        if (run.probe.kind != Kind::Exports && run.probe.path != "/" && run.probe.path != "/vol" &&
            w.size >= 0) {
            EXPECT_EQ(it->second->size, w.size) << Shown(w.name);
        }
    }
}

void ExpectFailure(const Case& c, const ProbeRun& run) {
    const Answer& a = run.answer;
    if (run.probe.kind != Kind::Plugin) {
        EXPECT_TRUE(run.ended.exited && run.ended.status == 1)
            << "expected exit status 1, got " << run.ended.Describe();
    }
    EXPECT_TRUE(a.failed) << "expected a worded failure; " << a.count
                          << " items: " << Names(a.items);
    if (a.failed) {
        EXPECT_NE(a.failure.find(kAddress), std::string::npos)
            << "the failure does not name the server: " << a.failure;
        EXPECT_NE(a.failure.find(c.cause), std::string::npos)
            << "the failure does not say \"" << c.cause << "\": " << a.failure;
    }
}

void Report(const Case& c, const ProbeRun& run) {
    const Ended& e = run.ended;
    char line[512];
    const std::string answer =
        !run.answer.parsed
            ? "unread (" + run.answer.note + ")" +
                  (run.answer.count == 0
                       ? ""
                       : ", " + std::to_string(run.answer.count) + " items came before")
        : run.answer.failed ? std::to_string(run.answer.count) +
                                  " items, failure: " + Shown(run.answer.failure, 150)
                            : std::to_string(run.answer.count) + " items";
    // A forked child starts with the pages of this process: say how many.
    const std::string inherited = run.probe.kind == Kind::Plugin
                                      ? " (" + std::to_string(e.startKiB / 1024) + " MiB at fork)"
                                      : "";
    snprintf(line, sizeof line, "[hostile] %-32s %-28s %-16s %s | %7.3f s | %6.1f MiB%s | %s",
             c.id.c_str(), KindName(run.probe.kind),
             run.probe.kind == Kind::Exports ? "" : run.probe.path.c_str(), e.Describe().c_str(),
             e.seconds, e.hwmKiB / 1024.0, inherited.c_str(), answer.c_str());
    printf("%s\n", line);
    fflush(stdout);
    if (const char* path = getenv("NSB_HOSTILE_REPORT")) {
        std::ofstream out(path, std::ios::app);
        out << c.id << '\t' << c.fault << '\t' << RoadSuffix(c.road) + 1 << '\t'
            << KindName(run.probe.kind) << '\t'
            << (run.probe.kind == Kind::Exports ? "-" : run.probe.path) << '\t' << e.Describe()
            << '\t' << e.seconds << '\t' << e.hwmKiB << '\t' << answer << '\t' << e.startKiB
            << '\n';
    }
}

double KillAfter(double bound) {
    const char* env = getenv("NSB_HOSTILE_KILL_AFTER");
    return env ? atof(env) : bound + 3;
}

void RunCase(const Case& c) {
    if (c.paced && nsbtest::TimeFactor() > 1)
        GTEST_SKIP() << "a paced case: timing, measured by the plain build";
    std::vector<std::string> args = c.peerArgs;
    args.insert(args.end(), {"--big-entries", std::to_string(c.bigEntries)});
    if (c.road == Road::V4) args.push_back("--v4-only");
    if (c.road == Road::V41) args.push_back("--v41-only");
    PeerProcess peer(kAddress, c.fault, args);
    Settings settings;
    settings.address = kAddress;
    settings.timeoutSeconds = kTimeoutSeconds;
    settings.limits.killAfterSeconds = KillAfter(c.bound * nsbtest::TimeFactor());
    if (c.callLimit != 0)
        settings.environment.push_back({kCallLimitVariable, std::to_string(c.callLimit)});
    for (const Probe& probe : c.probes) {
        SCOPED_TRACE(std::string(KindName(probe.kind)) + " " + probe.path + " (fault " + c.fault +
                     (c.road == Road::V4    ? ", NFSv4 only)"
                      : c.road == Road::V41 ? ", NFSv4.1 only)"
                                            : ")"));
        const ProbeRun run = RunProbe(settings, probe);
        Report(c, run);
        const Ended& e = run.ended;
        if (probe.kind == Kind::Plugin) {
            EXPECT_TRUE(e.exited && e.status == 0)
                << "the child that loaded the plug-in: " << e.Describe()
                << (run.answer.note.empty() ? "" : "; " + run.answer.note);
            EXPECT_TRUE(run.answer.ended) << "the reply has no end marker";
        } else {
            EXPECT_TRUE(e.exited && (e.status == 0 || e.status == 1))
                << "nasbrowse: " << e.Describe() << "\n"
                << run.errText;
            EXPECT_TRUE(run.answer.parsed) << run.answer.note;
            if (e.exited && e.status <= 1 && run.answer.parsed) {
                EXPECT_EQ(e.status == 1, run.answer.failed)
                    << "exit status and the answer disagree";
            }
        }
        EXPECT_LE(e.seconds, c.bound * nsbtest::TimeFactor()) << e.Describe();
#ifdef NSB_SANITIZED
        (void)kRssLimitKiB;  // the sanitizer's own memory makes the figure meaningless
#else
        EXPECT_LT(e.hwmKiB, kRssLimitKiB) << "peak resident memory of the probed process";
#endif
        ExpectInvariants(run);
        const bool ok = e.exited && e.status == 0 && !run.answer.failed;
        switch (c.expect) {
        case Expect::Right: ExpectRight(c, run); break;
        case Expect::Failure: ExpectFailure(c, run); break;
        case Expect::RightOrFailure:
            if (ok)
                ExpectRight(c, run);
            else
                ExpectFailure(c, run);
            break;
        case Expect::Contained: break;
        }
    }
    if (c.tornDown) {
        const std::string log = peer.Finish();
        EXPECT_NE(log.find("left 0 client ids, 0 sessions"), std::string::npos)
            << "the calls left state on the server: " << log;
    }
    if (::testing::Test::HasFailure()) printf("--- peer log ---\n%s\n", peer.Log().c_str());
}

// ---- the catalogue -------------------------------------------------------------

std::vector<Probe> Listing(const std::string& path = kDocs) {
    return {{Kind::Gui, path}, {Kind::Xml, path}, {Kind::Plugin, path}};
}
std::vector<Probe> Everything() {
    return {{Kind::Exports, ""}, {Kind::Gui, kDocs}, {Kind::Xml, kDocs}, {Kind::Plugin, kDocs}};
}
std::vector<Probe> ExportLevel() {
    return {{Kind::Exports, ""},
            {Kind::Gui, "/"},
            {Kind::Xml, "/vol"},
            {Kind::Plugin, "/"},
            {Kind::Gui, kDocs}};
}

Case Make(const std::string& id, const std::string& fault, Road road, std::vector<Probe> probes,
          Expect expect, std::vector<std::string> peerArgs = {}) {
    Case c;
    c.id = id + RoadSuffix(road);
    c.fault = fault;
    c.road = road;
    c.peerArgs = std::move(peerArgs);
    c.probes = std::move(probes);
    c.expect = expect;
    return c;
}

// A row of the catalogue: the case's name (the road's suffix follows), the
// peer's fault mode, the answer it allows and the calls it is on.
struct Row {
    const char* id;
    const char* fault;
    Expect expect = Expect::Failure;
    const char* on = nullptr;  // the calls the fault is on (--on)
};
Case Make(const Row& r, Road road, std::vector<Probe> probes) {
    return Make(r.id, r.fault, road, std::move(probes), r.expect,
                r.on ? std::vector<std::string>{"--on", r.on} : std::vector<std::string>{});
}

Case With(Case c, std::vector<std::string> args) {
    c.peerArgs.insert(c.peerArgs.end(), args.begin(), args.end());
    return c;
}
// Ended by the whole-call bound (`limit` seconds), not by the timeout.
Case Limited(Case c, unsigned limit = kCallLimitSeconds, bool paced = true) {
    c.callLimit = limit;
    c.bound = limit + 2;
    c.paced = paced;
    return c;
}
// A server that answers every call in 1.8 s (--delay 1.8).
Case Slow(Case c) {
    c.bound = kSlowServerBound;
    c.paced = true;
    return c;
}
// NFSv4.1: every probe must have destroyed its session and client id.
Case TornDown(Case c) {
    c.tornDown = true;
    return c;
}

std::vector<Case> Catalogue() {
    std::vector<Case> all;
    auto add = [&](Case c) { all.push_back(std::move(c)); };
    // A fault "at every call" from the first call on; over NFSv4.1 from the
    // session's first call (EXCHANGE_ID) on, the probe at minor version 0
    // (refused) answered as it is, so that the session's COMPOUNDs meet it.
    auto addFirst = [&](Case c) {
        if (c.road == Road::V41) c = With(std::move(c), {"--on", "nfs41"});
        add(std::move(c));
    };
    for (Road road : {Road::V3, Road::V4, Road::V41}) {
        const bool v4 = road != Road::V3;
        // The calls of a listing: on NFSv3 from the MNT on (the export list
        // before them answered), on NFSv4 the COMPOUNDs inside the export
        // (the probe and the export walk answered).
        const std::string listingCalls = v4 ? "nfs4.export" : "mount.mnt,nfs3";
        const std::string pageCalls = v4 ? "nfs4.export" : "nfs3.readdirplus";

        // Record marking and delivery, and the RPC headers, at every call:
        // served right, or a bounded failure at the first call it breaks.
        for (const Row& r : {Row{"fragments_1byte", "fragments-1byte", Expect::Right},
                             Row{"wrong_xid_then_right_xid", "wrong-xid-first", Expect::Right},
                             Row{"duplicate_replies", "duplicate-replies", Expect::Right},
                             Row{"truncated_record", "truncated-record"},
                             Row{"closed_mid_reply", "closed-mid-reply"},
                             Row{"stalled_mid_reply", "stalled-mid-reply"},
                             Row{"fragments_without_end", "fragments-no-end"},
                             Row{"record_mark_2gib", "record-mark-huge"},
                             Row{"rpc_reply_stat_out_of_range", "rpc-reply-stat-bad"},
                             Row{"rpc_accept_stat_out_of_range", "rpc-accept-stat-bad"},
                             Row{"rpc_verifier_4gib", "rpc-verifier-4gib"},
                             Row{"rpc_reply_is_a_call", "rpc-msg-type-call"},
                             Row{"rpc_auth_denied", "rpc-auth-denied"}})
            addFirst(Make(r, road, Everything()));
        // A page of about 300 KB in 1-byte fragments: 1.5 MB on the wire, a
        // legal record, read by its payload.
        Case fragmented = Make("fragments_1byte_2000_entries", "fragments-1byte", road,
                               {{Kind::Gui, kBig}, {Kind::Plugin, kBig}}, Expect::Right);
        fragmented.bigEntries = 2000;
        addFirst(fragmented);
        // Bytes that keep coming are progress: only the call limit ends them.
        addFirst(Limited(Make("slow_drip", "slow-drip", road, Everything(), Expect::Failure,
                              {"--drip-ms", "100"})));
        // Each step may take 2 s: a server that answers every call in 1.8 s
        // (one after the other on a connection) is listed, however long the
        // whole takes.
        addFirst(Slow(Make("every_reply_just_under_the_timeout", "delay-under-timeout", road,
                           Everything(), Expect::Right, {"--delay", "1.8"})));
        // The same on the directory pages (or every call of the listing).
        for (const Row& r : {Row{"truncated_page", "truncated-record"},
                             Row{"connection_closed_mid_page", "closed-mid-reply"},
                             Row{"stalled_mid_page", "stalled-mid-reply"},
                             Row{"page_in_fragments_without_end", "fragments-no-end"},
                             Row{"page_record_mark_2gib", "record-mark-huge"}})
            add(Make(r.id, r.fault, road, Listing(), r.expect, {"--on", pageCalls}));
        add(Limited(Make("page_slow_drip", "slow-drip", road, Listing(), Expect::Failure,
                         {"--on", pageCalls, "--drip-ms", "100"})));
        add(Slow(Make("every_listing_reply_just_under_the_timeout", "delay-under-timeout", road,
                      Listing(), Expect::Right, {"--on", listingCalls, "--delay", "1.8"})));

        // Directory entries of /vol/vol1/docs, on every road, and directory
        // pages inside the export.
        for (const Row& r : {Row{"names_with_nul", "names-nul", Expect::Right},
                             Row{"names_not_a_component", "names-bad", Expect::Right},
                             Row{"cookie_loop", "cookies-loop"},
                             Row{"empty_pages_without_end", "readdir-empty-not-eof"},
                             Row{"entry_name_4gib", "name-4gib"}})
            add(Make(r, road, Listing()));
        Case longNames = Make("names_long", "names-long", road, Listing(), Expect::Right);
        longNames.extras = {{std::string(255, 'n'), false, 1}};
        add(longNames);
        Case sizes = Make("sizes_2e63_and_above", "sizes-huge", road, Listing(), Expect::Right);
        sizes.extras = {{"size-2e63-1", false, 0x7FFFFFFFFFFFFFFFLL},
                        {"size-2e63", false, -1},
                        {"size-2e64-1", false, -1}};  // -1: any size that is not negative
        if (v4)
            sizes.extras.insert(sizes.extras.end(),
                                {{"mtime-negative", false, 1}, {"mtime-2e62", false, 1}});
        add(sizes);
        add(Limited(
            Make("listing_without_end", "readdir-endless", road, Listing(), Expect::Failure)));
        // As fast as the peer can make them: the plug-in's memory must stay
        // flat. (nasbrowse collects the items it prints, so only the
        // plug-in is probed.)
        const std::vector<std::string> fast = {"--page-delay", "0", "--page-entries", "2000"};
        add(Limited(Make("listing_without_end_at_full_speed", "readdir-endless", road,
                         {{Kind::Plugin, kDocs}}, Expect::Failure, fast),
                    kCallLimitSeconds, false));
        // The XML road holds every entry in nasbrowse: its entry bound ends
        // the listing, worded, with the memory it holds by then in bounds.
        // (the peer, not nasbrowse, takes most of the time: a call limit of
        // its own, so that the bound ends the listing on a loaded machine)
        Case held =
            Limited(Make("listing_without_end_on_the_xml_road", "readdir-endless", road,
                         {{Kind::Xml, kDocs, {"--max-entries", "250000"}}}, Expect::Failure, fast),
                    40, false);
        held.cause = "holds more than 250000 entries";
        add(held);
        // About 40 MB in one reply: its bytes are progress until the record
        // passes 16 MiB (or the peer, building it, falls silent for 2 s).
        add(Limited(
            Make("one_page_of_1000000_entries", "readdir-1m", road, Listing(), Expect::Failure),
            kCallLimitSeconds, false));
    }

    // Portmapper and MOUNT (NFSv3 servers).
    // A MOUNT port above 65535: the client may still find the NFSv4 service.
    Case port = Make("portmapper_port_out_of_range", "portmap-port-out-of-range", Road::V3,
                     Everything(), Expect::RightOrFailure);
    port.anyOrder = true;
    add(port);
    // 100,000 exports are as many as the client takes: listed, or refused as too many.
    Case many = Make("export_list_of_100000", "exports-100k", Road::V3, ExportLevel(),
                     Expect::RightOrFailure);
    for (int i = 0; i < 100000; ++i) {
        char name[16];
        snprintf(name, sizeof name, "x%06d", i);
        many.optional.push_back(std::string("/vol/") + name);
        many.optional.push_back(name);
    }
    add(many);
    Case odd =
        Make("export_paths_odd", "exports-odd-paths", Road::V3, ExportLevel(), Expect::Right);
    odd.optional = {"/vol/vol5", "/etc", "/vol/relative",
                    "etc",       "vol5", "relative"};  // when normalised
    add(odd);
    add(Make("export_path_of_100000_bytes", "exports-long-path", Road::V3, ExportLevel(),
             Expect::Right));
    // MOUNT's and NFSv3's replies; an optional field the listing does not
    // need (the entry's handle) is ignored, with a notice.
    for (const Row& r :
         {Row{"mnt_flavours_1gib", "mnt-flavors-1gib"},
          Row{"mnt_flavours_count_wraps", "mnt-flavors-overflow"},
          Row{"mnt_handle_4gib", "mnt-fh-4gib"}, Row{"mnt_handle_200_bytes", "mnt-fh-oversize"},
          Row{"mnt_status_out_of_range", "mnt-status-out-of-range"},
          Row{"lookup_handle_4gib", "lookup-fh-4gib"},
          Row{"nfs3_status_out_of_range", "nfs3-status-out-of-range"},
          Row{"nfs3_discriminants_out_of_range", "nfs3-union-out-of-range", Expect::Contained},
          Row{"entry_handle_of_100_bytes", "entry-handle-long", Expect::Right}})
        add(Make(r, Road::V3, Listing()));
    // 29,000 entries without attributes in one reply: looked up many at a
    // time, well within the bound.
    // (Through nasbrowse, which loads the plug-in: a plug-in child tells the
    // first 20,000 items only.)
    Case bare = Make("entries_without_attributes_29000", "readdir-no-attributes", Road::V3,
                     {{Kind::Gui, kBig}, {Kind::Xml, kBig}}, Expect::Right);
    bare.bigEntries = 29000;
    bare.bound = kBareEntriesBound;
    add(bare);
    // Every COMPOUND malformed on a server without MOUNT: the failure names
    // the NFSv4 reply that ended the probe, not the missing mount service.
    Case badV4 = Make("every_compound_count_beyond_results", "v4-count-mismatch", Road::V4,
                      Everything(), Expect::Failure);
    badV4.cause = "NFSv4 root: malformed NFSv4 reply";
    add(badV4);

    // NFSv4 COMPOUND replies, in the export walk (the probe included; over
    // NFSv4.1 the walk's COMPOUNDs, SEQUENCE first) and in the listing.
    const std::vector<Probe> walk = {{Kind::Exports, ""}, {Kind::Gui, "/"}, {Kind::Plugin, "/"}};
    auto inWalkAndListing = [&](const Row& r, Road road, bool tornDown) {
        for (const bool inWalk : {true, false}) {
            Case c = Make(r.id, r.fault, road, inWalk ? walk : Listing(), Expect::Failure,
                          {"--on", inWalk ? "nfs4.pseudo" : "nfs4.export"});
            c.id = std::string(r.id) + (inWalk ? "_in_export_walk" : "_in_listing") +
                   (road == Road::V41 ? "_v41" : "");
            c.tornDown = tornDown;
            add(c);
        }
    };
    for (Road road : {Road::V4, Road::V41}) {
        for (const Row& r : {Row{"compound_results_reversed", "v4-results-reordered"},
                             Row{"compound_result_missing", "v4-results-missing"},
                             Row{"compound_result_extra_first", "v4-results-extra"},
                             Row{"compound_count_beyond_results", "v4-count-mismatch"},
                             Row{"compound_getfh_where_readdir_belongs", "v4-getfh-for-readdir"},
                             Row{"compound_resop_out_of_range", "v4-resop-out-of-range"},
                             Row{"compound_result_count_wraps", "v4-resarray-overflow"},
                             Row{"compound_result_count_1gib", "v4-resarray-1gib"},
                             Row{"attribute_bitmap_count_wraps", "v4-bitmap-overflow"},
                             Row{"attribute_bitmap_1gib", "v4-bitmap-1gib"},
                             Row{"file_handle_1000_bytes", "v4-fh-oversize"},
                             Row{"file_handle_4gib", "v4-fh-4gib"}})
            inWalkAndListing(r, road, false);
        const std::vector<std::string> pseudo = {"--dirs", "pseudo"};
        add(Make("pseudo_root_of_1000000_entries", "readdir-1m", road, walk, Expect::Failure,
                 pseudo));
        add(Make("pseudo_entry_name_4gib", "name-4gib", road, walk, Expect::Failure, pseudo));
        // Pages that keep coming are progress: the call limit ends the walk.
        add(Limited(Make("pseudo_root_without_end", "readdir-endless", road, walk, Expect::Failure,
                         pseudo)));
        add(Make("pseudo_names_not_a_component", "v4-pseudo-bad-names", road,
                 {{Kind::Exports, ""}, {Kind::Gui, "/"}, {Kind::Xml, "/"}, {Kind::Plugin, "/"}},
                 Expect::Right));
        add(Make("pseudo_file_system_cycle", "v4-pseudo-cycle", road,
                 {{Kind::Exports, ""}, {Kind::Gui, "/"}}, Expect::RightOrFailure));
    }

    // NFSv4.1 sessions: the setup's replies, SEQUENCE, the teardown.
    const Road v41 = Road::V41;
    const std::vector<Probe> entries = {
        {Kind::Exports, ""}, {Kind::Gui, kDocs}, {Kind::Plugin, kDocs}};
    const std::vector<std::string> everyCompound = {"--on", "nfs41"};
    add(TornDown(Make("minor_version_2_only", "none", v41, Everything(), Expect::Right,
                      {"--minor-versions", "2"})));
    // SEQUENCE failing, in the walk and in the listing (the teardown is
    // answered: the session and client id must still go).
    for (const Row& r :
         {Row{"sequence_badsession", "seq-badsession"},
          Row{"sequence_misordered", "seq-misordered"}, Row{"sequence_badslot", "seq-badslot"},
          Row{"sequence_delay_for_ever", "seq-delay"}})
        inWalkAndListing(r, v41, true);
    // Every COMPOUND of the session (RECLAIM_COMPLETE and the teardown's too)
    // answered NFS4ERR_DELAY once, then served; SEQUENCE results that are
    // not for what was sent (the teardown's too: its answer is its status).
    for (const Row& r : {Row{"sequence_delay_once", "seq-delay-once", Expect::Right},
                         Row{"sequence_reply_names_another_session", "seq-wrong-session"},
                         Row{"sequence_reply_for_another_slot", "seq-wrong-slot"},
                         Row{"sequence_reply_with_another_sequence_id", "seq-wrong-sequence"}})
        add(TornDown(Make(r.id, r.fault, v41, Everything(), r.expect, everyCompound)));
    Case slots = Make("sequence_highest_slots_0xffffffff", "seq-slots-absurd", v41, Everything(),
                      Expect::Right);
    slots.probes.push_back({Kind::Gui, kBig});
    add(TornDown(slots));
    // Wrong result counts in the setup's replies.
    for (const auto& op : std::vector<std::pair<const char*, const char*>>{
             {"exchange_id", "nfs4.exchange_id"}, {"create_session", "nfs4.create_session"}}) {
        for (const auto& f : std::vector<std::pair<const char*, const char*>>{
                 {"_count_beyond_results", "v4-count-mismatch"},
                 {"_result_extra_first", "v4-results-extra"},
                 {"_ok_without_results", "v4-results-none"},
                 {"_result_count_1gib", "v4-resarray-1gib"}})
            add(Make(std::string(op.first) + f.first, f.second, v41, entries, Expect::Failure,
                     {"--on", op.second}));
    }
    // RECLAIM_COMPLETE and DESTROY_SESSION only noticed when they fail: a
    // malformed reply to the first may fail the call, to the second not.
    // Silence where only a notice is due: the answer stands, within the
    // bound. The connection closed right after CREATE_SESSION's reply: the
    // session outlives it (a client may bind a new connection to it and go
    // on).
    for (const Row& r :
         {Row{"reclaim_complete_ok_without_results", "v4-results-none", Expect::RightOrFailure,
              "nfs4.reclaim_complete"},
          Row{"destroy_session_ok_without_results", "v4-results-none", Expect::Right,
              "nfs4.destroy_session"},
          Row{"connection_closed_after_create_session", "close-after-reply", Expect::RightOrFailure,
              "nfs4.create_session"},
          Row{"reclaim_complete_never_answered", "no-reply", Expect::Right,
              "nfs4.reclaim_complete"},
          Row{"destroy_session_never_answered", "no-reply", Expect::Right, "nfs4.destroy_session"},
          Row{"destroy_clientid_never_answered", "no-reply", Expect::Right,
              "nfs4.destroy_clientid"}})
        add(Make(r, v41, Everything()));
    // EXCHANGE_ID refused, or texts beyond the protocol's 1,024 bytes.
    add(Make("exchange_id_refused", "exchange-refused", v41, entries, Expect::Failure));
    for (const char* field : {"owner", "scope", "impl-domain", "impl-name"}) {
        std::string id = std::string("exchange_id_") + field + "_of_100000_bytes";
        std::replace(id.begin(), id.end(), '-', '_');
        add(Make(id, "exchange-text-long", v41, entries, Expect::Failure, {"--field", field}));
    }
    add(TornDown(Make("exchange_id_texts_of_1024_bytes", "exchange-text-long", v41, Everything(),
                      Expect::Right, {"--field", "all", "--text-bytes", "1024"})));
    add(Make("exchange_id_scope_4gib", "exchange-text-4gib", v41, entries, Expect::Failure,
             {"--field", "scope"}));
    add(Make("exchange_id_implementation_ids_0x40000001", "exchange-impl-ids-many", v41, entries,
             Expect::Failure));
    // CREATE_SESSION refused, or granting what cannot be browsed with (what
    // was made is undone), or more than was asked for (used as asked).
    for (const Row& r :
         {Row{"create_session_refused", "create-session-refused"},
          Row{"create_session_grants_0_slots", "create-session-0-slots"},
          Row{"create_session_grants_the_least_a_server_may", "create-session-tiny"},
          Row{"create_session_for_another_sequence", "create-session-wrong-sequence"}})
        add(TornDown(Make(r, v41, entries)));
    Case huge = Make("create_session_grants_0xffffffff_of_everything", "create-session-huge", v41,
                     Everything(), Expect::Right);
    huge.probes.push_back({Kind::Gui, kBig});
    add(TornDown(huge));
    return all;
}

class HostileCatalogue : public ::testing::TestWithParam<Case> {};

TEST_P(HostileCatalogue, Contained) { RunCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Faults, HostileCatalogue, ::testing::ValuesIn(Catalogue()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.id; });

// The peer without a fault is a believable server: both products of the
// client (the program and the plug-in) get the whole tree right over NFSv3,
// over NFSv4.0 and over NFSv4.1 sessions. Part of the default run, so that
// the catalogue's peer stays sound while the catalogue itself is off.
TEST(HostilePeer, ServesTheTreeRightOverNfs3Nfs4AndNfs41) {
    for (Road road : {Road::V3, Road::V4, Road::V41}) {
        Case healthy = Make("healthy", "none", road,
                            {{Kind::Exports, ""},
                             {Kind::Gui, "/"},
                             {Kind::Xml, "/vol"},
                             {Kind::Gui, kDocs},
                             {Kind::Xml, kDocs},
                             {Kind::Plugin, kDocs},
                             {Kind::Plugin, "/"},
                             {Kind::Gui, kBig}},
                            Expect::Right);
        healthy.tornDown = road == Road::V41;
        RunCase(healthy);
    }
}

// The delay proxy between the client and the peer: the browse still gets
// the right answer, and the proxy's counts agree with what went through
// (what the rounds must be is the client's business, not this test's).
TEST(HostilePeer, BrowseThroughTheDelayProxyIsCounted) {
    PeerProcess peer(kAddress, "none", {"--big-entries", std::to_string(kBigEntries)});
    const double delayMs = 2.0;
    testproxy::DelayProxy proxy("127.0.0.11", kAddress, delayMs);
    Settings settings;
    settings.address = "127.0.0.11";
    settings.timeoutSeconds = kTimeoutSeconds;
    Case healthy = Make("healthy", "none", Road::V3, {}, Expect::Right);
    for (Kind kind : {Kind::Gui, Kind::Plugin}) {
        proxy.Reset();
        const ProbeRun run = RunProbe(settings, {kind, kDocs});
        const nlohmann::json counts = proxy.Report();
        SCOPED_TRACE(counts.dump());
        ExpectRight(healthy, run);
        const int rounds = counts["rounds"].get<int>();
        EXPECT_GE(rounds, 4);  // at least: portmapper, export list, mount, page
        ASSERT_TRUE(counts["rounds_to_first_readdir"].is_number());
        EXPECT_GE(counts["rounds_to_first_readdir"].get<int>(), 1);
        EXPECT_LE(counts["rounds_to_first_readdir"].get<int>(), rounds);
        EXPECT_GE(counts["calls"].value("NFS3.READDIRPLUS", 0), 1);
        EXPECT_GE(counts["calls"].value("MOUNT3.MNT", 0), 1);
        EXPECT_GE(counts["connects"].get<int>(), 3);  // portmapper, mount, NFS
        // Every round and every handshake is a round trip of the link.
        EXPECT_GE(run.ended.seconds, counts["round_trips"].get<int>() * 2 * delayMs / 1000.0);
    }
}

// The watcher's memory figure is the probed process's own peak: a peak
// reached just before exit is seen, a child's memory is not counted, and
// the limits end a runaway.
#ifndef NSB_SANITIZED
TEST(HostilePeer, WatcherMeasuresTheProcessOwnPeakOnly) {
    Limits limits;
    auto touch = [](size_t mib) {
        volatile char* block = static_cast<char*>(malloc(mib << 20));
        for (size_t i = 0; i < (mib << 20); i += 4096) block[i] = 1;  // volatile: kept
    };
    const Ended peakAtExit = RunWatched(
        [&](int) {
            touch(96);
            _exit(0);
        },
        limits);
    EXPECT_TRUE(peakAtExit.exited && peakAtExit.status == 0);
    EXPECT_TRUE(peakAtExit.exitStopSeen);
    EXPECT_GE(peakAtExit.hwmKiB, 96 * 1024);

    const Ended parent = RunWatched(
        [&](int) {
            const pid_t grandchild = fork();
            if (grandchild == 0) {
                touch(128);
                _exit(0);
            }
            int status = 0;
            waitpid(grandchild, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        },
        limits);
    EXPECT_TRUE(parent.exited && parent.status == 0);
    EXPECT_LT(parent.hwmKiB, 64 * 1024) << "a reaped child's memory was counted";

    limits.rssCapKiB = 200 * 1024;
    const Ended runaway = RunWatched(
        [&](int) {
            for (;;) touch(16);
        },
        limits);
    EXPECT_TRUE(runaway.killedForMemory);
    EXPECT_EQ(runaway.signal, SIGKILL);
    limits.killAfterSeconds = 0.3;
    const Ended hung = RunWatched(
        [&](int) {
            for (;;) pause();
        },
        limits);
    EXPECT_TRUE(hung.killedForTime);
    EXPECT_LT(hung.seconds, 1.0);
}
#endif

}  // namespace
