#!/usr/bin/env python3
"""Writes the control fuzzer's seed corpus (fuzz/corpus/): one input per
file in the layout control_program.h reads: an account byte, then for each
request a code pick, input and output lengths (2 bytes each), the record's
bytes, and one choice byte (+ detail byte for strings) per pointer field."""
import os
import struct

VERSION, FREEZE, THAW, PROGRESS, ADD_PT, REMOVE_PT, CLEAR_PT, ENABLE_EXT, READ_EXT = range(9)
ADMIN, BACKUP, PLAIN = 0, 2, 3


def request(pick, length, record=b"", out=None, fields=b""):
    out = length if out is None else out
    return bytes([pick]) + struct.pack("<HH", length, out) + record.ljust(min(length, 576), b"\0") + fields


def string(choice, detail=0):
    return bytes([choice, detail])


def freeze(volume=string(1, 0), partial=string(1, 4), store=string(1, 5), mutex=1, flags=0):
    record = bytearray(576)
    struct.pack_into("<I", record, 536, flags)
    struct.pack_into("<QQ", record, 544, 20, 5)
    return request(FREEZE, 576, bytes(record), fields=volume + partial + store + bytes([mutex]))


def on_volume(pick, length, record=b"", handle=1, extra=b""):
    return request(pick, length, record, fields=bytes([handle]) + extra)


seeds = {
    "version": bytes([PLAIN]) + request(VERSION, 0, out=16),
    "freeze_progress_extents_thaw": bytes([ADMIN]) + freeze()
    + on_volume(PROGRESS, 24, struct.pack("<IIIIQ", 0, 0, 0, 0, 4096))
    + on_volume(ENABLE_EXT, 8)
    + on_volume(READ_EXT, 24, struct.pack("<IIIIII", 0, 0, 0, 0, 240, 0), extra=bytes([1]))
    + on_volume(THAW, 8),
    "freeze_without_store_replace": bytes([BACKUP]) + freeze(store=string(5)) + freeze(store=string(5), flags=2)
    + on_volume(THAW, 8),
    "freeze_unterminated_and_unmapped_names": bytes([ADMIN]) + freeze(volume=string(2, 3))
    + freeze(partial=string(3, 0)) + freeze(volume=string(4, 40), mutex=2),
    "freeze_short_lengths": bytes([ADMIN])
    + request(FREEZE, 100, out=8, fields=string(1, 0) + string(1, 4) + string(5) + bytes([1]))
    + request(FREEZE, 576, out=3, fields=string(1, 0) + string(1, 4) + string(5) + bytes([1])),
    "pass_through": bytes([ADMIN]) + request(ADD_PT, 8, fields=bytes([3])) + request(ADD_PT, 8, fields=bytes([5]))
    + request(REMOVE_PT, 8, fields=bytes([3])) + request(ADD_PT, 8, fields=bytes([4]))
    + request(CLEAR_PT, 4),
    "extents_into_record": bytes([ADMIN]) + freeze() + on_volume(ENABLE_EXT, 8)
    + on_volume(READ_EXT, 24, struct.pack("<IIIIII", 0, 0, 0, 0, 0x7FFFFFFF, 0), extra=bytes([4]))
    + on_volume(READ_EXT, 24, struct.pack("<IIIIII", 0, 0, 0, 0, 48, 0), extra=bytes([2]))
    + on_volume(THAW, 8),
    "unknown_code": bytes([ADMIN, 0xF0]) + struct.pack("<IHH", 0x80002024, 16, 16) + bytes(16),
}

corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(corpus, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(corpus, name), "wb") as f:
        f.write(data)
