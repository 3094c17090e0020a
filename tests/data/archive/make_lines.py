#!/usr/bin/env python3
"""Writes lines.dat (a day file) and lines.txt (its database lines for node "pi 2"),
independently of the C++ code. Run from this folder: python3 make_lines.py."""
import struct

from make_reference import name_field

A = 0x6F00000123456728
B = 0x2A0008015E3B7710
C = 0x0100000ABCDEF028
T0 = 1268000000  # 2010-03-07 22:13:20 UTC
NAN = float("nan")

# (rom, name, temperature, time, valid)
RECORDS = [
    (A, "Комната", 21.5, T0, 1),
    (B, "Котёл, подача=2", -5.0625, T0, 1),
    (C, "", 20.0, T0, 1),  # unnamed: no name tag
    (A, "Комната", 85.0, T0 + 2, 0),  # failed reading: no line
    (B, "Улица\n", -0.0, T0 + 2, 1),  # line break and "-0"
    (C, " a\\b ", 0.1, T0 + 2, 2),  # doubtful still holds a reading
    (A, "Комната", NAN, T0 + 4, 1),  # damaged: no line
]
NODE = "pi 2"


def escape(text):
    text = "".join(" " if ord(c) < 0x20 or c == "\x7f" else c for c in text).strip(" ")
    return "".join("\\" + c if c in ",= \\" else c for c in text)


def w1(rom):
    serial = "".join("%02x" % ((rom >> (8 * i)) & 0xFF) for i in range(6, 0, -1))
    return "%02x-%s" % (rom & 0xFF, serial)


def number(t):
    text = repr(t + 0.0 if t != 0 else 0.0)
    return text[:-2] if text.endswith(".0") else text


def lines():
    out = ""
    for rom, name, t, stamp, valid in RECORDS:
        if valid == 0 or t != t:
            continue
        tags = "id=" + w1(rom)
        if escape(name):
            tags += ",name=" + escape(name)
        tags += ",node=" + escape(NODE)
        out += "temperature,%s celsius=%s %d000000000\n" % (tags, number(t), stamp)
    return out


def day_file():
    out = "KALVO_USB_V3xx".encode("utf-16-le") + struct.pack("<I", 3)
    for rom, name, t, stamp, valid in RECORDS:
        out += struct.pack("<Q", rom) + name_field(name)
        out += struct.pack("<dqII", t, stamp, 0xFF008000, valid)
    return out


if __name__ == "__main__":
    with open("lines.dat", "wb") as f:
        f.write(day_file())
    with open("lines.txt", "w", encoding="utf-8", newline="\n") as f:
        f.write(lines())
