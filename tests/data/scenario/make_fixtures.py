#!/usr/bin/env python3
"""Writes the scenario file fixtures with struct.pack, independently of the C++ encoder.

programmes_in.snr: what a user might load. Every number field is 0 and the start times, record
flags and step flags hold junk, all of which loading must ignore.
programmes_saved.snr: the same programmes as saving them again must write them: number = row,
start time 0, flags derived from the texts, step flags bit 0 only.

Run from this folder: python3 make_fixtures.py
"""
import struct

INT32_MIN, INT32_MAX, U32_MAX = -2**31, 2**31 - 1, 2**32 - 1


def programmes():
    rows = []
    for i in range(16):
        rows.append({"name": "Sn_%d" % (i + 1), "cycles": 0, "delay": 0,
                     "steps": [(0, 20, 30)] * 16})
    rows[0] = {"name": "Закалка", "cycles": 2, "delay": 60,
               "steps": [(600, 20, 30), (1200, -10, -5)] + [(0, 20, 30)] * 14}
    # 32 units without a terminator; the grid shows and saves the first 31.
    rows[2] = {"name": "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdef", "cycles": 65535, "delay": 65535,
               "steps": [(U32_MAX, INT32_MIN, INT32_MAX), (3600000, -100, 1000)]
               + [(0, 0, 0)] * 14}
    rows[15] = {"name": "Все шаги", "cycles": 1, "delay": 0,
                "steps": [(10 * (k + 1), k, k + 1) for k in range(16)]}
    return rows


def record(number, start, flags, name, cycles, delay, steps, step_flags):
    units = name.encode("utf-16-le")
    units = units[:64]
    out = struct.pack("<HHHqI", number, cycles, delay, start, flags)
    out += units + b"\0" * (64 - len(units))
    for (duration, lower, upper) in steps:
        out += struct.pack("<IiiI", duration, lower, upper, step_flags(duration))
    assert len(out) == 338
    return out


def main():
    rows = programmes()
    loaded = b"".join(
        record(0, 0x1122334455667788, 0xFFFFFFFF, r["name"], r["cycles"], r["delay"],
               r["steps"], lambda d: 0xFFFFFFFF) for r in rows)
    saved = b""
    for i, r in enumerate(rows):
        first = r["steps"][0][0]
        flags = (0x2 if r["cycles"] else 0) | (0x20 if r["delay"] else 0) | \
                (0x1 if r["cycles"] and first else 0)
        saved += record(i, 0, flags, r["name"][:31], r["cycles"], r["delay"], r["steps"],
                        lambda d: 1 if d else 0)
    assert len(loaded) == len(saved) == 5408
    open("programmes_in.snr", "wb").write(loaded)
    open("programmes_saved.snr", "wb").write(saved)


if __name__ == "__main__":
    main()
