"""The PReg policy file format, as far as the Wine suite and the demo need it:
building files from records and reading records back."""

import struct

HEADER = b"PReg\x01\x00\x00\x00"
REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
              7: "REG_MULTI_SZ", 11: "REG_QWORD"}


def record(key, name, value_type, data):
    """One record; data is bytes, or an int for the 4 bytes of a REG_DWORD."""
    if isinstance(data, int):
        data = struct.pack("<I", data)
    text = lambda s: s.encode("utf-16-le")
    return (text("[" + key + "\0;" + name + "\0;") + struct.pack("<I", value_type) + text(";")
            + struct.pack("<I", len(data)) + text(";") + data + text("]"))


def build(records):
    return HEADER + b"".join(record(*r) for r in records)


def parse(blob):
    """The records of a file as (key, name, type, data bytes); ValueError when
    the file is not well formed."""
    if blob[:8] != HEADER:
        raise ValueError("no PReg header")
    records, pos = [], 8

    def text_until_nul(pos):
        end = pos
        while blob[end:end + 2] != b"\0\0":
            if end >= len(blob):
                raise ValueError("text without its NUL at offset %d" % pos)
            end += 2
        return blob[pos:end].decode("utf-16-le"), end + 2

    def mark(pos, char):
        if blob[pos:pos + 2] != char.encode("utf-16-le"):
            raise ValueError("no %r at offset %d" % (char, pos))
        return pos + 2

    while pos < len(blob):
        key, pos = text_until_nul(mark(pos, "["))
        name, pos = text_until_nul(mark(pos, ";"))
        pos = mark(pos, ";")
        value_type, = struct.unpack_from("<I", blob, pos)
        pos = mark(pos + 4, ";")
        size, = struct.unpack_from("<I", blob, pos)
        pos = mark(pos + 4, ";")
        data = blob[pos:pos + size]
        pos = mark(pos + size, "]")
        records.append((key, name, value_type, data))
    return records


def describe(value_type, data):
    """A value's data as a person reads it."""
    if value_type == REG_DWORD and len(data) == 4:
        value, = struct.unpack("<I", data)
        return "%d (0x%X)" % (value, value)
    if value_type in (1, 2) and len(data) % 2 == 0:
        return repr(data.decode("utf-16-le").rstrip("\0"))
    return data.hex(" ")
