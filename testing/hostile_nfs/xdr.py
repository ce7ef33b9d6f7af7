"""XDR encoding and decoding (RFC 4506) for the hostile NFS peer and the
delay proxy.

The functions encode a reply's parts; Decoder reads a call and raises
XdrError on anything short or out of range, so that a call the peer cannot
read is answered with GARBAGE_ARGS instead of a traceback. RecordReader
splits a stream into RPC records (record marking).
"""

import struct

_U32 = struct.Struct(">I")
_U64 = struct.Struct(">Q")
_I64 = struct.Struct(">q")


class XdrError(Exception):
    pass


def pad(length):
    return b"\0" * ((4 - length % 4) % 4)


def u32(value):
    return _U32.pack(value & 0xFFFFFFFF)


def u64(value):
    return _U64.pack(value & 0xFFFFFFFFFFFFFFFF)


def i64(value):
    return _I64.pack(value)


def opaque(data):
    """Variable-length opaque or string: length, bytes, padding."""
    return _U32.pack(len(data)) + data + pad(len(data))


def fixed(data):
    """Fixed-length opaque: bytes and padding."""
    return data + pad(len(data))


def boolean(value):
    return _U32.pack(1 if value else 0)


class Decoder:
    def __init__(self, data, offset=0):
        self.data = data
        self.pos = offset

    def left(self):
        return len(self.data) - self.pos

    def take(self, count):
        if count < 0 or self.pos + count > len(self.data):
            raise XdrError("short data: need %d bytes at %d of %d" % (count, self.pos, len(self.data)))
        chunk = self.data[self.pos:self.pos + count]
        self.pos += count
        return chunk

    def u32(self):
        return _U32.unpack(self.take(4))[0]

    def u64(self):
        return _U64.unpack(self.take(8))[0]

    def bool(self):
        value = self.u32()
        if value > 1:
            raise XdrError("boolean out of range: %d" % value)
        return value == 1

    def opaque(self, limit=None):
        length = self.u32()
        if limit is not None and length > limit:
            raise XdrError("opaque of %d bytes, limit %d" % (length, limit))
        data = self.take(length)
        self.take((4 - length % 4) % 4)
        return data

    def fixed(self, length):
        data = self.take(length)
        self.take((4 - length % 4) % 4)
        return data

    def bitmap(self, limit=64):
        words = self.u32()
        if words > limit:
            raise XdrError("bitmap of %d words" % words)
        return [self.u32() for _ in range(words)]


class RecordReader:
    """Splits one direction of a connection into RPC records (record
    marking, fragments joined). A fragment longer than `limit` cannot be
    RPC: from then on everything passes through unread."""

    def __init__(self, limit):
        self.limit = limit
        self.buffer = bytearray()
        self.fragments = []
        self.raw = bytearray()  # bytes of the record being read, markers included
        self.passthrough = False

    def feed(self, data):
        """[(raw bytes, record or None)]: raw bytes to forward, with the
        record they complete (None in passthrough)."""
        if self.passthrough:
            return [(bytes(data), None)]
        self.buffer += data
        out = []
        while len(self.buffer) >= 4:
            marker = _U32.unpack_from(self.buffer)[0]
            length = marker & 0x7FFFFFFF
            if length > self.limit:
                self.passthrough = True
                out.append((bytes(self.raw) + bytes(self.buffer), None))
                self.raw.clear()
                self.buffer.clear()
                return out
            if len(self.buffer) < 4 + length:
                break
            self.raw += self.buffer[:4 + length]
            self.fragments.append(bytes(self.buffer[4:4 + length]))
            del self.buffer[:4 + length]
            if marker & 0x80000000:
                out.append((bytes(self.raw), b"".join(self.fragments)))
                self.raw.clear()
                self.fragments = []
        return out
