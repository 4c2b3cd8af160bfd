#!/bin/sh
# The share of the first picture (--screenshot, 400x400) that each model covers, drawn by
# two builds of the viewer side by side: the real .x files of Debian's assimp-testmodels
# and the project's own models. A model that does not load says so.
#
#   bench/first_picture_coverage.sh BEFORE_BINARY [AFTER_BINARY]   (AFTER: build/solluxviewer)
#
# Coverage counts the pixels below the frame-rate line (the top 16 rows) that are not the
# black background; "cut" marks a model that reaches the picture's edge (not seen whole).
# Needs ImageMagick's convert.
set -u
before=${1:?usage: $0 BEFORE_BINARY [AFTER_BINARY]}
after=${2:-build/solluxviewer}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

coverage() {  # binary model -> "12.3" or "no load"
    out="$work/shot.png"
    rm -f "$out"
    # Rokkaku models are converted beside themselves: work on a copy.
    case "$2" in *.rok) cp "$2" "$work/model.rok"; model="$work/model.rok" ;; *) model=$2 ;; esac
    if ! LIBGL_ALWAYS_SOFTWARE=1 timeout 120 "$1" --screenshot "$out" "$model" >/dev/null 2>&1 || [ ! -s "$out" ]; then
        echo "no load"
        return
    fi
    # The share lit, and whether anything lit touches the picture's edge (the model is cut).
    convert "$out" -crop 400x384+0+16 +repage -fx 'max(r,max(g,b))>0.03' "$work/lit.png"
    all=$(convert "$work/lit.png" -format '%[fx:mean*w*h]' info:)
    inner=$(convert "$work/lit.png" -shave 1x1 -format '%[fx:mean*w*h]' info:)
    awk -v a="$all" -v i="$inner" 'BEGIN { printf "%.1f%s", 100 * a / (400 * 384), (a - i > 0.5) ? " cut" : "" }'
}

printf '%-52s %10s %10s\n' model before% after%
for model in /usr/share/assimp/models/X/*.[xX] "$here"/resources/*.x "$here"/resources/*.rok \
             $(find "$here/tests/data" -name '*.x' | sort); do
    [ -f "$model" ] || continue
    printf '%-52s %10s %10s\n' "$(echo "$model" | sed "s|^$here/||; s|^/usr/share/assimp/models/||")" \
        "$(coverage "$before" "$model")" "$(coverage "$after" "$model")"
done
