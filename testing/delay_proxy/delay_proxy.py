#!/usr/bin/env python3
"""A slow link between an NFS client and a private test server, in user
space: listens on the portmapper, MOUNT and NFS ports of one loopback
address and forwards each connection to the same port of the server's
address, holding every byte back a set one-way delay in each direction
(round-trip time = 2 x delay). A new connection costs one round trip as
well (its first bytes wait for an emulated handshake). The portmapper's
and MOUNT's ports take datagrams too, held back the same delay.

The ports are the server's own, so portmapper answers (GETPORT ports) hold
true on the proxy's address; a port that a GETPORT or GETADDR answer names
and the proxy does not forward yet is opened before the answer goes on, and
a GETADDR address is rewritten to the proxy's.

It reads the RPC records going through and counts, until reset:
  rounds          busy periods with at least one call outstanding (a call
                  sent while another is in flight joins the current round);
                  a call is outstanding from when the client sends it until
                  its reply reaches the client
  rounds_to_first_readdir
                  rounds up to and including the one in which the first
                  READDIR / READDIRPLUS reply (NFSv4: a COMPOUND holding
                  READDIR) reached the client; null if none did
  connects        connections opened
  round_trips     busy periods counting connection handshakes as well (a
                  call sent during its connection's handshake starts after it)
  calls           calls per program and procedure ("NFS3.READDIRPLUS",
                  "NFS4.COMPOUND"; an RPCSEC_GSS context's set-up and end
                  as "NFS3.NULL.GSS_INIT", "NFS4.NULL.GSS_DESTROY"),
                  compounds per operation list ("sealed" under krb5p)
  seconds         from the first call to the last reply

    delay_proxy.py serve --listen 127.0.0.20 --target 127.0.0.1 --delay-ms 5 \\
        --control /run/delay-proxy.sock
    delay_proxy.py report --control /run/delay-proxy.sock [--reset]
    delay_proxy.py reset --control /run/delay-proxy.sock

As a module: DelayProxy(listen, target, delay_ms).start(), .report(reset=),
.reset(), .stop().
"""

import argparse
import asyncio
import json
import os
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "hostile_nfs"))
import xdr  # noqa: E402  (the hostile peer's XDR and record marking)

PMAP, MOUNT, NFS = 100000, 100005, 100003
PROGRAMS = {PMAP: "PMAP", MOUNT: "MOUNT", NFS: "NFS"}
PROCEDURES = {
    (PMAP, 2): ["NULL", "SET", "UNSET", "GETPORT", "DUMP", "CALLIT"],
    (PMAP, 3): ["NULL", "SET", "UNSET", "GETADDR", "DUMP", "CALLIT", "GETTIME", "UADDR2TADDR", "TADDR2UADDR"],
    (PMAP, 4): ["NULL", "SET", "UNSET", "GETADDR", "DUMP", "BCAST", "GETTIME", "UADDR2TADDR", "TADDR2UADDR",
                "GETVERSADDR", "INDIRECT", "GETADDRLIST", "GETSTAT"],
    (MOUNT, 3): ["NULL", "MNT", "DUMP", "UMNT", "UMNTALL", "EXPORT"],
    (NFS, 3): ["NULL", "GETATTR", "SETATTR", "LOOKUP", "ACCESS", "READLINK", "READ", "WRITE", "CREATE",
               "MKDIR", "SYMLINK", "MKNOD", "REMOVE", "RMDIR", "RENAME", "LINK", "READDIR", "READDIRPLUS",
               "FSSTAT", "FSINFO", "PATHCONF", "COMMIT"],
    (NFS, 4): ["NULL", "COMPOUND"],
}
V4_OPS = {3: "ACCESS", 4: "CLOSE", 5: "COMMIT", 9: "GETATTR", 10: "GETFH", 15: "LOOKUP", 16: "LOOKUPP",
          18: "OPEN", 22: "PUTFH", 23: "PUTPUBFH", 24: "PUTROOTFH", 25: "READ", 26: "READDIR",
          27: "READLINK", 33: "SECINFO", 35: "SETCLIENTID", 36: "SETCLIENTID_CONFIRM", 53: "SEQUENCE"}
OP_READDIR = 26
RPCSEC_GSS = 6
GSS_PROCS = {1: "GSS_INIT", 2: "GSS_CONTINUE_INIT", 3: "GSS_DESTROY"}
MAX_RECORD = 64 * 1024 * 1024


def parse_call(record):
    """(xid, key, NFSv4 operation names) of a call record; None if it is not one."""
    d = xdr.Decoder(record)
    try:
        xid, kind, rpcvers, prog, vers, proc = [d.u32() for _ in range(6)]
    except xdr.XdrError:
        return None
    if kind != 0 or rpcvers != 2:
        return None
    names = PROCEDURES.get((prog, vers))
    name = names[proc] if names and proc < len(names) else str(proc)
    key = "%s%d.%s" % (PROGRAMS.get(prog, str(prog)), vers, name)
    ops = []
    service = 1
    try:
        flavor, credential = d.u32(), d.opaque()
        if flavor == RPCSEC_GSS and len(credential) >= 16:
            gss = xdr.Decoder(credential)
            gss.u32()                                  # version
            gss_proc = gss.u32()
            gss.u32()                                  # sequence number
            service = gss.u32()
            if gss_proc != 0:                          # a context's set-up or end, not data
                return xid, key + "." + GSS_PROCS.get(gss_proc, str(gss_proc)), ops
        d.u32()                                        # verifier
        d.opaque()
    except xdr.XdrError:
        return xid, key, ops
    if prog == NFS and vers == 4 and proc == 1:
        if service == 3:                               # krb5p: the arguments are sealed
            return xid, key, ["sealed"]
        try:
            if service == 2:                           # krb5i: length and sequence number first
                d.take(8)
            d.opaque()                                 # tag
            d.u32()                                    # minorversion
            for _ in range(min(d.u32(), 64)):
                op = d.u32()
                ops.append(V4_OPS.get(op, str(op)))
                if op in (22, 15, 33):                 # PUTFH, LOOKUP, SECINFO: one opaque
                    d.opaque()
                elif op in (9, 26):                    # GETATTR: bitmap; READDIR: cookie,
                    d.take(24 if op == 26 else 0)      # verifier, counts, bitmap
                    d.take(4 * d.u32())
                elif op == 3:                          # ACCESS
                    d.u32()
                elif op not in (10, 16, 23, 24):       # GETFH, LOOKUPP, PUTPUBFH, PUTROOTFH: none
                    break                              # arguments not known here
        except xdr.XdrError:
            ops.append("?")                            # the rest could not be read
    return xid, key, ops


def reply_xid(record):
    if len(record) < 8 or xdr.Decoder(record, 4).u32() != 1:
        return None
    return xdr.Decoder(record).u32()


def _accepted_body(record):
    """Offset of an accepted, successful reply's results; None otherwise."""
    d = xdr.Decoder(record, 8)
    try:
        if d.u32() != 0:
            return None
        d.u32()
        d.opaque()  # verifier
        return d.pos if d.u32() == 0 else None
    except xdr.XdrError:
        return None


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.rounds = 0
            self.rounds_to_first_readdir = None
            self.connects = 0
            self.round_trips = 0
            self.calls = {}
            self.compounds = {}
            self.outstanding = set()
            self.busy = set()  # outstanding calls and handshakes
            self.first_call = None
            self.last_reply = None
            self.bytes_up = 0
            self.bytes_down = 0

    def _busy_add(self, item):
        if not self.busy:
            self.round_trips += 1
        self.busy.add(item)

    def handshake(self, conn):
        with self.lock:
            self.connects += 1
            self._busy_add(("handshake", conn))

    def handshake_done(self, conn):
        with self.lock:
            self.busy.discard(("handshake", conn))

    def call(self, conn, xid, key, ops, now):
        with self.lock:
            self.calls[key] = self.calls.get(key, 0) + 1
            if ops:
                shape = ",".join(ops)
                self.compounds[shape] = self.compounds.get(shape, 0) + 1
            if not self.outstanding:
                self.rounds += 1
            self.outstanding.add((conn, xid))
            if self.first_call is None:
                self.first_call = now

    def call_busy(self, conn, xid):
        with self.lock:
            if (conn, xid) in self.outstanding:
                self._busy_add((conn, xid))

    def reply(self, conn, xid, readdir, now):
        with self.lock:
            if (conn, xid) not in self.outstanding:
                return
            self.outstanding.discard((conn, xid))
            self.busy.discard((conn, xid))
            if readdir and self.rounds_to_first_readdir is None:
                self.rounds_to_first_readdir = self.rounds
            self.last_reply = now

    def forget(self, conn, xid):
        """A call that will not be answered holds no round open."""
        with self.lock:
            self.outstanding.discard((conn, xid))
            self.busy.discard((conn, xid))

    def closed(self, conn):
        with self.lock:
            self.outstanding = {o for o in self.outstanding if o[0] != conn}
            self.busy = {o for o in self.busy if o[1] != conn and o[0] != conn}

    def report(self, reset=False):
        with self.lock:
            out = {
                "rounds": self.rounds,
                "rounds_to_first_readdir": self.rounds_to_first_readdir,
                "connects": self.connects,
                "round_trips": self.round_trips,
                "calls": dict(sorted(self.calls.items())),
                "compounds": dict(sorted(self.compounds.items())),
                "seconds": round(self.last_reply - self.first_call, 6)
                if self.first_call is not None and self.last_reply is not None else None,
                "bytes_up": self.bytes_up,
                "bytes_down": self.bytes_down,
            }
        if reset:
            self.reset()
        return out


class _Datagrams(asyncio.DatagramProtocol):
    """One UDP port (the portmapper's, MOUNT's): each client socket gets an upstream
    socket of its own to the target; datagrams wait the delay each way and
    count as calls and replies of a connection without a handshake. A call
    the target never answers (nothing listens there, say) stops counting
    as outstanding after a second."""

    def __init__(self, proxy, port):
        self.proxy = proxy
        self.port = port
        self.transport = None
        self.clients = {}  # client address -> [upstream transport or None, conn, queued datagrams]

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        proxy = self.proxy
        client = self.clients.get(addr)
        if client is None:
            proxy.next_conn += 1
            client = self.clients[addr] = [None, proxy.next_conn, []]
            asyncio.ensure_future(self._open(addr, client))
        conn = client[1]
        now = time.monotonic()
        proxy.stats.bytes_up += len(data)
        call = parse_call(data)
        if call is not None:
            xid, key, ops = call
            proxy.stats.call(conn, xid, key, ops, now)
            proxy.stats.call_busy(conn, xid)
            proxy.loop.call_later(2 * proxy.delay + 1.0, proxy.stats.forget, conn, xid)
        proxy.loop.call_later(proxy.delay, self._up, client, data)

    def _up(self, client, data):
        if client[0] is None:
            client[2].append(data)
        else:
            client[0].sendto(data)

    async def _open(self, addr, client):
        proxy = self.proxy
        outer = self

        class Upstream(asyncio.DatagramProtocol):
            def datagram_received(self, data, _):
                proxy.stats.bytes_down += len(data)
                proxy.loop.call_later(proxy.delay, outer._down, client, addr, data)

            def error_received(self, exc):
                proxy.stats.closed(client[1])

        try:
            transport, _ = await proxy.loop.create_datagram_endpoint(
                Upstream, remote_addr=(proxy.target, self.port))
        except OSError:
            del self.clients[addr]
            proxy.stats.closed(client[1])
            return
        client[0] = transport
        for data in client[2]:
            transport.sendto(data)
        client[2].clear()
        # A client socket lives for one probe: its upstream goes after a while.
        proxy.loop.call_later(10.0, self._close, addr)

    def _down(self, client, addr, data):
        xid = reply_xid(data)
        if xid is not None:
            self.proxy.stats.reply(client[1], xid, False, time.monotonic())
        if self.transport is not None:
            self.transport.sendto(data, addr)

    def _close(self, addr):
        client = self.clients.pop(addr, None)
        if client is not None and client[0] is not None:
            client[0].close()


class DelayProxy:
    def __init__(self, listen, target, delay_ms, ports=(111, 20048, 2049), follow_portmapper=True,
                 connect_costs_round_trip=True, udp_ports=None):
        self.listen = listen
        self.target = target
        self.delay = delay_ms / 1000.0
        self.ports = list(ports)
        # The portmapper and MOUNT answer datagrams too.
        self.udp_ports = [p for p in ports if p in (111, 20048)] if udp_ports is None else list(udp_ports)
        self.datagrams = []
        self.follow = follow_portmapper
        self.handshake = connect_costs_round_trip
        self.stats = Stats()
        self.loop = None
        self.servers = {}
        self.thread = None
        self.next_conn = 0

    # ---- running -------------------------------------------------------------

    def start(self):
        """Starts the proxy on a thread of its own; returns once it listens."""
        started = threading.Event()
        failure = []

        def run():
            self.loop = asyncio.new_event_loop()
            asyncio.set_event_loop(self.loop)
            try:
                for port in self.ports:
                    self.loop.run_until_complete(self._listen(port))
                for port in self.udp_ports:
                    transport, _ = self.loop.run_until_complete(self.loop.create_datagram_endpoint(
                        lambda port=port: _Datagrams(self, port), local_addr=(self.listen, port)))
                    self.datagrams.append(transport)
            except OSError as e:
                failure.append(e)
                started.set()
                return
            started.set()
            self.loop.run_forever()
            # Stopped: end every connection's tasks, then the loop.
            tasks = asyncio.all_tasks(self.loop)
            for task in tasks:
                task.cancel()
            self.loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
            self.loop.close()

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        started.wait()
        if failure:
            raise failure[0]
        return self

    def stop(self):
        if self.loop is None:
            return
        def close():
            for server in self.servers.values():
                server.close()
            for transport in self.datagrams:
                transport.close()
            self.loop.stop()
        self.loop.call_soon_threadsafe(close)
        self.thread.join(5)

    def report(self, reset=False):
        return self.stats.report(reset)

    def reset(self):
        self.stats.reset()

    async def _listen(self, port):
        if port in self.servers:
            return
        server = await asyncio.start_server(lambda r, w: self._serve(r, w, port), self.listen, port,
                                            reuse_address=True)
        self.servers[port] = server

    # ---- one connection --------------------------------------------------------

    async def _serve(self, client_reader, client_writer, port):
        self.next_conn += 1
        conn = self.next_conn
        accepted = time.monotonic()
        ready = accepted + (2 * self.delay if self.handshake else 0.0)
        if self.handshake:
            # At `ready` itself, on the loop's clock (time.monotonic, as
            # `ready`): a call held back until then counts just after it
            # (_read_up), never inside the handshake's round trip.
            self.stats.handshake(conn)
            self.loop.call_at(ready, self.stats.handshake_done, conn)
        try:
            server_reader, server_writer = await asyncio.open_connection(self.target, port)
        except (OSError, asyncio.CancelledError):
            client_writer.close()
            self.stats.closed(conn)
            return
        for w in (client_writer, server_writer):
            sock = w.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = {}  # xid -> (key, is_readdir, is_getaddr)
        up = asyncio.Queue()
        down = asyncio.Queue()
        tasks = [
            asyncio.ensure_future(self._read_up(client_reader, up, conn, ready, pending)),
            asyncio.ensure_future(self._read_down(server_reader, down, pending)),
            asyncio.ensure_future(self._write(up, server_writer, None, conn)),
            asyncio.ensure_future(self._write(down, client_writer, pending, conn)),
        ]
        try:
            await asyncio.wait(tasks, return_when=asyncio.ALL_COMPLETED)
        except asyncio.CancelledError:
            pass  # the proxy stops
        finally:
            for task in tasks:
                task.cancel()
            client_writer.close()
            server_writer.close()
            self.stats.closed(conn)

    async def _read_up(self, reader, queue, conn, ready, pending):
        parser = xdr.RecordReader(MAX_RECORD)
        while True:
            try:
                data = await reader.read(1 << 16)
            except (ConnectionError, OSError):
                data = b""  # reset: a client that closed with replies unread
            now = time.monotonic()
            due = max(now, ready) + self.delay
            if not data:
                # The client has let go of what it still had in flight (a
                # lookup answered sooner by datagram, say): nothing it waits
                # for any more holds a round open.
                self.stats.closed(conn)
                await queue.put((due, None, None))
                return
            self.stats.bytes_up += len(data)
            for raw, record in parser.feed(data):
                if record is not None:
                    call = parse_call(record)
                    if call is not None:
                        xid, key, ops = call
                        is_getaddr = key in ("PMAP3.GETADDR", "PMAP4.GETADDR")
                        is_getport = key == "PMAP2.GETPORT"
                        readdir = key in ("NFS3.READDIR", "NFS3.READDIRPLUS") or "READDIR" in ops
                        pending[xid] = (key, readdir, is_getaddr, is_getport)
                        self.stats.call(conn, xid, key, ops, now)
                        if now < ready:
                            self.loop.call_at(ready + 1e-6, self.stats.call_busy, conn, xid)
                        else:
                            self.stats.call_busy(conn, xid)
                await queue.put((due, raw, None))

    async def _read_down(self, reader, queue, pending):
        parser = xdr.RecordReader(MAX_RECORD)
        while True:
            data = await reader.read(1 << 16)
            due = time.monotonic() + self.delay
            if not data:
                await queue.put((due, None, None))
                return
            self.stats.bytes_down += len(data)
            for raw, record in parser.feed(data):
                xid = reply_xid(record) if record is not None else None
                info = pending.get(xid) if xid is not None else None
                if info is not None and (info[2] or info[3]):
                    raw = await self._portmapper_answer(raw, record, info[2])
                await queue.put((due, raw, xid))

    async def _portmapper_answer(self, raw, record, getaddr):
        """Opens the port an answer names; a GETADDR address becomes the proxy's."""
        offset = _accepted_body(record)
        if offset is None:
            return raw
        d = xdr.Decoder(record, offset)
        try:
            if not getaddr:
                port = d.u32()
                if self.follow and 0 < port < 65536:
                    await self._listen_quietly(port)
                return raw
            uaddr = d.opaque().decode("ascii")
        except (xdr.XdrError, UnicodeDecodeError):
            return raw
        parts = uaddr.rsplit(".", 2)
        if len(parts) != 3 or ":" in parts[0]:
            return raw
        try:
            port = int(parts[1]) * 256 + int(parts[2])
        except ValueError:
            return raw
        if self.follow and 0 < port < 65536:
            await self._listen_quietly(port)
        rewritten = ("%s.%s.%s" % (self.listen, parts[1], parts[2])).encode()
        body = record[:offset] + xdr.opaque(rewritten) + record[d.pos:]
        return xdr.u32(0x80000000 | len(body)) + body

    async def _listen_quietly(self, port):
        try:
            await self._listen(port)
        except OSError:
            pass

    async def _write(self, queue, writer, pending, conn):
        while True:
            due, raw, xid = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if raw is None:
                try:
                    if writer.can_write_eof():
                        writer.write_eof()
                except OSError:
                    pass
                return
            if pending is not None and xid is not None and xid in pending:
                # Counted before the write: once the client has it, its next call may come at once.
                _, readdir, _, _ = pending.pop(xid)
                self.stats.reply(conn, xid, readdir, time.monotonic())
            try:
                writer.write(raw)
                await writer.drain()
            except (OSError, ConnectionError):
                return


# ---- control socket ----------------------------------------------------------

def _control_server(proxy, path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(8)

    def serve():
        while True:
            conn, _ = listener.accept()
            with conn:
                command = conn.makefile("r").readline().strip()
                if command == "report":
                    answer = json.dumps(proxy.report())
                elif command == "report-reset":
                    answer = json.dumps(proxy.report(reset=True))
                elif command == "reset":
                    proxy.reset()
                    answer = "ok"
                else:
                    answer = json.dumps({"error": "unknown command %r" % command})
                conn.sendall(answer.encode() + b"\n")

    threading.Thread(target=serve, daemon=True).start()


def control(path, command, timeout=10.0):
    """Sends one command ("report", "report-reset", "reset") to a running
    proxy; returns its answer (a dict for reports)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall(command.encode() + b"\n")
        answer = s.makefile("r").readline().strip()
    return answer if command == "reset" else json.loads(answer)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="run the proxy in the foreground")
    serve.add_argument("--listen", required=True, help="the proxy's loopback address")
    serve.add_argument("--target", required=True, help="the server's address")
    serve.add_argument("--delay-ms", type=float, required=True, help="one-way delay (RTT is twice this)")
    serve.add_argument("--ports", default="111,20048,2049", help="ports to forward from the start")
    serve.add_argument("--no-follow", action="store_true", help="do not open ports portmapper answers name")
    serve.add_argument("--no-handshake", action="store_true", help="connections cost no round trip")
    serve.add_argument("--control", required=True, help="Unix socket for report / reset")
    for name in ("report", "reset"):
        p = sub.add_parser(name)
        p.add_argument("--control", required=True)
        if name == "report":
            p.add_argument("--reset", action="store_true", help="reset after reporting")
    options = parser.parse_args(argv)

    if options.command == "serve":
        ports = [int(p) for p in options.ports.split(",") if p]
        proxy = DelayProxy(options.listen, options.target, options.delay_ms, ports, not options.no_follow,
                           not options.no_handshake)
        try:
            proxy.start()
        except OSError as e:
            print("delay_proxy: cannot listen on %s: %s" % (options.listen, e), file=sys.stderr)
            return 1
        _control_server(proxy, options.control)
        print("ready %s -> %s, %.1f ms each way" % (options.listen, options.target, options.delay_ms), flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
        return 0
    if options.command == "report":
        print(json.dumps(control(options.control, "report-reset" if options.reset else "report"), indent=1))
        return 0
    print(control(options.control, "reset"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
