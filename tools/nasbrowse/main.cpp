// nasbrowse: a host program for the NAS share browse plug-in. It loads the
// plug-in as the backup client's host does, provides the host services, and
// browses a NAS file server through the plug-in's entries.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "nasbrowse/Browse.h"
#include "nasbrowse/Request.h"
#include "nasbrowse/Serve.h"
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/HostSetup.h"
#include "nasbrowse/Plugin.h"

using namespace nasbrowse;

namespace {

const std::vector<std::string> kCommands = {"exports", "browse", "serve", "request"};

const char kExitStatus[] =
    "Exit status:\n"
    "  0  success\n"
    "  1  the browse, the export list or writing the output failed (one sentence on stderr)\n"
    "  2  usage error: a bad option, server, path or log file\n"
    "  3  request: no daemon answered\n";
const char kExportsExit[] =
    "Exit status: 0 success; 1 the export list failed, or the output could not be written (one\n"
    "sentence on stderr); 2 usage error.\n";
const char kBrowseExit[] =
    "Exit status: 0 success; 1 the browse failed, no export holds PATH, or the output "
    "could not be\n"
    "written (one sentence on stderr); 2 usage error. A closed output pipe ends it quietly (0).\n";
const char kServeExit[] =
    "Exit status: 0 stopped by SIGINT or SIGTERM once the requests being answered are done;\n"
    "1 it cannot listen or load the plug-in; 2 usage error.\n";
const char kRequestExit[] =
    "Exit status: 0 success; 1 the browse failed, or the output could not be written "
    "(one sentence\n"
    "on stderr); 2 usage error; 3 no daemon answered.\n";

struct Parsed {
    HostOptions host;
    PresentOptions present;
    std::string format = "table";
    std::string sort;
    std::vector<std::string> clientHosts;
    std::string timeout;
    bool verbose = false;
    std::string via = "gui";
    std::string server;  // the operands as typed
    std::string path;
    bool rawPath = false;
    ServeOptions serve;
    std::string connect = kDefaultDaemon;
    Target target;
    std::string requestPath;
};

struct UsageError {
    std::string text;
};

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// ---------------------------------------------------------------------------
// The command line. Each command gets only the options that apply to it.

void AddTarget(CLI::App& command, Parsed& parsed, bool withPath) {
    command
        .add_option("SERVER", parsed.server,
                    withPath ? "The NAS file server, by host name or address; SERVER:/PATH and "
                               "nfs://SERVER/PATH name the folder too"
                             : "The NAS file server, by host name or address (or nfs://SERVER)")
        ->required()
        ->type_name("");
    if (withPath)
        command
            .add_option("PATH", parsed.path,
                        "The folder on the server, from its top level (default /, the top level)")
            ->type_name("");
}

void AddPresentation(CLI::App& command, Parsed& parsed) {
    command
        .add_option("--format", parsed.format,
                    "table (default), json (one document), jsonl (one line per item, then a "
                    "summary line) or xml")
        ->check(CLI::IsMember({"table", "json", "jsonl", "xml"}).description(""))
        ->type_name("FORMAT");
    command.add_flag(
        "--no-headers", [&parsed](int64_t) { parsed.present.headers = false; },
        "Table: leave out the header row and the summary line");
    command.add_flag("-h,--human", parsed.present.human,
                     "Table: sizes in K, M, G, T (powers of 1024), rounded up");
    command.add_flag("--utc", parsed.present.utc,
                     "Table: times in UTC instead of the local time zone");
    command
        .add_option("--sort", parsed.sort,
                    "Order by name, size (largest first) or time (newest first); without it, the "
                    "server's order. A sort holds the whole listing before printing it")
        ->check(CLI::IsMember({"name", "size", "time"}).description(""))
        ->type_name("KEY");
    command.add_flag("--group-folders", parsed.present.groupFolders,
                     "Folders before files (holds the whole listing, as a sort does)");
}

void AddClient(CLI::App& command, Parsed& parsed, bool withCell) {
    command
        .add_option("--client-id", parsed.host.clientId,
                    "The backup client the request is made for (default 2)")
        ->type_name("N");
    if (withCell)
        command
            .add_option("--cell-id", parsed.host.cellId,
                        "The backup cell the request comes from (default 2); exports named as this "
                        "cell's clones are not offered")
            ->type_name("N");
}

void AddHost(CLI::App& command, Parsed& parsed, bool logsToStderr) {
    command
        .add_option("--client-host", parsed.clientHosts,
                    logsToStderr ? "ID=NAME: the host name of backup client ID, for requests that "
                                   "name no server (repeatable)"
                                 : "ID=NAME: the host name of backup client ID, used when SERVER "
                                   "is empty (repeatable)")
        ->type_name("ID=NAME")
        ->allow_extra_args(false);
    command
        .add_option("--timeout", parsed.timeout,
                    "The longest wait for each NFS step, in seconds (default: "
                    "$NASBROWSE_NFS_TIMEOUT, else 10)")
        ->type_name("SECONDS");
    command
        .add_option("--sec", parsed.host.security,
                    "The NFS security flavour: auto (default: what the export asks for), sys, "
                    "krb5, krb5i (and checksums) or krb5p (and encryption). Kerberos needs "
                    "SERVER by host name, and a ticket (kinit; KRB5CCNAME and KRB5_CONFIG are "
                    "honoured) or --keytab")
        ->check(CLI::IsMember(std::vector<std::string>(std::begin(kSecurityFlavours),
                                                       std::end(kSecurityFlavours)))
                    .description(""))
        ->type_name("FLAVOUR");
    command
        .add_option("--keytab", parsed.host.keytab,
                    "Kerberos: take the credentials of --principal from this keytab instead of "
                    "the credential cache")
        ->type_name("FILE");
    command
        .add_option("--principal", parsed.host.principal,
                    "Kerberos: the client principal of --keytab, e.g. backup@EXAMPLE.COM")
        ->type_name("NAME");
    command
        .add_option("--log-file", parsed.host.logFile,
                    logsToStderr ? "Write the log to PATH; - for stderr (default: stderr)"
                                 : "Write the log to PATH; - for stderr (default: "
                                   "$XDG_STATE_HOME/nasbrowse/nasbrowse.log, or "
                                   "~/.local/state/nasbrowse/nasbrowse.log)")
        ->type_name("PATH");
    command
        .add_option("--log-level", parsed.host.logLevel,
                    logsToStderr
                        ? "0 (default): failures and one access line per request; 1: "
                          "each request as it comes; 3: each step of a browse"
                        : "0 (default): failures only; 3: each step of a browse; higher: more")
        ->check(CLI::Range(0, 100).description(""))
        ->type_name("N");
    command.add_flag("-v,--verbose", parsed.verbose,
                     "Log to stderr at level 3 (as --log-file - --log-level 3)");
    command
        .add_option("--plugin", parsed.host.pluginPath,
                    "Load this plug-in instead of the installed one")
        ->type_name("PATH");
}

// Checks what the parser cannot. Throws UsageError.
void Validate(Parsed& parsed, const std::string& command, const CLI::App& sub) {
    static const std::map<std::string, Format> formats = {{"table", Format::Table},
                                                          {"json", Format::Json},
                                                          {"jsonl", Format::Jsonl},
                                                          {"xml", Format::Xml}};
    parsed.present.format = formats.at(parsed.format);
    if (!parsed.sort.empty())
        parsed.present.sort = parsed.sort == "name"   ? SortKey::Name
                              : parsed.sort == "size" ? SortKey::Size
                                                      : SortKey::Time;
    for (const std::string& text : parsed.clientHosts) {
        std::pair<unsigned long, std::string> host;
        if (!ParseClientHost(text, host))
            throw UsageError{"--client-host wants ID=NAME, got " + text};
        parsed.host.clientHosts.push_back(host);
    }
    if (!parsed.timeout.empty() && !ParseTimeoutSeconds(parsed.timeout, parsed.host.timeoutSeconds))
        throw UsageError{"--timeout wants a number of seconds between 0.001 and 86400, got " +
                         parsed.timeout};
    std::string problem;
    EffectiveTimeoutSeconds(parsed.host.timeoutSeconds, problem);
    if (!problem.empty() && command != "request")
        throw UsageError{problem + "; correct or unset it, or give --timeout"};
    const std::string kerberos = CheckKerberosOptions(parsed.host.keytab, parsed.host.principal);
    if (!kerberos.empty()) throw UsageError{kerberos};
    if (parsed.verbose) {
        if (parsed.host.logFile.empty()) parsed.host.logFile = "-";
        if (sub.count("--log-level") == 0) parsed.host.logLevel = 3;
    }
    if (command == "serve") return;

    std::string error;
    const CLI::Option* pathOperand = sub.get_option_no_throw("PATH");
    const std::string* second =
        pathOperand != nullptr && pathOperand->count() != 0 ? &parsed.path : nullptr;
    if (!ParseTarget(parsed.server, second, parsed.rawPath, parsed.target, error))
        throw UsageError{error};
    if (command == "exports" && parsed.target.path != "/")
        throw UsageError{"exports lists the exports of a server and takes no path (got " +
                         parsed.target.path + "); browse SERVER PATH lists a folder"};
    if (parsed.target.server.empty()) {
        bool registered = false;
        for (const auto& host : parsed.host.clientHosts)
            registered = registered || host.first == parsed.host.clientId;
        const bool allowed = command == "request" ? sub.count("--client-id") != 0 : registered;
        if (!allowed)
            throw UsageError{
                command == "request"
                    ? "SERVER is empty: name the NAS file server (an empty one asks the "
                      "daemon for the host of --client-id N)"
                    : "SERVER is empty: name the NAS file server (an empty one is the host "
                      "of the backup client: give --client-id N and --client-host N=NAME)"};
    }
    // Here the client's host is known: browse it as if named (its exports,
    // the output and the check of an empty folder then name it too).
    if (parsed.target.server.empty() && command != "request")
        for (const auto& host : parsed.host.clientHosts)
            if (host.first == parsed.host.clientId) parsed.target.server = host.second;
    parsed.requestPath = GuiRequestPath(parsed.target.server, parsed.target.path, parsed.rawPath);
}

// ---------------------------------------------------------------------------
// The commands.

int RunExports(const Plugin& plugin, Parsed& parsed, double timeoutSeconds) {
    OutputStream out(STDOUT_FILENO);
    const auto start = std::chrono::steady_clock::now();
    ExportsResult result = ListExports(plugin, parsed.host, parsed.target.server);
    result.error = Presented(result.error, "cannot list the exports of " + parsed.target.server);
    PrintExports(parsed.present, parsed.target.server, result, Since(start), out);
    if (!out.Flush()) EndOnOutputFailure(out);
    if (!result.error.failed) return EXIT_OK;
    fputs(FailureSentence(result.error, 0, timeoutSeconds).c_str(), stderr);
    return EXIT_FAILED;
}

int RunBrowse(const Plugin& plugin, Parsed& parsed, double timeoutSeconds) {
    OutputStream out(STDOUT_FILENO);
    const ListingInfo listing{parsed.target.server, parsed.target.path, parsed.requestPath};
    std::unique_ptr<Presenter> presenter = MakeBrowsePresenter(parsed.present, listing, out);
    const Road road = parsed.via == "gui" ? Road::Gui : Road::Xml;
    const unsigned long long bound = SetRoadEntryBound(plugin, road, parsed.host.maxEntries);
    const auto start = std::chrono::steady_clock::now();
    const RoadOutcome outcome = road == Road::Gui
                                    ? BrowseViaGui(plugin, parsed.host, parsed.target.server,
                                                   parsed.requestPath, *presenter, out)
                                    : BrowseViaXml(plugin, parsed.host, parsed.target.server,
                                                   parsed.requestPath, *presenter, out);
    if (outcome.outputFailed) EndOnOutputFailure(out);
    const Failure failure =
        FinishedBrowseFailure(plugin, parsed.host, parsed.target.server, parsed.target.path,
                              parsed.rawPath, road, bound, outcome.failure, presenter->items());
    presenter->Finish(failure, Since(start));
    if (!out.Flush()) EndOnOutputFailure(out);
    if (!failure.failed) return EXIT_OK;
    fputs(FailureSentence(failure, presenter->items(), timeoutSeconds).c_str(), stderr);
    return EXIT_FAILED;
}

int Run(const std::string& command, Parsed& parsed) {
    if (command == "request") {
        // The GUI side loads no plug-in: the daemon answers.
        RequestOptions request;
        request.connect = parsed.connect;
        request.server = parsed.target.server;
        request.path = parsed.target.path;
        request.requestPath = parsed.requestPath;
        request.clientId = parsed.host.clientId;
        request.cellId = parsed.host.cellId;
        if (parsed.host.timeoutSeconds > 0) request.timeoutSeconds = parsed.host.timeoutSeconds;
        return Request(request, parsed.present);
    }

    try {
        SetUpLog(parsed.host, command == "serve");
    } catch (const LogFileError& e) {
        fprintf(stderr, "nasbrowse: %s\n", e.what());
        return EXIT_USAGE;
    }
    const Plugin plugin(parsed.host.pluginPath);
    const double timeoutSeconds = SetUpHost(parsed.host, plugin);
    if (command == "serve") return Serve(plugin, parsed.host, parsed.serve);
    // The program makes its calls and ends: `exports` one, a browse at most
    // two (the export list, then a listing below an export). Their workers
    // start now, while the program readies the request, and none after them.
    if (plugin.setNfsSpareWorkers != nullptr) plugin.setNfsSpareWorkers(0);
    if (plugin.startNfsWorkers != nullptr) plugin.startNfsWorkers(command == "exports" ? 1 : 2);
    if (command == "exports") return RunExports(plugin, parsed, timeoutSeconds);
    return RunBrowse(plugin, parsed, timeoutSeconds);
}

constexpr size_t kHelpColumn = 30;

// The terminal's width for help; 80 columns when stdout is not a terminal.
size_t HelpWidth() {
    winsize size{};
    if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40)
        return size.ws_col;
    return 80;
}

// The parser's complaint in this program's style: "nasbrowse: COMMAND: what
// (did you mean --OPTION?)" and where to read more.
std::string ParserMessage(std::string what, const CLI::App* sub, int argc, char** argv) {
    if (what.size() > 1 && std::islower(static_cast<unsigned char>(what[1])))
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    std::string hint;
    if (sub != nullptr) {
        std::vector<std::string> names;
        for (const CLI::Option* option : sub->get_options()) {
            for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
            for (const std::string& name : option->get_snames()) names.push_back("-" + name);
        }
        for (int i = 1; i < argc && hint.empty(); ++i) {
            std::string word = argv[i];
            if (word.size() < 3 || word.compare(0, 2, "--") != 0) continue;
            word = word.substr(0, word.find('='));
            if (std::find(names.begin(), names.end(), word) != names.end()) continue;
            const std::string close = ClosestCommand(word, names);
            if (!close.empty()) hint = " (did you mean " + close + "?)";
        }
    }
    const std::string command = sub != nullptr ? sub->get_name() : std::string();
    return "nasbrowse: " + (command.empty() ? "" : command + ": ") + Printable(what) + hint +
           "\nRun nasbrowse " + (command.empty() ? "" : command + " ") +
           "--help for more information.\n";
}

// The first operand that is not an option, when it names no command.
bool UnknownCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.empty() || word[0] == '-') continue;
        for (const std::string& command : kCommands)
            if (word == command) return false;
        const std::string close = ClosestCommand(word, kCommands);
        fprintf(stderr,
                "nasbrowse: unknown command \"%s\"%s%s%s; the commands are exports, browse, serve "
                "and request (nasbrowse --help)\n",
                Printable(word).c_str(), close.empty() ? "" : " (did you mean \"", close.c_str(),
                close.empty() ? "" : "\"?)");
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Parsed parsed;

    CLI::App app{
        "nasbrowse: browse the NFS shares of NAS file servers through the NAS share "
        "browse plug-in, as the backup client's host does.",
        "nasbrowse"};
    app.set_help_flag("--help", "Print this help and exit");
    app.set_version_flag("--version", std::string("nasbrowse ") + NASBROWSE_VERSION);
    app.require_subcommand(1, 1);
    app.get_formatter()->column_width(kHelpColumn);
    app.get_formatter()->label("Subcommands", "Commands");
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.get_formatter()->label("Positionals", "Operands");
    app.footer(std::string("Run nasbrowse COMMAND --help for the options of a command.\n\n") +
               kExitStatus +
               "\nEnvironment: NASBROWSE_NFS_TIMEOUT (seconds) when --timeout is not given;\n"
               "NASBROWSE_NFS_CALL_LIMIT (seconds) for the longest one NFS call may take;\n"
               "XDG_STATE_HOME for the log file's folder.");

    CLI::App* exports = app.add_subcommand(
        "exports",
        "List the NFS exports of SERVER, clones included, in the server's order; an export of "
        "\"/\" is not listed (the browse never offers it)");
    AddTarget(*exports, parsed, false);
    exports->add_option("--format", parsed.format, "table (default) or json")
        ->check(CLI::IsMember({"table", "json"}).description(""))
        ->type_name("FORMAT");
    exports->add_flag(
        "--no-headers", [&parsed](int64_t) { parsed.present.headers = false; },
        "Table: leave out the summary line");
    AddClient(*exports, parsed, false);
    AddHost(*exports, parsed, false);
    exports->footer(kExportsExit);

    CLI::App* browse = app.add_subcommand(
        "browse",
        "List a folder of SERVER: above the exports, the names that lead to them; inside "
        "an export, its files and folders. Never offered: snapshots, clones, an export of \"/\" "
        "(the whole file system), and what is not a file or folder (symbolic links, devices, "
        "FIFOs, sockets)");
    AddTarget(*browse, parsed, true);
    browse
        ->add_option("--via", parsed.via,
                     "gui: answer through the desktop GUI's reply stream (streams; the default); "
                     "xml: through the console's XML response (held whole until the end)")
        ->check(CLI::IsMember({"gui", "xml"}).description(""))
        ->type_name("gui|xml");
    browse
        ->add_option("--max-entries", parsed.host.maxEntries,
                     "The most entries one listing may hold; past it the listing ends with a "
                     "failure after the entries so far (default: 1000000 with --via xml, which "
                     "holds them all in memory, about 70 MiB; 10000000 with --via gui)")
        ->check(CLI::Range(1ull, 1000000000ull).description(""))
        ->type_name("N");
    browse->add_flag(
        "--raw-path", parsed.rawPath,
        "Send PATH to the plug-in exactly as typed, without the server's name in front "
        "(then / asks for the file server itself)");
    AddPresentation(*browse, parsed);
    AddClient(*browse, parsed, true);
    AddHost(*browse, parsed, false);
    browse->footer(kBrowseExit);

    CLI::App* serve =
        app.add_subcommand("serve",
                           "Run a daemon that answers desktop-GUI browse messages over TCP "
                           "(" NASBROWSE_DOC_DIR
                           "/SERVE-PROTOCOL.md) and, with --http, a browse page and HTTP API "
                           "(" NASBROWSE_DOC_DIR
                           "/HTTP-API.md), with this process's NFS "
                           "credentials");
    serve
        ->add_option("--listen", parsed.serve.listen,
                     "ADDR:PORT to listen on (default 127.0.0.1:7460; port 0 picks a free one). An "
                     "address other than loopback needs --allow")
        ->type_name("ADDR:PORT");
    serve
        ->add_option("--http", parsed.serve.http,
                     "Also (or, without --listen, only) serve the browse page and the HTTP API on "
                     "ADDR:PORT (default 127.0.0.1:7480); prints the page's address with its "
                     "access token (" NASBROWSE_DOC_DIR "/HTTP-API.md)")
        ->expected(0, 1)
        ->type_name("[ADDR:PORT]");
    serve
        ->add_option("--allow", parsed.serve.allow,
                     "Take requests only from this address block, e.g. 192.0.2.0/24 (repeatable); "
                     "without it, only from loopback. Others are refused and logged")
        ->type_name("CIDR")
        ->allow_extra_args(false);
    serve
        ->add_option("--max-requests", parsed.serve.maxRequests,
                     "Requests answered at once (default 64); more wait their turn (over HTTP, "
                     "they are answered 429)")
        ->check(CLI::Range(1u, 4096u).description(""))
        ->type_name("N");
    AddHost(*serve, parsed, true);
    serve->footer(kServeExit);

    CLI::App* request = app.add_subcommand(
        "request",
        "Ask a running nasbrowse serve to browse a folder, and print its answer as browse does");
    request
        ->add_option("--connect", parsed.connect,
                     "ADDR:PORT of the daemon (default 127.0.0.1:7460)")
        ->type_name("ADDR:PORT");
    AddTarget(*request, parsed, true);
    request->add_flag("--raw-path", parsed.rawPath,
                      "Send PATH exactly as typed, without the server's name in front");
    AddPresentation(*request, parsed);
    AddClient(*request, parsed, true);
    request
        ->add_option("--timeout", parsed.timeout,
                     "The longest wait to connect, in seconds (default 10); the answer may take "
                     "three times as long plus 10 s")
        ->type_name("SECONDS");
    request->footer(kRequestExit);

    if (UnknownCommand(argc, argv)) return EXIT_USAGE;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        fputs(WrapHelp(app.help(), HelpWidth(), kHelpColumn).c_str(), stdout);
        return EXIT_OK;
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --version: stdout, status 0
    } catch (const CLI::ParseError& e) {
        if (app.get_subcommands().empty() &&
            dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
            fprintf(stderr,
                    "nasbrowse: a command is needed: exports, browse, serve or request "
                    "(nasbrowse --help)\n");
            return EXIT_USAGE;
        }
        const CLI::App* sub = app.get_subcommands().empty() ? nullptr : app.get_subcommands()[0];
        fputs(ParserMessage(e.what(), sub, argc, argv).c_str(), stderr);
        return EXIT_USAGE;
    }

    CLI::App* sub = app.get_subcommands().front();
    const std::string command = sub->get_name();
    try {
        Validate(parsed, command, *sub);
        if (command == "serve") {
            if (sub->count("--http") != 0) {
                if (parsed.serve.http.empty()) parsed.serve.http = kDefaultHttp;
                parsed.serve.binary = sub->count("--listen") != 0;
            }
            const std::string problem = CheckServeOptions(parsed.serve);
            if (!problem.empty()) throw UsageError{problem};
        }
    } catch (const UsageError& e) {
        fprintf(stderr, "nasbrowse: %s\nRun nasbrowse %s --help for more information.\n",
                e.text.c_str(), command.c_str());
        return EXIT_USAGE;
    }
    try {
        return Run(command, parsed);
    } catch (const std::exception& e) {
        fprintf(stderr, "nasbrowse: %s\n", e.what());
        return EXIT_FAILED;
    }
}
