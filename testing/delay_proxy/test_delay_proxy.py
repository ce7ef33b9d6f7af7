#!/usr/bin/env python3
"""The delay proxy on known exchanges: the hostile peer without a fault on
127.0.0.1 answering every call at once, the proxy on 127.0.0.2, and calls
whose rounds, counts and timing are known in advance.

    python3 -m unittest discover -s testing/delay_proxy     (or run this file)
"""

import argparse
import os
import socket
import struct
import sys
import threading
import time
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(os.path.dirname(here), "hostile_nfs")]

import delay_proxy  # noqa: E402
import faults  # noqa: E402
import server as srv  # noqa: E402
import tree  # noqa: E402
from server import frame as record, read_record  # noqa: E402  (the hostile peer's record marking)

SERVER, PROXY = "127.0.0.1", "127.0.0.2"
DELAY_MS = 40.0
DELAY = DELAY_MS / 1000.0


def free_port():
    """A port free on both addresses."""
    while True:
        with socket.socket() as s:
            s.bind((SERVER, 0))
            port = s.getsockname()[1]
        try:
            with socket.socket() as s:
                s.bind((PROXY, port))
            return port
        except OSError:
            continue


def call(xid, prog, vers, proc, args=b""):
    auth = struct.pack(">II", 0, 0)
    return struct.pack(">6I", xid, 0, 2, prog, vers, proc) + auth + auth + args


def compound(xid, ops):
    """An NFSv4 COMPOUND of operations without arguments, or PUTFH / READDIR
    with fixed ones."""
    body = struct.pack(">III", 0, 0, len(ops))
    for op in ops:
        body += struct.pack(">I", op)
        if op == 9:
            body += struct.pack(">III", 2, 1, 0)
        elif op == 22:
            body += struct.pack(">I", 4) + b"FH00"
        elif op == 26:
            body += struct.pack(">Q", 0) + b"\0" * 8 + struct.pack(">II", 4096, 4096) + struct.pack(">II", 1, 2)
    return call(xid, 100003, 4, 1, body)


def peer(nfs_port, mount_port=None):
    """The hostile peer without a fault on SERVER: every call answered at
    once (one it cannot read with GARBAGE_ARGS). With `mount_port` also its
    portmapper (on 111) and MOUNT; otherwise its NFS port alone."""
    p = srv.Peer(SERVER, faults.FAULTS["none"](argparse.Namespace(on="all")), tree.Tree(10),
                 mount_port=mount_port or 20048, nfs_port=nfs_port, v4_only=mount_port is None,
                 portmapper="serve" if mount_port else "refuse")
    p.start()
    return p


class DelayProxyTest(unittest.TestCase):
    def setUp(self):
        self.port = free_port()
        self.server = peer(self.port)
        self.proxy = delay_proxy.DelayProxy(PROXY, SERVER, DELAY_MS, ports=[self.port]).start()

    def tearDown(self):
        self.proxy.stop()
        self.server.stop()

    def connect(self, port=None):
        sock = socket.create_connection((PROXY, port or self.port), timeout=5)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def exchange(self, sock, *calls):
        """Sends the calls at once, reads as many replies; their xids."""
        sock.sendall(b"".join(record(c) for c in calls))
        return [struct.unpack_from(">I", read_record(sock))[0] for _ in calls]

    def settle(self):
        time.sleep(DELAY + 0.05)  # the last reply's delivery is counted after its write

    def test_each_call_waited_for_is_a_round_of_its_own(self):
        with self.connect() as s:
            for xid in (1, 2, 3):
                self.assertEqual(self.exchange(s, call(xid, 100003, 3, 3)), [xid])
        self.settle()
        r = self.proxy.report()
        self.assertEqual(r["rounds"], 3)
        self.assertEqual(r["calls"], {"NFS3.LOOKUP": 3})
        self.assertEqual(r["connects"], 1)
        self.assertEqual(r["round_trips"], 4)  # the handshake, then the three calls
        self.assertIsNone(r["rounds_to_first_readdir"])

    def test_calls_sent_while_one_is_in_flight_join_its_round(self):
        with self.connect() as s:
            self.assertEqual(sorted(self.exchange(s, *[call(x, 100005, 3, 0) for x in (7, 8, 9, 10)])),
                             [7, 8, 9, 10])
            s.sendall(record(call(11, 100005, 3, 5)))
            time.sleep(DELAY / 4)  # well inside the first round trip (2 x DELAY)
            s.sendall(record(call(12, 100005, 3, 5)))
            read_record(s)
            read_record(s)
        self.settle()
        r = self.proxy.report()
        self.assertEqual(r["rounds"], 2)
        self.assertEqual(r["calls"], {"MOUNT3.NULL": 4, "MOUNT3.EXPORT": 2})

    def test_two_connections_in_step_share_their_rounds(self):
        barrier = threading.Barrier(2)

        def client(base):
            with self.connect() as s:
                for i in range(2):
                    barrier.wait()
                    self.exchange(s, call(base + i, 100003, 3, 1))

        threads = [threading.Thread(target=client, args=(b,)) for b in (100, 200)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.settle()
        r = self.proxy.report()
        self.assertEqual(r["calls"], {"NFS3.GETATTR": 4})
        self.assertEqual(r["rounds"], 2)
        self.assertEqual(r["connects"], 2)

    def test_rounds_up_to_the_first_directory_page(self):
        with self.connect() as s:
            self.exchange(s, call(1, 100003, 3, 0))
            self.exchange(s, call(2, 100003, 3, 3))
            self.exchange(s, call(3, 100003, 3, 17))
            self.exchange(s, call(4, 100003, 3, 17))
        self.settle()
        r = self.proxy.report(reset=True)
        self.assertEqual(r["rounds"], 4)
        self.assertEqual(r["rounds_to_first_readdir"], 3)
        self.assertEqual(r["calls"], {"NFS3.NULL": 1, "NFS3.LOOKUP": 1, "NFS3.READDIRPLUS": 2})
        # reset: a new run, counted from nothing
        self.assertEqual(self.proxy.report()["rounds"], 0)
        with self.connect() as s:
            self.exchange(s, compound(5, [24, 9]))            # PUTROOTFH, GETATTR
            self.exchange(s, compound(6, [22, 26]))           # PUTFH, READDIR
        self.settle()
        r = self.proxy.report()
        self.assertEqual(r["rounds"], 2)
        self.assertEqual(r["rounds_to_first_readdir"], 2)
        self.assertEqual(r["calls"], {"NFS4.COMPOUND": 2})
        self.assertEqual(r["compounds"], {"PUTROOTFH,GETATTR": 1, "PUTFH,READDIR": 1})

    def test_a_call_takes_one_round_trip_and_a_new_connection_one_more(self):
        start = time.monotonic()
        with self.connect() as s:
            self.exchange(s, call(1, 100003, 3, 0))
            first = time.monotonic() - start
            start = time.monotonic()
            self.exchange(s, call(2, 100003, 3, 0))
            second = time.monotonic() - start
        self.assertGreaterEqual(first, 4 * DELAY)  # the handshake's round trip, then the call's
        self.assertLess(first, 4 * DELAY + 0.1)
        self.assertGreaterEqual(second, 2 * DELAY)
        self.assertLess(second, 2 * DELAY + 0.1)

    def test_calls_a_client_abandons_hold_no_round_open(self):
        for reset in (False, True):
            with self.connect() as s:
                s.sendall(record(call(1, 100003, 3, 0)))
                time.sleep(DELAY / 4)  # read by the proxy, not yet answered
                if reset:  # closed with the reply unread: a reset, not an end
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            time.sleep(DELAY / 4)
            with self.connect() as s:
                self.exchange(s, call(2, 100003, 3, 0))
                self.exchange(s, call(3, 100003, 3, 0))
            self.settle()
            r = self.proxy.report(reset=True)
            self.assertEqual(r["rounds"], 3, "reset" if reset else "end")

    def test_a_fragmented_call_is_one_call(self):
        with self.connect() as s:
            s.sendall(record(call(1, 100003, 3, 16, b"x" * 400), fragment=100))  # 5 fragments
            read_record(s)
        self.settle()
        r = self.proxy.report()
        self.assertEqual((r["rounds"], r["calls"]), (1, {"NFS3.READDIR": 1}))
        self.assertEqual(r["rounds_to_first_readdir"], 1)


class DatagramTest(unittest.TestCase):
    def test_datagrams_wait_both_ways_and_an_unanswered_one_holds_no_round(self):
        udp_port = free_port()
        responder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        responder.bind((SERVER, udp_port))

        def answer():
            for _ in range(2):  # GETPORT: the port, 2049
                data, addr = responder.recvfrom(512)
                responder.sendto(data[:4] + struct.pack(">6I", 1, 0, 0, 0, 0, 2049), addr)

        threading.Thread(target=answer, daemon=True).start()
        proxy = delay_proxy.DelayProxy(PROXY, SERVER, DELAY_MS, ports=[],
                                       udp_ports=[udp_port, free_port()]).start()
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.settimeout(5)
                start = time.monotonic()
                for xid in (1, 2):
                    s.sendto(call(xid, 100000, 2, 3, struct.pack(">4I", 100005, 3, 6, 0)), (PROXY, udp_port))
                xids = sorted(struct.unpack_from(">I", s.recv(512))[0] for _ in range(2))
                self.assertEqual(xids, [1, 2])
                self.assertGreaterEqual(time.monotonic() - start, 2 * DELAY)
                time.sleep(0.05)
                r = proxy.report(reset=True)
                self.assertEqual((r["rounds"], r["round_trips"], r["connects"]), (1, 1, 0))
                self.assertEqual(r["calls"], {"PMAP2.GETPORT": 2})
                # Nothing answers on the second port: once given up, the
                # call leaves the next one a round of its own.
                s.sendto(call(3, 100000, 2, 3), (PROXY, proxy.udp_ports[1]))
                time.sleep(2 * DELAY + 1.1)
                s.sendto(call(4, 100000, 2, 3), (PROXY, proxy.udp_ports[1]))
                time.sleep(0.05)
                self.assertEqual(proxy.report()["rounds"], 2)
        finally:
            proxy.stop()
            responder.close()


class PortmapperAnswersTest(unittest.TestCase):
    def test_a_port_named_by_the_portmapper_is_opened_and_getaddr_names_the_proxy(self):
        service = free_port()
        server = peer(free_port(), mount_port=service)
        proxy = delay_proxy.DelayProxy(PROXY, SERVER, DELAY_MS, ports=[111]).start()
        try:
            with socket.create_connection((PROXY, 111), timeout=5) as s:
                with self.assertRaises(OSError):
                    socket.create_connection((PROXY, service), timeout=1).close()
                s.sendall(record(call(1, 100000, 2, 3, struct.pack(">4I", 100005, 3, 6, 0))))
                reply = read_record(s)
                self.assertEqual(struct.unpack_from(">I", reply, 24)[0], service)
                socket.create_connection((PROXY, service), timeout=1).close()  # now forwarded
                getaddr = struct.pack(">2I", 100005, 3) + b"".join(srv.xdr.opaque(t) for t in (b"tcp", b"", b""))
                s.sendall(record(call(2, 100000, 3, 3, getaddr)))
                reply = read_record(s)
                length = struct.unpack_from(">I", reply, 24)[0]
                self.assertEqual(reply[28:28 + length].decode(),
                                 "%s.%d.%d" % (PROXY, service >> 8, service & 0xFF))
        finally:
            proxy.stop()
            server.stop()


class GssCallsTest(unittest.TestCase):
    def test_a_gss_context_s_set_up_and_end_are_named_and_protected_compounds_read(self):
        def gss_call(gss_proc, service, body=b""):
            cred = struct.pack(">5I", 1, gss_proc, 7, service, 4) + b"HNDL"
            head = struct.pack(">6I", 9, 0, 2, delay_proxy.NFS, 4, 0 if gss_proc else 1)
            verifier = struct.pack(">II", 6, 0)
            return head + struct.pack(">II", 6, len(cred)) + cred + verifier + body

        args = compound(0, [24, 10])[struct.calcsize(">6I") + 16:]  # PUTROOTFH, GETFH
        integrity = struct.pack(">II", len(args) + 4, 7) + args + struct.pack(">I", 0)
        for gss_proc, service, body, key, ops in [
            (1, 1, b"", "NFS4.NULL.GSS_INIT", []),
            (2, 3, b"", "NFS4.NULL.GSS_CONTINUE_INIT", []),
            (3, 2, b"", "NFS4.NULL.GSS_DESTROY", []),
            (0, 1, args, "NFS4.COMPOUND", ["PUTROOTFH", "GETFH"]),
            (0, 2, integrity, "NFS4.COMPOUND", ["PUTROOTFH", "GETFH"]),
            (0, 3, struct.pack(">I", 8) + b"sealed!!", "NFS4.COMPOUND", ["sealed"]),
        ]:
            self.assertEqual(delay_proxy.parse_call(gss_call(gss_proc, service, body)), (9, key, ops))


if __name__ == "__main__":
    unittest.main()
