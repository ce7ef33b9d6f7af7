#include "nfs_client/worker/CallSecurity.h"

#include <algorithm>  // std::min

#include "nfs_client/worker/Protocol.h"     // Call
#include "nfs_client/worker/rpc/GssAuth.h"  // FlavourName, IsKerberos, EstablishGss, kWire*

namespace nfsclient {
namespace {

// Directory pages ask for at most this much (dircount and maxcount) from a
// near server: the server's cost per request dominates a large listing
// there, and larger pages gained nothing on loopback (100,000 entries from
// ganesha with 4 MiB pages took 13 % longer in one paired run).
constexpr uint32_t kNearPageBytes = 1024 * 1024;
// From a far server, pages of up to 4 MiB: each page costs a round trip.
// Through a 10 ms link, 100,000 entries from ganesha over NFSv3 took 447 ms
// against 493 ms with 1 MiB pages (9 paired runs), in 5 pages, not 16.
constexpr uint32_t kFarPageBytes = 4 * 1024 * 1024;
// Directory pages under krb5i and krb5p. Each reply is checksummed or
// wrapped whole by the server and checked or unwrapped whole here, through
// several buffers of the page's size; past glibc's 128 KiB threshold each
// is mapped afresh per page and faulted in again, on both sides. Measured
// with kerberos_bench (100,000 entries over NFSv3 from ganesha, the page
// size drawn per listing within one run): under krb5p the worker took
// 250-300 ms of CPU and 12,600 page faults with 1 MiB pages, 140-150 ms
// and 1,200 faults with 128 KiB ones (AUTH_SYS: 50 ms, 900 faults); 64 KiB
// pages were no cheaper and 32 KiB ones dearer (more pages). ganesha's CPU
// grew alike (425 ms against 260). From a far server they are as large as
// an unprotected page from a near one: the worker's memory grows with them.
constexpr uint32_t kProtectedPageBytes = 128 * 1024;
// A server is far when the least round trip to it is this long or longer:
// 128 KiB pages instead of 1 MiB ones saved about 20 ms of CPU per MiB
// listed under krb5p (10 under krb5i), client and server together, and
// cost 7 round trips more per MiB; past about 2 ms a round trip the larger
// pages are cheaper.
constexpr uint32_t kFarRoundTripUs = 2000;

// Ending a context waits at most this long (and never longer than a step's
// timeout): its failure changes nothing of the call's outcome.
constexpr unsigned int kEndCapMs = 500;

std::string Names(const std::vector<OfferedFlavour>& offered) {
    std::string names;
    for (const OfferedFlavour& one : offered) {
        if (names.find(one.name) != std::string::npos) continue;  // listed twice
        if (!names.empty()) names += ", ";
        names += one.name;
        if (names.size() > 300) break;
    }
    return names;
}

}  // namespace

OfferedFlavour FromMountFlavour(uint32_t wire) {
    switch (wire) {
    case kWireAuthSys: return {Flavour::Sys, FlavourName(Flavour::Sys)};
    case kWireKrb5: return {Flavour::Krb5, FlavourName(Flavour::Krb5)};
    case kWireKrb5i: return {Flavour::Krb5i, FlavourName(Flavour::Krb5i)};
    case kWireKrb5p: return {Flavour::Krb5p, FlavourName(Flavour::Krb5p)};
    case 0: return {Flavour::Auto, "AUTH_NONE"};
    case 3: return {Flavour::Auto, "AUTH_DH"};
    case kWireRpcsecGss: return {Flavour::Auto, "RPCSEC_GSS (no service named)"};
    default: return {Flavour::Auto, "flavour " + std::to_string(wire)};
    }
}

OfferedFlavour FromSecinfo(uint32_t wire, bool kerberos, uint32_t service) {
    if (wire != kWireRpcsecGss) return FromMountFlavour(wire);
    if (!kerberos) return {Flavour::Auto, "RPCSEC_GSS (not Kerberos V5)"};
    switch (service) {
    case 1: return FromMountFlavour(kWireKrb5);
    case 2: return FromMountFlavour(kWireKrb5i);
    case 3: return FromMountFlavour(kWireKrb5p);
    default: return {Flavour::Auto, "Kerberos V5 of service " + std::to_string(service)};
    }
}

Flavour ChooseFlavour(Flavour wanted, const std::vector<OfferedFlavour>& offered,
                      std::string& refusal) {
    if (offered.empty()) return wanted == Flavour::Auto ? Flavour::Sys : wanted;
    for (const OfferedFlavour& one : offered) {
        if (one.flavour == Flavour::Auto) continue;
        if (wanted == Flavour::Auto || one.flavour == wanted) return one.flavour;
    }
    if (wanted == Flavour::Auto)
        refusal = "the export takes only security flavours this client does not speak (" +
                  Names(offered) +
                  "); offer it with AUTH_SYS, krb5, krb5i or krb5p on the file server";
    else
        refusal = std::string("the export does not take the security flavour ") +
                  FlavourName(wanted) + "; it takes " + Names(offered) +
                  " (the server's order): choose one of those, or auto";
    return Flavour::Auto;
}

bool HaveServerName(Call& call, Flavour flavour, const std::string& step) {
    if (!IsKerberos(flavour) || !call.security.serverName.empty()) return true;
    call.Fail(step, std::string("Kerberos (") + FlavourName(flavour) +
                        ") needs the file server's host name (its service is nfs@HOST), and the "
                        "server was given as the address " +
                        call.address + ": give the server by name, not by address");
    return false;
}

bool UseFlavour(Call& call, Connection& connection, int program, int version, Flavour flavour) {
    if (!IsKerberos(flavour)) return connection.Ok();
    if (!HaveServerName(call, flavour, std::string("security flavour ") + FlavourName(flavour)))
        return false;
    const std::string step = std::string("Kerberos security context (") + FlavourName(flavour) +
                             ") with nfs@" + call.security.serverName;
    // The call outlives its connections.
    return EstablishGss(connection, program, version, flavour, call.security,
                        [&call, step](const std::string& text) {
                            call.Notice(ServerText(call.address, step, text));
                        });
}

uint32_t ListingPageBytes(bool resultsProtected, uint32_t roundTripUs, uint32_t wanted) {
    const bool far = roundTripUs >= kFarRoundTripUs;
    if (resultsProtected) return std::min(wanted, far ? kNearPageBytes : kProtectedPageBytes);
    return std::min(wanted, far ? kFarPageBytes : kNearPageBytes);
}

uint32_t ListingPageBytes(const Connection& connection, uint32_t nearWanted, uint32_t farWanted) {
    const uint32_t roundTripUs = connection.RoundTripUs();
    return ListingPageBytes(connection.Auth().ProtectsResults(), roundTripUs,
                            roundTripUs >= kFarRoundTripUs ? farWanted : nearWanted);
}

void EndFlavour(const Call& call, Connection& connection, Connection::Clock::time_point deadline) {
    const Connection::Clock::time_point capped =
        Connection::Clock::now() +
        std::chrono::milliseconds(std::min(kEndCapMs, call.limits.stepMs));
    DestroyGss(connection, std::min(capped, deadline));
}

}  // namespace nfsclient
