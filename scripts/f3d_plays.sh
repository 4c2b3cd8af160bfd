#!/bin/bash
# Whether f3d plays the animation of a glTF file: opens it in f3d's window under Xvfb,
# takes a picture, presses Space (f3d's "play animation") and takes six more pictures
# 0.13 s apart, then prints how many pixels each differs from the first and from the one
# before. Exit 0 when the pictures taken while playing differ from each other.
# Needs f3d, xvfb-run, xdotool and ImageMagick (none of them is installed by the project).
# Usage: scripts/f3d_plays.sh FILE.glb [F3D OPTIONS...]   e.g. --camera-index 0
set -eu
[ $# -ge 1 ] || { echo "usage: $0 FILE.glb [F3D OPTIONS...]" >&2; exit 2; }
for tool in f3d xvfb-run xdotool import compare; do
    command -v $tool >/dev/null || { echo "$0: $tool is missing" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WORK="$work"
xvfb-run -a -s "-screen 0 480x360x24" bash -c '
    f3d --resolution 400,300 "$@" >"$WORK/f3d.log" 2>&1 &
    f3d=$!
    for i in $(seq 50); do
        window=$(xdotool search --name f3d 2>/dev/null | head -1) && [ -n "$window" ] && break
        sleep 0.2
    done
    sleep 3  # the first picture drawn
    import -window root "$WORK/0.png"
    xdotool key --window "$window" space
    for i in 1 2 3 4 5 6; do
        sleep 0.13
        import -window root "$WORK/$i.png"
    done
    kill $f3d
' f3d-plays "$@"
moving=0
for i in 1 2 3 4 5 6; do
    from_first=$(compare -metric AE "$work/0.png" "$work/$i.png" null: 2>&1 || true)
    from_last=$(compare -metric AE "$work/$((i - 1)).png" "$work/$i.png" null: 2>&1 || true)
    echo "picture $i: $from_first pixels differ from before Space, $from_last from picture $((i - 1))"
    [ $i -gt 1 ] && [ "$from_last" != 0 ] && moving=1
done
[ $moving = 1 ] && echo "f3d plays it" || echo "nothing moved"
[ $moving = 1 ]
