#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses it as a desktop would: the file
# list, the desktop entry, the MIME types, the thumbnailer's own Exec line, and the
# installed program started from an unrelated folder.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

DESTDIR="$root" cmake --install "$build" --prefix /usr --strip >/dev/null

# 1. Exactly these files.
expected="usr/bin/solluxviewer
usr/share/applications/solluxviewer.desktop
usr/share/icons/hicolor/128x128/apps/solluxviewer.png
usr/share/icons/hicolor/16x16/apps/solluxviewer.png
usr/share/icons/hicolor/22x22/apps/solluxviewer.png
usr/share/icons/hicolor/24x24/apps/solluxviewer.png
usr/share/icons/hicolor/256x256/apps/solluxviewer.png
usr/share/icons/hicolor/32x32/apps/solluxviewer.png
usr/share/icons/hicolor/48x48/apps/solluxviewer.png
usr/share/icons/hicolor/64x64/apps/solluxviewer.png
usr/share/icons/hicolor/scalable/apps/solluxviewer.svg
usr/share/doc/solluxviewer/changelog.gz
usr/share/doc/solluxviewer/copyright
usr/share/man/man1/solluxviewer.1.gz
usr/share/mime/packages/solluxviewer.xml
usr/share/solluxviewer/camera.x
usr/share/solluxviewer/sphere2.x
usr/share/thumbnailers/solluxviewer.thumbnailer"
# The window's module, when the build has a window system.
window_module=$(cd "$build" && ls solluxviewer-qt.so 2>/dev/null || true)
[ -z "$window_module" ] || expected+="
usr/lib/solluxviewer/$window_module"
actual=$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$(echo "$expected" | LC_ALL=C sort)" ] || fail "installed files differ:
$(diff <(echo "$expected" | LC_ALL=C sort) <(echo "$actual") || true)"

# The program and its module stripped; the compressed documents read back; nothing
# generated in the sources (the converted sample) comes along.
for binary in "$root/usr/bin/solluxviewer" "$root"/usr/lib/solluxviewer/*.so; do
  [ -e "$binary" ] || continue
  ! grep -q '\.debug_info\|\.symtab' <<<"$(readelf -S "$binary")" || fail "$binary is not stripped"
done
grep -q '^\.TH SOLLUXVIEWER' <<<"$(zcat "$root/usr/share/man/man1/solluxviewer.1.gz")" || fail "manual page"
grep -q '^solluxviewer (' <<<"$(zcat "$root/usr/share/doc/solluxviewer/changelog.gz")" || fail "changelog"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$root/usr/share/doc/solluxviewer/copyright" || fail "copyright file"

# 2. The desktop entry, when the validator is there.
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/solluxviewer.desktop" || fail "desktop entry"
fi

# 3. MIME types, in a private database: by name, and by content under another name.
png_size() {  # width and height of a PNG, from its IHDR
  od -An -tu1 -j16 -N8 "$1" | awk '{print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8}'
}
samples="$work/samples"
mkdir -p "$samples"
cp "$source/resources/sample.rok" "$samples/house.rok"
cp "$source/tests/data/conversion/triangle.x" "$samples/triangle.x"
cp "$source/tests/data/conversion/triangle.x" "$samples/triangle.model"
printf '%%{\n#include <stdio.h>\n%%}\n%%%%\n.|\\n ;\n' >"$samples/scanner.x"
if command -v update-mime-database >/dev/null && command -v gio >/dev/null; then
  mkdir -p "$work/xdg/mime/packages"
  cp "$root/usr/share/mime/packages/solluxviewer.xml" "$work/xdg/mime/packages/"
  [ -f /usr/share/mime/packages/freedesktop.org.xml ] &&
    cp /usr/share/mime/packages/freedesktop.org.xml "$work/xdg/mime/packages/"
  update-mime-database "$work/xdg/mime" 2>/dev/null
  for pair in house.rok=model/x-rokkaku triangle.x=model/x-directx \
    triangle.model=model/x-directx scanner.x=text/x-lex; do
    file=${pair%%=*}
    want=${pair#*=}
    got=$(XDG_DATA_DIRS="$work/xdg" XDG_DATA_HOME="$work/xdg" gio info -a standard::content-type \
      "$samples/$file" | sed -n 's/.*standard::content-type: //p')
    [ "$got" = "$want" ] || fail "$file is '$got', expected '$want'"
  done
else
  echo "update-mime-database or gio missing: MIME detection not checked"
fi

# 4. The thumbnailer's own Exec line, with the installed program first on PATH.
exec_line=$(sed -n 's/^Exec=//p' "$root/usr/share/thumbnailers/solluxviewer.thumbnailer")
thumbnail() {  # SIZE INPUT OUTPUT
  local line=${exec_line//%s/$1}
  line=${line//%i/\"$2\"}
  line=${line//%o/\"$3\"}
  (cd "$work" && PATH="$root/usr/bin:$PATH" eval "$line") >/dev/null 2>"$work/thumb.err"
}
listing() { ls -la --time-style=+%s "$samples" | grep -v ' \.\.$'; }
before=$(listing)
for input in house.rok triangle.x triangle.model; do
  out="$work/$input.png"
  if ! thumbnail 128 "$samples/$input" "$out"; then
    fail "thumbnail of $input: $(cat "$work/thumb.err")"
  elif [ "$(png_size "$out")" != "128x128" ]; then
    fail "thumbnail of $input is $(png_size "$out"), expected 128x128"
  fi
done
[ "$before" = "$(listing)" ] || fail "the thumbnailer changed the inputs' folder"
for input in scanner.x missing.x; do
  if thumbnail 128 "$samples/$input" "$work/bad.png"; then fail "thumbnail of $input succeeded"; fi
  [ ! -e "$work/bad.png" ] || fail "thumbnail of $input left an output file"
done

# 5. The installed program, started from an unrelated folder, finds its light models.
mkdir -p "$work/elsewhere"
printf 'command 301\ncommand 302\nframes 2\n' >"$work/elsewhere/lights.txt"
if ! (cd "$work/elsewhere" && "$root/usr/bin/solluxviewer" --screenshot lights.png --play lights.txt \
  >"$work/lights.out" 2>&1); then
  fail "adding lights in the installed program: $(cat "$work/lights.out")"
fi

# 6. The installed program opens its window, with the module from its own lib/ folder.
if [ -n "$window_module" ] && command -v xvfb-run >/dev/null; then
  printf 'frames 2\ncommand 5\n' >"$work/elsewhere/quit.txt"
  if ! (cd "$work/elsewhere" && env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb ASAN_OPTIONS=detect_leaks=0 \
    xvfb-run -a "$root/usr/bin/solluxviewer" --play quit.txt >"$work/window.out" 2>&1); then
    fail "the installed program's window: $(cat "$work/window.out")"
  fi
fi

[ "$failures" -eq 0 ] || exit 1
echo "install test passed"
