#!/usr/bin/env python3
"""Writes resources/sample.rok: a small house (walls, a gabled roof, a chimney, a door and
two windows) as a Rokkaku modeller file with CR+LF line ends and a full 13-colour palette.

Usage: scripts/make_sample_rok.py [OUTPUT]   (default: resources/sample.rok)
"""
import os
import sys

# Palette index -> (red, green, blue); the file carries all 13 entries.
PALETTE = [
    (236, 232, 220),  # 0 plaster
    (144, 255, 255),  # 1
    (120, 150, 230),  # 2 glass
    (255, 174, 174),  # 3
    (110, 170, 90),   # 4 lawn
    (255, 255, 91),   # 5
    (222, 200, 160),  # 6 wall
    (150, 80, 45),    # 7 wood
    (255, 255, 255),  # 8
    (40, 40, 40),     # 9 base
    (200, 190, 180),  # 10 stone
    (180, 40, 30),    # 11 roof tiles
    (248, 248, 248),  # 12
]


SCALE = 0.4


class Model:
    def __init__(self):
        self.points = []
        self.edges = []
        self.edge_index = {}
        self.faces = []

    def point(self, x, y, z):
        # Drawn in house units (ground at 0, ridge at 1.7); stored smaller and centred on
        # the house's middle, so the whole model is in view where a viewer first puts it.
        self.points.append((x * SCALE, (y - 0.85) * SCALE, z * SCALE))
        return len(self.points)  # the file numbers points from 1

    def edge(self, a, b):
        key = (min(a, b), max(a, b))
        if key not in self.edge_index:
            self.edges.append((a, b))
            self.edge_index[key] = len(self.edges)
        return self.edge_index[key]

    def face(self, colour, *corners):
        # A face's corner order is the order in which its points first appear along its
        # edges, the first edge taken as stored. When that edge is stored the other way
        # round, walk the ring backwards so the corners still go round the polygon.
        corners = list(corners)
        first = self.edge(corners[0], corners[1])
        if self.edges[first - 1] != (corners[0], corners[1]):
            corners = [corners[1], corners[0]] + corners[:1:-1]
        ring = corners + [corners[0]]
        self.faces.append((colour, [self.edge(a, b) for a, b in zip(ring, ring[1:])]))

    def box(self, x0, y0, z0, x1, y1, z1, colour, top=True, bottom=True):
        p = [self.point(x, y, z) for y in (y0, y1) for z in (z0, z1) for x in (x0, x1)]
        b0, b1, b2, b3, t0, t1, t2, t3 = p
        self.face(colour, b0, b1, t1, t0)  # front
        self.face(colour, b1, b3, t3, t1)  # right
        self.face(colour, b3, b2, t2, t3)  # back
        self.face(colour, b2, b0, t0, t2)  # left
        if top:
            self.face(colour, t0, t1, t3, t2)
        if bottom:
            self.face(colour, b0, b2, b3, b1)
        return p


def build():
    m = Model()
    # Lawn, walls, then the roof resting on the wall tops.
    lawn = [m.point(x, -0.02, z) for x, z in ((-1.6, -1.4), (1.6, -1.4), (1.6, 1.4), (-1.6, 1.4))]
    m.face(4, *lawn)
    walls = m.box(-1.0, 0.0, -0.8, 1.0, 1.0, 0.8, 6, top=False, bottom=False)
    _, _, _, _, t0, t1, t2, t3 = walls
    ridge_front = m.point(-1.0, 1.7, 0.0)
    ridge_back = m.point(1.0, 1.7, 0.0)
    # The roof's gable ends are triangles; its slopes are quads.
    m.face(0, t0, t2, ridge_front)
    m.face(0, t1, ridge_back, t3)
    m.face(11, t0, ridge_front, ridge_back, t1)
    m.face(11, t2, t3, ridge_back, ridge_front)
    m.box(0.45, 1.1, 0.15, 0.7, 1.9, 0.4, 10, bottom=False)  # chimney
    door = [m.point(x, y, -0.81) for x, y in ((-0.2, 0.0), (0.2, 0.0), (0.2, 0.7), (-0.2, 0.7))]
    m.face(7, *door)
    for x0 in (-0.8, 0.4):
        window = [m.point(x, y, -0.81) for x, y in ((x0, 0.4), (x0 + 0.4, 0.4), (x0 + 0.4, 0.75), (x0, 0.75))]
        m.face(2, *window)
    return m


def number(v):
    return ("%.6f" % v).rstrip("0").rstrip(".") if v != int(v) else "%d.0" % v


def lines(m):
    out = ["ROKU4 Rokkaku modeller data", "house", "POINT"]
    for i, (x, y, z) in enumerate(m.points, 1):
        # number, selection flag, group, two reserved fields, then x, y, z; the modeller's
        # y axis points down
        out += [str(i), "0", "1", "0", "0", number(x), number(-y), number(z)]
    out.append("LINE0")
    for a, b in m.edges:
        out += [str(a), str(b), "0", "1"]
    out.append("FACE0")
    for colour, edges in m.faces:
        out += [str(len(edges)), str(colour), "1"] + [str(e) for e in edges]
    out += ["END00", "PALC0", "13", "palette"]
    for r, g, b in PALETTE:
        out += [str(r), str(g), str(b), "0", "0", "0", "0"]
    out += ["ENDP0", "BAKC0", "0", "0", "64", "ENDB0"]
    out += ["LIT00", "1", "-0.5", "-1.0", "0.7", "255", "255", "255", "ENDL0"]
    out += ["VIEW0", "0.0", "0.8", "-5.0", "0.0", "0.0", "0.0", "30.0", "ENDV0"]
    out += ["LINE2", "0", "ENDL2"]
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "resources", "sample.rok")
    m = build()
    with open(target, "wb") as f:
        f.write("".join(line + "\r\n" for line in lines(m)).encode("ascii"))
    print("%s: %d points, %d edges, %d faces" % (target, len(m.points), len(m.edges), len(m.faces)))


if __name__ == "__main__":
    main()
