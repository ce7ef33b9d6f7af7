// A tiny NFSv3 server for faults ganesha cannot be made to show. One TCP
// listener on port 111 of its address (or another) answers every program the client asks
// for: the portmapper (every service is on this same port), MOUNT v3 (NULL,
// one export "/loop", MNT) and NFS v3 (NULL, LOOKUP, READDIRPLUS). Its one
// directory is one of:
// - LoopingCookies: each page holds two entries; entry cookies run 1, 2, ...,
//   cycle, 1, 2, ... and no page ever says eof;
// - MissingAttributes: one page of four entries, three of them without
//   attributes ("without.txt" and "subdir" have them on LOOKUP, "hidden" is
//   refused with NFS3ERR_ACCES), as a server may send them;
// - RefusedMount: MOUNT lists the export but refuses to mount it
//   (MNT3ERR_ACCES), as a server does for a client its list leaves out.
// The portmapper may also point elsewhere (a service that does not take
// connections). A face of the scripted peer (ScriptedPeer.h); runs inside the
// test's network namespace.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ScriptedPeer.h"

namespace faulttest {

class ScriptedNfs3Peer {
public:
    enum class Directory { LoopingCookies, MissingAttributes, RefusedMount };

    // `cycle`: the cookie cycle of LoopingCookies. `servicePort`: where the
    // portmapper says MOUNT and NFS are (this listener's port 111 by default).
    // `mountFlavours`: the auth_flavors of the MNT reply, in order.
    // `listenPort`: the listener's port (another than 111 for a client that
    // is told the ports and asks no portmapper).
    ScriptedNfs3Peer(const std::string& address, uint64_t cycle, uint32_t servicePort = 111,
                     Directory directory = Directory::LoopingCookies,
                     std::vector<uint32_t> mountFlavours = {1}, int listenPort = 111)
        : m_address(address),
          m_cycle(cycle),
          m_directory(directory),
          m_servicePort(servicePort),
          m_mountFlavours(std::move(mountFlavours)) {
        using nfstest::ScriptedPeer;
        auto answer = [this](const nfstest::RpcCall& call, std::string& reply) {
            reply = Answer(call);
            return true;
        };
        m_peer = std::make_unique<ScriptedPeer>(
            std::vector<int>{nfstest::Listen(address, listenPort, 16)},
            std::vector<ScriptedPeer::Service>{{0, 0, answer}});
    }
    const std::string& Address() const { return m_address; }
    // READDIRPLUS calls answered so far.
    unsigned long Pages() const { return m_pages.load(); }

private:
    // Appends XDR words to a reply body.
    struct Out {
        std::string bytes;
        void U32(uint32_t v) { bytes += nfstest::XdrU32(v); }
        void U64(uint64_t v) { bytes += nfstest::XdrU64(v); }
        void Opaque(const std::string& s) { bytes += nfstest::XdrOpaque(s); }
    };

    uint64_t Next(uint64_t cookie) const { return cookie % m_cycle + 1; }

    // The whole reply record to one call.
    std::string Answer(const nfstest::RpcCall& call) {
        nfstest::XdrReader in{call.record, call.argumentsAt};
        const uint32_t program = call.program, procedure = call.procedure;
        Out out;
        if (procedure != 0) {
            if (program == 100000) {
                out.U32(m_servicePort);  // GETPORT
            } else if (program == 100005 && procedure == 5) {
                out.U32(1);
                out.Opaque("/loop");
                out.U32(0);  // no groups
                out.U32(0);  // no next export
            } else if (program == 100005 && procedure == 1 &&
                       m_directory == Directory::RefusedMount) {
                out.U32(13);  // MNT3ERR_ACCES
            } else if (program == 100005 && procedure == 1) {
                out.U32(0);  // MNT3_OK
                out.Opaque("ROOTHANDLE");
                out.U32(static_cast<uint32_t>(m_mountFlavours.size()));
                for (uint32_t flavour : m_mountFlavours) out.U32(flavour);
            } else if (program == 100003 && procedure == 17) {
                in.Opaque();  // directory handle
                const uint64_t cookie = in.U64();
                ++m_pages;
                out.U32(0);       // NFS3_OK
                out.U32(0);       // no directory attributes
                out.U64(0x1234);  // cookie verifier
                if (m_directory == Directory::LoopingCookies)
                    LoopingPage(out, cookie);
                else
                    MissingAttributesPage(out);
            } else if (program == 100003 && procedure == 3) {
                in.Opaque();  // directory handle
                Lookup(out, in.Opaque());
            } else {
                return nfstest::AcceptedReply(call, "", 3);  // PROC_UNAVAIL
            }
        }
        return nfstest::AcceptedReply(call, out.bytes);
    }
    static void Attributes(Out& out, uint32_t type, uint64_t size, uint32_t mtime,
                           uint64_t fileid) {
        out.U32(type);
        out.U32(0644);
        out.U32(1);  // nlink
        out.U32(0);
        out.U32(0);
        out.U64(size);
        out.U64(0);
        out.U32(0);
        out.U32(0);
        out.U64(1);
        out.U64(fileid);
        for (int t = 0; t < 3; ++t) {
            out.U32(mtime);
            out.U32(0);
        }
    }

    void LoopingPage(Out& out, uint64_t cookie) const {
        for (int i = 0; i < 2; ++i) {
            cookie = Next(cookie);
            out.U32(1);
            out.U64(1000 + cookie);  // file id
            out.Opaque("e" + std::to_string(cookie));
            out.U64(cookie);
            out.U32(1);  // attributes follow
            Attributes(out, 1, cookie, 1600000000, 1000 + cookie);
            out.U32(0);  // no handle
        }
        out.U32(0);  // no more entries
        out.U32(0);  // not eof, ever
    }

    static void MissingAttributesPage(Out& out) {
        const char* names[] = {"with.txt", "without.txt", "subdir", "hidden"};
        for (uint64_t i = 0; i < 4; ++i) {
            out.U32(1);
            out.U64(2000 + i);
            out.Opaque(names[i]);
            out.U64(i + 1);
            out.U32(i == 0 ? 1 : 0);  // only the first has attributes
            if (i == 0) Attributes(out, 1, 10, 1600000000, 2000);
            out.U32(0);  // no handle
        }
        out.U32(0);  // no more entries
        out.U32(1);  // eof
    }

    static void Lookup(Out& out, const std::string& name) {
        if (name == "without.txt" || name == "subdir") {
            out.U32(0);  // NFS3_OK
            out.Opaque("H" + name);
            out.U32(1);  // object attributes
            if (name == "subdir")
                Attributes(out, 2, 4096, 1700000001, 2002);
            else
                Attributes(out, 1, 4321, 1700000000, 2001);
            out.U32(0);  // no directory attributes
            return;
        }
        out.U32(13);  // NFS3ERR_ACCES
        out.U32(0);   // no directory attributes
    }

    std::string m_address;
    uint64_t m_cycle;
    Directory m_directory;
    uint32_t m_servicePort;
    std::vector<uint32_t> m_mountFlavours;
    std::atomic<unsigned long> m_pages{0};
    std::unique_ptr<nfstest::ScriptedPeer> m_peer;  // last: stopped before the members it uses go
};

}  // namespace faulttest
