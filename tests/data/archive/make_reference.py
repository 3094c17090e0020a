#!/usr/bin/env python3
"""Writes reference.dat (a day file) and reference.csv (its export in UTC+3), independently of
the C++ code. Run from this folder: python3 make_reference.py. The C++ tests hold the same
records; change both together."""
import calendar
import datetime
import struct

MSK = datetime.timezone(datetime.timedelta(hours=3))


def local(y, mo, d, h, mi, s):
    return int(datetime.datetime(y, mo, d, h, mi, s, tzinfo=MSK).timestamp())


A = 0x6F00000123456728  # DS18B20
B = 0x2A0008015E3B7710  # DS1820
C = 0x0100000ABCDEF028  # DS18B20, unnamed at first
LONG = "Очень длинное имя термометра в подвале дома"  # 43 units, stored as 31

T0 = local(2010, 3, 7, 14, 5, 9)
T1 = local(2010, 3, 7, 23, 59, 59)

# (rom, name, temperature, time, colour, valid)
RECORDS = [
    (A, "Термометр 1", 23.5, T0, 0xFFFF0000, 1),
    (B, "Термометр 2", -5.0625, T0, 0xFF0000FF, 1),
    (A, "Термометр 1", 23.4375, T0 + 2, 0xFFFF0000, 1),
    (B, "Термометр 2", 85.0, T0 + 2, 0xFF0000FF, 0),
    (A, "Термометр 1", 0.125, T0 + 4, 0xFFFF0000, 1),
    (B, "Термометр 2", -0.0625, T0 + 4, 0xFF0000FF, 1),
    (C, "", 19.9375, T0 + 4, 0xFF008000, 1),
    (A, "Котёл;подача", 70.0, T1, 0xFFFF0000, 1),
    (B, "Улица\n", -12.875, T1, 0xFF0000FF, 1),
    (C, LONG, 20.0, T1, 0xFF008000, 1),
    (A, "Котёл;подача", 69.4375, T1 + 2, 0xFFFF0000, 1),
    (B, "Улица\n", -12.9375, T1 + 2, 0xFF0000FF, 1),
    (C, LONG, 20.0625, T1 + 2, 0xFF008000, 0),
]
THERMOMETERS = 2  # the count when the header was written; later passes hold three


def name_field(name):
    units = name.encode("utf-16-le")[: 31 * 2]
    return units + b"\0" * (64 - len(units))


def day_file():
    out = "KALVO_USB_V3xx".encode("utf-16-le") + struct.pack("<I", THERMOMETERS)
    for rom, name, t, stamp, colour, valid in RECORDS:
        out += struct.pack("<Q", rom) + name_field(name)
        out += struct.pack("<dqII", t, stamp, colour, valid)
    return out


def csv_text():
    passes = []
    for r in RECORDS:
        if passes and passes[-1][0][3] == r[3]:
            passes[-1].append(r)
        else:
            passes.append([r])
    lines = ["Дата;Время;" + "".join(f"Терм. {i};Значение;" for i in range(1, len(passes[0]) + 1))]
    for p in passes:
        when = datetime.datetime.fromtimestamp(p[0][3], MSK)
        line = when.strftime("%d.%m.%y;%H:%M:%S;")
        for rom, name, t, _, _, valid in p:
            name = name[: 31]
            if "\n" in name:
                k = name.rindex("\n")
                name = name[:k] + name[k + 1:]
            line += (name if name else f"{rom:x}") + ";"
            line += (("%.2f" % t).replace(".", ",") if valid == 1 else "н/д") + ";"
        lines.append(line)
    return "".join(l + "\r\n" for l in lines).encode("cp1251")


if __name__ == "__main__":
    with open("reference.dat", "wb") as f:
        f.write(day_file())
    with open("reference.csv", "wb") as f:
        f.write(csv_text())
