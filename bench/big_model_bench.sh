#!/usr/bin/env bash
# Big models, whole process, side by side with f3d and the assimp command line when they are
# installed (they are only ever compared with, never used):
#  - text .x grids of about 250 000, 980 000 and 4 000 000 faces (and a 1 200-face one) drawn
#    to an 800x600 PNG (--screenshot), and f3d drawing the same meshes as .ply (--output,
#    under xvfb-run);
#  - the 980 000-face model, and a grid of 980 100 quads that all face the camera, turning
#    in the window (Gouraud, 800x600, unpaced, under Xvfb): frames a second, from a scripted
#    Shift-drag spin;
#  - --convert of a 77 MB Rokkaku file, in MB/s of input;
#  - --info of each .x (reading and building) and assimp's `info` of the same files;
#  - --thumbnail 256 of each .x and of a 115 MB Rokkaku file;
#  - --export of each .x to .glb and assimp's `export` of the same files;
#  - the memory held per face after loading and after the first frame (bench_render).
# Each figure is the best of three runs (runs of the programs compared take turns), with
# the processor time (user + system) beside the wall time and the peak resident memory,
# all from /usr/bin/time, and for the grids the wall time and peak memory per face; the
# per-face growth from the 980 000-face grid to the 4 000 000-face one closes the report.
# The machine may be shared: its load average is printed too.
#
#   bench/big_model_bench.sh [BUILD_DIR]     (default: build; needs solluxviewer,
#                                             bench/bench_convert and bench/bench_render)
#   SIZES="250k 1M 4M" (default) picks the grids; RUNS=3 (default) the runs of each figure.
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
# of C x C points gives 2.5 (C - 1)^2 faces in the .x file, about 250 000 for 317, 979 690
# for 627 and 4 000 000 for 1265.
sizes="${SIZES:-250k 1M 4M}"
runs="${RUNS:-3}"
columns_of() { case "$1" in 250k) echo 317 ;; 1M) echo 627 ;; 4M) echo 1265 ;; *) echo "unknown size $1" >&2; exit 1 ;; esac; }
models=""
for size in $sizes; do
  c=$(columns_of "$size")
  "$generator" --generate "$work/grid-$size.rok" "$c" "$c" >/dev/null
  "$viewer" --convert "$work/grid-$size.rok" >/dev/null 2>&1
  rm -f "$work/grid-$size.rok"
  models="$models grid-$size"
done
"$generator" --generate "$work/small.rok" 23 23 >/dev/null
"$viewer" --convert "$work/small.rok" >/dev/null 2>&1
models="$models small"
"$generator" --generate "$work/big.rok" 723 723 >/dev/null
"$generator" --generate "$work/huge.rok" 900 850 >/dev/null
rm -f "$work/small.rok"
# The model that turns in the window and whose memory is taken apart: the 980 000-face one,
# else the first grid.
spin=grid-1M
case " $sizes " in *" 1M "*) ;; *) spin="grid-${sizes%% *}" ;; esac
megabytes() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 1e6 }'; }

# The same meshes as ASCII .ply for f3d (which reads no .x files), read a line at a time so
# that the 4M-face model fits: the converter's .x holds one vertex or face a line. Prints the
# face count.
to_ply() {
  python3 - "$1" "$2" <<'PY'
import re, sys, os
number = re.compile(r"-?[0-9][0-9.eE+-]*")
src, dst = sys.argv[1], sys.argv[2]
with open(src) as text, open(dst + ".v", "w") as verts, open(dst + ".f", "w") as faces:
    for line in text:
        if re.match(r"\s*Mesh\s*\{", line):
            break
    def count():
        for line in text:
            if line.strip():
                return int(number.findall(line)[0])
    nv = count()
    for _ in range(nv):
        verts.write(" ".join(number.findall(next(text))[:3]) + "\n")
    nf = count()
    for _ in range(nf):
        values = number.findall(next(text))
        n = int(values[0])
        faces.write("%d %s\n" % (n, " ".join(values[1:1 + n])))
with open(dst, "w") as out:
    out.write("ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
              "property float z\nelement face %d\nproperty list uchar int vertex_indices\n"
              "end_header\n" % (nv, nf))
    for part in (dst + ".v", dst + ".f"):
        with open(part) as f:
            while chunk := f.read(1 << 20):
                out.write(chunk)
        os.remove(part)
print(nf)
PY
}
declare -A faces per_face
summary=""
for model in $models; do
  faces[$model]=$(to_ply "$work/$model.x" "$work/$model.ply")
  # Per face only for the grids: the small model's figures are start-up alone.
  per_face[$model]=""
  [ "$model" = small ] || per_face[$model]=${faces[$model]}
  summary="$summary ${faces[$model]} ($(megabytes "$work/$model.x") MB),"
done
echo "models: text .x of${summary%,} faces;" \
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
row() {  # label "wall cpu peak_kb" [faces]: with faces, the wall time and peak memory per face
  read -r wall cpu peak <<<"$2"
  if [ "$wall" = "-" ]; then printf "  %-46s failed\n" "$1"; return; fi
  printf "  %-46s %6.2f s wall %6.2f s cpu %7.1f MB peak" "$1" "$wall" "$cpu" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')"
  if [ -n "${3:-}" ]; then
    awk -v w="$wall" -v k="$peak" -v f="$3" 'BEGIN { printf " %7.3f us %5.0f B a face", w / f * 1e6, k * 1024 / f }'
  fi
  echo
}
ratio() {  # label "ours" "theirs": time and memory ratios
  read -r w1 _ m1 <<<"$2"
  read -r w2 _ m2 <<<"$3"
  [ "$w1" = "-" ] || [ "$w2" = "-" ] && return
  awk -v l="$1" -v a="$w1" -v b="$w2" -v c="$m1" -v d="$m2" \
    'BEGIN { printf "  %-46s %6.2f x time %14.2f x peak memory\n", l, a / b, c / d }'
}

echo
echo "Drawing to an 800x600 PNG (best of $runs):"
f3d_ok=0
if have f3d && have xvfb-run; then f3d_ok=1; fi
for model in $models; do
  for _ in $(seq "$runs"); do
    measure "ours-$model" "$viewer" --screenshot "$work/$model.png" --size 800x600 "$work/$model.x"
    if [ $f3d_ok = 1 ]; then
      # One Xvfb per run, started outside the measured command.
      xvfb bash -c "$(declare -f measure); work='$work'; measure f3d-$model f3d --output '$work/f3d-$model.png' \
        --resolution 800,600 '$work/$model.ply'"
    fi
  done
  row "solluxviewer --screenshot, ${faces[$model]} faces" "$(best "ours-$model")" "${per_face[$model]}"
  if [ $f3d_ok = 1 ]; then
    row "f3d --output (.ply, under xvfb-run)" "$(best "f3d-$model")" "${per_face[$model]}"
    ratio "solluxviewer / f3d" "$(best "ours-$model")" "$(best "f3d-$model")"
  fi
done
[ $f3d_ok = 1 ] || echo "  (f3d or xvfb-run not installed: no comparison)"

# A grid whose faces all face the camera (none culled as facing away): 991 x 991 points,
# 980 100 quads, its height a gentle wave so that the normals vary.
python3 - "$work/single.x" <<'PY'
import math, sys
n = 991
with open(sys.argv[1], "w") as out:
    out.write("xof 0302txt 0064\nMesh {\n%d;\n" % (n * n))
    for j in range(n):
        row = []
        for i in range(n):
            x = -1 + 2.0 * i / (n - 1)
            y = -1 + 2.0 * j / (n - 1)
            row.append("%.6f;%.6f;%.6f;" % (x, y, 0.05 * math.sin(7 * x) * math.cos(5 * y)))
        out.write(",\n".join(row) + (";\n" if j == n - 1 else ",\n"))
    out.write("%d;\n" % ((n - 1) * (n - 1)))
    for j in range(n - 1):
        out.write(",\n".join("4;%d,%d,%d,%d;" % (a, a + n, a + n + 1, a + 1)
                              for a in range(j * n, j * n + n - 1)) + (";\n" if j == n - 2 else ",\n"))
    out.write("}\n")
PY

echo
echo "Turning models in the window, Gouraud, 800x600, --fps 0, under Xvfb (best of $runs):"
if have xvfb-run; then
  # Selects the model with a click, spins it with a Shift drag, lets N frames run. Two
  # lengths: the difference is the frames alone, without start-up and loading.
  for n in 20 120; do
    printf 'size 800 600\nctrl key down G\nkey up G\nframes 3\nmouse ldown 200 300\nmouse move 240 300 shift\n'`
          `'mouse lup 240 300 shift\nmouse move 240 300\nframes %d\nquit\n' "$n" >"$work/spin$n.txt"
  done
  for model in "$spin" single; do
    xvfb bash -c "$(declare -f measure); work='$work'; export QT_QPA_PLATFORM=xcb; unset WAYLAND_DISPLAY
      for _ in \$(seq $runs); do for n in 20 120; do
        measure spin-$model-\$n '$viewer' --fps 0 --play '$work'/spin\$n.txt '$work/$model.x'
      done; done"
    read -r w20 c20 m20 <<<"$(best "spin-$model-20")"
    read -r w120 c120 m120 <<<"$(best "spin-$model-120")"
    if [ "$model" = single ]; then
      label="the single-sided grid, 980100 quads"
    else
      label="the ${faces[$model]}-face grid (faces back to back)"
    fi
    if [ "$w20" != "-" ] && [ "$w120" != "-" ]; then
      awk -v l="$label" -v a="$w20" -v b="$w120" -v c="$c20" -v d="$c120" -v e="$m20" -v f="$m120" 'BEGIN {
        printf "  %s:\n  %-46s %6.1f frames/s (%.1f ms a frame; %.1f ms of processor time a frame)\n" \
               "  %-46s %6.1f MB after 20 frames, %.1f MB after 120\n",
               l, "100 frames of the spin", 100 / (b - a), (b - a) * 10, (d - c) * 10, "peak memory", e / 1024, f / 1024 }'
    else
      echo "  $label: the window did not run"
    fi
  done
else
  echo "  (xvfb-run not installed)"
fi

echo
echo "Converting (best of $runs):"
# What earlier steps wrote is on the disk first, so that its write-back is not timed here.
for _ in $(seq "$runs"); do sync; measure convert "$viewer" --convert "$work/big.rok"; done
read -r wall cpu peak <<<"$(best convert)"
row "solluxviewer --convert, $(megabytes "$work/big.rok") MB" "$wall $cpu $peak"
awk -v mb="$(megabytes "$work/big.rok")" -v w="$wall" -v c="$cpu" \
  'BEGIN { printf "  %-46s %6.0f MB/s of input (%.0f MB/s of processor time)\n", "", mb / w, mb / c }'

echo
echo "Reading the text .x files (best of $runs):"
for model in $models; do
  for _ in $(seq "$runs"); do
    measure "info-$model" "$viewer" --info "$work/$model.x"
    if have assimp; then measure "assimp-$model" assimp info "$work/$model.x"; fi
  done
  row "solluxviewer --info, ${faces[$model]} faces" "$(best "info-$model")" "${per_face[$model]}"
  if have assimp; then
    row "assimp info" "$(best "assimp-$model")" "${per_face[$model]}"
    ratio "solluxviewer / assimp" "$(best "info-$model")" "$(best "assimp-$model")"
  fi
done
have assimp || echo "  (assimp not installed: no comparison)"

echo
echo "Exporting the text .x files to glTF binary (best of $runs):"
for model in $models; do
  for _ in $(seq "$runs"); do
    measure "export-$model" "$viewer" --export "$work/$model.glb" "$work/$model.x"
    if have assimp; then measure "assimp-export-$model" assimp export "$work/$model.x" "$work/$model-assimp.glb" -fglb2; fi
  done
  row "solluxviewer --export OUT.glb, ${faces[$model]} faces" "$(best "export-$model")" "${per_face[$model]}"
  if have assimp; then
    row "assimp export -fglb2" "$(best "assimp-export-$model")" "${per_face[$model]}"
    ratio "solluxviewer / assimp" "$(best "export-$model")" "$(best "assimp-export-$model")"
  fi
  rm -f "$work/$model.glb" "$work/$model-assimp.glb"
done

echo
echo "Thumbnails, 256 x 256 (best of $runs):"
for model in $models; do
  for _ in $(seq "$runs"); do
    measure "thumb-$model" "$viewer" --thumbnail 256 "$work/$model.x" "$work/thumb-$model.png"
  done
  row "--thumbnail of the ${faces[$model]}-face .x" "$(best "thumb-$model")" "${per_face[$model]}"
done
for _ in $(seq "$runs"); do measure thumb-rok "$viewer" --thumbnail 256 "$work/huge.rok" "$work/thumb-rok.png"; done
row "--thumbnail of the $(megabytes "$work/huge.rok") MB Rokkaku file" "$(best thumb-rok)"

echo
echo "Memory held by the ${faces[$spin]}-face model, in the drawing benchmark's process:"
"$render" --model "$work/$spin.x" | sed -n 's/^memory held (resident): /  /p'

# growth NAME LABEL: the 4M-face grid's wall time and peak memory per face over the
# 980 000-face grid's.
growth() {
  read -r w1 _ m1 <<<"$(best "$1-grid-1M")"
  read -r w4 _ m4 <<<"$(best "$1-grid-4M")"
  [ "$w1" = "-" ] || [ "$w4" = "-" ] && { printf "  %-46s -\n" "$2"; return; }
  awk -v l="$2" -v a="$w1" -v b="$w4" -v c="$m1" -v d="$m4" -v f1="${faces[grid-1M]}" -v f4="${faces[grid-4M]}" \
    'BEGIN { printf "  %-46s %6.2f x time a face %9.2f x peak memory a face\n", l, (b / f4) / (a / f1), (d / f4) / (c / f1) }'
}
if [[ " $sizes " == *" 1M "* && " $sizes " == *" 4M "* ]]; then
    echo
    echo "Growth from ${faces[grid-1M]} to ${faces[grid-4M]} faces (per face, 4M over 1M; 1.00 is linear):"
    growth ours "solluxviewer --screenshot"
    [ $f3d_ok = 1 ] && growth f3d "f3d --output"
    growth info "solluxviewer --info"
    have assimp && growth assimp "assimp info"
    growth thumb "solluxviewer --thumbnail 256"
    growth export "solluxviewer --export OUT.glb"
    have assimp && growth assimp-export "assimp export -fglb2"
fi
echo
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
