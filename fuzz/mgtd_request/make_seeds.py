#!/usr/bin/env python3
"""Writes the seed corpus of mgtd_request: request frames as the library
encodes them (32-bit words little-endian, the fuzzing host's order; item
sizes high byte first), a few requests per seed on one connection."""
import os
import struct

MAGIC = 0x6F79696E
here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def item(kind, size, data=b""):
    return bytes([kind]) + struct.pack(">H", size) + data


I = lambda v: item(0, 4, struct.pack("<i", v))
S = lambda s: item(2, len(s) + 1, s.encode() + b"\0")   # AddStrToMsg
A = lambda b: item(1, len(b), b)                        # AddArrayToMsg
P = lambda n: item(3, n)                                # AddPtrToMsg
T = lambda n: item(4, n)                                # AddStrPtrToMsg


def request(opcode, items, seq=0, privilege=3, uid=1000):
    body = b"".join(items)
    total = 56 + len(body)
    total += (-total) % 4
    hdr = struct.pack("<IIIiIiiiIi16x", 56, seq, total, len(items), opcode, privilege, uid, 0,
                      MAGIC, 0)
    return (hdr + body).ljust(total, b"\0")


def seed(name, *frames):
    with open(os.path.join(here, name), "wb") as f:
        f.write(b"".join(frames))


os.makedirs(here, exist_ok=True)
seed("get_param", request(14, [S("system.hostname"), I(50), P(50), I(0)]))
seed("set_param", request(13, [S("system.location"), I(0), S("Lab 4"), I(0)]))
seed("int_set_get", request(47, [S("system.network.mtu.default"), I(1400), I(0)]),
     request(48, [S("system.network.mtu.default"), P(4), I(0)], seq=1))
seed("walk", request(4, [S("system"), P(4)]), request(11, [I(1), P(4), P(4)], seq=1),
     request(12, [I(1), P(4)], seq=2), request(12, [I(1), P(4)], seq=3))
seed("params", request(18, [I(1), T(50), P(4), P(4)]), request(19, [I(1), T(50), P(4)], seq=1),
     request(30, [I(1), S("dns"), T(50), P(4)], seq=2), request(31, [I(1), T(50)], seq=3))
seed("entity_texts", request(7, [I(2), T(50)]), request(8, [I(2), T(255)], seq=1),
     request(20, [I(2), T(100)], seq=2), request(36, [I(5)], seq=3))
seed("meta", request(15, [S("system.loglevel"), T(255)]), request(21, [S("system.loglevel"), P(4)]),
     request(22, [S("system.loglevel"), I(3), I(50), T(50)]), request(23, [S("system.loglevel"), P(4)]),
     request(24, [S("system.network.mtu.default"), P(4), P(4), P(4)]),
     request(35, [S("system.loglevel"), I(50), A(struct.pack("<i", 0)), T(50)]))
seed("exec_ping", request(26, [I(1), S("ping"), S("count 2")]))
seed("exec_reboot", request(42, [I(3), S("reboot"), S(""), T(255), I(255)]),
     request(26, [I(3), S("reboot"), S("")], seq=1))
seed("commands", request(28, [I(3), T(50), T(255), P(4)]), request(29, [I(3), T(50), T(255)], seq=1),
     request(32, [I(1), S("ping"), A(struct.pack("<i", 0)), S(""), T(255)], seq=2),
     request(33, [I(1), S("ping")], seq=3))
seed("users", request(34, [S("admin"), S("admin"), P(4), P(4)], privilege=4),
     request(40, [S("admin")], privilege=5), request(27, [I(300), P(4)], privilege=4),
     request(61, [S("admin"), I(16), P(16)]), request(60, [S("admin"), I(4), S("abc")]))
seed("log_traps", request(57, [S("login ok")]), request(59, [S("admin"), S("did it")]),
     request(58, [S("10.0.0.7")]), request(43, [P(896), P(16), I(16)]),
     request(56, [P(896), P(8), I(8), P(8), I(8)]), request(49, [I(1)]))
seed("misc", request(44, [I(3), I(255), T(255)]), request(45, [T(64), I(64)]),
     request(39, [S("VERSION"), T(255)]), request(37, [I(1), S("system.hostname")]),
     request(38, [I(1), S("system.hostname")]), request(41, [S("system.hostname"), S("x"), T(255), I(255)]))
seed("buffers", request(50, [S("system.contact"), I(8), A(b"a@b.c\0\0\0"), I(0)]),
     request(53, [S("system.contact"), I(8), P(8), I(0)]))
seed("bad_items", request(14, [I(5), I(5)]), request(99, []), request(7, [I(2), item(4, 0)]))
