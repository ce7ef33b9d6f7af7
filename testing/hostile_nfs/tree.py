"""The in-memory file tree the peer serves, and its attribute encodings.

    /                      pseudo root (NFSv4), not exported
    /vol, /home            pseudo directories
    /vol/vol1              export: docs/, big/ (N files), README.txt
    /vol/vol2              export: archive/ (three folders)
    /home/alice            export: notes.txt, Documents/

MOUNT lists /vol/vol1, /vol/vol2, /home/alice in that order. Every export
has a file-system id of its own; the pseudo directories share one. The
catalogue tests know this tree: change it together with
tests/integration/hostile/HostileCatalogueTest.cpp.
"""

import struct

import xdr

NF_REG = 1
NF_DIR = 2

PSEUDO_FSID = 0x98

# NFSv4 attribute numbers this peer can send.
A_SUPPORTED_ATTRS = 0
A_TYPE = 1
A_FH_EXPIRE_TYPE = 2
A_CHANGE = 3
A_SIZE = 4
A_FSID = 8
A_RDATTR_ERROR = 11
A_FILEHANDLE = 19
A_FILEID = 20
A_MODE = 33
A_NUMLINKS = 35
A_TIME_MODIFY = 53
A_MOUNTED_ON_FILEID = 55
SUPPORTED = (A_SUPPORTED_ATTRS, A_TYPE, A_FH_EXPIRE_TYPE, A_CHANGE, A_SIZE, A_FSID, A_RDATTR_ERROR,
             A_FILEHANDLE, A_FILEID, A_MODE, A_NUMLINKS, A_TIME_MODIFY, A_MOUNTED_ON_FILEID)

_HANDLE = struct.Struct(">4sQ")
HANDLE_MAGIC = b"hnfs"


class Entry:
    """One directory entry as the wire sees it. Faults make entries of their
    own (names and attributes of their choice) without a node behind them."""

    __slots__ = ("name", "fileid", "type", "size", "mtime", "mode", "fsid", "handle", "node")

    def __init__(self, name, fileid, type_=NF_REG, size=0, mtime=1600000000, mode=0o644, fsid=1,
                 handle=None, node=None):
        self.name = name
        self.fileid = fileid
        self.type = type_
        self.size = size
        self.mtime = mtime
        self.mode = mode
        self.fsid = fsid
        self.handle = handle
        self.node = node


class Node:
    __slots__ = ("id", "name", "type", "size", "mtime", "mode", "fsid", "parent", "children", "by_name",
                 "export")

    def __init__(self, tree, name, type_, parent=None, size=0, mtime=1600000000, fsid=None):
        self.id = len(tree.nodes) + 1
        tree.nodes[self.id] = self
        self.name = name
        self.type = type_
        self.size = size
        self.mtime = mtime
        self.mode = 0o755 if type_ == NF_DIR else 0o644
        self.fsid = fsid if fsid is not None else (parent.fsid if parent else PSEUDO_FSID)
        self.parent = parent
        self.children = []
        self.by_name = {}
        self.export = None  # the export path when this is an export's root
        if parent is not None:
            parent.children.append(self)
            parent.by_name[name] = self

    @property
    def handle(self):
        return _HANDLE.pack(HANDLE_MAGIC, self.id)

    def entry(self, name=None):
        return Entry(self.name if name is None else name, self.id, self.type, self.size, self.mtime,
                     self.mode, self.fsid, self.handle, self)

    def path(self):
        parts = []
        node = self
        while node.parent is not None:
            parts.append(node.name.decode("latin-1"))
            node = node.parent
        return "/" + "/".join(reversed(parts))


class Tree:
    def __init__(self, big_entries=1000):
        self.nodes = {}
        self.root = Node(self, b"", NF_DIR)
        vol = Node(self, b"vol", NF_DIR, self.root)
        home = Node(self, b"home", NF_DIR, self.root)
        self.exports = []

        vol1 = self.add_export(vol, b"vol1", 1)
        docs = Node(self, b"docs", NF_DIR, vol1, size=4096, mtime=1716200000)
        Node(self, b"contracts", NF_DIR, docs, size=4096, mtime=1716200000)
        Node(self, b"policy.md", NF_REG, docs, size=32174, mtime=1444007287)
        Node(self, b"org chart.png", NF_REG, docs, size=6137019, mtime=1435316578)
        Node(self, b"budget-2024.xlsx", NF_REG, docs, size=6792782, mtime=1701800980)
        big = Node(self, b"big", NF_DIR, vol1, size=4096, mtime=1700000000)
        for i in range(big_entries):
            Node(self, b"f%07d" % i, NF_REG, big, size=i, mtime=1600000000 + i)
        Node(self, b"README.txt", NF_REG, vol1, size=2214, mtime=1700000000)

        vol2 = self.add_export(vol, b"vol2", 2)
        archive = Node(self, b"archive", NF_DIR, vol2, size=4096, mtime=1707436800)
        for year in (b"2023", b"2022", b"2021"):
            Node(self, year, NF_DIR, archive, size=4096, mtime=1676000000)

        alice = self.add_export(home, b"alice", 3)
        Node(self, b"notes.txt", NF_REG, alice, size=8134, mtime=1647361085)
        Node(self, b"Documents", NF_DIR, alice, size=4096, mtime=1649906824)

        self.docs = docs
        self.big = big

    def add_export(self, parent, name, fsid):
        node = Node(self, name, NF_DIR, parent, size=4096, mtime=1700000000, fsid=fsid)
        node.export = node.path()
        self.exports.append(node)
        return node

    def by_handle(self, handle):
        if len(handle) != _HANDLE.size:
            return None
        magic, ident = _HANDLE.unpack(handle)
        return self.nodes.get(ident) if magic == HANDLE_MAGIC else None

    def export_root(self, path):
        for node in self.exports:
            if node.export.encode("latin-1") == path:
                return node
        return None


# ---- NFSv3 -----------------------------------------------------------------

def fattr3(entry):
    """fattr3 of an entry (84 bytes)."""
    size = entry.size & 0xFFFFFFFFFFFFFFFF
    mtime = entry.mtime & 0xFFFFFFFF
    return b"".join((
        xdr.u32(entry.type), xdr.u32(entry.mode), xdr.u32(1), xdr.u32(0), xdr.u32(0),
        xdr.u64(size), xdr.u64(size), xdr.u32(0), xdr.u32(0),
        xdr.u64(entry.fsid), xdr.u64(entry.fileid),
        xdr.u32(mtime), xdr.u32(0), xdr.u32(mtime), xdr.u32(0), xdr.u32(mtime), xdr.u32(0)))


def post_op_attr(entry):
    return xdr.u32(1) + fattr3(entry) if entry is not None else xdr.u32(0)


# ---- NFSv4 -----------------------------------------------------------------

def mask_bits(words):
    bits = []
    for w, word in enumerate(words):
        for b in range(32):
            if (word >> b) & 1:
                bits.append(w * 32 + b)
    return bits


def bitmap_words(bits):
    if not bits:
        return []
    words = [0] * (max(bits) // 32 + 1)
    for bit in bits:
        words[bit // 32] |= 1 << (bit % 32)
    return words


def encode_bitmap(words):
    return xdr.u32(len(words)) + b"".join(xdr.u32(w) for w in words)


def attr_value(entry, bit, mounted_on=None):
    if bit == A_SUPPORTED_ATTRS:
        return encode_bitmap(bitmap_words(SUPPORTED))
    if bit == A_TYPE:
        return xdr.u32(entry.type)
    if bit == A_FH_EXPIRE_TYPE:
        return xdr.u32(0)  # persistent
    if bit == A_CHANGE:
        return xdr.u64(entry.mtime & 0xFFFFFFFFFFFFFFFF)
    if bit == A_SIZE:
        return xdr.u64(entry.size)
    if bit == A_FSID:
        return xdr.u64(entry.fsid) + xdr.u64(0)
    if bit == A_RDATTR_ERROR:
        return xdr.u32(0)
    if bit == A_FILEHANDLE:
        return xdr.opaque(entry.handle or b"")
    if bit == A_FILEID:
        return xdr.u64(entry.fileid)
    if bit == A_MODE:
        return xdr.u32(entry.mode)
    if bit == A_NUMLINKS:
        return xdr.u32(1)
    if bit == A_TIME_MODIFY:
        return xdr.i64(entry.mtime) + xdr.u32(0)
    if bit == A_MOUNTED_ON_FILEID:
        return xdr.u64(mounted_on if mounted_on is not None else entry.fileid)
    raise ValueError("attribute %d not supported" % bit)


def fattr4(entry, asked_words, mounted_on=None):
    """fattr4 holding the asked attributes this peer supports, in bit order."""
    bits = [b for b in mask_bits(asked_words) if b in SUPPORTED]
    if entry.handle is None and A_FILEHANDLE in bits:
        bits.remove(A_FILEHANDLE)
    values = b"".join(attr_value(entry, b, mounted_on) for b in bits)
    return encode_bitmap(bitmap_words(bits)) + xdr.opaque(values)
