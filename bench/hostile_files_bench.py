#!/usr/bin/env python3
"""Generates .x and Rokkaku files whose structure makes loading expensive, and paths that
are not regular files, then times `solluxviewer --info` (and the other modes that read
them) on each with /usr/bin/time, printing seconds and peak memory (MB) per case.
Then plays what an unpacked download may hold against the writes and the thumbnailer
(links planted where output goes, textures named outside the model's folder, a killed
thumbnail) and prints whether each safety rule held, with its seconds and peak MB.

Usage: bench/hostile_files_bench.py [VIEWER] [--dir DIR] [--timeout S]
VIEWER defaults to build/solluxviewer; with build/bench/bench_open_frame built beside it, the
new cases are also opened as the window's Open Frame and Open Animation do. Each run is stopped after the timeout (default 60 s).
A case passes when it ends within 5 s and 512 MB, loaded or refused.
"""
import argparse
import glob
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

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


def textured(names, faces=1):
    """A mesh of `faces` triangles on three points, facing both ways in turn, face i drawn
    with material i's texture."""
    materials = "\n".join('Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { "%s"; } }'
                           % n.replace("\\", "\\\\") for n in names)
    return ("xof 0302txt 0032\nMesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; %d; %s;\n"
            "MeshTextureCoords { 3; 0;0;, 1;0;, 0;1;; }\n"
            "MeshMaterialList { %d; %d; %s;\n%s\n} }\n"
            % (faces, ",".join("3;2,1,0;" if i % 2 else "3;0,1,2;" for i in range(faces)), len(names), faces,
               ",".join(str(i % len(names)) for i in range(faces)), materials))


def rle_bitmap(width, height):
    """An 8-bit run-length encoded bitmap that is only its end marker: 60 bytes, all pixels
    palette entry 0."""
    runs = b"\x00\x01"
    offset = 14 + 40 + 4
    return (b"BM" + struct.pack("<IIII", offset + len(runs), 0, offset, 40) + struct.pack("<ii", width, height)
            + struct.pack("<HH", 1, 8) + struct.pack("<IIiiII", 1, len(runs), 2835, 2835, 1, 0)
            + b"\x40\x80\xc0\x00" + runs)


def run_measured(cmd, timeout, env=None, before_exec=None):
    """Runs cmd as a child whose id is known before it starts (before_exec(pid) runs
    first); returns (processor seconds, peak MB, exit status or None when stopped)."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(w)
        os.read(r, 1)
        os.setsid()
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        try:
            os.execve(cmd[0], cmd, env or os.environ)
        finally:
            os._exit(127)
    os.close(r)
    if before_exec:
        before_exec(pid)
    os.write(w, b"x")
    os.close(w)
    end = time.time() + timeout
    while True:
        done, status, usage = os.wait4(pid, os.WNOHANG)
        if done:
            break
        if time.time() > end:
            os.killpg(pid, 9)
            os.wait4(pid, 0)
            return timeout, None, None
        time.sleep(0.02)
    code = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, code


def rescans(lines):
    # Read as objects, "<} #>" hides the brace in a GUID; skipped, the brace closes the
    # object and "#" comments the rest out: every failed read of a line used to read all
    # the lines after it again.
    return "xof 0302txt 0032\n" + "A{ ; <} #>\n" * lines


def nested_unknown(levels, megabytes):
    # Unknown objects nested `levels` deep around data that ends without closing them.
    return "xof 0302txt 0032\n" + "U {\n" * levels + "1;" * (megabytes << 19)


def mszip(head, unit, repeats, tail):
    # The compressed text form: the header, the declared size, then blocks each an
    # independent raw deflate stream. The body is head + unit * repeats + tail; whole
    # blocks of units are compressed once and repeated.
    import struct
    import zlib

    def block(chunk):
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        data = c.compress(chunk) + c.flush()
        return struct.pack("<HH", len(chunk), len(data) + 2) + b"CK" + data

    per = max(1, 32768 // len(unit))
    whole, rest = divmod(repeats, per)
    size = len(head) + len(unit) * repeats + len(tail)
    out = [b"xof 0302tzip0032", struct.pack("<I", min(16 + size, 0xffffffff)), block(head)]
    out.append(block(unit * per) * whole)
    out.append(block(unit * rest + tail))
    return b"".join(out)


def many_faces(faces):
    head = b"Mesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; %d;\n" % faces
    return mszip(head, b"3;0,2,1;,", faces - 1, b"3;0,2,1;;\n}\n")


def normals_placed(normals, placements):
    # One mesh with many normals, referenced by one frame again and again.
    out = ["xof 0302txt 0032", "Mesh M { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;;",
           " MeshNormals { %d; %s; 1; 3;0,0,0;; } }" % (normals, ",".join(["0;0;1;"] * normals))]
    out.append("Frame F { " + " ".join(["{M}"] * placements) + " }")
    return "\n".join(out) + "\n"


def materials_placed(materials, placements):
    mats = ",\n".join("Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; }" for _ in range(materials))
    out = ["xof 0302txt 0032",
           "Mesh M { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; MeshMaterialList { %d; 1; 0;; %s } }" % (materials, mats),
           "Frame F { " + " ".join(["{M}"] * placements) + " }"]
    return "\n".join(out) + "\n"


def skinned_placed(vertices, placements):
    # A skinned mesh, each placement of which gets a builder and weights of its own.
    pts = ",".join("%d;0;0;" % i for i in range(vertices))
    faces = ",".join("3;%d,%d,%d;" % (i, i + 1, i + 2) for i in range(vertices - 2))
    idx = ",".join(str(i) for i in range(vertices))
    w = ",".join("1.0" for _ in range(vertices))
    mesh = ("Mesh S { %d; %s; %d; %s; SkinWeights { \"Bone\"; %d; %s; %s; 1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1;; } }"
            % (vertices, pts, vertices - 2, faces, vertices, idx, w))
    # Top first: Open Frame loads the first frame.
    out = ["xof 0302txt 0032", "Frame Top { " + " ".join(["{Bone}"] * placements) + " }", "Frame Bone { " + mesh + " }"]
    return "\n".join(out) + "\n"


def falling_keys(keys):
    body = ",\n".join("%d;3;0,0,%d;;" % (keys - i, i) for i in range(keys))
    return ("xof 0302txt 0032\nFrame F { " + TRIANGLE.format(0) + " }\n"
            "AnimationSet S { Animation { {F} AnimationKey { 2; %d; %s; } } }\n" % (keys, body))


def one_place(placements):
    # One triangle placed again and again at the same place: every copy is drawn.
    # All first: Open Frame loads the first frame.
    return ("xof 0302txt 0032\nFrame All { " + " ".join(["{T}"] * placements) + " }\nFrame T { " +
            TRIANGLE.format(0).replace("0,1,2", "0,2,1") + " }\n")


def long_texture_name(megabytes):
    name = "a" * (megabytes << 20)
    return ("xof 0302txt 0032\nMesh { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3;0,1,2;; MeshMaterialList { 1; 1; 0;; "
            "Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { \"%s\"; } } } }\n" % name)


def many_animations(count):
    out = ["xof 0302txt 0032", "Frame F { " + TRIANGLE.format(0) + " }", "AnimationSet S {"]
    out += ["Animation { {F} AnimationKey { 2; 1; 0;3;0,0,0;;; } }"] * count
    return "\n".join(out) + "\n}\n"


def merged_elements(vertices, placements):
    # A small mesh description merged into one builder again and again by references.
    pts = "0;0;0;," * (vertices - 1) + "0;0;0;;"
    out = ["xof 0302txt 0032", "Mesh M { %d; %s 1; 3;0,1,2;; }" % (vertices, pts)]
    out.append("Frame L { " + "{M} " * 16 + "}")
    width = max(1, placements // 16)
    out.append("Frame Top { " + "{L} " * width + "}")
    return "\n".join(out) + "\n"


def measure(cmd, timeout):
    """Returns (seconds, MB, exit status or None when stopped, processor seconds)."""
    timing = tempfile.NamedTemporaryFile(delete=False)
    timing.close()
    try:
        proc = subprocess.Popen(["/usr/bin/time", "-o", timing.name, "-f", "%e %M %U %S"] + cmd,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            status = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, 9)
            proc.wait()
            return timeout, None, None, None
        with open(timing.name) as f:
            words = f.read().split()
        # /usr/bin/time prints a "Command exited with non-zero status" line first.
        seconds, kb, user, system = float(words[-4]), int(words[-3]), float(words[-2]), float(words[-1])
        return seconds, kb / 1024.0, status, user + system
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

    def write_bytes(name, data):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    shot_png = os.path.join(folder, "case.png")
    thumb_png = os.path.join(folder, "case-thumb.png")
    every_mode = lambda path: [("--info", info(path)), ("--screenshot", [viewer, "--screenshot", shot_png, path]),
                               ("--thumbnail", [viewer, "--thumbnail", "256", path, thumb_png])]

    # Open Frame and Open Animation, without the window.
    opener = os.path.join(os.path.dirname(viewer), "bench", "bench_open_frame")
    if os.access(opener, os.X_OK):
        base = every_mode
        every_mode = lambda path: base(path) + [("Open Frame", [opener, "frame", path]),
                                                ("Open Animation", [opener, "animation", path])]

    def each_mode(label, path):
        for mode, cmd in every_mode(path):
            cases.append(("%s, %s" % (label, mode), os.path.getsize(path), cmd))

    for lines in (26, 40):
        each_mode("%d lines that used to be read again and again" % lines, write("rescans-%d.x" % lines, rescans(lines)))
    each_mode("255 unknown objects nested around 50 MB", write("nested-unknown.x", nested_unknown(255, 50)))
    each_mode("compressed: 1 GB of faces inflated", write_bytes("bomb-1g.x", many_faces(110000000)))
    each_mode("compressed: 40M faces declared and written",
              write_bytes("bomb-40m.x", many_faces(40000000)))
    each_mode("1M normals placed 100 times", write("normals-100.x", normals_placed(1000000, 100)))
    each_mode("200k materials placed 5000 times", write("materials-5000.x", materials_placed(200000, 5000)))
    each_mode("a skinned mesh of 1000 vertices placed 1000 times", write("skin-1000.x", skinned_placed(1000, 1000)))
    each_mode("1M animation keys in falling time order", write("keys-1m.x", falling_keys(1000000)))
    for count in (300000, 1000000):
        each_mode("one triangle placed %d times at one place" % count,
                  write("one-place-%d.x" % count, one_place(count)))
    each_mode("a 100 MB texture name", write("long-name.x", long_texture_name(100)))
    each_mode("1M animations of one frame", write("animations-1m.x", many_animations(1000000)))
    each_mode("16.7M vertices merged from a small file", write("merged.x", merged_elements(16384, 1024)))
    sparse = os.path.join(folder, "sparse.x")
    with open(sparse, "wb") as f:
        f.write(b"xof 0302txt 0032\n" + TRIANGLE.format(0).encode() + b"\n")
        f.truncate(4 << 30)
    each_mode("a sparse 4 GB file", sparse)

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

    # Pictures: a 60-byte bitmap of 8192 x 8192 pixels, named four ways (one of them
    # another link to the same file); thousands of texture names that all miss in a full
    # folder; the kernel's files reached through links.
    pics = os.path.join(folder, "pictures")
    os.makedirs(pics, exist_ok=True)
    with open(os.path.join(pics, "big.bmp"), "wb") as f:
        f.write(rle_bitmap(8192, 8192))
    if not os.path.exists(os.path.join(pics, "big2.bmp")):
        os.link(os.path.join(pics, "big.bmp"), os.path.join(pics, "big2.bmp"))
    p = os.path.join(pics, "big-once.x")
    with open(p, "w") as f:
        f.write(textured(["big.bmp"]))
    cases.append(("a 60-byte bitmap of 8192 x 8192 pixels as a texture", os.path.getsize(p), info(p)))
    p = os.path.join(pics, "big-four.x")
    with open(p, "w") as f:
        f.write(textured(["big.bmp", "BIG.BMP", "./big.bmp", "big2.bmp"], 4))
    each_mode("that bitmap named four ways", p)
    crowd = os.path.join(folder, "crowd")
    os.makedirs(crowd, exist_ok=True)
    for i in range(1851):
        open(os.path.join(crowd, "file%04d.txt" % i), "w").close()
    p = os.path.join(crowd, "misses.x")
    with open(p, "w") as f:
        f.write(textured(["missing%05d.bmp" % i for i in range(20000)], 20000))
    cases.append(("20 000 missing texture names in a folder of 1 851 files", os.path.getsize(p), info(p)))
    kernel = os.path.join(folder, "kernel")
    os.makedirs(kernel, exist_ok=True)
    for name in ("pagemap.x", "pagemap.rok", "pagemap.bmp"):
        if not os.path.lexists(os.path.join(kernel, name)):
            os.symlink("/proc/self/pagemap", os.path.join(kernel, name))
    p = os.path.join(kernel, "proc-texture.x")
    with open(p, "w") as f:
        f.write(textured(["pagemap.bmp"]))
    cases += [
        ("--info of a link to /proc/self/pagemap", None, info(os.path.join(kernel, "pagemap.x"))),
        ("converting a Rokkaku link to /proc/self/pagemap", None, [viewer, "--convert", os.path.join(kernel, "pagemap.rok")]),
        ("a texture that links to /proc/self/pagemap", None, [viewer, "--screenshot", shot, p]),
    ]

    print("%-72s %9s %9s %9s %9s %7s  %s" % ("case", "size", "seconds", "cpu s", "peak MB", "exit",
                                             "within 5 s, 512 MB"))
    failures = 0
    for label, size, cmd in cases:
        seconds, mb, status, cpu = measure(cmd, args.timeout)
        ok = status is not None and seconds <= 5 and mb <= 512
        failures += not ok
        size_text = "-" if size is None else ("%.0f KB" % (size / 1024.0) if size < 1 << 20 else "%.1f MB" % (size / 1048576.0))
        print("%-72s %9s %9s %9s %9s %7s  %s" % (label, size_text,
                                            ("%.2f" % seconds) if status is not None else "stopped after %.0f" % seconds,
                                            "-" if cpu is None else "%.2f" % cpu,
                                            "-" if mb is None else "%.0f" % mb,
                                            "-" if status is None else str(status), "yes" if ok else "NO"))
        sys.stdout.flush()
    failures += safety(viewer, folder, args.timeout)
    if not args.dir:
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


def safety(viewer, folder, timeout):
    """What an unpacked download may plant; each rule held or not, with its cost."""
    root = os.path.join(folder, "safety")
    shutil.rmtree(root, ignore_errors=True)
    dl, outside, tmp = (os.path.join(root, n) for n in ("dl", "outside", "tmp"))
    for d in (dl, outside, tmp):
        os.makedirs(d)
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "conversion")
    rok = open(os.path.join(source, "triangle_crlf.rok"), "rb").read()
    model = open(os.path.join(source, "triangle.x"), "rb").read()

    def put(path, data):
        with open(path, "wb") as f:
            f.write(data)
        return path

    victim = put(os.path.join(outside, "victim.txt"), b"keep me\n")
    put(os.path.join(outside, "secret.bmp"), rle_bitmap(4, 4))
    put(os.path.join(dl, "secret.bmp"), rle_bitmap(4, 4))
    other, house = put(os.path.join(dl, "other.rok"), rok), put(os.path.join(dl, "house.rok"), rok)
    os.symlink("../outside/victim.txt", os.path.join(dl, "other.x"))
    os.symlink("../outside/created.desktop", os.path.join(dl, "house.x"))
    m = put(os.path.join(dl, "m.x"), model)
    escape = put(os.path.join(dl, "escape.x"),
                 textured(["../outside/secret.bmp", os.path.join(outside, "secret.bmp"), "secret.bmp"], 3).encode())
    out_png = os.path.join(dl, "thumb.png")
    env = dict(os.environ, TMPDIR=tmp)
    unchanged = lambda: open(victim, "rb").read() == b"keep me\n"

    def plant(pid):
        for name in ("%s.part-%d" % (out_png, pid), "%s.part-%d-0" % (out_png, pid)):
            os.symlink(victim, name)

    def killed_rok():
        # Killed as soon as its private folder appears; nothing of it may stay.
        proc = subprocess.Popen([viewer, "--thumbnail", "256", other, out_png], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.time() + timeout
        while not glob.glob(os.path.join(tmp, "solluxviewer-thumbnail-*")) and proc.poll() is None and time.time() < end:
            time.sleep(0.001)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        time.sleep(1)
        return not os.listdir(tmp)

    info_text = lambda: subprocess.run([viewer, "--info", escape], capture_output=True, text=True).stdout
    rules = [
        ("--convert through a link to a file outside the folder",
         [viewer, "--convert", other], {}, None, unchanged),
        ("--convert through a dangling link out of the folder",
         [viewer, "--convert", house], {}, None, lambda: not os.path.lexists(os.path.join(outside, "created.desktop"))),
        ("--thumbnail with OUT.part-PID planted as a link",
         [viewer, "--thumbnail", "64", m, out_png], {}, plant, unchanged),
        ("--thumbnail 256 m.x m.x", [viewer, "--thumbnail", "256", m, m], {}, None,
         lambda: open(m, "rb").read() == model),
        ("--thumbnail of a model naming textures outside its folder",
         [viewer, "--thumbnail", "64", escape, out_png], {}, None,
         lambda: info_text().count("(not found)") == 2 and "secret.bmp (found" in info_text()),
    ]
    print()
    print("%-58s %9s %9s %7s  %s" % ("safety rule", "cpu s", "peak MB", "exit", "held"))
    failures = 0
    for label, cmd, _, before, check in rules:
        seconds, mb, status = run_measured(cmd, timeout, env, before)
        held = check()
        failures += not held
        print("%-58s %9.2f %9s %7s  %s" % (label, seconds, "-" if mb is None else "%.0f" % mb,
                                          "-" if status is None else str(status), "yes" if held else "NO"))
    held = killed_rok()
    failures += not held
    print("%-58s %9s %9s %7s  %s" % ("a .rok thumbnail killed: its private folder is gone", "-", "-", "killed",
                                    "yes" if held else "NO"))
    return failures


if __name__ == "__main__":
    sys.exit(main())
