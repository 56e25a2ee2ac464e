#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/seed-*)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    value = 0
    for b in data:
        value ^= b << 8
        for _ in range(8):
            value = ((value << 1) ^ 0x1021) if value & 0x8000 else value << 1
            value &= 0xFFFF
    return value


def frame(status, payload=b""):
    head = bytes([0, status]) + struct.pack("<H", len(payload)) + payload
    return head + struct.pack("<H", crc16(head))


def record(components=1, setups=1, inputs=2, cals=1, steps=2):
    r = bytes([202, 2]) + struct.pack("<H", 0x1C85) + b"SN-0001".ljust(20, b"\0")
    r += struct.pack("<IIIH", 710632543, 710632543, 2592000, 60) + bytes([components, 1])
    for _ in range(components):
        r += struct.pack("<IIH", 710632543, 86400, setups)
        for _ in range(setups):
            r += struct.pack("<H", inputs) + struct.pack("<I", 0x3F800000) * inputs
        r += bytes([cals, 1])
        for _ in range(cals):
            r += struct.pack("<H", steps) + struct.pack("<f", 1.5) * steps
    return r


def listing(n):
    out = struct.pack("<HH", 10, n)
    for i in range(n):
        out += bytes([i + 1, 1, 202 if i == 0 else 2, 2]) + struct.pack("<H", 0x1C85)
    return out


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def read(data):
    """One read of the receive target: a length control byte and the bytes."""
    if len(data) < 0x80:
        return bytes([len(data)]) + data
    blocks = (len(data) + 7) // 8
    return bytes([0x80 | blocks]) + data.ljust(blocks * 8, b"\0")


def answer(status, payload):
    """One framed answer of the decoders target."""
    kind = 0x00 if status == 0 else 0x80 | status
    return bytes([kind]) + struct.pack("<H", len(payload)) + payload


good = frame(0, b"")
write("fuzz_receive", "good", b"\x01" + read(good))
write("fuzz_receive", "split", b"\x01" + read(frame(0, b"0123456789")[:8]) + read(frame(0, b"0123456789")[8:]))
write("fuzz_receive", "short-trace", b"\x00" + read(b"\x00\x00\x05") + read(b"\x01"))
write("fuzz_receive", "timeout", b"\x01\xff")
write("fuzz_receive", "bad-crc", b"\x01" + read(good[:-1] + b"\x99"))
write("fuzz_receive", "full", b"\x01" + read(frame(0, bytes(1018))))

write("fuzz_decoders", "listing", b"\x00\x00" + answer(0, listing(3)))
write("fuzz_decoders", "listing-17", b"\x00\x00" + answer(0, listing(17)))
write("fuzz_decoders", "system-id", b"\x01\x00" + answer(0, b"Sonde".ljust(20, b"\0") + b"ABC\0"))
write("fuzz_decoders", "lookup", b"\x02\x00" + answer(0, b"") + answer(0, listing(2)) + answer(0, b""))
write("fuzz_decoders", "report", b"\x03\x01" + answer(0, record()))
write("fuzz_decoders", "report-limits", b"\x03\x01" + answer(0, record(2, 4, 10, 4, 4)))
write("fuzz_decoders", "report-sensor", b"\x03\x00" + answer(0, record(2, 5, 11, 5, 5)))
write("fuzz_decoders", "menu-header", b"\x04\x01" + answer(0, record(0)) + answer(0, record(0)))
block = 64
write("fuzz_decoders", "download",
      b"\x05\x00" + answer(0, b"") + answer(0, struct.pack("<H", 1000))
      + answer(0, struct.pack("<HH", 0x185, block)) + answer(0, struct.pack("<H", 10))
      + answer(0, b"") + answer(0, bytes(4) + bytes((i * 7 + 3) & 0xFF for i in range(4, 4 + block))))

for name, text in {
    "top-quit": "q\n",
    "main-report": "m\ncn\n\nq\n",
    "sensor-list": "s\nll\n\ncn\n3\n\nrm\nq\n",
    "sensor-reset": "s\nrs\n3\n0\n\nrs\nabc\n2\n1\n\nq\n",
    "serial": "s\nsn\n2\nABCDEFGHIJKLMNOPQRSTUVWXYZ\n\nq\n",
    "settings": "s\nsf\n5\nx\n0\n2\n\nrm\nm\nsb\n3\n2\n\nq\n",
    "dates": "s\nbd\n4\n\nmd\n4\nabc\n30\n\nq\n",
    "download": "s\ndl\n0\nx\n1\n0\nfoo\n2\n\nq\n",
    "handheld": "h\nll\n\ncn\n\nbd\n\nrm\nc\ncn\n\nq\n",
    "garbage": "zzzzzzzzzzzz\n\x01\x02\xff  -1 999999999999 m\nrs\n-5\n",
}.items():
    write("fuzz_console", name, text.encode("latin-1"))
