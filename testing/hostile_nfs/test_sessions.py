#!/usr/bin/env python3
"""The peer's NFSv4.1 server mode (--v41-only) keeps the session rules a
real server keeps, so that the catalogue's cases over 4.1 test the client
against a believable server: minor version 0 refused, SEQUENCE first with
its slot and sequence checks, the sessionless operations alone, a client id
busy while its session lives, a connection bound before it destroys a
session; and the session faults that depend on the peer's state (a DELAY
once, then the COMPOUND served) do what they say.

    scripts/netns-run.sh python3 testing/hostile_nfs/test_sessions.py
"""

import argparse
import os
import socket
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import faults  # noqa: E402
import server as srv  # noqa: E402
import tree  # noqa: E402
import xdr  # noqa: E402

ADDRESS = "127.0.0.1"
_ports = iter(range(22049, 23000))


def options(**changes):
    values = dict(on="all", dirs="export", page_entries=100, page_delay=0.0, field="owner", text_bytes=100000)
    values.update(changes)
    return argparse.Namespace(**values)


class Peer:
    """A peer of minor versions 1 and 2 on a port of its own."""

    def __init__(self, fault="none", max_slots=4, minors=(1, 2), **changes):
        self.port = next(_ports)
        self.peer = srv.Peer(ADDRESS, faults.FAULTS[fault](options(**changes)), tree.Tree(10), nfs_port=self.port,
                             v4_only=True, portmapper="refuse", minors=minors, max_slots=max_slots)
        self.peer.fault.prepare()
        self.peer.start()

    def close(self):
        self.peer.stop()


class Link:
    """One connection: COMPOUNDs out, their COMPOUND4res back."""

    def __init__(self, port):
        self.sock = socket.create_connection((ADDRESS, port), timeout=5)
        self.xid = 0x1000

    def close(self):
        self.sock.close()

    def compound(self, ops, minor=1):
        """(status, [(op, status, Decoder at the result's body)]) of a
        COMPOUND of `ops` (each: operation number and its encoded arguments)."""
        self.xid += 1
        auth = xdr.u32(0) + xdr.u32(0)
        body = xdr.opaque(b"t") + xdr.u32(minor) + xdr.u32(len(ops)) + b"".join(xdr.u32(op) + a for op, a in ops)
        message = struct.pack(">6I", self.xid, 0, 2, srv.NFS_PROG, 4, 1) + auth + auth + body
        self.sock.sendall(srv.frame(message))
        d = xdr.Decoder(srv.read_record(self.sock))
        assert d.u32() == self.xid and d.u32() == 1 and d.u32() == 0
        d.u32()
        d.opaque()
        assert d.u32() == srv.SUCCESS
        status = d.u32()
        d.opaque()
        results = []
        for _ in range(d.u32()):
            op, op_status = d.u32(), d.u32()
            results.append((op, op_status, d))
            if op_status == srv.NFS4_OK:
                skip_result(op, d)
        return status, results


def skip_result(op, d):
    if op == srv.OP_EXCHANGE_ID or op == srv.OP_CREATE_SESSION:
        return  # read by the caller, the last result
    if op == srv.OP_SEQUENCE:
        d.fixed(16)
        for _ in range(5):
            d.u32()
    elif op == srv.OP_GETATTR:
        d.bitmap()
        d.opaque()
    elif op == srv.OP_GETFH:
        d.opaque()
    elif op == srv.OP_READDIR:
        d.fixed(8)
        while d.bool():
            d.u64()
            d.opaque()
            d.bitmap()
            d.opaque()
        d.bool()


def channel(slots, size=1 << 20, ops=64):
    return b"".join(xdr.u32(v) for v in (0, size, size, 4096, ops, slots, 0))


def exchange_id(owner=b"test-owner", verifier=b"VERIFIER"):
    return srv.OP_EXCHANGE_ID, xdr.fixed(verifier) + xdr.opaque(owner) + xdr.u32(0x10000) + xdr.u32(0) + xdr.u32(0)


def create_session(client_id, sequence, slots=8):
    return srv.OP_CREATE_SESSION, xdr.u64(client_id) + xdr.u32(sequence) + xdr.u32(0) + channel(slots) + \
        channel(1, 256, 2) + xdr.u32(0x40000000) + xdr.u32(1) + xdr.u32(0)


def sequence(session, sequence_id, slot=0, highest=0):
    return srv.OP_SEQUENCE, xdr.fixed(session) + xdr.u32(sequence_id) + xdr.u32(slot) + xdr.u32(highest) + \
        xdr.u32(0)


PUTROOTFH = (srv.OP_PUTROOTFH, b"")
READDIR_ROOT = (srv.OP_READDIR, xdr.u64(0) + b"\0" * 8 + xdr.u32(4096) + xdr.u32(4096) + xdr.u32(1) + xdr.u32(2))


def destroy_session(session):
    return srv.OP_DESTROY_SESSION, xdr.fixed(session)


def destroy_clientid(client_id):
    return srv.OP_DESTROY_CLIENTID, xdr.u64(client_id)


def make_session(link, owner=b"test-owner", slots=8):
    """(client id, session id, slots granted) of a fresh session on `link`."""
    status, results = link.compound([exchange_id(owner)])
    assert status == srv.NFS4_OK, status
    d = results[0][2]
    client_id, create_sequence = d.u64(), d.u32()
    status, results = link.compound([create_session(client_id, create_sequence, slots)])
    assert status == srv.NFS4_OK, status
    d = results[0][2]
    session = d.fixed(16)
    assert d.u32() == create_sequence
    d.u32()
    granted = [d.u32() for _ in range(7)]
    return client_id, session, granted[5]


class Sessions(unittest.TestCase):
    def setUp(self):
        self.peer = Peer()
        self.link = Link(self.peer.port)

    def tearDown(self):
        self.link.close()
        self.peer.close()

    def test_minor_version_zero_is_refused_without_results(self):
        for minor in (0, 3):
            status, results = self.link.compound([PUTROOTFH], minor=minor)
            self.assertEqual((status, results), (srv.NFS4ERR_MINOR_VERS_MISMATCH, []))

    def test_a_session_serves_the_tree_and_is_torn_down_in_order(self):
        client_id, session, slots = make_session(self.link)
        self.assertEqual(slots, 4)  # as asked, up to --max-slots
        status, results = self.link.compound([sequence(session, 1), PUTROOTFH, READDIR_ROOT])
        self.assertEqual(status, srv.NFS4_OK)
        self.assertEqual([op for op, _, _ in results], [srv.OP_SEQUENCE, srv.OP_PUTROOTFH, srv.OP_READDIR])
        reclaim = (srv.OP_RECLAIM_COMPLETE, xdr.u32(0))
        self.assertEqual(self.link.compound([sequence(session, 1, slot=1), reclaim])[0], srv.NFS4_OK)
        self.assertEqual(self.link.compound([sequence(session, 2, slot=1), reclaim])[0],
                         srv.NFS4ERR_COMPLETE_ALREADY)
        self.assertEqual(self.link.compound([destroy_clientid(client_id)])[0], srv.NFS4ERR_CLIENTID_BUSY)
        self.assertEqual(self.link.compound([sequence(session, 2), destroy_session(session)])[0], srv.NFS4_OK)
        self.assertEqual(self.link.compound([sequence(session, 3)])[0], srv.NFS4ERR_BADSESSION)
        self.assertEqual(self.link.compound([destroy_clientid(client_id)])[0], srv.NFS4_OK)
        self.assertEqual(self.link.compound([destroy_clientid(client_id)])[0], srv.NFS4ERR_STALE_CLIENTID)

    def test_sequence_rules(self):
        _, session, slots = make_session(self.link)
        self.assertEqual(self.link.compound([PUTROOTFH])[0], srv.NFS4ERR_OP_NOT_IN_SESSION)
        self.assertEqual(self.link.compound([exchange_id(), PUTROOTFH])[0], srv.NFS4ERR_NOT_ONLY_OP)
        status, results = self.link.compound([sequence(session, 2)])
        self.assertEqual((status, len(results)), (srv.NFS4ERR_SEQ_MISORDERED, 1))
        self.assertEqual(self.link.compound([sequence(session, 1)])[0], srv.NFS4_OK)  # the slot as it was
        self.assertEqual(self.link.compound([sequence(session, 1)])[0], srv.NFS4ERR_RETRY_UNCACHED_REP)
        self.assertEqual(self.link.compound([sequence(session, 1, slot=slots)])[0], srv.NFS4ERR_BADSLOT)
        self.assertEqual(self.link.compound([sequence(b"x" * 16, 1)])[0], srv.NFS4ERR_BADSESSION)
        status, results = self.link.compound([sequence(session, 2), PUTROOTFH, sequence(session, 3)])
        self.assertEqual((status, len(results)), (srv.NFS4ERR_SEQUENCE_POS, 3))
        status, _ = self.link.compound([sequence(session, 3)] + [PUTROOTFH] * 64)
        self.assertEqual(status, srv.NFS4ERR_TOO_MANY_OPS)

    def test_create_session_takes_the_sequence_exchange_id_gave(self):
        status, results = self.link.compound([exchange_id()])
        d = results[0][2]
        client_id, create_sequence = d.u64(), d.u32()
        self.assertEqual(self.link.compound([create_session(client_id, create_sequence + 5)])[0],
                         srv.NFS4ERR_SEQ_MISORDERED)
        self.assertEqual(self.link.compound([create_session(client_id + 1, create_sequence)])[0],
                         srv.NFS4ERR_STALE_CLIENTID)
        first = self.link.compound([create_session(client_id, create_sequence)])[1][0][2].fixed(16)
        again = self.link.compound([create_session(client_id, create_sequence)])[1][0][2].fixed(16)
        self.assertEqual(first, again)  # a retry gets the same session

    def test_a_session_is_destroyed_alone_only_from_a_bound_connection(self):
        client_id, session, _ = make_session(self.link)
        other = Link(self.peer.port)
        try:
            self.assertEqual(other.compound([destroy_session(session)])[0], srv.NFS4ERR_CONN_NOT_BOUND_TO_SESSION)
            self.assertEqual(other.compound([sequence(session, 1), destroy_session(session)])[0], srv.NFS4_OK)
            self.assertEqual(other.compound([destroy_clientid(client_id)])[0], srv.NFS4_OK)
        finally:
            other.close()


class SessionFaults(unittest.TestCase):
    def run_peer(self, fault, **changes):
        peer = Peer(fault, **changes)
        self.addCleanup(peer.close)
        link = Link(peer.port)
        self.addCleanup(link.close)
        return link

    def test_delay_once_serves_the_same_compound_sent_again(self):
        link = self.run_peer("seq-delay-once")
        _, session, _ = make_session(link)
        ops = [sequence(session, 1), PUTROOTFH, READDIR_ROOT]
        status, results = link.compound(ops)
        self.assertEqual((status, len(results)), (srv.NFS4ERR_DELAY, 1))
        self.assertEqual(link.compound(ops)[0], srv.NFS4_OK)  # the slot was left as it was
        self.assertEqual(link.compound([sequence(session, 2)])[0], srv.NFS4ERR_DELAY)  # other operations

    def test_sequence_error_leaves_the_slot_and_other_compounds_alone(self):
        link = self.run_peer("seq-badsession", on="nfs4.export")
        _, session, _ = make_session(link)
        self.assertEqual(link.compound([sequence(session, 1), PUTROOTFH, READDIR_ROOT])[0], srv.NFS4_OK)
        vol = (srv.OP_LOOKUP, xdr.opaque(b"vol"))
        vol1 = (srv.OP_LOOKUP, xdr.opaque(b"vol1"))
        self.assertEqual(link.compound([sequence(session, 2), PUTROOTFH, vol, vol1])[0], srv.NFS4ERR_BADSESSION)
        self.assertEqual(link.compound([sequence(session, 2), destroy_session(session)])[0], srv.NFS4_OK)

    def test_a_grant_the_peer_states_is_the_one_it_serves(self):
        link = self.run_peer("create-session-huge")
        _, session, slots = make_session(link)
        self.assertEqual(slots, 0xFFFFFFFF)
        self.assertEqual(link.compound([sequence(session, 1, slot=1000)])[0], srv.NFS4_OK)


if __name__ == "__main__":
    unittest.main()
