#!/usr/bin/env python3
"""Writes the seed corpus of exchange_reply (little-endian, the fuzzing host's
order). Each seed: one option byte, then the daemon's byte stream."""
import os
import struct

MAGIC = 0x6F79696E
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def frame(typ, data=b"", seq=0, status=0, result=0, err=0, data_len=None, magic=MAGIC):
    n = len(data) if data_len is None else data_len
    return struct.pack("<iIIiiiiii12x", typ, magic, seq, n, status, result, err, 0, 0) + data


def seed(name, opt, stream):
    with open(os.path.join(here, name), "wb") as f:
        f.write(bytes([opt]) + stream)


os.makedirs(here, exist_ok=True)
i32 = lambda v: struct.pack("<i", v)
seed("result_plain", 0, frame(0, result=7))
seed("result_int", 3, frame(0, i32(42), result=0))
seed("result_str_int", 5, frame(0, b"eth0\0" + i32(5), result=1, err=3))
seed("result_all", 7, frame(0, i32(1) + b"ABCDEFGH" + b"name\0" + b"abc\0", result=2))
seed("result_status", 1, frame(0, status=9, result=0, err=4))
seed("result_minus1", 3, frame(0, result=-1, err=12))
seed("result_short", 7, frame(0, i32(1) + b"AB", result=0))
seed("print_end", 1, frame(1, b"hello ") + frame(1, b"world\n") + frame(4) + frame(0, result=0))
seed("xml_long", 0, frame(2, b"<a>" + b"x" * 9993 + b"</a>") + frame(0, result=0))
seed("input", 1, frame(3, b"Password: \0", result=5) + frame(3, b"\0") + frame(0, result=0))
seed("input_no_nul", 0, frame(3, b"prompt without end") + frame(0, result=0))
seed("run_cmd", 1, frame(5, b"ls -l\0") + frame(5, b"no nul") + frame(0, result=0))
seed("bad_type", 1, frame(9, b"junk") + frame(-3) + frame(0, result=0))
seed("other_seq", 1, frame(0, seq=5, result=3) + frame(1, b"x", magic=0x12345678) + frame(0, result=4))
seed("negative_len", 1, frame(1, data_len=-100) + frame(0, result=0))
seed("huge_len", 1, frame(1, b"abc", data_len=0x7FFFFFFF))
seed("truncated_header", 0, frame(0, result=0)[:30])
seed("long_result", 3, frame(0, i32(8) + b"z" * 6000, result=0) + frame(0, seq=1))
seed("no_hooks", 8 | 1, frame(1, b"text") + frame(3, b"?\0") + frame(5, b"cmd\0") + frame(0, result=0))
