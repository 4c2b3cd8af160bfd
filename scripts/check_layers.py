#!/usr/bin/env python3
"""Checks that every #include between the program's folders points down the layers.

Usage: check_layers.py [ROOT]   (ROOT: the source tree, by default this script's parent's)

The layers, top first; folders on one line are siblings and include neither each other
nor anything above them. A folder may include its own headers and those of any folder on
a lower line. Headers named *_internal.h belong to their folder alone, except for the
readers listed in INTERNAL_READERS. tests/, fuzz/ and bench/ stand outside the layers.
Prints every offending include and exits 1 when there is one.
"""
import os
import re
import sys

LAYERS = [
    ["app"],
    ["input"],
    ["scene"],
    ["viewer", "export"],
    ["conversion"],
    ["report", "platform/gl"],
    ["platform/rm"],
    ["platform/win"],
    ["platform"],
]
# Internal headers that other folders may read: the objects' data, read by the drawing
# layer and by the writers that save a scene.
INTERNAL_READERS = {"platform/rm/rm_internal.h": {"platform/gl", "export"}}
OUTSIDE = {"tests", "fuzz", "bench", "scripts", "resources"}

RANK = {folder: len(LAYERS) - i for i, line in enumerate(LAYERS) for folder in line}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def folder_of(path):
    """The layer folder a file belongs to: the nearest listed folder that holds it (so
    platform/win/qt/ is platform/win's), or None. platform/ itself holds only files."""
    parts = path.split("/")[:-1]
    while parts:
        folder = "/".join(parts)
        if folder in RANK:
            return folder if folder != "platform" or path.count("/") == 1 else None
        parts.pop()
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    problems = []
    edges = set()
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        top = rel_dir.split(os.sep)[0]
        if rel_dir != "." and (top in OUTSIDE or top.startswith(".") or top.startswith("build")):
            dirnames[:] = []
            continue
        for name in filenames:
            if not name.endswith((".h", ".cpp", ".c")):
                continue
            path = os.path.normpath(os.path.join(rel_dir, name)).replace(os.sep, "/")
            source = folder_of(path)
            if source is None:
                problems.append(f"{path}: in no layer (add its folder to LAYERS)")
                continue
            with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for included in INCLUDE.findall(text):
                target = folder_of(included)
                if target is None or target == source:
                    if target is None and "/" in included and included.split("/")[0] not in OUTSIDE:
                        problems.append(f"{path}: includes {included}, which is in no layer")
                    continue
                edges.add((source, target))
                if RANK[target] > RANK[source]:
                    problems.append(f"{path}: includes {included}: {target}/ is above {source}/")
                elif RANK[target] == RANK[source]:
                    problems.append(f"{path}: includes {included}: {target}/ and {source}/ are siblings")
                if included.endswith("_internal.h") and source not in INTERNAL_READERS.get(included, ()):
                    problems.append(f"{path}: includes {included}, internal to {target}/")
    for a, b in sorted(edges):
        if a < b and (b, a) in edges:
            problems.append(f"{a}/ and {b}/ include each other")
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} include(s) break the layers: " + " > ".join("/".join(l) for l in LAYERS))
        return 1
    print(f"layers kept: {len(edges)} folder-to-folder include paths, all pointing down")
    return 0


if __name__ == "__main__":
    sys.exit(main())
