#!/usr/bin/env bash
# The report as a browser draws it: headless Chromium (no network, a fresh
# profile) loads the page of the fixed history, dumps the page's text and
# takes a screenshot; the text must hold the totals and failure kinds, and
# the screenshot the chart's first-pass bars (their colour, #1f5f9f) and its
# final bars (#bcd8f0). The screenshot stays in OUT/report.png.
# Usage: report_screenshot.sh HISTORY_PROGRAM OUT
set -euo pipefail
program=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
url=sqlite:$work/h.sqlite
"$program" --database "$url" import "$here"/station_bench2.jsonl "$here"/service_session.trace \
    "$here"/station_later.jsonl >/dev/null
"$program" --database "$url" report --html "$work/report.html"
browse() {
    HOME=$work timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic \
        --no-first-run --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$work/profile" --window-size=900,700 "$@" "file://$work/report.html" 2>/dev/null
}
browse --dump-dom >"$work/dom.html"
browse --screenshot="$out/report.png" >/dev/null
grep -F '<p id="totals">3 instruments: 1 done on their first run, 2 done in the end.</p>' "$work/dom.html" >/dev/null ||
    { echo "the page lacks its totals"; exit 1; }
grep -F '<tr><td>verify failure</td><td>1</td></tr>' "$work/dom.html" >/dev/null ||
    { echo "the page lacks the failure kinds"; exit 1; }
python3 - "$out/report.png" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
at, idat = 8, b""
while at < len(data):
    length, kind = struct.unpack(">I4s", data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    if kind == b"IHDR":
        width, height, depth, colour = struct.unpack(">IIBB", body[:10])
    if kind == b"IDAT":
        idat += body
    at += 12 + length
assert depth == 8 and colour in (2, 6), "an unexpected PNG layout"
step = 3 if colour == 2 else 4
raw, rows, prev = zlib.decompress(idat), [], bytearray(width * step)
for y in range(height):
    f, line = raw[y * (width * step + 1)], bytearray(raw[y * (width * step + 1) + 1:(y + 1) * (width * step + 1)])
    for i in range(len(line)):
        a = line[i - step] if i >= step else 0
        b, c = prev[i], prev[i - step] if i >= step else 0
        p = a + b - c
        pred = [0, a, b, (a + b) // 2, a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c][f]
        line[i] = (line[i] + pred) & 255
    rows.append(line)
    prev = line
def count(rgb):
    return sum(1 for line in rows for x in range(width) if tuple(line[x * step:x * step + 3]) == rgb)
first, final = count((0x1f, 0x5f, 0x9f)), count((0xbc, 0xd8, 0xf0))
print(f"first-pass bar pixels {first}, final bar pixels {final}")
sys.exit(0 if first > 500 and final > 500 else 1)
PY
