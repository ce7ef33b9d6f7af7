// Server paths and addresses: normalising a requested directory and the
// export paths a server reports, choosing the export of a directory, and the
// port of a portmapper's universal address. Pure functions.
#pragma once

#include <string>
#include <vector>

namespace nfsclient {

// Splits an absolute server path into its components, dropping empty and "."
// components ("//a/./b/" gives {"a", "b"}). Refuses, with a reason in `why`, a
// null, empty or relative path, any ".." component (a listing never walks
// upwards, so it cannot leave the export its path names), and any component
// longer than kMaxComponentBytes.
bool SplitServerPath(const char* path, std::vector<std::string>& components, std::string& why);

// "/" followed by the components joined with "/" ("/" for none).
std::string JoinServerPath(const std::vector<std::string>& components);

// Index in `exports` of the export holding the directory `components`: the
// longest export path that equals it or is a prefix of it at a component
// boundary ("/" holds everything). Export paths are compared after the same
// normalisation; ones that do not normalise are skipped. -1 when none holds
// it. `depth` receives the number of components the export path covers.
int ChooseExport(const std::vector<std::string>& components,
                 const std::vector<std::string>& exports, size_t& depth);

// Longest component of a path, in bytes: the longest name taken from a
// server too.
constexpr size_t kMaxComponentBytes = 4096;
// Longest export path taken from a server, in bytes.
constexpr size_t kMaxPathBytes = 4096;
// Longest directory path a caller may ask for, in bytes.
constexpr size_t kMaxRequestPathBytes = 64 * 1024;

// The normalised form of an export path a server reported ("/vol/./v5"
// gives "/vol/v5"). False, with a reason in `why`, for a path that cannot
// name an export: empty, relative, longer than kMaxPathBytes, or with a ".."
// component.
bool NormaliseExportPath(const char* path, std::string& normalised, std::string& why);

// True when `address` is a numeric IPv4 or IPv6 address text; stores its
// address family (AF_INET or AF_INET6). Never resolves names: getaddrinfo on
// a host name can block without bound.
bool ParseNumericAddress(const char* address, int& family);

// The port of an rpcbind universal address ("h.h.h.h.p1.p2", "::1.p1.p2");
// 0 when there is none or it is out of range.
int PortOfUniversalAddress(const char* uaddr);

}  // namespace nfsclient
