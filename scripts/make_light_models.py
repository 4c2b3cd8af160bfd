#!/usr/bin/env python3
"""Writes the light models resources/sphere2.x and resources/camera.x.

Run from the repository root: python3 scripts/make_light_models.py
Faces are wound clockwise as seen from outside (each part is convex, so a face whose
normal points towards the part's centre is reversed).
"""
import os
import math
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")

def fmt(v): return "%.6f" % v
def cross(a,b): return (a[1]*b[2]-a[2]*b[1], a[2]*b[0]-a[0]*b[2], a[0]*b[1]-a[1]*b[0])
def sub(a,b): return tuple(x-y for x,y in zip(a,b))
def dot(a,b): return sum(x*y for x,y in zip(a,b))
class Mesh:
    def __init__(s): s.v=[]; s.f=[]; s.m=[]; s.mats=[]
    def part(s, verts, faces, centre, mat):
        base=len(s.v); s.v+=verts
        if mat not in s.mats: s.mats.append(mat)
        mi=s.mats.index(mat)
        for f in faces:
            p=[verts[i] for i in f]
            n=cross(sub(p[1],p[0]),sub(p[2],p[0]))
            c=tuple(sum(q[k] for q in p)/len(p) for k in range(3))
            if dot(n, sub(c,centre))<0: f=list(reversed(f))
            s.f.append([base+i for i in f]); s.m.append(mi)
    def write(s, path, name, comment, normals=None):
        o=open(path,"w")
        o.write("xof 0302txt 0032\n// %s\n\n" % comment)
        o.write("Mesh %s {\n %d;\n" % (name, len(s.v)))
        o.write(",\n".join(" %s;%s;%s;" % tuple(map(fmt,p)) for p in s.v) + ";\n")
        o.write(" %d;\n" % len(s.f))
        o.write(",\n".join(" %d;%s;" % (len(f), ",".join(map(str,f))) for f in s.f) + ";\n")
        o.write(" MeshMaterialList {\n  %d;\n  %d;\n" % (len(s.mats), len(s.f)))
        o.write(",\n".join("  %d" % m for m in s.m) + ";;\n")
        for (r,g,b) in s.mats:
            o.write("  Material {\n   %s;%s;%s;1.000000;;\n   0.000000;\n   0.000000;0.000000;0.000000;;\n   0.000000;0.000000;0.000000;;\n  }\n" % (fmt(r),fmt(g),fmt(b)))
        o.write(" }\n")
        if normals:
            o.write(" MeshNormals {\n  %d;\n" % len(normals))
            o.write(",\n".join("  %s;%s;%s;" % tuple(map(fmt,p)) for p in normals) + ";\n")
            o.write("  %d;\n" % len(s.f))
            o.write(",\n".join("  %d;%s;" % (len(f), ",".join(map(str,f))) for f in s.f) + ";\n")
            o.write(" }\n")
        o.write("}\n")

# sphere of radius 1: 12 slices, 8 stacks, poles shared
sph=Mesh(); S=12; T=8; verts=[(0,1,0)]
for i in range(1,T):
    th=math.pi*i/T
    for j in range(S):
        ph=2*math.pi*j/S
        verts.append((math.sin(th)*math.cos(ph), math.cos(th), math.sin(th)*math.sin(ph)))
verts.append((0,-1,0)); bot=len(verts)-1
faces=[]
ring=lambda i,j: 1+(i-1)*S+(j%S)
for j in range(S): faces.append([0, ring(1,j), ring(1,j+1)])
for i in range(1,T-1):
    for j in range(S): faces.append([ring(i,j), ring(i+1,j), ring(i+1,j+1), ring(i,j+1)])
for j in range(S): faces.append([bot, ring(T-1,j+1), ring(T-1,j)])
sph.part(verts, faces, (0,0,0), (1.0,1.0,0.6))
sph.write(os.path.join(OUT, "sphere2.x"),"Sphere","light model: a unit sphere, pale yellow", normals=[tuple(p) for p in verts])

def box(lo,hi):
    v=[(x,y,z) for x in (lo[0],hi[0]) for y in (lo[1],hi[1]) for z in (lo[2],hi[2])]
    f=[[0,1,3,2],[4,6,7,5],[0,4,5,1],[2,3,7,6],[0,2,6,4],[1,5,7,3]]
    return v,f,tuple((a+b)/2 for a,b in zip(lo,hi))
def frustum(r0,r1,z0,z1,n=8):
    v=[]
    for z,r in ((z0,r0),(z1,r1)):
        for i in range(n):
            a=2*math.pi*i/n; v.append((r*math.cos(a), r*math.sin(a), z))
    f=[list(range(n)), list(range(n,2*n))]+[[i,(i+1)%n,n+(i+1)%n,n+i] for i in range(n)]
    return v,f,(0,0,(z0+z1)/2)
def drum(cx,cy,cz,r,w,n=10):
    v=[]
    for x in (cx-w/2,cx+w/2):
        for i in range(n):
            a=2*math.pi*i/n; v.append((x, cy+r*math.cos(a), cz+r*math.sin(a)))
    f=[list(range(n)), list(range(n,2*n))]+[[i,(i+1)%n,n+(i+1)%n,n+i] for i in range(n)]
    return v,f,(cx,cy,cz)
cam=Mesh()
cam.part(*box((-0.2,-0.25,-0.4),(0.2,0.2,0.4)), (0.55,0.6,0.7))
cam.part(*frustum(0.12,0.2,0.4,0.7), (0.25,0.25,0.3))
cam.part(*drum(0,0.4,-0.2,0.2,0.12), (0.8,0.8,0.85))
cam.part(*drum(0,0.4,0.22,0.2,0.12), (0.8,0.8,0.85))
cam.write(os.path.join(OUT, "camera.x"),"Camera","light model: a film camera looking along +z")
