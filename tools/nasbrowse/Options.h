// The options every command of nasbrowse shares.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace nasbrowse {

enum class Format { Table, Json, Xml };

struct CommonOptions {
    Format format = Format::Table;
    unsigned long clientId = 2;
    std::vector<std::pair<unsigned long, std::string>> clientHosts;  // --client-host
    unsigned long vessaCellId = 2;
    double timeoutSeconds = 0;  // 0: NASBROWSE_NFS_TIMEOUT or the library's default
    std::string logFile;        // empty: stderr
    int logLevel = 0;
    std::string pluginPath;     // empty: beside the program
};

// Parses "ID=NAME" of --client-host. False when ID is not a decimal number
// or NAME is empty.
bool ParseClientHost(const std::string& text, std::pair<unsigned long, std::string>& out);

// Parses a timeout in seconds ("10", "2.5"). False when it is not a positive
// number of at most one day.
bool ParseTimeoutSeconds(const std::string& text, double& seconds);

}  // namespace nasbrowse
