#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small crafted Registry.pol files, one per
shape of input the merge must handle. Run it from anywhere; it rewrites
seeds/ next to itself."""

import os
import struct

TS = 'SOFTWARE\\Policies\\Microsoft\\Windows NT\\Terminal Services'
CLIENT = TS + '\\Client'
ROWS = [
    (TS, 'KeepAliveEnable'), (TS, 'KeepAliveInterval'), (TS, 'SelectTransport'), (TS, 'fDisableCam'),
    (TS, 'fDisableAudioCapture'), (TS, 'fDisablePNPRedir'), (TS, 'fEnableVirtualizedGraphics'),
    (TS, 'VGOptimization_CaptureFrameRate'), (TS, 'VGOptimization_CompressionRatio'),
    (TS, 'VisualExperiencePolicy'), (TS, 'ColorDepth'), (TS, 'bEnumerateHWBeforeSW'),
    (TS, 'fEnableRemoteFXAdvancedRemoteApp'), (TS, 'MaxCompressionLevel'), (TS, 'ImageQuality'),
    (TS, 'GraphicsProfile'), (TS, 'SecurityLayer'), (CLIENT, 'fUsbRedirectionEnableMode'),
]
# The value of each row, in the same order: a file of these is up to date.
VALUES = [1, 999998, 0, 0, 0, 0, 1, 1, 1, 1, 999, 1, 1, 0, 2, 1, 1, 2]
HEADER = b'PReg\x01\x00\x00\x00'


def u16(text):
    return text.encode('utf-16-le')


def dword(value):
    return struct.pack('<I', value)


def record(key, name, kind, data, size=None):
    size = len(data) if size is None else size
    return (u16('[' + key) + b'\0\0' + u16(';' + name) + b'\0\0' + u16(';') + dword(kind) + u16(';') +
            dword(size) + u16(';') + data + u16(']'))


def fields_then(key, name, fields, end):
    """A row's record cut short: the given fields, then the end mark."""
    body = b''.join(u16(';') + field for field in fields)
    return u16('[' + key) + b'\0\0' + u16(';' + name) + b'\0\0' + body + u16(end)


def stale(i):
    return record(ROWS[i][0], ROWS[i][1], 4, dword(7))


NINETY_THREE = record(TS, 'Ninety-three', 4, dword(93))

SEEDS = {
    'header-only': HEADER,
    'too-short': HEADER[:5],
    'version-2': b'PReg\x02\x00\x00\x00',
    'all-rows': HEADER + b''.join(stale(i) for i in range(18)),
    'case-and-lookalikes': HEADER + record(TS.lower(), 'FDISABLECAM', 4, dword(1)) +
    record(TS, '\u212aeepAliveEnable', 4, dword(1)) + record(TS, 'VGOptimization\x7fCaptureFrameRate', 4, dword(1)) +
    record(TS, ROWS[17][1], 4, dword(1)) + stale(17),
    'close-marks-in-data': HEADER + record(TS, 'Banner', 1, u16('[a];]\0')) + stale(0) +
    NINETY_THREE + stale(1) + record('SOFTWARE\\Other', 'Blob', 3, b']' + bytes(92)) +
    record(TS, 'Odd type', 93, dword(0x5d5d)) + stale(2),
    'odd-sizes': HEADER + record(TS, 'One', 3, b'A') + stale(8) + record(TS, 'Three', 3, b'A]\0') + stale(9),
    'lying-sizes': HEADER + record(TS, 'Short', 3, u16('abcd'), 2) + stale(12) +
    record(TS, 'Long', 3, u16('abcd'), 1000) + record(TS, 'Huge', 3, u16('abcd'), 0xffffffff) + stale(13),
    # Each size leads to the "]" of the row's record after it.
    'size-takes-in-a-row': HEADER + record(TS, 'Swallow', 3, dword(7), 4 + len(stale(0))) + stale(0) + stale(1) +
    record(TS, 'Swallow', 3, dword(7), 4 + len(stale(2))) + stale(2),
    # The size leads 10 bytes past the record's own "]", onto the 93 inside
    # the next record's data.
    'size-onto-93': HEADER + record(TS, 'Long', 3, u16('abcd'), 10 + len(NINETY_THREE) - 6) + NINETY_THREE + stale(5),
    'up-to-date': HEADER + b''.join(record(ROWS[i][0], ROWS[i][1], 4, dword(v)) for i, v in enumerate(VALUES)),
    'empty-key': HEADER + record('', '', 4, dword(1)) + record('', 'ColorDepth', 4, dword(1)) + stale(10),
    'missing-last-byte': (HEADER + stale(16))[:-1],
    'other-missing-last-byte': (HEADER + stale(3) + record(TS, 'x', 4, dword(5)))[:-1],
    'prefix-param-0': HEADER + fields_then(TS, ROWS[5][1], [dword(4)], ']') + stale(0) +
    fields_then(TS, ROWS[6][1], [dword(4), dword(4)], ']'),
    'postfix-entity': HEADER + stale(0) + record(TS, ROWS[3][1], 4, dword(1) + dword(2)),
    'unterminated': HEADER + stale(0) + record(TS, 'x', 4, dword(7))[:-2],
    'bad-separators': HEADER + fields_then(TS, ROWS[7][1], [dword(4)], ',') +
    u16('[' + TS) + b'\0\0' + u16(',x'),
}

here = os.path.dirname(os.path.abspath(__file__))
folder = os.path.join(here, 'seeds')
os.makedirs(folder, exist_ok=True)
for old in os.listdir(folder):
    os.remove(os.path.join(folder, old))
for name, data in SEEDS.items():
    with open(os.path.join(folder, name + '.pol'), 'wb') as seed:
        seed.write(data)
