// A tiny NFSv3 server for faults ganesha cannot be made to show. One TCP
// listener on port 111 of its address answers every program the client asks
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
// connections). Served by one thread; runs inside the test's network namespace.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "RpcRecordServer.h"

namespace faulttest {

class ScriptedNfs3Peer {
public:
    enum class Directory { LoopingCookies, MissingAttributes, RefusedMount };

    // `cycle`: the cookie cycle of LoopingCookies. `servicePort`: where the
    // portmapper says MOUNT and NFS are (this listener's port 111 by default).
    ScriptedNfs3Peer(const std::string& address, uint64_t cycle, uint32_t servicePort = 111,
                     Directory directory = Directory::LoopingCookies)
        : m_address(address),
          m_cycle(cycle),
          m_directory(directory),
          m_servicePort(servicePort),
          m_server(Listen(address),
                   [this](const char* call, size_t length) { return Answer(call, length); }) {}
    const std::string& Address() const { return m_address; }
    // READDIRPLUS calls answered so far.
    unsigned long Pages() const { return m_pages.load(); }

private:
    struct Out {
        std::string bytes;
        void U32(uint32_t v) {
            v = htonl(v);
            bytes.append(reinterpret_cast<const char*>(&v), 4);
        }
        void U64(uint64_t v) {
            U32(static_cast<uint32_t>(v >> 32));
            U32(static_cast<uint32_t>(v));
        }
        void Opaque(const std::string& s) {
            U32(static_cast<uint32_t>(s.size()));
            bytes += s;
            bytes.append((4 - s.size() % 4) % 4, '\0');
        }
    };
    struct In {
        const char* p;
        size_t left;
        bool ok = true;
        uint32_t U32() {
            if (left < 4) {
                ok = false;
                return 0;
            }
            uint32_t v;
            memcpy(&v, p, 4);
            p += 4;
            left -= 4;
            return ntohl(v);
        }
        uint64_t U64() {
            const uint64_t high = U32();
            return (high << 32) | U32();
        }
        void Skip(size_t n) {
            n = (n + 3) & ~size_t{3};
            if (n > left) {
                ok = false;
                n = left;
            }
            p += n;
            left -= n;
        }
    };

    static int Listen(const std::string& address) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(111);
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(fd, 16) != 0) {
            if (fd >= 0) close(fd);
            throw std::runtime_error("looping peer: cannot listen on " + address + ":111");
        }
        return fd;
    }

    uint64_t Next(uint64_t cookie) const { return cookie % m_cycle + 1; }

    // The whole reply record (with its marker) to one call.
    std::string Answer(const char* call, size_t length) {
        In in{call, length};
        const uint32_t xid = in.U32();
        in.U32();  // CALL
        in.U32();  // RPC version
        const uint32_t program = in.U32();
        in.U32();  // version
        const uint32_t procedure = in.U32();
        for (int i = 0; i < 2; ++i) {  // credential, verifier
            in.U32();
            in.Skip(in.U32());
        }
        if (!in.ok) return "";
        Out out;
        out.U32(0);  // marker, set below
        out.U32(xid);
        out.U32(1);  // REPLY
        out.U32(0);  // MSG_ACCEPTED
        out.U32(0);  // AUTH_NULL verifier
        out.U32(0);
        out.U32(0);  // SUCCESS
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
                out.U32(1);
                out.U32(1);  // AUTH_UNIX
            } else if (program == 100003 && procedure == 17) {
                in.Skip(in.U32());  // directory handle
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
                in.Skip(in.U32());  // directory handle
                const uint32_t length = in.U32();
                const std::string name(in.p, in.left < length ? in.left : length);
                Lookup(out, name);
            } else {
                out.bytes.resize(out.bytes.size() - 4);
                out.U32(3);  // PROC_UNAVAIL
            }
        }
        nfstest::RpcRecordServer::SetRecordMarker(out.bytes);
        return out.bytes;
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
    std::atomic<unsigned long> m_pages{0};
    nfstest::RpcRecordServer m_server;  // last: stopped before the members it uses go
};

}  // namespace faulttest
