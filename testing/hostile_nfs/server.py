"""The peer itself: TCP listeners with RPC record marking, the portmapper,
MOUNT v3, NFS v3, NFSv4.0 COMPOUND and (as a server of minor versions 1 and
2 only) NFSv4.1 sessions over the tree, and the hook points a fault
(faults.py) overrides.

Every call is decoded defensively; a call the peer cannot read gets
GARBAGE_ARGS. Replies are queued per connection with a due time (a fault
may delay them) and written by that connection's writer thread, so a slow
reply never stops the peer from reading the next call.
"""

import heapq
import os
import socket
import socketserver
import sys
import threading
import time

import tree as fs
import xdr

PMAP_PROG, MOUNT_PROG, NFS_PROG = 100000, 100005, 100003
IPPROTO_TCP = 6

MSG_ACCEPTED, MSG_DENIED = 0, 1
SUCCESS, PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL, GARBAGE_ARGS = 0, 1, 2, 3, 4

MNT3_OK, MNT3ERR_NOENT, MNT3ERR_ACCES = 0, 2, 13

NFS3_OK, NFS3ERR_NOENT, NFS3ERR_NOTDIR, NFS3ERR_STALE, NFS3ERR_BADHANDLE = 0, 2, 20, 70, 10001
NFS3ERR_BAD_COOKIE = 10003

NFS4_OK, NFS4ERR_NOENT, NFS4ERR_NOTDIR, NFS4ERR_STALE = 0, 2, 20, 70
NFS4ERR_BADHANDLE, NFS4ERR_BAD_COOKIE, NFS4ERR_NOTSUPP, NFS4ERR_SERVERFAULT = 10001, 10003, 10004, 10006
NFS4ERR_NOFILEHANDLE, NFS4ERR_MINOR_VERS_MISMATCH, NFS4ERR_OP_ILLEGAL = 10020, 10021, 10044

NFS4ERR_PERM, NFS4ERR_INVAL, NFS4ERR_TOOSMALL, NFS4ERR_DELAY, NFS4ERR_STALE_CLIENTID = 1, 22, 10005, 10008, 10022
NFS4ERR_BADSESSION, NFS4ERR_BADSLOT, NFS4ERR_COMPLETE_ALREADY, NFS4ERR_CONN_NOT_BOUND_TO_SESSION = \
    10052, 10053, 10054, 10055
NFS4ERR_SEQ_MISORDERED, NFS4ERR_SEQUENCE_POS, NFS4ERR_REQ_TOO_BIG, NFS4ERR_REP_TOO_BIG = 10063, 10064, 10065, 10066
NFS4ERR_RETRY_UNCACHED_REP, NFS4ERR_TOO_MANY_OPS, NFS4ERR_OP_NOT_IN_SESSION = 10068, 10070, 10071
NFS4ERR_CLIENTID_BUSY, NFS4ERR_NOT_ONLY_OP = 10074, 10081

OP_ACCESS, OP_GETATTR, OP_GETFH, OP_LOOKUP, OP_PUTFH, OP_PUTROOTFH, OP_READDIR = 3, 9, 10, 15, 22, 24, 26
OP_BIND_CONN_TO_SESSION, OP_EXCHANGE_ID, OP_CREATE_SESSION, OP_DESTROY_SESSION = 41, 42, 43, 44
OP_SEQUENCE, OP_DESTROY_CLIENTID, OP_RECLAIM_COMPLETE = 53, 57, 58
OP_NAMES = {OP_ACCESS: "access", OP_GETATTR: "getattr", OP_GETFH: "getfh", OP_LOOKUP: "lookup",
            OP_PUTFH: "putfh", OP_PUTROOTFH: "putrootfh", OP_READDIR: "readdir",
            OP_EXCHANGE_ID: "exchange_id", OP_CREATE_SESSION: "create_session",
            OP_DESTROY_SESSION: "destroy_session", OP_SEQUENCE: "sequence",
            OP_DESTROY_CLIENTID: "destroy_clientid", OP_RECLAIM_COMPLETE: "reclaim_complete"}
# The operations of a file-system tree (those of NFSv4.0 this peer serves).
FS_OPS = (OP_ACCESS, OP_GETATTR, OP_GETFH, OP_LOOKUP, OP_PUTFH, OP_PUTROOTFH, OP_READDIR)
# Operations that may start a COMPOUND of minor version 1 or 2 without
# SEQUENCE, each alone.
SESSIONLESS_OPS = (OP_BIND_CONN_TO_SESSION, OP_EXCHANGE_ID, OP_CREATE_SESSION, OP_DESTROY_SESSION,
                   OP_DESTROY_CLIENTID)

# EXCHANGE_ID flags a client may ask for, and the ones this peer answers.
EXCHGID4_FLAG_SUPP_MOVED_REFER, EXCHGID4_FLAG_USE_NON_PNFS, EXCHGID4_FLAG_CONFIRMED_R = \
    0x00000001, 0x00010000, 0x80000000
EXCHGID4_ASKABLE = 0x00000001 | 0x00000002 | 0x00000100 | 0x00010000 | 0x00020000 | 0x00040000 | 0x40000000
CREATE_SESSION4_FLAGS = 0x7  # PERSIST, CONN_BACK_CHAN, CONN_RDMA
SESSION_ID_SIZE = 16
# What a session grants at most, whatever is asked.
MAX_SESSION_BYTES = 1024 * 1024
MAX_SESSION_OPS = 64

PROCEDURES = {
    (PMAP_PROG, 2): {0: "null", 3: "getport", 4: "dump"},
    (PMAP_PROG, 3): {0: "null", 3: "getaddr"},
    (PMAP_PROG, 4): {0: "null", 3: "getaddr"},
    (MOUNT_PROG, 3): {0: "null", 1: "mnt", 2: "dump", 3: "umnt", 5: "export"},
    (NFS_PROG, 3): {0: "null", 1: "getattr", 3: "lookup", 16: "readdir", 17: "readdirplus", 19: "fsinfo"},
    (NFS_PROG, 4): {0: "null", 1: "compound"},
}
PROGRAM_NAMES = {PMAP_PROG: "portmap", MOUNT_PROG: "mount", NFS_PROG: "nfs"}

VERIFIER = b"HOSTILE1"
MAX_FRAGMENT = 256 * 1024  # larger records go out in several fragments


class Call:
    """One decoded call: header fields, the argument decoder, and its key
    ("portmap.getport", "mount.export", "nfs3.readdirplus", "nfs4.compound")."""

    def __init__(self, conn, xid, prog, vers, proc, args, arrival):
        self.conn = conn
        self.xid = xid
        self.prog = prog
        self.vers = vers
        self.proc = proc
        self.args = args
        self.arrival = arrival
        self.ops = []  # NFSv4: operation numbers of the COMPOUND
        self.in_export = False  # NFSv4: the COMPOUND's file handle entered an export
        self.minor = None  # NFSv4: the COMPOUND's minor version
        self.size = len(args.data)  # the whole call, RPC header included
        self.after_sequence = b""  # NFSv4.1: the arguments after SEQUENCE's
        name = PROCEDURES.get((prog, vers), {}).get(proc, str(proc))
        if prog == NFS_PROG:
            self.key = "nfs%d.%s" % (vers, name)
        else:
            self.key = "%s.%s" % (PROGRAM_NAMES.get(prog, str(prog)), name)

    def matches(self, selectors):
        """True when the call is one of `selectors` ("all", a program name
        such as "mount" or "nfs3", a key such as "nfs3.readdirplus",
        "nfs4.OPNAME" for a COMPOUND holding that operation, "nfs4.export"
        for a COMPOUND working inside an export, "nfs4.pseudo" for one that
        stays in the pseudo file system: the probe and the export walk;
        "nfs41" for any COMPOUND of minor version 1 or 2, "nfs4.session" for
        one of those without file-system operations: EXCHANGE_ID,
        CREATE_SESSION, RECLAIM_COMPLETE, DESTROY_SESSION, DESTROY_CLIENTID)."""
        if "all" in selectors:
            return True
        program = self.key.split(".")[0]
        if program in selectors or self.key in selectors:
            return True
        if self.key == "nfs4.compound":
            if self.minor and "nfs41" in selectors:
                return True
            if any(op in FS_OPS for op in self.ops):
                if ("nfs4.export" if self.in_export else "nfs4.pseudo") in selectors:
                    return True
            elif self.minor and "nfs4.session" in selectors:
                return True
        if program == "portmap" and ("portmap%d" % self.vers) in selectors:
            return True
        return any(("nfs4." + OP_NAMES.get(op, "")) in selectors for op in self.ops)


def accepted(xid, stat=SUCCESS, verifier=(0, b"")):
    return xdr.u32(xid) + xdr.u32(1) + xdr.u32(MSG_ACCEPTED) + xdr.u32(verifier[0]) + \
        xdr.opaque(verifier[1]) + xdr.u32(stat)


def frame(message, fragment=MAX_FRAGMENT):
    """The record of `message`: fragments of at most `fragment` bytes, the
    last one marked."""
    if not message:
        return xdr.u32(0x80000000)
    parts = []
    for start in range(0, len(message), fragment):
        chunk = message[start:start + fragment]
        last = start + fragment >= len(message)
        parts.append(xdr.u32((0x80000000 if last else 0) | len(chunk)) + chunk)
    return b"".join(parts)


def read_record(sock):
    """A client's reading: the next whole record from `sock`, its fragments
    joined; EOFError when the connection closes first."""
    def exact(count):
        data = b""
        while len(data) < count:
            chunk = sock.recv(count - len(data))
            if not chunk:
                raise EOFError("connection closed")
            data += chunk
        return data

    data = b""
    while True:
        marker = int.from_bytes(exact(4), "big")
        data += exact(marker & 0x7FFFFFFF)
        if marker & 0x80000000:
            return data


class Connection:
    """One accepted connection: the reader (the socketserver thread) and a
    writer thread that sends queued replies at their due time. A reply is
    a list of actions: ("send", bytes), ("sleep", seconds), ("close",),
    ("hold",) (stay silent until the client goes)."""

    def __init__(self, peer, sock, port):
        self.peer = peer
        self.sock = sock
        self.port = port
        self.queue = []
        self.seq = 0
        self.cond = threading.Condition()
        self.closed = False
        self.writer = threading.Thread(target=self.write_loop, daemon=True)
        self.writer.start()

    def enqueue(self, due, actions):
        with self.cond:
            self.seq += 1
            heapq.heappush(self.queue, (due, self.seq, actions))
            self.cond.notify()

    def write_loop(self):
        while True:
            with self.cond:
                while not self.closed and (not self.queue or self.queue[0][0] > time.monotonic()):
                    wait = None if not self.queue else max(0.0, self.queue[0][0] - time.monotonic())
                    self.cond.wait(wait)
                if self.closed:
                    return
                _, _, actions = heapq.heappop(self.queue)
            try:
                for action in actions:
                    if action[0] == "send":
                        self.sock.sendall(action[1])
                    elif action[0] == "sleep":
                        time.sleep(action[1])
                    elif action[0] == "close":
                        self.shutdown()
                        return
                    elif action[0] == "hold":
                        with self.cond:
                            while not self.closed:
                                self.cond.wait()
                        return
            except OSError:
                self.shutdown()
                return

    def shutdown(self):
        with self.cond:
            self.closed = True
            self.cond.notify_all()
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        peer = self.server.peer
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = Connection(peer, sock, self.server.server_address[1])
        reader = xdr.RecordReader(4 * 1024 * 1024)
        try:
            while not conn.closed:
                data = sock.recv(1 << 16)
                if not data:
                    break
                for _, record in reader.feed(data):
                    if record is None:
                        return  # not a client of ours
                    peer.receive(conn, record)
        except OSError:
            pass
        finally:
            conn.shutdown()


class Listener(socketserver.ThreadingMixIn, socketserver.TCPServer):
    allow_reuse_address = True
    daemon_threads = True
    request_queue_size = 64


class Peer:
    def __init__(self, address, fault, tree, mount_port=20048, nfs_port=2049, v4_only=False,
                 portmapper="serve", log=None, minors=(0,), max_slots=4):
        self.address = address
        self.fault = fault
        self.tree = tree
        self.mount_port = mount_port
        self.nfs_port = nfs_port
        self.v4_only = v4_only or 0 not in minors
        self.portmapper = portmapper  # serve, refuse (no listener), no-mount (MOUNT not registered)
        self.log = log
        self.lock = threading.Lock()
        self.counts = {}
        self.listeners = []
        self.minors = tuple(minors)  # NFSv4 minor versions served: (0,), or some of 1 and 2
        self.sessions = Sessions(max_slots)
        fault.bind(self)

    # ---- transport ---------------------------------------------------------

    def start(self):
        ports = [self.nfs_port]
        if not self.v4_only:
            ports.append(self.mount_port)
        if self.portmapper != "refuse":
            ports.append(111)
        for port in ports:
            listener = Listener((self.address, port), Handler)
            listener.peer = self
            threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.2},
                             daemon=True).start()
            self.listeners.append(listener)

    def stop(self):
        for listener in self.listeners:
            listener.shutdown()
            listener.server_close()

    def receive(self, conn, record):
        arrival = time.monotonic()
        d = xdr.Decoder(record)
        try:
            xid = d.u32()
            if d.u32() != 0 or d.u32() != 2:
                return  # not an RPC v2 call
            prog, vers, proc = d.u32(), d.u32(), d.u32()
            d.u32()
            d.opaque(400)  # credential (AUTH_SYS from libnfs)
            d.u32()
            d.opaque(400)  # verifier
        except xdr.XdrError:
            return
        call = Call(conn, xid, prog, vers, proc, d, arrival)
        message = self.dispatch(call)
        with self.lock:
            self.counts[call.key] = self.counts.get(call.key, 0) + 1
        if self.log:
            ops = ""
            if call.minor is not None:
                ops = " minor %d [%s]" % (call.minor, ",".join(OP_NAMES.get(op, str(op)) for op in call.ops))
            self.log("%s xid=%08x %s%s -> %s bytes" % (conn.port, xid, call.key, ops,
                                                       "no reply" if message is None else len(message)))
        if message is None:
            return
        actions = self.fault.transmit(call, message)
        delay = self.fault.delay(call)
        conn.enqueue(arrival + delay, actions)

    # ---- dispatch ----------------------------------------------------------

    def dispatch(self, call):
        handlers = {
            (PMAP_PROG, 2): self.portmap2, (PMAP_PROG, 3): self.rpcbind, (PMAP_PROG, 4): self.rpcbind,
            (MOUNT_PROG, 3): self.mount, (NFS_PROG, 3): self.nfs3, (NFS_PROG, 4): self.nfs4,
        }
        versions = {PMAP_PROG: (2, 4), MOUNT_PROG: (3, 3), NFS_PROG: (3, 4)}
        if call.prog not in versions or (call.prog == MOUNT_PROG and self.v4_only):
            return accepted(call.xid, PROG_UNAVAIL)
        if self.v4_only and call.prog == NFS_PROG and call.vers != 4:
            return accepted(call.xid, PROG_MISMATCH) + xdr.u32(4) + xdr.u32(4)
        handler = handlers.get((call.prog, call.vers))
        if handler is None:
            low, high = versions[call.prog]
            return accepted(call.xid, PROG_MISMATCH) + xdr.u32(low) + xdr.u32(high)
        if call.proc == 0:
            return self.fault.reply(call, b"")
        try:
            body = handler(call)
        except xdr.XdrError:
            return accepted(call.xid, GARBAGE_ARGS)
        if body is None:
            return accepted(call.xid, PROC_UNAVAIL)
        return self.fault.reply(call, body)

    def registered_port(self, prog, vers):
        if prog == PMAP_PROG:
            return 111
        if prog == MOUNT_PROG and vers == 3 and not self.v4_only and self.portmapper != "no-mount":
            return self.mount_port
        if prog == NFS_PROG and (vers == 4 or (vers == 3 and not self.v4_only)):
            return self.nfs_port
        return 0

    def portmap2(self, call):
        d = call.args
        if call.proc == 3:  # GETPORT(prog, vers, prot, port)
            prog, vers, prot = d.u32(), d.u32(), d.u32()
            d.u32()
            port = self.registered_port(prog, vers) if prot == IPPROTO_TCP else 0
            return xdr.u32(self.fault.port(call, prog, vers, port))
        if call.proc == 4:  # DUMP
            out = []
            for prog, vers in ((PMAP_PROG, 2), (MOUNT_PROG, 3), (NFS_PROG, 3), (NFS_PROG, 4)):
                port = self.registered_port(prog, vers)
                if port:
                    out.append(xdr.u32(1) + xdr.u32(prog) + xdr.u32(vers) + xdr.u32(IPPROTO_TCP) + xdr.u32(port))
            return b"".join(out) + xdr.u32(0)
        return None

    def rpcbind(self, call):
        if call.proc != 3:  # GETADDR(prog, vers, netid, addr, owner)
            return None
        d = call.args
        prog, vers = d.u32(), d.u32()
        netid = d.opaque(64)
        d.opaque(256)
        d.opaque(256)
        port = self.registered_port(prog, vers) if netid in (b"tcp", b"tcp6") else 0
        port = self.fault.port(call, prog, vers, port)
        if port == 0:
            return xdr.opaque(b"")
        host = self.address if netid == b"tcp" else "::1"
        return xdr.opaque(("%s.%d.%d" % (host, (port >> 8) & 0xFF, port & 0xFF)).encode())

    # ---- MOUNT v3 ----------------------------------------------------------

    def export_paths(self):
        return self.fault.export_paths([n.export.encode("latin-1") for n in self.tree.exports])

    def mount(self, call):
        d = call.args
        if call.proc == 5:  # EXPORT
            raw = self.fault.export_reply(call)
            if raw is not None:
                return raw
            out = []
            for path in self.export_paths():
                out.append(xdr.u32(1) + xdr.opaque(path) + xdr.u32(0))  # no groups
            return b"".join(out) + xdr.u32(0)
        if call.proc == 1:  # MNT(dirpath)
            path = d.opaque(1024)
            node = self.tree.export_root(path)
            if node is None and path in self.export_paths():
                node = self.tree.exports[0]  # a path only the fault lists: mounted as the first export
            raw = self.fault.mnt_reply(call, node)
            if raw is not None:
                return raw
            if node is None:
                return xdr.u32(MNT3ERR_ACCES)
            return xdr.u32(MNT3_OK) + xdr.opaque(node.handle) + xdr.u32(1) + xdr.u32(1)  # AUTH_SYS
        if call.proc == 3:  # UMNT
            d.opaque(1024)
            return b""
        if call.proc == 2:  # DUMP
            return xdr.u32(0)
        return None

    # ---- NFS v3 ------------------------------------------------------------

    def node_of(self, handle):
        return self.tree.by_handle(handle)

    def nfs3(self, call):
        d = call.args
        if call.proc == 1:  # GETATTR
            node = self.node_of(d.opaque(64))
            if node is None:
                return xdr.u32(NFS3ERR_STALE)
            return xdr.u32(NFS3_OK) + fs.fattr3(node.entry())
        if call.proc == 3:  # LOOKUP
            node = self.node_of(d.opaque(64))
            name = d.opaque(4096)
            raw = self.fault.lookup3_reply(call, node, name)
            if raw is not None:
                return raw
            if node is None:
                return xdr.u32(NFS3ERR_STALE) + xdr.u32(0)
            if node.type != fs.NF_DIR:
                return xdr.u32(NFS3ERR_NOTDIR) + fs.post_op_attr(node.entry())
            child = node if name == b"." else (node.parent or node) if name == b".." else node.by_name.get(name)
            if child is None:
                return xdr.u32(NFS3ERR_NOENT) + fs.post_op_attr(node.entry())
            return xdr.u32(NFS3_OK) + xdr.opaque(child.handle) + fs.post_op_attr(child.entry()) + \
                fs.post_op_attr(node.entry())
        if call.proc in (16, 17):  # READDIR, READDIRPLUS
            plus = call.proc == 17
            node = self.node_of(d.opaque(64))
            cookie = d.u64()
            d.fixed(8)
            if plus:
                d.u32()  # dircount
            maxcount = d.u32()
            raw = self.fault.readdir3_reply(call, node, cookie, maxcount, plus)
            if raw is not None:
                return raw
            if node is None:
                return xdr.u32(NFS3ERR_STALE) + xdr.u32(0)
            if node.type != fs.NF_DIR:
                return xdr.u32(NFS3ERR_NOTDIR) + xdr.u32(0)
            page = self.fault.page(call, node, cookie, maxcount, 3)
            if page is None:
                return xdr.u32(NFS3ERR_BAD_COOKIE) + xdr.u32(0)
            entries, eof = page
            body = [xdr.u32(NFS3_OK), fs.post_op_attr(node.entry()), xdr.fixed(self.fault.verifier(call))]
            for cookie_of, entry in entries:
                body.append(self.fault.entry3(call, entry, cookie_of, plus))
            body.append(xdr.u32(0))
            body.append(xdr.boolean(eof))
            return b"".join(body)
        if call.proc == 19:  # FSINFO
            node = self.node_of(d.opaque(64))
            if node is None:
                return xdr.u32(NFS3ERR_STALE) + xdr.u32(0)
            size = 1024 * 1024
            return xdr.u32(NFS3_OK) + fs.post_op_attr(node.entry()) + b"".join(
                xdr.u32(v) for v in (size, size, 4096, size, size, 4096, 65536)) + \
                xdr.u64(2 ** 63 - 1) + xdr.u32(0) + xdr.u32(1) + xdr.u32(0x1B)
        return None

    def entries_of(self, node, protocol):
        """(cookie, Entry) of the whole directory in server order: "." and
        ".." first on NFSv3 (cookies 1 and 2), the children after them
        (cookie = position + 3) on both protocols."""
        out = []
        if protocol == 3:
            out.append((1, node.entry(b".")))
            out.append((2, (node.parent or node).entry(b"..")))
        for i, child in enumerate(node.children):
            out.append((i + 3, child.entry()))
        return self.fault.entries(node, protocol, out)

    def default_page(self, node, cookie, maxcount, protocol, entry_size):
        entries = self.entries_of(node, protocol)
        start = 0
        if cookie:
            start = next((i + 1 for i, (c, _) in enumerate(entries) if c == cookie), None)
            if start is None:
                return None
        budget = max(maxcount - 256, 512)
        page = []
        used = 0
        i = start
        while i < len(entries):
            size = entry_size(entries[i][1])
            if page and used + size > budget:
                break
            page.append(entries[i])
            used += size
            i += 1
        return page, i >= len(entries)

    # ---- NFSv4.0 -----------------------------------------------------------

    def nfs4(self, call):
        d = call.args
        tag = d.opaque(1024)
        minor = d.u32()
        count = d.u32()
        call.minor = minor
        if minor not in self.minors:
            return xdr.u32(NFS4ERR_MINOR_VERS_MISMATCH) + xdr.opaque(tag) + xdr.u32(0)
        if count > 128:
            raise xdr.XdrError("too many operations")
        if minor != 0:
            with self.sessions.lock:
                return self.nfs41(call, tag, count)
        results = []
        current = None
        status = NFS4_OK
        for _ in range(count):
            op = d.u32()
            call.ops.append(op)
            status, body, current = self.operation(call, op, d, current)
            if current is not None and current.fsid != fs.PSEUDO_FSID:
                call.in_export = True
            results.append((op, xdr.u32(status) + body))
            if status != NFS4_OK:
                break
        return self.compound_res(call, tag, status, results)

    def compound_res(self, call, tag, status, results):
        """The COMPOUND4res of `results` ((op, status and body) each), as
        the fault has it."""
        raw = self.fault.compound_reply(call, tag, status, results)
        if raw is not None:
            return raw
        status, results = self.fault.compound_results(call, status, results)
        return xdr.u32(status) + xdr.opaque(tag) + xdr.u32(len(results)) + \
            b"".join(xdr.u32(op) + body for op, body in results)

    def operation(self, call, op, d, current):
        """(status, result body after the status, new current node)."""
        if op == OP_PUTROOTFH:
            return NFS4_OK, b"", self.tree.root
        if op == OP_PUTFH:
            node = self.node_of(d.opaque(128))
            return (NFS4_OK, b"", node) if node else (NFS4ERR_STALE, b"", None)
        if op in (OP_GETFH, OP_LOOKUP, OP_GETATTR, OP_READDIR, OP_ACCESS) and current is None:
            return NFS4ERR_NOFILEHANDLE, b"", None
        if op == OP_LOOKUP:
            name = d.opaque(4096)
            if current.type != fs.NF_DIR:
                return NFS4ERR_NOTDIR, b"", current
            child = current.by_name.get(name)
            return (NFS4_OK, b"", child) if child else (NFS4ERR_NOENT, b"", current)
        if op == OP_GETFH:
            raw = self.fault.getfh4(call, current)
            return NFS4_OK, raw if raw is not None else xdr.opaque(current.handle), current
        if op == OP_GETATTR:
            mask = d.bitmap()
            return NFS4_OK, self.fault.fattr4(call, current.entry(), mask), current
        if op == OP_ACCESS:
            wanted = d.u32()
            return NFS4_OK, xdr.u32(wanted) + xdr.u32(wanted & 0x3), current
        if op == OP_READDIR:
            cookie = d.u64()
            d.fixed(8)
            d.u32()  # dircount
            maxcount = d.u32()
            mask = d.bitmap()
            if current.type != fs.NF_DIR:
                return NFS4ERR_NOTDIR, b"", current
            page = self.fault.page(call, current, cookie, maxcount, 4, mask)
            if page is None:
                return NFS4ERR_BAD_COOKIE, b"", current
            entries, eof = page
            body = [xdr.fixed(self.fault.verifier(call))]
            for cookie_of, entry in entries:
                body.append(xdr.u32(1) + xdr.u64(cookie_of) + self.fault.name4(call, entry) +
                            self.fault.fattr4(call, entry, mask))
            body.append(xdr.u32(0))
            body.append(xdr.boolean(eof))
            return NFS4_OK, b"".join(body), current
        if op in OP_NAMES or 3 <= op <= 39:
            return NFS4ERR_NOTSUPP, b"", current
        return NFS4ERR_OP_ILLEGAL, b"", current


    # ---- NFSv4.1 / 4.2 sessions (minor versions 1 and 2) ------------------

    def nfs41(self, call, tag, count):
        """A COMPOUND of minor version 1 or 2: SEQUENCE first, or one of the
        operations that stand alone (EXCHANGE_ID, CREATE_SESSION,
        DESTROY_SESSION, DESTROY_CLIENTID). Called with the sessions' lock
        held. What SEQUENCE and the operations after it change (the slot,
        RECLAIM_COMPLETE, DESTROY_SESSION) takes effect only when the
        COMPOUND is answered with SEQUENCE succeeding."""
        d = call.args
        if count == 0:
            return self.compound_res(call, tag, NFS4_OK, [])
        op = d.u32()
        call.ops.append(op)
        if op in SESSIONLESS_OPS:
            if count > 1:
                return xdr.u32(NFS4ERR_NOT_ONLY_OP) + xdr.opaque(tag) + xdr.u32(0)
            status, body = self.sessionless(call, op, d)
            return self.compound_res(call, tag, status, [(op, xdr.u32(status) + body)])
        if op != OP_SEQUENCE:
            return xdr.u32(NFS4ERR_OP_NOT_IN_SESSION) + xdr.opaque(tag) + xdr.u32(0)

        args = Sequence41Args(d)
        call.after_sequence = bytes(d.data[d.pos:])
        session = self.sessions.by_id.get(args.session_id)
        status = self.sessions.check(session, args, count, call.size)
        if status != NFS4_OK:
            return self.sequence_failed(call, tag, status)
        session.connections.add(call.conn)
        commits = []
        results = []
        current = None
        status = NFS4_OK
        used = 24 + 4 + len(xdr.opaque(tag)) + 4 + 4 + 4 + SESSION_ID_SIZE + 20  # RPC reply header, SEQUENCE
        room = session.fore["maxresponsesize"]
        for _ in range(count - 1):
            op = d.u32()
            call.ops.append(op)
            if op == OP_SEQUENCE:
                status, body = NFS4ERR_SEQUENCE_POS, b""
            elif op in SESSIONLESS_OPS and op != OP_DESTROY_SESSION:
                status, body = NFS4ERR_NOT_ONLY_OP, b""
            elif op == OP_DESTROY_SESSION:
                gone = self.sessions.by_id.get(d.fixed(SESSION_ID_SIZE))
                status, body = (NFS4_OK, b"") if gone else (NFS4ERR_BADSESSION, b"")
                if gone:
                    commits.append(lambda gone=gone: self.sessions.destroy(gone))
            elif op == OP_RECLAIM_COMPLETE:
                d.bool()  # rca_one_fs
                client = session.client
                status = NFS4ERR_COMPLETE_ALREADY if client.reclaimed else NFS4_OK
                body = b""
                if status == NFS4_OK:
                    commits.append(lambda client=client: setattr(client, "reclaimed", True))
            elif 40 <= op <= 58:
                status, body = NFS4ERR_NOTSUPP, b""
            else:
                status, body, current = self.operation(call, op, d, current)
                if current is not None and current.fsid != fs.PSEUDO_FSID:
                    call.in_export = True
            used += 8 + len(body)
            if status == NFS4_OK and used > room:
                status, body = NFS4ERR_REP_TOO_BIG, b""
            results.append((op, xdr.u32(status) + body))
            if status != NFS4_OK:
                break

        refused = self.fault.sequence4(call, args)
        if refused is not None:
            return self.sequence_failed(call, tag, refused)
        session.slots[args.slot] = args.sequence_id
        for commit in commits:
            commit()
        res = {"session_id": args.session_id, "sequence_id": args.sequence_id, "slot": args.slot,
               "highest_slot": session.highest_slot, "target_highest_slot": session.highest_slot,
               "status_flags": 0}
        self.fault.sequence4_reply(call, res)
        sequence = xdr.u32(NFS4_OK) + xdr.fixed(res["session_id"]) + b"".join(
            xdr.u32(res[k]) for k in ("sequence_id", "slot", "highest_slot", "target_highest_slot", "status_flags"))
        return self.compound_res(call, tag, status, [(OP_SEQUENCE, sequence)] + results)

    def sequence_failed(self, call, tag, status):
        """A COMPOUND whose SEQUENCE failed: its only result, nothing done."""
        return self.compound_res(call, tag, status, [(OP_SEQUENCE, xdr.u32(status))])

    def sessionless(self, call, op, d):
        """(status, result body) of an operation that stands alone in its
        COMPOUND."""
        sessions = self.sessions
        if op == OP_EXCHANGE_ID:
            args = ExchangeId41Args(d)
            if args.flags & ~EXCHGID4_ASKABLE:
                return NFS4ERR_INVAL, b""
            client = sessions.client_for(args)
            reply = {"client_id": client.id, "sequence_id": client.sequence,
                     "flags": EXCHGID4_FLAG_USE_NON_PNFS | EXCHGID4_FLAG_SUPP_MOVED_REFER |
                     (EXCHGID4_FLAG_CONFIRMED_R if client.confirmed else 0),
                     "owner_minor": 0, "owner_major": b"hostile-nfs-peer", "scope": b"hostile-nfs-peer scope",
                     "impl_ids": [(b"hostile.test", b"hostile_nfs scripted peer", 1700000000, 0)]}
            answer = self.fault.exchange_id4(call, reply)
            if isinstance(answer, int):
                return answer, b""
            sessions.register(client)
            return NFS4_OK, answer if answer is not None else encode_exchange_id(reply)
        if op == OP_CREATE_SESSION:
            args = CreateSession41Args(d)
            client = sessions.clients.get(args.client_id)
            if client is None:
                return NFS4ERR_STALE_CLIENTID, b""
            if args.sequence == (client.sequence - 1) & 0xFFFFFFFF and client.last_create is not None:
                return NFS4_OK, client.last_create  # a retry: the same answer
            if args.sequence != client.sequence:
                return NFS4ERR_SEQ_MISORDERED, b""
            if args.flags & ~CREATE_SESSION4_FLAGS:
                return NFS4ERR_INVAL, b""
            for channel in (args.fore, args.back):
                if channel["maxrequestsize"] < 256 or channel["maxresponsesize"] < 256 or \
                        channel["maxoperations"] < 2 or channel["maxrequests"] < 1:
                    return NFS4ERR_TOOSMALL, b""
            grant = {"sequence": args.sequence, "flags": 0, "fore": sessions.grant_fore(args.fore),
                     "back": grant_back(args.back)}
            answer = self.fault.create_session4(call, grant)
            if isinstance(answer, int):
                return answer, b""
            session = sessions.create(client, grant["fore"], call.conn)
            body = answer if answer is not None else \
                xdr.fixed(session.id) + xdr.u32(grant["sequence"]) + xdr.u32(grant["flags"]) + \
                encode_channel(grant["fore"]) + encode_channel(grant["back"])
            client.sequence = (client.sequence + 1) & 0xFFFFFFFF
            client.confirmed = True
            client.last_create = body
            return NFS4_OK, body
        if op == OP_DESTROY_SESSION:
            session = sessions.by_id.get(d.fixed(SESSION_ID_SIZE))
            if session is None:
                return NFS4ERR_BADSESSION, b""
            if call.conn not in session.connections:
                return NFS4ERR_CONN_NOT_BOUND_TO_SESSION, b""
            sessions.destroy(session)
            return NFS4_OK, b""
        if op == OP_DESTROY_CLIENTID:
            client = sessions.clients.get(d.u64())
            if client is None:
                return NFS4ERR_STALE_CLIENTID, b""
            if client.sessions:
                return NFS4ERR_CLIENTID_BUSY, b""
            sessions.forget(client)
            return NFS4_OK, b""
        return NFS4ERR_NOTSUPP, b""  # BIND_CONN_TO_SESSION


# ---- NFSv4.1 session state and its XDR ----------------------------------------

def read_channel(d):
    """channel_attrs4 as a dict."""
    keys = ("headerpadsize", "maxrequestsize", "maxresponsesize", "maxresponsesize_cached", "maxoperations",
            "maxrequests")
    attrs = {k: d.u32() for k in keys}
    ird = d.u32()
    if ird > 1:
        raise xdr.XdrError("%d RDMA ird values" % ird)
    attrs["rdma_ird"] = [d.u32() for _ in range(ird)]
    return attrs


def encode_channel(attrs):
    keys = ("headerpadsize", "maxrequestsize", "maxresponsesize", "maxresponsesize_cached", "maxoperations",
            "maxrequests")
    ird = attrs.get("rdma_ird", [])
    return b"".join(xdr.u32(attrs[k]) for k in keys) + xdr.u32(len(ird)) + b"".join(xdr.u32(v) for v in ird)


def grant_back(asked):
    """The back channel as asked, one slot at most (callbacks are never sent)."""
    granted = dict(asked)
    granted["maxrequests"] = min(asked["maxrequests"], 1)
    granted["rdma_ird"] = []
    return granted


def encode_exchange_id(reply):
    """EXCHANGE_ID4resok: client id, sequence id, flags, SP4_NONE, server
    owner, server scope, implementation ids."""
    out = [xdr.u64(reply["client_id"]), xdr.u32(reply["sequence_id"]), xdr.u32(reply["flags"]), xdr.u32(0),
           xdr.u64(reply["owner_minor"]), xdr.opaque(reply["owner_major"]), xdr.opaque(reply["scope"]),
           xdr.u32(len(reply["impl_ids"]))]
    for domain, name, seconds, nseconds in reply["impl_ids"]:
        out += [xdr.opaque(domain), xdr.opaque(name), xdr.i64(seconds), xdr.u32(nseconds)]
    return b"".join(out)


class ExchangeId41Args:
    def __init__(self, d):
        self.verifier = d.fixed(8)
        self.owner = d.opaque(1024)
        self.flags = d.u32()
        how = d.u32()
        if how == 1:  # SP4_MACH_CRED: the operations that must use it, and those that may
            d.bitmap()
            d.bitmap()
        elif how != 0:
            raise xdr.XdrError("state protection %d" % how)
        impl = d.u32()
        if impl > 1:
            raise xdr.XdrError("%d implementation ids" % impl)
        for _ in range(impl):
            d.opaque(1024)
            d.opaque(1024)
            d.u64()
            d.u32()


class CreateSession41Args:
    def __init__(self, d):
        self.client_id = d.u64()
        self.sequence = d.u32()
        self.flags = d.u32()
        self.fore = read_channel(d)
        self.back = read_channel(d)
        self.program = d.u32()
        for _ in range(self.count(d, 16, "callback security entries")):
            flavour = d.u32()
            if flavour == 1:  # AUTH_SYS: stamp, machine name, uid, gid, gids
                d.u32()
                d.opaque(255)
                d.u32()
                d.u32()
                for _ in range(self.count(d, 16, "gids")):
                    d.u32()
            elif flavour == 6:  # RPCSEC_GSS: service, two handles
                d.u32()
                d.opaque(1024)
                d.opaque(1024)
            elif flavour != 0:
                raise xdr.XdrError("callback security flavour %d" % flavour)

    @staticmethod
    def count(d, limit, what):
        n = d.u32()
        if n > limit:
            raise xdr.XdrError("%d %s" % (n, what))
        return n


class Sequence41Args:
    def __init__(self, d):
        self.session_id = d.fixed(SESSION_ID_SIZE)
        self.sequence_id = d.u32()
        self.slot = d.u32()
        self.highest_slot = d.u32()
        self.cache_this = d.bool()


class Client41:
    def __init__(self, ident, owner, verifier):
        self.id = ident
        self.owner = owner
        self.verifier = verifier
        self.sequence = 1  # the next CREATE_SESSION's csa_sequence
        self.confirmed = False
        self.reclaimed = False
        self.last_create = None  # the last CREATE_SESSION answer, for a retry
        self.sessions = set()


class Session41:
    def __init__(self, ident, client, fore):
        self.id = ident
        self.client = client
        self.fore = fore
        self.slots = {}  # slot -> the last sequence id it took (none: 0)
        self.connections = set()  # bound by CREATE_SESSION or SEQUENCE

    @property
    def served(self):
        return self.fore["maxrequests"]

    @property
    def highest_slot(self):
        return max(self.served - 1, 0)


class Sessions:
    """The clients and sessions of the peer, under `lock`."""

    def __init__(self, max_slots):
        self.lock = threading.Lock()
        self.max_slots = max_slots
        self.clients = {}
        self.by_owner = {}
        self.by_id = {}
        self.next_client = 1
        self.next_session = 1

    def client_for(self, args):
        """The client of EXCHANGE_ID's owner: the known one when the
        verifier is the same, else a new one (not kept until register)."""
        known = self.by_owner.get(args.owner)
        if known is not None and known.verifier == args.verifier:
            return known
        client = Client41(0x484f535400000000 | self.next_client, args.owner, args.verifier)
        self.next_client += 1
        return client

    def register(self, client):
        if self.clients.get(client.id) is client:
            return
        old = self.by_owner.get(client.owner)
        if old is not None:
            self.forget(old)
        self.clients[client.id] = client
        self.by_owner[client.owner] = client

    def forget(self, client):
        for session in list(client.sessions):
            self.destroy(session)
        self.clients.pop(client.id, None)
        if self.by_owner.get(client.owner) is client:
            del self.by_owner[client.owner]

    def grant_fore(self, asked):
        granted = dict(asked)
        granted["headerpadsize"] = 0
        granted["maxrequestsize"] = min(asked["maxrequestsize"], MAX_SESSION_BYTES)
        granted["maxresponsesize"] = min(asked["maxresponsesize"], MAX_SESSION_BYTES)
        granted["maxresponsesize_cached"] = min(asked["maxresponsesize_cached"], 4096)
        granted["maxoperations"] = min(asked["maxoperations"], MAX_SESSION_OPS)
        granted["maxrequests"] = min(asked["maxrequests"], self.max_slots)
        granted["rdma_ird"] = []
        return granted

    def create(self, client, fore, conn):
        ident = b"hnfs41ss" + xdr.u64(self.next_session)
        self.next_session += 1
        session = Session41(ident, client, dict(fore))
        session.connections.add(conn)
        client.sessions.add(session)
        self.by_id[ident] = session
        return session

    def destroy(self, session):
        self.by_id.pop(session.id, None)
        session.client.sessions.discard(session)

    def check(self, session, args, count, size):
        """The status of a SEQUENCE: its session, slot and sequence id, and
        the COMPOUND's operations and size against what the session grants."""
        if session is None:
            return NFS4ERR_BADSESSION
        if args.slot >= session.served:
            return NFS4ERR_BADSLOT
        last = session.slots.get(args.slot, 0)
        if args.sequence_id != (last + 1) & 0xFFFFFFFF:
            # The last one again is a retry, whose reply is never cached here.
            return NFS4ERR_RETRY_UNCACHED_REP if last and args.sequence_id == last else NFS4ERR_SEQ_MISORDERED
        if count > session.fore["maxoperations"]:
            return NFS4ERR_TOO_MANY_OPS
        if size > session.fore["maxrequestsize"]:
            return NFS4ERR_REQ_TOO_BIG
        return NFS4_OK


def entry3(entry, cookie, plus):
    """entry3 / entryplus3 with its value-follows flag."""
    out = xdr.u32(1) + xdr.u64(entry.fileid) + xdr.opaque(entry.name) + xdr.u64(cookie)
    if plus:
        out += fs.post_op_attr(entry)
        out += (xdr.u32(1) + xdr.opaque(entry.handle)) if entry.handle else xdr.u32(0)
    return out


def entry3_size(entry, plus=True):
    n = len(entry.name)
    return 24 + n + (4 - n % 4) % 4 + (96 + 20 if plus else 0)


def entry4_size(entry, mask_words):
    n = len(entry.name)
    return 20 + n + (4 - n % 4) % 4 + 80
