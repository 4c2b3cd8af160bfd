#!/usr/bin/env bash
# Big models, whole process, side by side with f3d and the assimp command line when they are
# installed (they are only ever compared with, never used):
#  - a 980 000-face text .x drawn to an 800x600 PNG (--screenshot), and f3d drawing the
#    same mesh as .ply (--output, under xvfb-run); a 1 200-face one the same way;
#  - that model turning in the window (Gouraud, 800x600, unpaced, under Xvfb): frames a
#    second, from a scripted Shift-drag spin;
#  - --convert of a 77 MB Rokkaku file, in MB/s of input;
#  - --info of the .x (reading and building) and assimp's `info` of the same file;
#  - --export of the .x to .glb and assimp's `export` of the same file;
#  - --thumbnail 256 of the .x and of a 115 MB Rokkaku file;
#  - the memory held per face after loading and after the first frame (bench_render).
# Each figure is the best of three runs (runs of the programs compared take turns), with
# the processor time (user + system) beside the wall time and the peak resident memory,
# all from /usr/bin/time. The machine may be shared: its load average is printed too.
#
#   bench/big_model_bench.sh [BUILD_DIR]     (default: build; needs solluxviewer,
#                                             bench/bench_convert and bench/bench_render)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$here/build}" && pwd)"
viewer="$build/solluxviewer"
generator="$build/bench/bench_convert"
render="$build/bench/bench_render"
for tool in "$viewer" "$generator" "$render"; do
  [ -x "$tool" ] || { echo "missing $tool: build it first" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "missing python3" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export LIBGL_ALWAYS_SOFTWARE="${LIBGL_ALWAYS_SOFTWARE:-1}"
have() { command -v "$1" >/dev/null; }
xvfb() { xvfb-run -a -s "-screen 0 1280x1024x24" "$@"; }

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"

# The models. The converter writes every Rokkaku face twice (once in each winding): a grid
# of 627 x 627 points gives 979 690 faces in the .x file.
"$generator" --generate "$work/grid.rok" 627 627 >/dev/null
"$viewer" --convert "$work/grid.rok" >/dev/null 2>&1
"$generator" --generate "$work/small.rok" 23 23 >/dev/null
"$viewer" --convert "$work/small.rok" >/dev/null 2>&1
"$generator" --generate "$work/big.rok" 723 723 >/dev/null
"$generator" --generate "$work/huge.rok" 900 850 >/dev/null
rm -f "$work/grid.rok" "$work/small.rok"
megabytes() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1e6 }'; }

# The same meshes as ASCII .ply for f3d (which reads no .x files).
to_ply() {
  python3 - "$1" "$2" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
body = text[re.search(r"^Mesh\s*\{", text, re.M).start():]
tokens = iter(re.findall(r"-?[0-9][0-9.eE+-]*", body[body.index("{") + 1:]))
nv = int(next(tokens))
verts = [" ".join(next(tokens) for _ in range(3)) for _ in range(nv)]
nf = int(next(tokens))
faces = []
for _ in range(nf):
    n = int(next(tokens))
    faces.append("%d %s" % (n, " ".join(next(tokens) for _ in range(n))))
with open(sys.argv[2], "w") as out:
    out.write("ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
              "property float z\nelement face %d\nproperty list uchar int vertex_indices\n"
              "end_header\n" % (nv, nf))
    out.write("\n".join(verts) + "\n" + "\n".join(faces) + "\n")
print(nf)
PY
}
faces=$(to_ply "$work/grid.x" "$work/grid.ply")
small_faces=$(to_ply "$work/small.x" "$work/small.ply")
echo "models: $faces-face text .x ($(megabytes "$work/grid.x") MB), $small_faces-face .x;" \
     "Rokkaku files of $(megabytes "$work/big.rok") MB and $(megabytes "$work/huge.rok") MB"

# measure NAME CMD...: one run; appends "wall cpu peak_kb" to $work/NAME (a failed run
# counts as missing).
measure() {
  local name="$1"
  shift
  if /usr/bin/time -o "$work/time.txt" -f "%e %U %S %M" "$@" >/dev/null 2>&1; then
    awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$work/time.txt" >>"$work/$name"
  fi
}
export -f measure
# best NAME: "wall cpu peak_kb" of the run with the least wall time.
best() { [ -s "$work/$1" ] && sort -n "$work/$1" | head -1 || echo "- - -"; }
row() {  # label "wall cpu peak_kb"
  read -r wall cpu peak <<<"$2"
  if [ "$wall" = "-" ]; then printf "  %-46s failed\n" "$1"; return; fi
  printf "  %-46s %6.2f s wall %6.2f s cpu %7.1f MB peak\n" "$1" "$wall" "$cpu" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
}
ratio() {  # label "ours" "theirs": time and memory ratios
  read -r w1 _ m1 <<<"$2"
  read -r w2 _ m2 <<<"$3"
  [ "$w1" = "-" ] || [ "$w2" = "-" ] && return
  awk -v l="$1" -v a="$w1" -v b="$w2" -v c="$m1" -v d="$m2" \
    'BEGIN { printf "  %-46s %6.2f x time %14.2f x peak memory\n", l, a / b, c / d }'
}

echo
echo "Drawing to an 800x600 PNG (best of 3):"
f3d_ok=0
if have f3d && have xvfb-run; then f3d_ok=1; fi
for model in grid small; do
  for _ in 1 2 3; do
    measure "ours-$model" "$viewer" --screenshot "$work/$model.png" --size 800x600 "$work/$model.x"
    if [ $f3d_ok = 1 ]; then
      # One Xvfb per run, started outside the measured command.
      xvfb bash -c "$(declare -f measure); work='$work'; measure f3d-$model f3d --output '$work/f3d-$model.png' \
        --resolution 800,600 '$work/$model.ply'"
    fi
  done
  label="$faces faces"
  [ $model = small ] && label="$small_faces faces"
  row "solluxviewer --screenshot, $label" "$(best "ours-$model")"
  if [ $f3d_ok = 1 ]; then
    row "f3d --output (.ply, under xvfb-run)" "$(best "f3d-$model")"
    ratio "solluxviewer / f3d" "$(best "ours-$model")" "$(best "f3d-$model")"
  fi
done
[ $f3d_ok = 1 ] || echo "  (f3d or xvfb-run not installed: no comparison)"

echo
echo "Turning in the window, Gouraud, 800x600, --fps 0, under Xvfb (best of 3):"
if have xvfb-run; then
  # Selects the model with a click, spins it with a Shift drag, lets N frames run. Two
  # lengths: the difference is the frames alone, without start-up and loading.
  for n in 20 120; do
    printf 'size 800 600\nctrl key down G\nkey up G\nframes 3\nmouse ldown 200 300\nmouse move 240 300 shift\n'`
          `'mouse lup 240 300 shift\nmouse move 240 300\nframes %d\nquit\n' "$n" >"$work/spin$n.txt"
  done
  xvfb bash -c "$(declare -f measure); work='$work'; export QT_QPA_PLATFORM=xcb; unset WAYLAND_DISPLAY
    for _ in 1 2 3; do for n in 20 120; do
      measure spin\$n '$viewer' --fps 0 --play '$work'/spin\$n.txt '$work/grid.x'
    done; done"
  read -r w20 c20 _ <<<"$(best spin20)"
  read -r w120 c120 _ <<<"$(best spin120)"
  if [ "$w20" != "-" ] && [ "$w120" != "-" ]; then
    awk -v a="$w20" -v b="$w120" -v c="$c20" -v d="$c120" 'BEGIN {
      printf "  %-46s %6.1f frames/s (%.1f ms a frame; %.1f ms of processor time a frame)\n",
             "100 frames of the spin", 100 / (b - a), (b - a) * 10, (d - c) * 10 }'
  else
    echo "  the window did not run"
  fi
else
  echo "  (xvfb-run not installed)"
fi

echo
echo "Converting (best of 3):"
# What earlier steps wrote is on the disk first, so that its write-back is not timed here.
for _ in 1 2 3; do sync; measure convert "$viewer" --convert "$work/big.rok"; done
read -r wall cpu peak <<<"$(best convert)"
row "solluxviewer --convert, $(megabytes "$work/big.rok") MB" "$wall $cpu $peak"
awk -v mb="$(megabytes "$work/big.rok")" -v w="$wall" -v c="$cpu" \
  'BEGIN { printf "  %-46s %6.0f MB/s of input (%.0f MB/s of processor time)\n", "", mb / w, mb / c }'

echo
echo "Reading the $faces-face text .x (best of 3):"
for _ in 1 2 3; do
  measure info "$viewer" --info "$work/grid.x"
  if have assimp; then measure assimp assimp info "$work/grid.x"; fi
done
row "solluxviewer --info (reading and building)" "$(best info)"
if have assimp; then
  row "assimp info" "$(best assimp)"
  ratio "solluxviewer / assimp" "$(best info)" "$(best assimp)"
else
  echo "  (assimp not installed: no comparison)"
fi

echo
echo "Exporting the $faces-face text .x to glTF binary (best of 3):"
for _ in 1 2 3; do
  measure export "$viewer" --export "$work/grid.glb" "$work/grid.x"
  if have assimp; then measure assimp-export assimp export "$work/grid.x" "$work/grid-assimp.glb" -fglb2; fi
done
row "solluxviewer --export OUT.glb" "$(best export)"
if have assimp; then
  row "assimp export -fglb2" "$(best assimp-export)"
  ratio "solluxviewer / assimp" "$(best export)" "$(best assimp-export)"
fi
rm -f "$work/grid.glb" "$work/grid-assimp.glb"

echo
echo "Thumbnails, 256 x 256 (best of 3):"
for _ in 1 2 3; do
  measure thumb-x "$viewer" --thumbnail 256 "$work/grid.x" "$work/thumb-x.png"
  measure thumb-rok "$viewer" --thumbnail 256 "$work/huge.rok" "$work/thumb-rok.png"
done
row "--thumbnail of the $faces-face .x" "$(best thumb-x)"
row "--thumbnail of the $(megabytes "$work/huge.rok") MB Rokkaku file" "$(best thumb-rok)"

echo
echo "Memory held, in the drawing benchmark's process:"
"$render" --model "$work/grid.x" | sed -n 's/^memory held (resident): /  /p'
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
