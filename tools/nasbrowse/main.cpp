// nasbrowse: a host program for the NAS share browse plug-in. It loads the
// plug-in as the backup client's host does, provides the host services, and
// browses a NAS file server through the plug-in's entries.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "nasbrowse/Browse.h"
#include "nasbrowse/Commands.h"
#include "nasbrowse/GuiMessage.h"
#include "nasbrowse/HostSetup.h"
#include "nasbrowse/Plugin.h"

using namespace nasbrowse;

namespace {

const int kUsageError = 2;

struct Parsed {
    CommonOptions common;
    std::string format = "table";
    std::vector<std::string> clientHosts;
    std::string timeout;
    std::string via = "xml";
    std::string server;
    std::string path = "/";
    bool rawPath = false;
    ServeOptions serve;
    RequestOptions request;
};

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Options every command takes, on the command itself so they may follow it.
void AddCommonOptions(CLI::App& command, Parsed& parsed, bool withFormat) {
    if (withFormat)
        command.add_option("--format", parsed.format, "Output: table, json or xml (browse only)")
            ->check(CLI::IsMember({"table", "json", "xml"}));
    command.add_option("--client-id", parsed.common.clientId,
                       "Client id of the request (default 2)");
    command.add_option("--client-host", parsed.clientHosts,
                       "ID=NAME: client ID's network host name, for the client registry (repeatable)");
    command.add_option("--vessacell", parsed.common.vessaCellId,
                       "VessaCell id of the request and of this host (default 2)");
    command.add_option("--timeout", parsed.timeout,
                       "NFS timeout in seconds (default: $NASBROWSE_NFS_TIMEOUT, else 10)");
    command.add_option("--log-file", parsed.common.logFile, "Log to this file (default: stderr)");
    command.add_option("--log-level", parsed.common.logLevel, "Log level (default 0: failures only)")
        ->check(CLI::Range(0, 100));
    command.add_option("--plugin", parsed.common.pluginPath,
                       "Plug-in to load (default: the one installed or built beside this program)");
}

// Checks what the parser cannot; returns an error text, empty when fine.
std::string Validate(Parsed& parsed, const std::string& command) {
    static const std::map<std::string, Format> formats = {
        {"table", Format::Table}, {"json", Format::Json}, {"xml", Format::Xml}};
    parsed.common.format = formats.at(parsed.format);
    if (parsed.common.format == Format::Xml && command == "exports")
        return "--format xml applies to browse and request only";
    for (const std::string& text : parsed.clientHosts) {
        std::pair<unsigned long, std::string> host;
        if (!ParseClientHost(text, host)) return "--client-host wants ID=NAME, got " + text;
        parsed.common.clientHosts.push_back(host);
    }
    if (!parsed.timeout.empty() && !ParseTimeoutSeconds(parsed.timeout, parsed.common.timeoutSeconds))
        return "--timeout wants a positive number of seconds, got " + parsed.timeout;
    return std::string();
}

int Run(const std::string& command, Parsed& parsed) {
    if (command == "request") {
        // The GUI side loads no plug-in: the daemon answers.
        parsed.request.server = parsed.server;
        parsed.request.path = parsed.path;
        parsed.request.rawPath = parsed.rawPath;
        return Request(parsed.common, parsed.request);
    }

    Plugin plugin(parsed.common.pluginPath);
    SetUpHost(parsed.common, plugin);

    if (command == "serve") return Serve(plugin, parsed.serve);

    const auto start = std::chrono::steady_clock::now();
    if (command == "exports") {
        const ExportsResult result = ListExports(plugin, parsed.common, parsed.server);
        return PrintExports(parsed.common, parsed.server, result, Since(start));
    }
    const std::string sent = GuiRequestPath(parsed.server, parsed.path, parsed.rawPath);
    const BrowseResult result = parsed.via == "gui"
                                    ? BrowseViaGui(plugin, parsed.common, parsed.server, sent)
                                    : BrowseViaXml(plugin, parsed.common, parsed.server, sent);
    return PrintBrowse(parsed.common, parsed.server, parsed.path, parsed.via, result, Since(start));
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    Parsed parsed;

    CLI::App app{"nasbrowse: browse the NFS shares of NAS file servers through the NAS share "
                 "browse plug-in, as the backup client's host does.",
                 "nasbrowse"};
    app.set_version_flag("--version", std::string("nasbrowse ") + NASBROWSE_VERSION);
    app.require_subcommand(1, 1);
    app.footer("Exit status: 0 success, 1 the browse or the export list failed, 2 usage error.\n"
               "Environment: NASBROWSE_NFS_TIMEOUT (seconds) when --timeout is not given.");

    CLI::App* exports = app.add_subcommand("exports", "List the NFS exports of SERVER, clones included");
    exports->add_option("SERVER", parsed.server, "NAS file server (name or address)")->required();
    AddCommonOptions(*exports, parsed, true);

    CLI::App* browse = app.add_subcommand("browse", "Browse PATH on SERVER");
    browse->add_option("SERVER", parsed.server, "NAS file server (name or address)")->required();
    browse->add_option("PATH", parsed.path, "Path on the server: / (default) is its top level");
    browse->add_flag("--raw-path", parsed.rawPath,
                     "Send PATH exactly as given (\"/\" or two backslashes: the root)");
    browse->add_option("--via", parsed.via, "Road: xml (the console's, default) or gui")
        ->check(CLI::IsMember({"xml", "gui"}));
    AddCommonOptions(*browse, parsed, true);

    CLI::App* serve = app.add_subcommand("serve", "Answer GUI browse messages over TCP");
    serve->add_option("--listen", parsed.serve.listen, "ADDR:PORT (default 127.0.0.1:7460; port 0: any)");
    serve->add_option("--max-requests", parsed.serve.maxRequests,
                      "Requests answered at once (default 64)")
        ->check(CLI::Range(1u, 4096u));
    AddCommonOptions(*serve, parsed, false);

    CLI::App* request = app.add_subcommand("request", "Send one browse message to a daemon");
    request->add_option("--connect", parsed.request.connect, "ADDR:PORT of the daemon")->required();
    request->add_option("SERVER", parsed.server, "NAS file server (name or address)")->required();
    request->add_option("PATH", parsed.path, "Path on the server: / (default) is its top level");
    request->add_flag("--raw-path", parsed.rawPath, "Send PATH exactly as given");
    AddCommonOptions(*request, parsed, true);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version: stdout, status 0
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsageError;
    }

    std::string command = app.get_subcommands().front()->get_name();
    const std::string problem = Validate(parsed, command);
    if (!problem.empty()) {
        fprintf(stderr, "nasbrowse: %s\nRun with --help for more information.\n", problem.c_str());
        return kUsageError;
    }
    try {
        return Run(command, parsed);
    } catch (const std::exception& e) {
        fprintf(stderr, "nasbrowse: %s\n", e.what());
        return 1;
    }
}
