#!/usr/bin/env python3
"""Writes reference.stg, a settings file built by hand from the documented layout, independently
of the C++ code. Run from this folder: python3 make_reference.py. tests/engine/settings_test.cpp
holds the same values (kRef...); change both together."""
import struct

BACKGROUND = 0x00302010
GRID = 0x00C0C0C0
PERIOD = 5
FLAGS = 0b101  # write data file, hide to tray
RECT = (10, 20, 810, 620)

LONG = "Термометр в подвале под лестницей дома"  # 38 units, stored as 31

# (state, serial text, name, COLORREF)
THERMOMETERS = [
    (0, "6f00000123456728", "Котёл", 0x004763FF),
    (1, "100000abcdef028", LONG, 0x0032CD9A),  # 15 digits: the top byte is below 0x10
]
# (serial, [(thermometer, low, high, channel name, type, scenario)] for A and B)
SWITCHES = [
    ("9a0000000abcde3a", [("Котёл", "20,5", "22", "Пол", 0, 0),
                          ("Имя термометра", "", "", LONG, 1, 16)]),
]


def units(text):
    return text.encode("utf-16-le")


def field(text, n):
    data = units(text)[: (n - 1) * 2]
    return data + b"\0" * (n * 2 - len(data))


def crc8(data, crc=0xFF):
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc


def settings():
    out = units("KALVO_USB_V3xx")
    out += struct.pack("<IIHH4i", BACKGROUND, GRID, PERIOD, FLAGS, *RECT)
    out += units("SECTION_KALVOM_YES") + struct.pack("<H", len(THERMOMETERS))
    for state, serial, name, colour in THERMOMETERS:
        out += bytes([state]) + field(serial, 17) + field(name, 32) + struct.pack("<I", colour)
    out += units("SECTION_SWITCH_YES") + struct.pack("<H", len(SWITCHES))
    for serial, channels in SWITCHES:
        out += field(serial, 17)
        for thermometer, low, high, name, kind, scenario in channels:
            out += field(thermometer, 32) + field(low, 6) + field(high, 6) + field(name, 32)
            out += bytes([kind, scenario])
    return out + bytes([crc8(out)])


if __name__ == "__main__":
    image = settings()
    assert len(image) == 56 + 36 + 2 + 2 * 103 + 36 + 2 + 342 + 1
    with open("reference.stg", "wb") as f:
        f.write(image)
