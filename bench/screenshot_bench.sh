#!/usr/bin/env bash
# Whole-process cost of drawing a 100 000-face model without a display, next to f3d
# drawing the same mesh (as .ply) to a file under Xvfb, and the main loop's frame rate on
# a still empty scene.
#
#   bench/screenshot_bench.sh [BUILD_DIR]     (default: build; needs solluxviewer and
#                                              bench_convert built there)
#
# Prints, for each case, the best wall time of three runs and the peak resident memory.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
viewer="$build/solluxviewer"
generator="$build/bench/bench_convert"
for tool in "$viewer" "$generator"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first" >&2; exit 1; }
done
size=800x600
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export LIBGL_ALWAYS_SOFTWARE="${LIBGL_ALWAYS_SOFTWARE:-1}"

# 200 x 200 cells, a quarter of them split in two: 50 000 Rokkaku faces, which the
# converter writes twice (once in each winding): 100 000 faces in the .x file.
"$generator" --generate "$work/grid.rok" 201 201 >/dev/null
"$viewer" --convert "$work/grid.rok" >/dev/null 2>&1
cp "$work/grid.x" "$work/mesh.x"

# The same mesh as binary-free ASCII .ply for f3d (which reads no .x files).
python3 - "$work/mesh.x" "$work/mesh.ply" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
body = text[re.search(r"^Mesh\s*\{", text, re.M).start():]
tokens = re.findall(r"-?[0-9][0-9.eE+-]*", body[body.index("{") + 1:])
pos = 0
def take():
    global pos
    pos += 1
    return tokens[pos - 1]
nv = int(take())
verts = [(take(), take(), take()) for _ in range(nv)]
nf = int(take())
faces = []
for _ in range(nf):
    n = int(take())
    faces.append([take() for _ in range(n)])
with open(sys.argv[2], "w") as out:
    out.write("ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
              "property float z\nelement face %d\nproperty list uchar int vertex_indices\n"
              "end_header\n" % (nv, nf))
    for v in verts:
        out.write(" ".join(v) + "\n")
    for f in faces:
        out.write("%d %s\n" % (len(f), " ".join(f)))
print("mesh: %d vertices, %d faces" % (nv, nf))
PY

# best_of CMD...: runs CMD three times; prints "seconds peak_kb" of the fastest run.
best_of() {
  local best="" line out
  out="$(mktemp)"
  for _ in 1 2 3; do
    /usr/bin/time -o "$out" -f "%e %M" "$@" >/dev/null 2>&1 || true
    line=$(tail -1 "$out")
    if [ -z "$best" ] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
      best="$line"
    fi
  done
  rm -f "$out"
  echo "$best"
}

report() {  # name "seconds peak_kb"
  printf "%-44s %7.2f s %9.1f MB\n" "$1" "${2%% *}" "$(awk -v k="${2##* }" 'BEGIN { print k / 1024 }')"
}

x_result=$(best_of "$viewer" --screenshot "$work/x.png" --size "$size" "$work/mesh.x")
report "solluxviewer --screenshot (.x)" "$x_result"
# Each run converts afresh: the .rok path always goes through the converter.
rok_result=$(best_of "$viewer" --screenshot "$work/rok.png" --size "$size" "$work/grid.rok")
report "solluxviewer --screenshot (.rok + conversion)" "$rok_result"

if command -v f3d >/dev/null && command -v xvfb-run >/dev/null; then
  # Time f3d inside one Xvfb session so that starting the X server is not counted.
  export -f best_of
  f3d_result=$(xvfb-run -a -s "-screen 0 1024x768x24" bash -c \
    "$(declare -f best_of); best_of f3d --output '$work/f3d.png' --resolution '${size/x/,}' '$work/mesh.ply'")
  report "f3d --output (.ply, under xvfb-run)" "$f3d_result"
else
  echo "f3d or xvfb-run is not installed: no comparison"
fi

# Main loop on an empty scene, whose still frames present the last picture again rather
# than draw it: the difference between a long and a short run removes the
# start-up from the figure.
short=$(best_of "$viewer" --screenshot "$work/e1.png" --size 400x400 --frames 100)
long=$(best_of "$viewer" --screenshot "$work/e2.png" --size 400x400 --frames 2100)
awk -v s="${short%% *}" -v l="${long%% *}" \
  'BEGIN { if (l > s) printf "%-44s %7.0f frames/s\n", "main loop, still empty scene, 400x400", 2000 / (l - s); }'
