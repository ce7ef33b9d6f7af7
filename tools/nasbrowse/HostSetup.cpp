#include "nasbrowse/HostSetup.h"

#include <cmath>
#include <cstdlib>

#include "host/LogWriter.h"   // MakeLogWriter, g_ptrLogWriter, NSB_LOG
#include "host/Lookups.h"     // ORVClient, ORVPI_VessaServer

namespace nasbrowse {
namespace {
const char kSetUpHost[] = "void nasbrowse::SetUpHost(const CommonOptions&)";
}

bool ParseClientHost(const std::string& text, std::pair<unsigned long, std::string>& out) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 >= text.size()) return false;
    const std::string id = text.substr(0, equals);
    if (id.find_first_not_of("0123456789") != std::string::npos || id.size() > 19) return false;
    out.first = std::strtoul(id.c_str(), nullptr, 10);
    out.second = text.substr(equals + 1);
    return true;
}

bool ParseTimeoutSeconds(const std::string& text, double& seconds) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 86400)
        return false;
    // Below a millisecond would round to "no timeout set".
    if (value * 1000 < 1) return false;
    seconds = value;
    return true;
}

void SetUpHost(const CommonOptions& options, const Plugin& plugin) {
    g_ptrLogWriter = MakeLogWriter(options.logFile, options.logLevel);

    for (const auto& host : options.clientHosts) ORVClient::RegisterClient(host.first, host.second);
    ORVPI_VessaServer::SetVessaCellId(options.vessaCellId);

    double seconds = options.timeoutSeconds;
    if (seconds <= 0) {
        const char* env = std::getenv("NASBROWSE_NFS_TIMEOUT");
        if (env != nullptr && *env != '\0' && !ParseTimeoutSeconds(env, seconds)) {
            NSB_LOG(LOG_ERROR, kSetUpHost,
                    "NASBROWSE_NFS_TIMEOUT [%s] is not a number of seconds; ignored", env);
            seconds = 0;
        }
    }
    if (seconds > 0 && plugin.setNfsTimeoutMs != nullptr)
        plugin.setNfsTimeoutMs(static_cast<unsigned int>(std::lround(seconds * 1000)));
}

unsigned int ReplyIdleTimeoutMs(const Plugin& plugin) {
    const unsigned long nfs = plugin.getNfsTimeoutMs ? plugin.getNfsTimeoutMs() : 10000;
    const unsigned long idle = 3 * nfs + 10000;
    return idle > 3600000ul ? 3600000u : static_cast<unsigned int>(idle);
}

}  // namespace nasbrowse
