#!/usr/bin/env bash
# The window's cost at rest and its pace: starts the viewer under Xvfb (Mesa's software
# OpenGL) with a model, lets it settle, then measures over 5 s, from /proc/PID/stat, the
# CPU it uses as a share of one core, and the frames per second it runs (the figure the
# frame-rate overlay shows, counted from a --record of the session). It does so paced
# (the default) and unpaced (--fps 0). In each run it then holds the Right arrow for
# 100 ms and reports how many frames the press lasted and how far it moved the picture
# (the recorded session replayed headless, with a picture before and after the press).
#
#   bench/idle_cpu.sh [BUILD_DIR] [MODEL]    (default: build, resources/sample.rok;
#                                             needs solluxviewer built, xvfb-run, xdotool)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
model="${2:-$here/resources/sample.rok}"
viewer="$build/solluxviewer"
[ -x "$viewer" ] || { echo "missing $viewer: build it first" >&2; exit 1; }
for tool in xvfb-run xdotool python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install ${tool/xvfb-run/xvfb})" >&2; exit 1; }
done
# A display of its own, so that nothing else on it wakes the viewer.
if [ "${SOLLUX_IDLE_BENCH_IN_XVFB:-}" != 1 ]; then
  SOLLUX_IDLE_BENCH_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$model"
fi
export LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$model" "$work/"
model="$work/$(basename "$model")"
ticks=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
now() { date +%s.%N; }

# Frames the session ran between the end of one input line and the start of another:
# each input takes a frame of its own, and "frames N" lines count the rest.
frames_between() {
  awk -v from="$2" -v to="$3" '
    $0 == from { counting = 1; n = 0; next }
    counting && $1 == "frames" { n += $2; next }
    counting && $0 == to { print n + 1; exit }
    counting { n += 1 }' "$1"
}

run() {
  local label="$1" script="$2"
  shift 2
  "$viewer" "$@" --record "$script" "$model" >"$work/$label.log" 2>&1 &
  local pid=$!
  local window
  window=$(timeout 30 xdotool search --sync --onlyvisible --name "SolluxViewer" | head -n 1)
  xdotool windowfocus --sync "$window" mousemove --window "$window" 200 200
  sleep 3  # conversion, loading, the first frames

  # F5 and F6 (keys the viewer ignores) mark the stretch whose frames are counted; the
  # CPU is read within it, after the frame that F5 itself brings.
  local t0 t1 c0 c1 m0 m1
  xdotool key F5
  t0=$(now)
  sleep 0.5
  c0=$(cpu_ticks "$pid") m0=$(now)
  sleep 5
  c1=$(cpu_ticks "$pid") m1=$(now)
  xdotool key F6
  t1=$(now)

  sleep 0.5
  xdotool keydown Right sleep 0.1 keyup Right
  sleep 0.5
  # File > Exit, as a person would close it; the recording is written on the way out.
  xdotool key alt+f
  sleep 0.5
  xdotool key x
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    echo "$label: the viewer did not close; see $work/$label.log" >&2
    return 1
  fi
  wait "$pid" || true

  local frames
  frames=$(frames_between "$script" "key up VK_F5" "key down VK_F6")
  python3 - "$label" "$c0" "$c1" "$m0" "$m1" "$ticks" "$frames" "$t0" "$t1" <<'PY'
import sys
label, c0, c1, m0, m1, ticks, frames, t0, t1 = sys.argv[1:]
cpu = 100.0 * (float(c1) - float(c0)) / float(ticks) / (float(m1) - float(m0))
fps = float(frames) / (float(t1) - float(t0))
print(f"{label:7s} at rest: {cpu:5.1f} % of one core, {fps:6.1f} frames/s")
PY
}

# The press: its frames, and the picture's move when the session is replayed headless.
press() {
  local label="$1" script="$2"
  local frames
  frames=$(frames_between "$script" "key down VK_RIGHT" "key up VK_RIGHT")
  awk -v before="$work/before.png" -v after="$work/after.png" '
    $0 == "key down VK_RIGHT" { print "shot " before }
    { print }
    $0 == "key up VK_RIGHT" { print "frames 2"; print "shot " after; print "quit"; exit }' \
    "$script" >"$work/press.txt"
  "$viewer" --screenshot "$work/end.png" --play "$work/press.txt" "$model" >/dev/null 2>&1
  python3 - "$label" "$work/before.png" "$work/after.png" "$frames" <<'PY'
import struct, sys, zlib

def read_png(path):
    data = open(path, "rb").read()
    pos, chunks, width, height, channels = 8, b"", 0, 0, 4
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, _, colour = struct.unpack(">IIBB", body[:10])
            channels = {2: 3, 6: 4}[colour]
        elif kind == b"IDAT":
            chunks += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(chunks), width * channels, [], bytearray(width * channels)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b, c = prev[i], prev[i - channels] if i >= channels else 0
            if kind == 1: line[i] = (line[i] + a) & 255
            elif kind == 2: line[i] = (line[i] + b) & 255
            elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line)
        prev = line
    return width, height, channels, rows

def lit_columns(path):
    width, height, channels, rows = read_png(path)
    row = rows[height // 2]
    lit = [x for x in range(width) if max(row[x * channels:x * channels + 3]) > 16]
    return (lit[0], lit[-1], width) if lit else None

label, frames = sys.argv[1], sys.argv[4]
before, after = lit_columns(sys.argv[2]), lit_columns(sys.argv[3])
if not before:
    print(f"{label:7s} Right arrow held 100 ms: {frames} frames; no model in the picture to measure")
elif not after:
    print(f"{label:7s} Right arrow held 100 ms: {frames} frames; the model left the picture")
else:
    print(f"{label:7s} Right arrow held 100 ms: {frames} frames; the model moved {before[0] - after[0]} "
          f"pixels left (the middle row shows it from x {after[0]} to {after[1]} of {after[2]})")
PY
}

run paced "$work/paced.txt"
run unpaced "$work/unpaced.txt" --fps 0
press paced "$work/paced.txt"
press unpaced "$work/unpaced.txt"
