"""The catalogue of one-fault modes. Each mode is a Fault subclass that
overrides the hook points the peer calls (those that override one hook with
one expression are rows of hook()); everything it does not override is
served correctly. `--on SELECTORS` narrows the transport and RPC-level
faults to some calls (see server.Call.matches); data faults apply where the
data is.

Hook points, all called by server.Peer:
    prepare()                          once, before the peer says it is ready
    transmit(call, message) -> actions the reply record on the wire
    delay(call) -> seconds             before the reply goes out
    reply(call, body) -> message       the whole RPC reply message
    send / answer                      transmit / reply for the calls --on selects only
    port(call, prog, vers, port)       a portmapper answer
    export_paths(paths) / export_reply(call)      MOUNT EXPORT
    mnt_reply(call, node)                         MOUNT MNT
    lookup3_reply / readdir3_reply / entry3       NFSv3
    entries(node, protocol, entries)   a directory's (cookie, Entry) list
    page(call, node, cookie, maxcount, protocol, mask) -> (entries, eof) | None
    compound_reply / compound_results / getfh4 / fattr4 / name4   NFSv4
    exchange_id4(call, reply) / create_session4(call, grant)      NFSv4.1 setup
    sequence4(call, args) / sequence4_reply(call, res)            NFSv4.1 SEQUENCE
"""

import server as srv
import tree as fs
import xdr

FAULTS = {}


def fault(name):
    def register(cls):
        cls.name = name
        FAULTS[name] = cls
        return cls
    return register


def hook(name, method, doc, fn, base=None):
    """A fault that overrides one hook point with `fn`: the one-line modes
    are rows of these, each a subclass of `base` (Fault unless named)."""
    fault(name)(type(name, (base or Fault,), {"__doc__": doc, method: fn}))


class Fault:
    """The healthy server: every hook serves the tree as it is."""

    name = "none"
    needs_on = False  # transport faults honour --on

    def __init__(self, options):
        self.options = options
        self.on = set((options.on or "all").split(","))

    def bind(self, peer):
        self.peer = peer

    def prepare(self):
        pass

    def selected(self, call):
        return call.matches(self.on)

    def directory_chosen(self, node):
        """For faults of directory pages: --dirs export (directories inside
        exports, the default), pseudo (the NFSv4 pseudo file system) or all."""
        pseudo = node.fsid == fs.PSEUDO_FSID
        return self.options.dirs == "all" or (self.options.dirs == "pseudo") == pseudo

    # transport and RPC: a fault's send(call, message) and answer(call, body)
    # stand in for these for the calls --on selects
    def transmit(self, call, message):
        if hasattr(self, "send") and self.selected(call):
            return self.send(call, message)
        return [("send", srv.frame(message))]

    def delay(self, call):
        return 0.0

    def reply(self, call, body):
        if hasattr(self, "answer") and self.selected(call):
            return self.answer(call, body)
        return srv.accepted(call.xid) + body

    def port(self, call, prog, vers, port):
        return port

    # MOUNT
    def export_paths(self, paths):
        return paths

    def export_reply(self, call):
        return None

    def mnt_reply(self, call, node):
        return None

    # NFSv3
    def lookup3_reply(self, call, node, name):
        return None

    def readdir3_reply(self, call, node, cookie, maxcount, plus):
        return None

    def entry3(self, call, entry, cookie, plus):
        return srv.entry3(entry, cookie, plus)

    def verifier(self, call):
        return srv.VERIFIER

    # directories, both protocols
    def entries(self, node, protocol, entries):
        return entries

    def page(self, call, node, cookie, maxcount, protocol, mask=None):
        if protocol == 3:
            size = lambda e: srv.entry3_size(e, call.proc == 17)
        else:
            size = lambda e: srv.entry4_size(e, mask)
        return self.peer.default_page(node, cookie, maxcount, protocol, size)

    # NFSv4
    def compound_reply(self, call, tag, status, results):
        return None

    def compound_results(self, call, status, results):
        return status, results

    def getfh4(self, call, node):
        return None

    def fattr4(self, call, entry, mask):
        return fs.fattr4(entry, mask)

    def name4(self, call, entry):
        return xdr.opaque(entry.name)

    # NFSv4.1 sessions
    def exchange_id4(self, call, reply):
        """EXCHANGE_ID: change `reply` (server.encode_exchange_id's fields)
        in place, or return a status to refuse it with, or the raw result
        body; None keeps the reply."""
        return None

    def create_session4(self, call, grant):
        """CREATE_SESSION: change `grant` ({"sequence", "flags", "fore",
        "back"}: what the session gets and the reply says) in place, or return a status to
        refuse it with, or the raw result body (the session is made as
        granted); None keeps it."""
        return None

    def sequence4(self, call, args):
        """A SEQUENCE the peer accepts, after the rest of its COMPOUND has run
        (so call.in_export and call.ops are known): a status to fail it with
        instead (the slot is left as it was, nothing else is done), or None."""
        return None

    def sequence4_reply(self, call, res):
        """The SEQUENCE result of an accepted COMPOUND: change `res`
        (session_id, sequence_id, slot, highest_slot, target_highest_slot,
        status_flags) in place."""


fault("none")(Fault)


def replace_xid(message, xid):
    return xdr.u32(xid) + message[4:]


# ---- record marking and delivery ------------------------------------------

hook("fragments-1byte", "send", "Every reply in fragments of one byte each (valid record marking).",
     lambda self, call, message: [("send", srv.frame(message, 1))])
hook("wrong-xid-first", "send", "Before each reply, the same reply under an xid the client never sent.",
     lambda self, call, message: [("send", srv.frame(replace_xid(message, call.xid ^ 0x5A5A0000))),
                                  ("send", srv.frame(message))])
hook("duplicate-replies", "send", "Each reply sent twice.",
     lambda self, call, message: [("send", srv.frame(message))] * 2)
hook("truncated-record", "send", "A complete record holding only the first half of the reply.",
     lambda self, call, message: [("send", srv.frame(message[:max(len(message) // 2, 4)]))])
hook("closed-mid-reply", "send",
     "The record marker promises the whole reply; half of it is sent and the connection closed.",
     lambda self, call, message: [("send", xdr.u32(0x80000000 | len(message)) + message[:len(message) // 2]),
                                  ("close",)])
hook("stalled-mid-reply", "send", "Half a reply, then silence with the connection open.",
     lambda self, call, message: [("send", xdr.u32(0x80000000 | len(message)) + message[:len(message) // 2]),
                                  ("hold",)])


@fault("fragments-no-end")
class FragmentsWithoutEnd(Fault):
    """Non-last fragments of 1 MiB, one after the other, never a last one
    (up to --limit-mib MiB, then silence)."""

    def send(self, call, message):
        chunk = xdr.u32(1 << 20) + message[:1 << 20].ljust(1 << 20, b"\0")
        count = max(1, self.options.limit_mib)
        return [("send", chunk)] * count + [("hold",)]


hook("record-mark-huge", "send", "A record marker declaring 2 GiB - 1 bytes (last fragment), then the reply.",
     lambda self, call, message: [("send", xdr.u32(0xFFFFFFFF) + message), ("hold",)])


@fault("slow-drip")
class SlowDrip(Fault):
    """Each reply in 1-byte fragments, one every --drip-ms milliseconds, so
    that bytes keep arriving long past the timeout."""

    def send(self, call, message):
        actions = []
        pause = self.options.drip_ms / 1000.0
        for i in range(len(message)):
            last = i == len(message) - 1
            actions.append(("send", xdr.u32((0x80000000 if last else 0) | 1) + message[i:i + 1]))
            actions.append(("sleep", pause))
        return actions


hook("delay-under-timeout", "delay",
     "Every reply held back --delay seconds (default 1.8: just under a 2 s timeout).",
     lambda self, call: self.options.delay if self.selected(call) else 0.0)


# ---- RPC header ------------------------------------------------------------

hook("rpc-reply-stat-bad", "answer", "reply_stat 7 (neither MSG_ACCEPTED nor MSG_DENIED).",
     lambda self, call, body: xdr.u32(call.xid) + xdr.u32(1) + xdr.u32(7) + body)
hook("rpc-accept-stat-bad", "answer", "accept_stat 77, followed by the result.",
     lambda self, call, body: srv.accepted(call.xid, 77) + body)
hook("rpc-verifier-4gib", "answer", "A reply verifier whose body is declared 0xFFFFFFF8 bytes long.",
     lambda self, call, body: xdr.u32(call.xid) + xdr.u32(1) + xdr.u32(0) + xdr.u32(1) + xdr.u32(0xFFFFFFF8) +
     xdr.u32(0) + body)
hook("rpc-msg-type-call", "answer", "The answer carries the call's xid but msg_type CALL.",
     lambda self, call, body: xdr.u32(call.xid) + xdr.u32(0) + xdr.u32(2) + xdr.u32(call.prog) +
     xdr.u32(call.vers) + xdr.u32(call.proc) + xdr.u32(0) + xdr.u32(0) + xdr.u32(0) + xdr.u32(0) + body)
hook("rpc-auth-denied", "answer", "MSG_DENIED, AUTH_ERROR, AUTH_BADCRED to every call.",
     lambda self, call, body: xdr.u32(call.xid) + xdr.u32(1) + xdr.u32(1) + xdr.u32(1) + xdr.u32(1))


# ---- portmapper ------------------------------------------------------------

hook("portmap-port-out-of-range", "port", "GETPORT answers 70000 (above 65535) for MOUNT and NFS.",
     lambda self, call, prog, vers, port: 70000 if port and prog != srv.PMAP_PROG else port)


# ---- MOUNT -----------------------------------------------------------------

@fault("exports-100k")
class HundredThousandExports(Fault):
    """An export list of 100,000 entries (the three real exports first)."""

    def prepare(self):
        paths = [n.export.encode() for n in self.peer.tree.exports]
        paths += [b"/vol/x%06d" % i for i in range(100000 - len(paths))]
        self.encoded = b"".join(xdr.u32(1) + xdr.opaque(p) + xdr.u32(0) for p in paths) + xdr.u32(0)

    def export_reply(self, call):
        return self.encoded


ODD_EXPORT_PATHS = [b"/vol/./vol5", b"/vol/../etc", b"/vol/vol1\0evil", b"", b"vol/relative"]


hook("exports-odd-paths", "export_paths",
     'The real exports plus "/vol/./vol5", "/vol/../etc", "/vol/vol1\\0evil", "" and "vol/relative".',
     lambda self, paths: paths + ODD_EXPORT_PATHS)
hook("exports-long-path", "export_paths", "The real exports plus one path of 100,000 bytes.",
     lambda self, paths: paths + [b"/vol/" + b"x" * 99995])


def mnt_ok_prefix(handle=b"ROOT"):
    return xdr.u32(srv.MNT3_OK) + xdr.opaque(handle)


hook("mnt-flavors-1gib", "mnt_reply",
     "A 40-byte MNT reply whose auth_flavors array declares 0x10000000 entries (1 GiB) and holds "
     "none.",
     lambda self, call, node: mnt_ok_prefix() + xdr.u32(0x10000000))
hook("mnt-flavors-overflow", "mnt_reply",
     "MNT auth_flavors count 0x40000001 (count x 4 wraps to 4 bytes), then 32 flavours.",
     lambda self, call, node: (mnt_ok_prefix(node.handle if node else b"ROOT") + xdr.u32(0x40000001) +
                               xdr.u32(1) * 32))
hook("mnt-fh-4gib", "mnt_reply", "MNT file handle declared 0xFFFFFFF8 bytes long.",
     lambda self, call, node: xdr.u32(srv.MNT3_OK) + xdr.u32(0xFFFFFFF8) + b"HANDLE!!" + xdr.u32(1) + xdr.u32(1))
hook("mnt-fh-oversize", "mnt_reply", "MNT file handle of 200 bytes, well-formed XDR (NFSv3 allows 64).",
     lambda self, call, node: mnt_ok_prefix(b"H" * 200) + xdr.u32(1) + xdr.u32(1))
hook("mnt-status-out-of-range", "mnt_reply", "MNT status 0x7FFFFFFF (no such mountstat3).",
     lambda self, call, node: xdr.u32(0x7FFFFFFF))


# ---- NFSv3 -----------------------------------------------------------------

hook("lookup-fh-4gib", "lookup3_reply", "LOOKUP answers NFS3_OK with an object handle declared 0xFFFFFFF8 bytes.",
     lambda self, call, node, name: (xdr.u32(srv.NFS3_OK) + xdr.u32(0xFFFFFFF8) + b"HANDLE!!" + xdr.u32(0) +
                                     xdr.u32(0)))


@fault("nfs3-status-out-of-range")
class Nfs3StatusOutOfRange(Fault):
    """LOOKUP and READDIRPLUS answer status 0x7FFFFFFF (no such nfsstat3)."""

    def lookup3_reply(self, call, node, name):
        return xdr.u32(0x7FFFFFFF) + xdr.u32(0)

    def readdir3_reply(self, call, node, cookie, maxcount, plus):
        return xdr.u32(0x7FFFFFFF) + xdr.u32(0)


@fault("nfs3-union-out-of-range")
class Nfs3UnionOutOfRange(Fault):
    """READDIRPLUS entries whose optional-data discriminants are 2 and 3
    instead of TRUE (1): attributes follow, handle follows, next entry."""

    def entry3(self, call, entry, cookie, plus):
        out = xdr.u32(2) + xdr.u64(entry.fileid) + xdr.opaque(entry.name) + xdr.u64(cookie)
        if plus:
            out += xdr.u32(3) + fs.fattr3(entry)
            out += (xdr.u32(2) + xdr.opaque(entry.handle)) if entry.handle else xdr.u32(0)
        return out


hook("entry-handle-long", "entry3",
     "READDIRPLUS entries carry a name_handle of 100 bytes (NFSv3 allows 64); the handle is optional and "
     "the rest of each entry is right.",
     lambda self, call, entry, cookie, plus: xdr.u32(1) + xdr.u64(entry.fileid) + xdr.opaque(entry.name) +
     xdr.u64(cookie) + fs.post_op_attr(entry) + xdr.u32(1) + xdr.opaque(b"H" * 100)
     if plus and self.selected(call) else Fault.entry3(self, call, entry, cookie, plus))


@fault("readdir-no-attributes")
class EntriesWithoutAttributes(Fault):
    """Each chosen directory (--dirs) in one READDIRPLUS reply, whatever
    maxcount says, every entry without attributes or handle (LOOKUP answers
    them right)."""

    def page(self, call, node, cookie, maxcount, protocol, mask=None):
        if protocol != 3 or not self.directory_chosen(node):
            return super().page(call, node, cookie, maxcount, protocol, mask)
        entries = self.peer.entries_of(node, protocol)
        start = 0
        if cookie:
            start = next((i + 1 for i, (c, _) in enumerate(entries) if c == cookie), None)
            if start is None:
                return None
        return entries[start:], True

    def entry3(self, call, entry, cookie, plus):
        if not plus:
            return super().entry3(call, entry, cookie, plus)
        return xdr.u32(1) + xdr.u64(entry.fileid) + xdr.opaque(entry.name) + xdr.u64(cookie) + \
            xdr.u32(0) + xdr.u32(0)


# ---- directory entries (both protocols) -------------------------------------

class InjectIntoDocs(Fault):
    """Adds entries after the regular ones of /vol/vol1/docs."""

    extra = []          # (name, size, mtime, type)
    extra_v4 = []       # NFSv4 only

    def entries(self, node, protocol, entries):
        if node is not self.peer.tree.docs:
            return entries
        out = list(entries)
        cookie = out[-1][0] if out else 2
        added = self.extra + (self.extra_v4 if protocol == 4 else [])
        for i, (name, size, mtime, type_) in enumerate(added):
            cookie += 1
            out.append((cookie, fs.Entry(name, 900000 + i, type_, size, mtime, handle=b"BADNAME%05d" % i)))
        return out


def inject(name, doc, extra, extra_v4=()):
    """A fault that adds `extra` (and on NFSv4 `extra_v4`) to docs."""
    fault(name)(type(name, (InjectIntoDocs,), {"__doc__": doc, "extra": extra, "extra_v4": list(extra_v4)}))


LONG_NAME_OK = b"n" * 255
LONG_NAME_BAD = b"L" * 5000

inject("names-nul", 'docs also holds "se\\0cret.txt", "dup\\0a" and "dup\\0b".',
       [(b"se\0cret.txt", 10, 1600000000, fs.NF_REG), (b"dup\0a", 11, 1600000000, fs.NF_REG),
        (b"dup\0b", 12, 1600000000, fs.NF_REG)])
inject("names-bad",
       'docs also holds "", "a/b", "../x" and "/" (and on NFSv4, where no server sends them, "." and "..").',
       [(b"", 1, 1600000000, fs.NF_REG), (b"a/b", 2, 1600000000, fs.NF_REG),
        (b"../x", 3, 1600000000, fs.NF_DIR), (b"/", 4, 1600000000, fs.NF_DIR)],
       [(b".", 5, 1600000000, fs.NF_DIR), (b"..", 6, 1600000000, fs.NF_DIR)])
inject("names-long", "docs also holds a 255-byte name and a 5,000-byte name.",
       [(LONG_NAME_OK, 1, 1600000000, fs.NF_REG), (LONG_NAME_BAD, 2, 1600000000, fs.NF_REG)])
inject("sizes-huge",
       "docs also holds files of 2^63 - 1, 2^63 and 2^64 - 1 bytes (and on NFSv4 one modified at second -1 "
       "and one at second 2^62).",
       [(b"size-2e63-1", 2 ** 63 - 1, 1600000000, fs.NF_REG), (b"size-2e63", 2 ** 63, 1600000000, fs.NF_REG),
        (b"size-2e64-1", 2 ** 64 - 1, 1600000000, fs.NF_REG)],
       [(b"mtime-negative", 1, -1, fs.NF_REG), (b"mtime-2e62", 1, 2 ** 62, fs.NF_REG)])


@fault("cookies-loop")
class CookieLoop(Fault):
    """Each chosen directory (--dirs): two entries a page, cookies 1, 2, ..., 5, 1, 2, ...
    and never eof."""

    cycle = 5

    def page(self, call, node, cookie, maxcount, protocol, mask=None):
        if not self.directory_chosen(node):
            return super().page(call, node, cookie, maxcount, protocol, mask)
        out = []
        for _ in range(2):
            cookie = cookie % self.cycle + 1
            out.append((cookie, fs.Entry(b"loop-%d" % cookie, 5000 + cookie, fs.NF_REG, cookie)))
        return out, False


@fault("readdir-endless")
class EndlessDirectory(Fault):
    """Each chosen directory (--dirs): pages of --page-entries fresh entries with fresh
    cookies, never eof, one page every --page-delay seconds."""

    def page(self, call, node, cookie, maxcount, protocol, mask=None):
        if not self.directory_chosen(node):
            return super().page(call, node, cookie, maxcount, protocol, mask)
        first = max(cookie, 2) + 1
        count = self.options.page_entries
        return [(first + i, fs.Entry(b"endless-%010d" % (first + i), first + i, fs.NF_REG, 1))
                for i in range(count)], False

    def delay(self, call):
        if call.key == "nfs3.readdirplus" or call.key == "nfs3.readdir" or srv.OP_READDIR in call.ops:
            return self.options.page_delay
        return 0.0


hook("readdir-empty-not-eof", "page",
     "Each chosen directory (--dirs): pages without entries that never say eof.",
     lambda self, call, node, cookie, maxcount, protocol, mask=None: ([], False) if self.directory_chosen(node)
     else Fault.page(self, call, node, cookie, maxcount, protocol, mask))


@fault("readdir-1m")
class MillionEntryPage(Fault):
    """One READDIRPLUS / READDIR reply of 1,000,000 entries (no attributes,
    far beyond maxcount), eof set, for each chosen directory (--dirs)."""

    count = 1000000

    def prepare(self):
        names = [b"m%07d" % i for i in range(self.count)]
        u32, u64, opq = xdr.u32, xdr.u64, xdr.opaque
        one, zero = u32(1), u32(0)
        self.v3 = b"".join(one + u64(100 + i) + opq(n) + u64(i + 3) + zero + zero for i, n in enumerate(names))
        self.v3_plain = b"".join(one + u64(100 + i) + opq(n) + u64(i + 3) for i, n in enumerate(names))
        self.v4 = b"".join(one + u64(i + 3) + opq(n) + zero + zero for i, n in enumerate(names))

    def readdir3_reply(self, call, node, cookie, maxcount, plus):
        return xdr.u32(srv.NFS3_OK) + xdr.u32(0) + srv.VERIFIER + (self.v3 if plus else self.v3_plain) + \
            xdr.u32(0) + xdr.u32(1)

    def compound_results(self, call, status, results):
        if self.options.dirs != "all" and call.in_export != (self.options.dirs == "export"):
            return status, results
        out = []
        for op, body in results:
            if op == srv.OP_READDIR and body[:4] == xdr.u32(0):
                body = xdr.u32(0) + srv.VERIFIER + self.v4 + xdr.u32(0) + xdr.u32(1)
            out.append((op, body))
        return status, out


# ---- NFSv4 COMPOUND --------------------------------------------------------

class CompoundFault(Fault):
    def compound_results(self, call, status, results):
        if status != srv.NFS4_OK or not self.selected(call):
            return status, results
        return status, self.alter(results)

    def alter(self, results):
        return results


hook("v4-results-reordered", "alter", "COMPOUND results in reverse order (status NFS4_OK).",
     lambda self, results: list(reversed(results)), CompoundFault)
hook("v4-results-missing", "alter", "COMPOUND replies lack their last result (status NFS4_OK).",
     lambda self, results: results[:-1] if len(results) > 1 else results, CompoundFault)
hook("v4-results-extra", "alter", "An extra PUTFH result before the real ones: every result one place late.",
     lambda self, results: [(srv.OP_PUTFH, xdr.u32(0))] + results, CompoundFault)


def count_declared(name, doc, count):
    """A fault whose COMPOUND replies to the chosen calls declare count(results)
    results, followed by the real ones."""
    hook(name, "compound_reply", doc,
         lambda self, call, tag, status, results: xdr.u32(status) + xdr.opaque(tag) + xdr.u32(count(results)) +
         b"".join(xdr.u32(op) + body for op, body in results) if self.selected(call) else None)
count_declared("v4-count-mismatch", "COMPOUND result count three more than the results sent.",
               lambda results: len(results) + 3)
hook("v4-getfh-for-readdir", "alter",
     "The READDIR result replaced by a GETFH result whose 128-byte handle is made of 0x41 bytes.",
     lambda self, results: [(srv.OP_GETFH, xdr.u32(0) + xdr.opaque(b"A" * 128)) if op == srv.OP_READDIR
                            else (op, body) for op, body in results], CompoundFault)
hook("v4-resop-out-of-range", "alter", "The last result's operation number is 0x7FFFFFF0.",
     lambda self, results: results[:-1] + [(0x7FFFFFF0, results[-1][1])] if results else results, CompoundFault)
count_declared("v4-resarray-overflow",
               "COMPOUND result count 0x0CCCCCCD (x 160 bytes per result wraps to 32), followed by the real "
               "results.", lambda results: 0x0CCCCCCD)
hook("v4-resarray-1gib", "compound_reply",
     "COMPOUND result count 6,710,886 (1 GiB of results) in a short reply.",
     lambda self, call, tag, status, results: xdr.u32(status) + xdr.opaque(tag) + xdr.u32(6710886) +
     xdr.u32(srv.OP_PUTROOTFH) + xdr.u32(0) if self.selected(call) else None)
hook("v4-bitmap-overflow", "fattr4",
     "Attribute bitmaps (GETATTR and every READDIR entry) declaring 0x40000001 words (x 4 wraps to 4 "
     "bytes), then 16 words.",
     lambda self, call, entry, mask: xdr.u32(0x40000001) + xdr.u32(0xFFFFFFFF) * 16 + xdr.opaque(b"")
     if self.selected(call) else Fault.fattr4(self, call, entry, mask))


@fault("v4-bitmap-1gib")
class BitmapOneGiB(Fault):
    """The GETATTR bitmap declares 0x10000000 words (1 GiB) and the reply ends."""

    def compound_reply(self, call, tag, status, results):
        if srv.OP_GETATTR not in call.ops or not self.selected(call):
            return None
        out = []
        for op, body in results:
            if op == srv.OP_GETATTR:
                out.append(xdr.u32(op) + xdr.u32(0) + xdr.u32(0x10000000))
                break
            out.append(xdr.u32(op) + body)
        return xdr.u32(status) + xdr.opaque(tag) + xdr.u32(len(results)) + b"".join(out)


@fault("name-4gib")
class EntryNameFourGiB(Fault):
    """Each chosen directory's (--dirs) page: one entry whose name is declared
    0xFFFFFFF8 bytes long, and the reply ends there. On NFSv4 the cookie's
    low word is 0, so that a decoder that lets the length wrap its position
    back four bytes still finds a complete reply (no attributes, no next
    entry, eof) holding a 4 GiB name."""

    def readdir3_reply(self, call, node, cookie, maxcount, plus):
        if node is None or not self.directory_chosen(node):
            return None
        return xdr.u32(srv.NFS3_OK) + xdr.u32(0) + srv.VERIFIER + xdr.u32(1) + xdr.u64(900) + \
            xdr.u32(0xFFFFFFF8) + b"name"

    def compound_results(self, call, status, results):
        if self.options.dirs != "all" and call.in_export != (self.options.dirs == "export"):
            return status, results
        out = []
        for op, body in results:
            if op == srv.OP_READDIR and body[:4] == xdr.u32(0):
                body = xdr.u32(0) + srv.VERIFIER + xdr.u32(1) + xdr.u64(1 << 32) + xdr.u32(0xFFFFFFF8)
            out.append((op, body))
        return status, out


hook("v4-fh-oversize", "getfh4", "GETFH answers a 1,000-byte handle (NFSv4 allows 128).",
     lambda self, call, node: xdr.opaque(node.handle * 84) if self.selected(call) else None)
hook("v4-fh-4gib", "getfh4", "GETFH answers a handle declared 0xFFFFFFF8 bytes long.",
     lambda self, call, node: xdr.u32(0xFFFFFFF8) + node.handle[:8] if self.selected(call) else None)


BAD_PSEUDO_NAMES = [b".", b"..", b"", b"a/b", b"x\0y"]


@fault("v4-pseudo-bad-names")
class PseudoBadNames(Fault):
    """The pseudo root also lists ".", "..", "", "a/b" and "x\\0y", each
    looking like an export root (a file-system id of its own)."""

    def entries(self, node, protocol, entries):
        if node is not self.peer.tree.root or protocol != 4:
            return entries
        out = list(entries)
        cookie = out[-1][0] if out else 2
        for i, name in enumerate(BAD_PSEUDO_NAMES):
            cookie += 1
            out.append((cookie, fs.Entry(name, 800000 + i, fs.NF_DIR, 4096, fsid=50 + i,
                                         handle=self.peer.tree.root.handle)))
        return out


@fault("v4-pseudo-cycle")
class PseudoCycle(Fault):
    """/vol also lists "loop", a pseudo directory that is /vol itself: the
    pseudo file system never ends."""

    def bind(self, peer):
        super().bind(peer)
        vol = peer.tree.root.by_name[b"vol"]
        vol.by_name[b"loop"] = vol

    def entries(self, node, protocol, entries):
        vol = self.peer.tree.root.by_name[b"vol"]
        if node is not vol or protocol != 4:
            return entries
        cookie = entries[-1][0] if entries else 2
        return list(entries) + [(cookie + 1, vol.entry(b"loop"))]


hook("v4-results-none", "alter", "COMPOUND replies of status NFS4_OK holding no results at all.",
     lambda self, results: [], CompoundFault)


# ---- any call: silence, a close after the reply -----------------------------

hook("no-reply", "send",
     "The chosen calls (--on) are never answered; the connection stays open and other calls are "
     "answered.",
     lambda self, call, message: [])
hook("close-after-reply", "send", "The chosen calls (--on) are answered, then the connection is closed.",
     lambda self, call, message: [("send", srv.frame(message)), ("close",)])


# ---- NFSv4.1 sessions (--v41-only) ------------------------------------------

def sequence_error(name, status, label):
    class SequenceError(Fault):
        def sequence4(self, call, args):
            return status if self.selected(call) else None

    SequenceError.__doc__ = "SEQUENCE of the chosen COMPOUNDs (--on) fails with %s; nothing else is done." % label
    SequenceError.__name__ = "Sequence" + "".join(w.capitalize() for w in name.split("-")[1:])
    return fault(name)(SequenceError)


sequence_error("seq-badsession", srv.NFS4ERR_BADSESSION, "NFS4ERR_BADSESSION")
sequence_error("seq-misordered", srv.NFS4ERR_SEQ_MISORDERED, "NFS4ERR_SEQ_MISORDERED")
sequence_error("seq-badslot", srv.NFS4ERR_BADSLOT, "NFS4ERR_BADSLOT")
sequence_error("seq-delay", srv.NFS4ERR_DELAY, "NFS4ERR_DELAY, every time")


@fault("seq-delay-once")
class SequenceDelayOnce(Fault):
    """SEQUENCE of each chosen COMPOUND (--on) fails with NFS4ERR_DELAY the
    first time the session sees the COMPOUND's operations; sent again, they
    are served."""

    def prepare(self):
        self.seen = set()

    def sequence4(self, call, args):
        if not self.selected(call):
            return None
        key = (args.session_id, call.after_sequence)
        if key in self.seen:
            return None
        self.seen.add(key)
        return srv.NFS4ERR_DELAY


def sequence_changed(name, doc, change):
    """A fault that changes the SEQUENCE results of the chosen COMPOUNDs
    (--on) by change(res): a dict of the fields' new values."""
    hook(name, "sequence4_reply", doc,
         lambda self, call, res: res.update(change(res)) if self.selected(call) else None)


sequence_changed("seq-wrong-session",
                 "The SEQUENCE results of the chosen COMPOUNDs (--on) name another session.",
                 lambda res: {"session_id": res["session_id"][:-1] + bytes([res["session_id"][-1] ^ 0xFF])})
sequence_changed("seq-wrong-slot",
                 "The SEQUENCE results of the chosen COMPOUNDs (--on) are for the next slot up.",
                 lambda res: {"slot": res["slot"] + 1})
sequence_changed("seq-wrong-sequence",
                 "The SEQUENCE results of the chosen COMPOUNDs (--on) carry the next sequence id up.",
                 lambda res: {"sequence_id": (res["sequence_id"] + 1) & 0xFFFFFFFF})
sequence_changed("seq-slots-absurd",
                 "The SEQUENCE results say the highest slot and the target highest slot are 0xFFFFFFFF "
                 "(the session serves what it granted).",
                 lambda res: dict.fromkeys(("highest_slot", "target_highest_slot"), 0xFFFFFFFF))
hook("exchange-refused", "exchange_id4", "EXCHANGE_ID answered NFS4ERR_PERM.",
     lambda self, call, reply: srv.NFS4ERR_PERM)


EXCHANGE_FIELDS = ("owner", "scope", "impl-domain", "impl-name")


def exchange_texts(reply, field, make):
    """`reply` with the text of `field` (or of every field: "all") made by make(old)."""
    fields = EXCHANGE_FIELDS if field == "all" else (field,)
    if "owner" in fields:
        reply["owner_major"] = make(reply["owner_major"])
    if "scope" in fields:
        reply["scope"] = make(reply["scope"])
    domain, name, seconds, nseconds = reply["impl_ids"][0]
    if "impl-domain" in fields:
        domain = make(domain)
    if "impl-name" in fields:
        name = make(name)
    reply["impl_ids"] = [(domain, name, seconds, nseconds)]


@fault("exchange-text-long")
class ExchangeIdTextLong(Fault):
    """The EXCHANGE_ID reply's --field text (owner: the server owner's major
    id; scope; impl-domain, impl-name: the implementation id's; all) made
    --text-bytes long (default 100,000; the protocol allows 1,024)."""

    def exchange_id4(self, call, reply):
        size = self.options.text_bytes
        exchange_texts(reply, self.options.field, lambda old: (old * (size // len(old) + 1))[:size])
        return None


@fault("exchange-text-4gib")
class ExchangeIdTextFourGiB(Fault):
    """The EXCHANGE_ID reply's --field text declared 0xFFFFFFF8 bytes long,
    eight bytes of it sent, and the reply ends there."""

    def exchange_id4(self, call, reply):
        marker = b"\xAB" * 7
        exchange_texts(reply, self.options.field if self.options.field != "all" else "owner", lambda old: marker)
        body = srv.encode_exchange_id(reply)
        at = body.index(xdr.opaque(marker))
        return body[:at] + xdr.u32(0xFFFFFFF8) + b"\xAB" * 8


@fault("exchange-impl-ids-many")
class ExchangeIdManyImplIds(Fault):
    """The EXCHANGE_ID reply's implementation id array declares 0x40000001
    entries (the protocol allows one) and holds one."""

    def exchange_id4(self, call, reply):
        body = srv.encode_exchange_id(reply)
        domain, name, seconds, nseconds = reply["impl_ids"][0]
        one = xdr.opaque(domain) + xdr.opaque(name) + xdr.i64(seconds) + xdr.u32(nseconds)
        return body[:-len(one) - 4] + xdr.u32(0x40000001) + one


hook("create-session-refused", "create_session4",
     "CREATE_SESSION answered NFS4ERR_NOSPC (the client id was made).",
     lambda self, call, grant: 28)
hook("create-session-0-slots", "create_session4",
     "CREATE_SESSION grants a fore channel of 0 slots (and serves none).",
     lambda self, call, grant: grant["fore"].update(maxrequests=0))
hook("create-session-huge", "create_session4",
     "CREATE_SESSION grants a fore channel of 0xFFFFFFFF of everything: header padding, request and reply "
     "sizes, cached reply size, operations and slots (and the session serves that).",
     lambda self, call, grant: grant["fore"].update(dict.fromkeys(
         ("headerpadsize", "maxrequestsize", "maxresponsesize", "maxresponsesize_cached", "maxoperations",
          "maxrequests"), 0xFFFFFFFF)))
hook("create-session-tiny", "create_session4",
     "CREATE_SESSION grants a fore channel of 256-byte requests and replies, 2 operations and 1 slot "
     "(the least the protocol's servers take).",
     lambda self, call, grant: grant["fore"].update(maxrequestsize=256, maxresponsesize=256,
                                                    maxresponsesize_cached=0, maxoperations=2, maxrequests=1))
hook("create-session-wrong-sequence", "create_session4",
     "The CREATE_SESSION reply carries the sequence after the one asked for (the session is made).",
     lambda self, call, grant: grant.update(sequence=(grant["sequence"] + 1) & 0xFFFFFFFF))
