#include "nasbrowse/HostSetup.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "host/LogWriter.h"  // MakeLogWriter, g_ptrLogWriter
#include "host/Lookups.h"    // ORVClient, ORVPI_VessaServer

namespace nasbrowse {
namespace {

// mkdir -p for the folders of `file`, mode 0700; false with `error` set.
bool MakeParents(const std::string& file, std::string& error) {
    for (size_t slash = file.find('/', 1); slash != std::string::npos;
         slash = file.find('/', slash + 1)) {
        const std::string dir = file.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make the folder " + dir + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string SetUpLog(const HostOptions& options, bool stderrByDefault) {
    std::string file = options.logFile;
    if (file.empty() && !stderrByDefault) {
        // Nobody asked for this file: when it cannot be made, the command
        // runs without a log, after one notice.
        file = DefaultLogPath();
        std::string error = file.empty() ? "there is no home folder to put it in" : "";
        if (error.empty()) MakeParents(file, error);
        if (error.empty()) {
            try {
                g_ptrLogWriter = MakeLogWriter(file, options.logLevel);
                return file;
            } catch (const std::exception& e) {
                error = e.what();
            }
        }
        fprintf(stderr,
                "nasbrowse: notice: no log is kept: the default log file %s cannot be made (%s); "
                "give one with --log-file PATH\n",
                file.empty() ? "" : file.c_str(), error.c_str());
        g_ptrLogWriter = MakeLogWriter("/dev/null", options.logLevel);
        return "/dev/null";
    }
    if (file.empty() || file == "-") {
        g_ptrLogWriter = MakeLogWriter(std::string(), options.logLevel);
        return "stderr";
    }
    try {
        g_ptrLogWriter = MakeLogWriter(file, options.logLevel);
    } catch (const std::exception& e) {
        throw LogFileError("cannot open the log file " + file + " (" + e.what() +
                           "); give another with --log-file PATH (or --log-file - for stderr)");
    }
    return file;
}

double SetUpHost(const HostOptions& options, const Plugin& plugin) {
    for (const auto& host : options.clientHosts) ORVClient::RegisterClient(host.first, host.second);
    ORVPI_VessaServer::SetVessaCellId(options.cellId);

    std::string problem;
    const double seconds = EffectiveTimeoutSeconds(options.timeoutSeconds, problem);
    if (!problem.empty())
        fprintf(stderr, "nasbrowse: %s; the timeout stays as it is\n", problem.c_str());
    if (seconds > 0) plugin.setNfsTimeoutMs(static_cast<unsigned int>(std::lround(seconds * 1000)));
    if (!options.security.empty() &&
        (plugin.setNfsSecurity == nullptr || plugin.setNfsSecurity(options.security.c_str()) != 0))
        throw std::runtime_error("the NFS client library of the plug-in " + plugin.path() +
                                 " does not take the security flavour " + options.security +
                                 "; install the matching version, or leave out --sec");
    if (!options.keytab.empty()) {
        if (plugin.setNfsKerberosKeytab == nullptr)
            throw std::runtime_error("the NFS client library of the plug-in " + plugin.path() +
                                     " takes no keytab; install the matching version, or leave "
                                     "out --keytab");
        plugin.setNfsKerberosKeytab(options.keytab.c_str(), options.principal.c_str());
    }
    const double limit = CallLimitSeconds(problem);
    if (!problem.empty())
        fprintf(stderr, "nasbrowse: %s; the call limit stays as it is\n", problem.c_str());
    if (limit > 0 && plugin.setNfsCallLimitMs != nullptr)
        plugin.setNfsCallLimitMs(static_cast<unsigned int>(std::lround(limit * 1000)));
    return plugin.getNfsTimeoutMs() / 1000.0;
}

unsigned long long RoadMaxEntries(Road road, unsigned long long option) {
    if (option != 0) return option;
    return road == Road::Xml ? kXmlRoadMaxEntries : 0;
}

unsigned long long SetRoadEntryBound(const Plugin& plugin, Road road, unsigned long long option) {
    const unsigned long long bound = RoadMaxEntries(road, option);
    if (plugin.setNfsMaxEntries != nullptr) plugin.setNfsMaxEntries(bound);
    return bound;
}

unsigned long long SetThreadRoadEntryBound(const Plugin& plugin, Road road) {
    const unsigned long long bound = RoadMaxEntries(road, 0);
    if (plugin.setNfsThreadMaxEntries != nullptr) plugin.setNfsThreadMaxEntries(bound);
    return bound;
}

unsigned int ReplyIdleTimeoutMs(const Plugin& plugin) {
    const unsigned long nfs = plugin.getNfsTimeoutMs();
    const unsigned long idle = 3 * nfs + 10000;
    return idle > 3600000ul ? 3600000u : static_cast<unsigned int>(idle);
}

}  // namespace nasbrowse
