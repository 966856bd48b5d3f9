#!/usr/bin/env python3
"""Prints the records of a Registry.pol file, one per line: key, value name,
type and data. Reads the file with Samba's PReg codec when it is installed,
otherwise with the small reader beside this script."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import preg  # noqa: E402


def read_records(blob):
    try:
        from samba.dcerpc import preg as samba_preg
        from samba.ndr import ndr_unpack
    except ImportError:
        return "the reader in tests/wine/preg.py", preg.parse(blob)
    parsed = ndr_unpack(samba_preg.file, blob)
    records = []
    for entry in parsed.entries:
        data = entry.data
        if isinstance(data, int):
            data = data.to_bytes(4, "little")
        elif isinstance(data, str):
            data = (data + "\0").encode("utf-16-le")
        elif isinstance(data, list):
            data = bytes(data)
        records.append((entry.keyname, entry.valuename, entry.type, bytes(data)))
    return "Samba's PReg codec", records


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: show_policy.py Registry.pol")
    with open(sys.argv[1], "rb") as f:
        blob = f.read()
    reader, records = read_records(blob)
    print("%s: %d bytes, %d records (read with %s)" % (sys.argv[1], len(blob), len(records), reader))
    for key, name, value_type, data in records:
        print("  [%s] %s = %s %s" % (key, name, preg.TYPE_NAMES.get(value_type, str(value_type)),
                                     preg.describe(value_type, data)))


if __name__ == "__main__":
    main()
