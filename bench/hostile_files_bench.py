#!/usr/bin/env python3
"""Generates .x and Rokkaku files whose structure makes loading expensive, and paths that
are not regular files, then times `solluxviewer --info` (and the other modes that read
them) on each with /usr/bin/time, printing seconds and peak memory (MB) per case.

Usage: bench/hostile_files_bench.py [VIEWER] [--dir DIR] [--timeout S]
VIEWER defaults to build/solluxviewer. Each run is stopped after the timeout (default 60 s).
A case passes when it ends within 5 s and 512 MB, loaded or refused.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

TRIANGLE = "Mesh {{ 3; 0;0;0;, 1;0;0;, 0;1;{};; 1; 3;0,1,2;; }}"


def doubling(levels):
    # Each frame holds the previous one twice: the paths double with every level.
    out = ["xof 0302txt 0032", "Frame F1 { " + TRIANGLE.format(0) + " }"]
    for k in range(2, levels + 1):
        out.append("Frame F%d { {F%d} {F%d} }" % (k, k - 1, k - 1))
    return "\n".join(out) + "\n"


def chain(links, depth=190):
    # Each link nests `depth` frames literally and references the previous link at the
    # bottom, so references reach far deeper than literal nesting may.
    out = ["xof 0302txt 0032", "Frame L1 { " + TRIANGLE.format(0) + " }"]
    for k in range(2, links + 1):
        out.append("Frame L%d {\n%s{L%d}\n%s}" % (k, "Frame {\n" * (depth - 1), k - 1, "}\n" * (depth - 1)))
    return "\n".join(out) + "\n"


def meshes(count):
    return "xof 0302txt 0032\n" + "\n".join(TRIANGLE.format(i % 7) for i in range(count)) + "\n"


def shared_mesh(frames):
    out = ["xof 0302txt 0032", "Mesh M { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; }"]
    for i in range(frames):
        out.append("Frame F%d { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, %d,0,0,1;; } {M} }" % (i, i))
    return "\n".join(out) + "\n"


def measure(cmd, timeout):
    """Returns (seconds, MB, exit status or None when stopped)."""
    timing = tempfile.NamedTemporaryFile(delete=False)
    timing.close()
    try:
        proc = subprocess.Popen(["/usr/bin/time", "-o", timing.name, "-f", "%e %M"] + cmd,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            status = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, 9)
            proc.wait()
            return timeout, None, None
        with open(timing.name) as f:
            words = f.read().split()
        # /usr/bin/time prints a "Command exited with non-zero status" line first.
        seconds, kb = float(words[-2]), int(words[-1])
        return seconds, kb / 1024.0, status
    finally:
        os.unlink(timing.name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("viewer", nargs="?", default="build/solluxviewer")
    parser.add_argument("--dir", help="write the files here and keep them")
    parser.add_argument("--timeout", type=float, default=60)
    args = parser.parse_args()
    viewer = os.path.abspath(args.viewer)
    if not os.access(viewer, os.X_OK):
        sys.exit("no viewer at " + viewer + " (build it first)")
    folder = args.dir or tempfile.mkdtemp(prefix="sollux-hostile-")
    os.makedirs(folder, exist_ok=True)

    def write(name, text):
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    cases = []  # (label, size in bytes or None, command)
    info = lambda path: [viewer, "--info", path]
    p = write("doubling.x", doubling(24))
    cases.append(("24 frames, each referencing the previous twice", os.path.getsize(p), info(p)))
    for links in (100, 200, 300, 420):
        p = write("chain-%d.x" % links, chain(links))
        cases.append(("references chaining frames past the nesting limit, %d links" % links, os.path.getsize(p), info(p)))
    for count in (10000, 20000, 40000, 80000):
        p = write("meshes-%d.x" % count, meshes(count))
        cases.append(("%d top-level one-triangle meshes" % count, os.path.getsize(p), info(p)))
    p = write("shared-100000.x", shared_mesh(100000))
    cases.append(("100 000 frames sharing one mesh by reference", os.path.getsize(p), info(p)))
    # Opened as a model, every placement is appended to one mesh builder.
    p = write("doubling-18.x", doubling(18))
    cases.append(("opening a model of 18 frames, each referencing the previous twice", os.path.getsize(p),
                  [viewer, "--screenshot", os.path.join(folder, "doubling.png"), p]))

    zero_x, zero_rok = os.path.join(folder, "zero.x"), os.path.join(folder, "zero.rok")
    fifo_x, fifo_rok = os.path.join(folder, "fifo.x"), os.path.join(folder, "fifo.rok")
    for link in (zero_x, zero_rok):
        if not os.path.lexists(link):
            os.symlink("/dev/zero", link)
    for fifo in (fifo_x, fifo_rok):
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
    shot = os.path.join(folder, "shot.png")
    cases += [
        ("--info of a link to /dev/zero", None, info(zero_x)),
        ("opening a model that links to /dev/zero", None, [viewer, "--screenshot", shot, zero_x]),
        ("converting a Rokkaku source that links to /dev/zero", None, [viewer, "--convert", zero_rok]),
        ("--info of a FIFO", None, info(fifo_x)),
        ("converting a FIFO", None, [viewer, "--convert", fifo_rok]),
        ("playing a script that is a FIFO", None, [viewer, "--screenshot", shot, "--play", fifo_x]),
    ]

    print("%-58s %9s %9s %9s %7s  %s" % ("case", "size", "seconds", "peak MB", "exit", "within 5 s, 512 MB"))
    failures = 0
    for label, size, cmd in cases:
        seconds, mb, status = measure(cmd, args.timeout)
        ok = status is not None and seconds <= 5 and mb <= 512
        failures += not ok
        size_text = "-" if size is None else ("%.0f KB" % (size / 1024.0) if size < 1 << 20 else "%.1f MB" % (size / 1048576.0))
        print("%-58s %9s %9s %9s %7s  %s" % (label, size_text,
                                            ("%.2f" % seconds) if status is not None else "stopped after %.0f" % seconds,
                                            "-" if mb is None else "%.0f" % mb,
                                            "-" if status is None else str(status), "yes" if ok else "NO"))
        sys.stdout.flush()
    if not args.dir:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
