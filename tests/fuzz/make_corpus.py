#!/usr/bin/env python3
"""Writes the starting inputs of the fuzz targets into corpus/NAME/.

Run again after changing it; the files are kept in the tree. The ModBus replies are
those of a plain meter of each family, so that the fuzzer starts from read-outs that
reach every archive and log.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("cp1251")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def crc16(data, crc=0xFFFF):
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


# Address lists: the examples a user types, a rejected one and one past the limit.
for i, text in enumerate(["1 3 6-11 18", "1, 2 ,3-5,4", "1-3-5", "0250 1234", "12 x",
                          "abc", "1-250,1-250,1-250,1-250,1-250", "5,x7"]):
    write("addresslist", "list%d" % i, text)

# .dat copies: a key and an archive file's text, and a copy as the program writes it.
csv = ("Почасовой архив\r\nОРВЕК-307\r\nЗав. № 12345678\r\n"
       "Дата;V1;T1;Ошибки;\r\n19.07.2019 01:00;1,5;70,25;Ok;\r\n").encode("cp1251")


def dat_copy(text, key):
    out = bytearray()
    state = key
    for b in text:
        state = (state * 9 + 7) & 0xFFFF
        out.append(b ^ (state & 0xFF))
    check = crc16(out, 0)
    return bytes(out) + bytes([check >> 8, check & 0xFF, key >> 8, key & 0xFF])


write("datfile", "text", b"\x12\x34" + csv)
write("datfile", "short", b"\x00\x01" + b"one line\r\n")
write("datfile", "copy", dat_copy(csv, 0x1234))
write("datfile", "damaged", dat_copy(csv, 0xBEEF)[:-5] + b"\x00" + dat_copy(csv, 0xBEEF)[-4:])

# Settings files: "section\nkey\nvalue\n" and the file.
general = "[General]\r\nGlobalTimeOut=1200\r\nLocalTimeOut=50\r\n\r\n[Демо ОРВЕК-307]\r\nedAddress=1\r\n"
write("inifile", "replace", "General\nLocalTimeOut\n75\n" + general)
write("inifile", "insert", "демо орвек-307\ncbTCP\n'1'\n" + general)
write("inifile", "section", "New\nkey\n  value  \n" + general.rstrip("\r\n"))
write("inifile", "nofile", "General\nShowLog\n1")
write("inifile", "badkey", "General\n;key\nx\n" + general)
write("inifile", "utf16", b"S\nK\nV\n" + b"\xff\xfe" + "[s]\r\nk=старое\r\n".encode("utf-16-le"))

# Texts and numbers: Windows-1251 text with a separator and line breaks, then numbers.
numbers = struct.pack("<8d", 1.5, -0.000001, 1e20, 123456789012345.6, float("nan"),
                      float("-inf"), 2.5, 0.1 + 0.2)
write("textcodec", "text", "Ошибки; Тdt\r\n№ 5".encode("cp1251") + b"\x98\x00")
write("textcodec", "numbers", numbers)
write("textcodec", "utf16", "Ёж €‰ 😀".encode("utf-16-le") + numbers[:16])


# ModBus replies: mode byte, length byte, data (see fuzz_modbusreply.cpp).
def framed(data=b""):
    return bytes([1, len(data)]) + data


def full(data=b""):
    return bytes([3, len(data)]) + data


def exception(code):
    return bytes([2, 1, code])


def raw(data):
    return bytes([0, len(data)]) + data


ok_write = framed()
clock_307 = bytes([0, 30, 12, 19, 0, 7]) + struct.pack("<H", 2019)


def orvek307():
    out = bytearray([0])  # family 0, one attempt
    out += framed(struct.pack("<H", 307))
    out += framed(clock_307)
    out += framed(b"\x00" + b"12345678")
    codes = [0x10, 0x20, 0x30, 0x40, 0x50, 0xB0, 0xC0, 0xFF]
    out += framed(bytes([0] + codes))
    out += framed("Система 1 ".encode("cp1251"))
    for offset, name in [(19, b"V1"), (11, b"M1"), (15, b"T1"), (23, b"P1"), (2, b"Q1")]:
        out += framed(bytes(offset) + name.ljust(10, b" "))

    def record(index, hour):
        block = bytearray(18 + 4 * 7)
        block[2:4] = struct.pack("<H", index)
        block[14:18] = bytes([hour, 19, 7, 19])
        for i, v in enumerate([1.5, 2.5, 70.25, 6.0, 0.125]):
            block[18 + 4 * i:22 + 4 * i] = struct.pack("<f", v)
        block[18 + 20:18 + 24] = struct.pack("<I", 3600)
        block[18 + 24:18 + 28] = struct.pack("<I", 5)
        return bytes(block)

    end = struct.pack("<H", 0xFFFF) * 2
    out += ok_write + framed(record(1, 1)) + full(record(2, 2)) + full(end)
    for _ in range(4):  # daily, monthly, integral, emergency: empty
        out += ok_write + framed(end)
    event = bytearray(18) + "Включение".encode("cp1251") + b"\x00"
    event[2:4] = b"\x01\x00"
    event[14:18] = bytes([5, 19, 7, 19])
    out += ok_write + framed(bytes(event)) + full(end)
    out += ok_write + exception(2)
    return bytes(out)


def ilm():
    out = bytearray([1])  # family 1
    out += framed(bytes([0, 5]))
    out += framed(bytes([19, 7, 19, 12, 30, 0x80]))
    out += framed(bytes([0x12, 0x34, 0x56, 0x78, 0x11, 0x22, 0x33, 0x44]))
    page = bytearray(244)
    for field, name in [(0, b"Fl"), (1, b"Tr"), (2, b"Q1"), (4, b"V1"), (5, b"X5"),
                        (6, b"T1"), (8, b"P1")]:
        page[4 + 4 * field:4 + 4 * field + len(name)] = name
    out += ok_write + full(bytes(page))

    def record(day, hour):
        block = bytearray(244)
        block[0:4] = bytes([19, 7, day, hour])
        for field in range(10):
            bits = struct.unpack("<I", struct.pack("<f", 1.0 + field))[0]
            word = struct.pack(">I", bits)
            block[4 + 4 * field:8 + 4 * field] = word[2:4] + word[0:2]
        return bytes(block)

    end = b"\xff\xff"
    out += ok_write + full(record(19, 1)) + full(record(19, 2)) + full(end)
    out += ok_write + full(record(18, 0)) + raw(b"\x01\x04")
    return bytes(out)


def orvek223():
    out = bytearray([2])  # family 2
    out += framed(struct.pack("<H", 223))
    out += framed(clock_307)
    out += framed(b"0007\x00\x00\x00\x00")
    out += framed(bytes([0, 0x10, 0x30, 0x31, 0x50, 0xB0, 0xC0, 0xFF]))

    def record(index, hour):
        block = bytearray(8 + 5 + 4 * 6)
        block[0:2] = struct.pack("<H", index)
        block[8 + 1:8 + 5] = bytes([hour, 19, 7, 19])
        for i, v in enumerate([1.5, 70.0, 40.0, 0.25]):
            block[13 + 4 * i:17 + 4 * i] = struct.pack("<f", v)
        block[13 + 16:13 + 20] = struct.pack("<I", 600)
        block[13 + 20:13 + 24] = struct.pack("<I", 1 << 17)
        return bytes(block)

    end = b"\xff\xff"
    out += ok_write + framed(record(1, 1)) + full(record(2, 2)) + full(end)
    for _ in range(4):  # daily, daily integral, monthly, monthly integral
        out += ok_write + framed(end)
    event = bytearray(8 + 5 + 3)
    event[0:2] = b"\x01\x00"
    event[9:13] = bytes([5, 19, 7, 19])
    event[13:16] = bytes([18, 5, 25])
    out += ok_write + framed(bytes(event)) + full(end)
    return bytes(out)


write("modbusreply", "orvek307", orvek307())
write("modbusreply", "ilm", ilm())
write("modbusreply", "orvek223", orvek223())
# An M-Bus line that echoes the request, with noise and a damaged reply to retry.
echoing = bytearray([0x10 | 0x04 | 0])  # family 0, two attempts, echo
echoing += bytes([1 | 8 | 16, 2]) + struct.pack("<H", 308)
echoing += bytes([1 | 4 | 8, 8]) + clock_307 + bytes([1 | 8, 8]) + clock_307
write("modbusreply", "echo", bytes(echoing))
