"""The peer itself: TCP listeners with RPC record marking, the portmapper,
MOUNT v3, NFS v3 and NFSv4.0 COMPOUND over the tree, and the hook points a
fault (faults.py) overrides.

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

OP_ACCESS, OP_GETATTR, OP_GETFH, OP_LOOKUP, OP_PUTFH, OP_PUTROOTFH, OP_READDIR = 3, 9, 10, 15, 22, 24, 26
OP_NAMES = {OP_ACCESS: "access", OP_GETATTR: "getattr", OP_GETFH: "getfh", OP_LOOKUP: "lookup",
            OP_PUTFH: "putfh", OP_PUTROOTFH: "putrootfh", OP_READDIR: "readdir"}

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
        stays in the pseudo file system: the probe and the export walk)."""
        if "all" in selectors:
            return True
        program = self.key.split(".")[0]
        if program in selectors or self.key in selectors:
            return True
        if self.key == "nfs4.compound" and ("nfs4.export" if self.in_export else "nfs4.pseudo") in selectors:
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
        buffer = b""
        fragments = []
        try:
            while not conn.closed:
                data = sock.recv(1 << 16)
                if not data:
                    break
                buffer += data
                while len(buffer) >= 4:
                    marker = int.from_bytes(buffer[:4], "big")
                    length = marker & 0x7FFFFFFF
                    if length > 4 * 1024 * 1024:
                        return  # not a client of ours
                    if len(buffer) < 4 + length:
                        break
                    fragments.append(buffer[4:4 + length])
                    buffer = buffer[4 + length:]
                    if marker & 0x80000000:
                        record = b"".join(fragments)
                        fragments = []
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
                 portmapper="serve", log=None):
        self.address = address
        self.fault = fault
        self.tree = tree
        self.mount_port = mount_port
        self.nfs_port = nfs_port
        self.v4_only = v4_only
        self.portmapper = portmapper  # serve, refuse (no listener), no-mount (MOUNT not registered)
        self.log = log
        self.lock = threading.Lock()
        self.counts = {}
        self.listeners = []
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
            self.log("%s xid=%08x %s -> %s bytes" % (conn.port, xid, call.key,
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
        if minor != 0:
            return xdr.u32(NFS4ERR_MINOR_VERS_MISMATCH) + xdr.opaque(tag) + xdr.u32(0)
        if count > 128:
            raise xdr.XdrError("too many operations")
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
