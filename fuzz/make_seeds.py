#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/seed-*)."""
import glob
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


def request(address, command, payload=b""):
    head = bytes([address, command]) + struct.pack("<H", len(payload)) + payload
    return head + struct.pack("<H", crc16(head))


def hexes(data):
    return " ".join("%02X" % b for b in data)


class Trace:
    """A trace file as DUCTRA_TRACE writes it, one call per line."""

    def __init__(self, library="ductra-sim/1.0.0"):
        self.ms = 0
        self.lines = ["ductra-trace 1 library=%s platform=linux start=2025-01-02T03:04:05.678Z" % library]

    def call(self, text):
        self.ms += 7
        self.lines.append("%d.%03d %s" % (self.ms // 1000, self.ms % 1000, text))

    def exchange(self, frame, *reads):
        self.call("send timeout=10000 length=%d result=0 > %s" % (len(frame), hexes(frame)))
        for r in reads:
            if r is None:
                self.call("receive capacity=1024 timeout=2000 result=-1 error=110")
            else:
                self.call(("receive capacity=1024 timeout=2000 result=0 count=%d < %s" % (len(r), hexes(r))).rstrip())

    def text(self):
        return ("\n".join(self.lines) + "\n").encode()


t = Trace()
t.call("open result=0")
t.call("receive capacity=1024 timeout=0 result=0 count=6 < " + hexes(frame(0)))
t.exchange(request(1, 0x09), frame(0, listing(3)))
t.exchange(request(1, 0x82, b"\x03\x00"), None)
t.exchange(request(1, 0x82, b"\x01\x00"), frame(0, record())[:-1] + b"\x00")
t.exchange(request(1, 0x82, b"\x02\x00"), frame(0, record())[:20], frame(0, record())[20:])
t.exchange(request(1, 0x0A), b"\x00\x00\x05")
t.call("close result=0")
t.call("open result=-3 error=19")
t.call("send timeout=10000 length=6 result=-5 error=19 > " + hexes(request(1, 0x03)))
write("fuzz_trace", "exchanges", b"\x00" + t.text())

t = Trace()
t.call("open result=0")
serial = b"ABC123".ljust(20, b"\0")
t.exchange(request(1, 0x8A, b"\x02\x00" + serial), frame(0))
t.exchange(request(1, 0x0B, b"Limnora Sonde".ljust(20, b"\0") + serial), frame(0))
t.exchange(request(1, 0x81, b"\x04\x01"), frame(16))
t.exchange(request(1, 0x8B, b"\x00\x00" + struct.pack("<I", 710632543)), frame(0))
t.exchange(request(1, 0x8C, b"\x03\x00" + struct.pack("<II", 710632543, 2592000)), None)
t.exchange(request(1, 0x89, b"\x00\x01\x03\x00" + struct.pack("<ff", 3.2, 6.0)), frame(0))
t.exchange(request(1, 0x89, b"\x05\x01\x02\x00" + struct.pack("<I", 2)), frame(0))
t.exchange(request(1, 0x88, b"\x03\x01\x00\x0F"), frame(0))
t.exchange(request(1, 0x88, b"\x00\x01\x61\x00"), frame(0))
blocks = [bytes((i * 13 + n) & 0xFF for i in range(64)) for n in range(2)]
t.exchange(request(1, 0x08), frame(0))
t.exchange(request(1, 0xF0, b"\x03\x00"), frame(0, struct.pack("<H", 1000)))
t.exchange(request(1, 0xF1, b"\x03\x00" + struct.pack("<I", 128)), frame(0, struct.pack("<HH", 0x91, 64)))
t.exchange(request(1, 0xF4, b"\x03\x00"), frame(0, struct.pack("<H", 0)))
for n, b in enumerate(blocks, 1):
    t.exchange(request(1, 0xF3, b"\x03\x00" + struct.pack("<H", n) + b), frame(0))
    t.exchange(request(1, 0xF2, b"\x03\x00" + struct.pack("<H", n)), frame(0, bytes(4) + b))
t.exchange(request(1, 0x81, b"\x03\x00"), frame(0))
t.exchange(request(1, 0x07), frame(0))
t.exchange(request(1, 0xF0, b"\x04\x00"), frame(0, struct.pack("<H", 1000)))
t.exchange(request(1, 0xF1, b"\x04\x00" + struct.pack("<I", 128)), frame(0, struct.pack("<HH", 0x91, 64)))
t.exchange(request(1, 0xF4, b"\x04\x00"), frame(0, struct.pack("<H", 0)))
t.exchange(request(1, 0xF3, b"\x04\x00\x01\x00" + blocks[0]), frame(0))
t.exchange(request(1, 0xF2, b"\x04\x00\x01\x00"), None)
t.exchange(request(1, 0xF2, b"\x04\x00\x01\x00"), frame(0, bytes(4) + blocks[1]))
t.call("close result=0")
t.call("open result=0")
write("fuzz_trace", "changes", b"\x01" + t.text())

t = Trace()
t.call("open result=0")
t.lines.append("garbage")
t.lines.append("1.000 send timeout=10000 length=8 result=0 > 01 82 02")
t.lines.append("1.000 receive capacity=1024 timeout=2000 result=0 count=2 < 0G 00")
t.lines.append("ductra-trace 2 library=ductra/9.0.0")
write("fuzz_trace", "damaged", b"\x00" + t.text()[:-4] + b"\0\0\0\0")

# The scenario reader: the ready-made scenarios, a number too large for a
# double and nesting deeper than the reader takes.
for path in sorted(glob.glob(os.path.join(HERE, "..", "sim", "scenarios", "*.json"))):
    with open(path, "rb") as f:
        write("fuzz_scenario", os.path.basename(path)[:-5], f.read())
write("fuzz_scenario", "number-overflow", b'{"latency_us": 1e400}')
write("fuzz_scenario", "deep-nesting", b'{"description": ' + b"[" * 2000 + b"]" * 2000 + b"}")

# The job reader: the jobs of the station's golden table (their job files,
# and their command lines one argument a line), a job saved as Latin-1, a
# number too large for a double, ten thousand operations and nesting deeper
# than the reader takes.
import re

with open(os.path.join(HERE, "..", "tests", "e2e", "station_jobs_test.cpp"), encoding="latin-1") as f:
    table = f.read()
rows = re.findall(r'\{"(station_[a-z0-9_]+)",\n(.*?)\n     [0-9]+,\n', table, re.S)
for name, body in rows:
    job = re.search(r'R"\((.*?)\)"', body, re.S)
    if job:
        write("fuzz_job", name[len("station_"):], job.group(1).encode("latin-1"))
    arguments = re.search(r'\{("[a-z-]+"(?:, "[^"]*")*)\},?$', body.strip())
    if arguments and not arguments.group(1).startswith('"run"'):
        words = re.findall(r'"([^"]*)"', arguments.group(1))
        write("fuzz_job", name[len("station_"):] + "-arguments", "\n".join(words).encode())
write("fuzz_job", "not-utf8", b'{"description":"caf\xe9","operations":[{"op":"list"}]}')
write("fuzz_job", "number-overflow", b'{"operations":[{"op":"reset","board":1e400,"level":0}]}')
write("fuzz_job", "ten-thousand", b'{"operations":[' + b",".join([b'{"op":"list"}'] * 10000) + b"]}")
write("fuzz_job", "deep-nesting",
      b'{"labels":{"a":' + b"[" * 2000 + b"]" * 2000 + b'},"operations":[{"op":' + b"{\"x\":" * 2000
      + b"1" + b"}" * 2000 + b"}]}")
