#!/usr/bin/env python3
"""A scripted NFS server for tests of a client against a broken or hostile
file server: a portmapper on port 111, MOUNT v3 on its own port, NFS v3 and
NFSv4.0 on 2049 (or, with --v41-only, NFSv4.1 and 4.2 sessions alone), over
TCP with record marking, serving a small in-memory tree (tree.py). With --fault NAME it misbehaves in exactly one way (the
catalogue is faults.py; --list prints it); with none it serves correctly.

Runs in the foreground until SIGTERM, SIGINT or end of standard input
(with --stdin-watch); prints "ready ADDRESS" on standard output once every
port listens. Meant for a private network namespace (scripts/netns-run.sh):
it binds port 111 of the address given.

    hostile_nfs.py --address 127.0.0.10 --fault readdir-endless --page-delay 0.05
    hostile_nfs.py --list
"""

import argparse
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import faults  # noqa: E402
import server  # noqa: E402
import tree  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--address", default="127.0.0.10", help="IPv4 address to listen on")
    parser.add_argument("--fault", default="none", help="one fault mode by name (--list)")
    parser.add_argument("--list", action="store_true", help="print the fault modes and exit")
    parser.add_argument("--on", default="all",
                        help="calls a transport or RPC fault applies to, comma-separated: all, portmap, "
                             "mount, nfs3, nfs4, mount.export, mount.mnt, nfs3.lookup, nfs3.readdirplus, "
                             "nfs4.readdir (a COMPOUND holding READDIR), nfs4.export (a COMPOUND inside "
                             "an export), nfs4.pseudo (the probe and the export walk), ...")
    parser.add_argument("--dirs", choices=("export", "pseudo", "all"), default="export",
                        help="directories a fault of directory pages applies to: inside exports (default), "
                             "the NFSv4 pseudo file system, or all")
    parser.add_argument("--v4-only", action="store_true",
                        help="NFSv4 only: no MOUNT service; port 111 refuses connections")
    parser.add_argument("--v41-only", action="store_true",
                        help="NFSv4.1 and 4.2 only, with sessions: no portmapper, no MOUNT; minor version 0 "
                             "refused with NFS4ERR_MINOR_VERS_MISMATCH")
    parser.add_argument("--minor-versions", default="1,2",
                        help="with --v41-only: the minor versions served (default 1,2; 2 for a 4.2-only server)")
    parser.add_argument("--max-slots", type=int, default=4,
                        help="with --v41-only: most slots CREATE_SESSION grants (as asked, up to this; default 4)")
    parser.add_argument("--portmapper", choices=("serve", "refuse", "no-mount"), default=None,
                        help="what port 111 does (default: serve; refuse with --v4-only)")
    parser.add_argument("--mount-port", type=int, default=20048)
    parser.add_argument("--nfs-port", type=int, default=2049)
    parser.add_argument("--big-entries", type=int, default=1000,
                        help="files in /vol/vol1/big (default 1000)")
    parser.add_argument("--delay", type=float, default=1.8, help="delay-under-timeout: seconds per reply")
    parser.add_argument("--drip-ms", type=float, default=50.0, help="slow-drip: milliseconds between bytes")
    parser.add_argument("--page-entries", type=int, default=100, help="readdir-endless: entries per page")
    parser.add_argument("--page-delay", type=float, default=0.05, help="readdir-endless: seconds per page")
    parser.add_argument("--limit-mib", type=int, default=4096,
                        help="fragments-no-end: MiB sent before falling silent")
    parser.add_argument("--field", choices=("owner", "scope", "impl-domain", "impl-name", "all"), default="owner",
                        help="exchange-text-*: the EXCHANGE_ID reply's text to break (default owner)")
    parser.add_argument("--text-bytes", type=int, default=100000, help="exchange-text-long: its length")
    parser.add_argument("--log", action="store_true", help="one line per call on standard error")
    parser.add_argument("--stdin-watch", action="store_true",
                        help="exit when standard input reaches its end (the parent went away)")
    options = parser.parse_args(argv)

    if options.list:
        width = max(len(n) for n in faults.FAULTS)
        for name, cls in faults.FAULTS.items():
            doc = " ".join((cls.__doc__ or "").split())
            print("%-*s  %s" % (width, name, doc))
        return 0
    if options.fault not in faults.FAULTS:
        print("hostile_nfs: unknown fault %r (see --list)" % options.fault, file=sys.stderr)
        return 2
    minors = (0,)
    if options.v41_only:
        options.v4_only = True
        try:
            minors = tuple(sorted(set(int(m) for m in options.minor_versions.split(","))))
        except ValueError:
            minors = ()
        if not minors or any(m not in (1, 2) for m in minors):
            print("hostile_nfs: --minor-versions takes 1, 2 or both", file=sys.stderr)
            return 2
    portmapper = options.portmapper or ("refuse" if options.v4_only else "serve")

    log = None
    if options.log:
        lock = threading.Lock()

        def log(line):
            with lock:
                sys.stderr.write("hostile_nfs: %s\n" % line)
                sys.stderr.flush()

    fault = faults.FAULTS[options.fault](options)
    peer = server.Peer(options.address, fault, tree.Tree(options.big_entries), options.mount_port,
                       options.nfs_port, options.v4_only, portmapper, log, minors, options.max_slots)
    fault.prepare()
    try:
        peer.start()
    except OSError as e:
        print("hostile_nfs: cannot listen on %s: %s" % (options.address, e), file=sys.stderr)
        return 1

    # A signal only raises a flag that the loop below reads. Setting the
    # Event from the handler could deadlock: the handler runs in the main
    # thread, which may hold the Event's own lock inside done.wait() just
    # then (the harness closes stdin and sends SIGTERM together, so the
    # watcher's set() and the signal race). Once it did: the peer hung,
    # was killed after the grace time, and its last words were lost.
    signalled = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: signalled.append(True))
    done = threading.Event()
    if options.stdin_watch:
        def watch():
            while sys.stdin.buffer.read(4096):
                pass
            done.set()
        threading.Thread(target=watch, daemon=True).start()
    print("ready %s" % options.address, flush=True)
    while not signalled and not done.wait(0.5):
        pass
    if log:
        for key, count in sorted(peer.counts.items()):
            log("calls %s: %d" % (key, count))
    if options.v41_only:
        # What the clients did not tear down (a test of the client reads it).
        # A connection thread may hold the lock in a long COMPOUND; the
        # counts are read without it then (a dict's length is one read).
        locked = peer.sessions.lock.acquire(timeout=1.0)
        left = (len(peer.sessions.clients), len(peer.sessions.by_id))
        if locked:
            peer.sessions.lock.release()
        sys.stderr.write("hostile_nfs: left %d client ids, %d sessions\n" % left)
        sys.stderr.flush()
    # Connection threads may be blocked in a long send: leave without joining them.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
