// Small vector and matrix maths for the retained-mode objects (row vectors).
#pragma once

#include <cmath>

#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"

namespace rm {

inline D3DVECTOR vec(D3DVALUE x, D3DVALUE y, D3DVALUE z) { return D3DVECTOR{x, y, z}; }
inline D3DVECTOR operator+(D3DVECTOR a, D3DVECTOR b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline D3DVECTOR operator-(D3DVECTOR a, D3DVECTOR b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline D3DVECTOR operator*(D3DVECTOR a, D3DVALUE s) { return {a.x * s, a.y * s, a.z * s}; }
inline D3DVALUE dot(D3DVECTOR a, D3DVECTOR b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline D3DVECTOR cross(D3DVECTOR a, D3DVECTOR b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline D3DVALUE length(D3DVECTOR a) { return std::sqrt(dot(a, a)); }
inline bool finite(D3DVECTOR a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }
// Unit vector, or false (and v untouched) for a zero or non-finite vector.
inline bool normalize(D3DVECTOR& v) {
    D3DVALUE len = length(v);
    if (!(len > 1e-20f) || !std::isfinite(len)) return false;
    v = v * (1.0f / len);
    return true;
}

Matrix multiply(const Matrix& a, const Matrix& b);  // a x b
// General 4x4 inverse; false for a singular matrix (out is then the identity).
bool invert(const Matrix& a, Matrix& out);
D3DVECTOR transformPoint(D3DVECTOR p, const Matrix& m);
D3DVECTOR transformDirection(D3DVECTOR d, const Matrix& m);
Matrix translation(D3DVALUE x, D3DVALUE y, D3DVALUE z);
Matrix scaling(D3DVALUE x, D3DVALUE y, D3DVALUE z);
// Turns by theta about axis (unit); clockwise when looking along the axis towards
// the origin, i.e. x towards y for the z axis.
Matrix rotation(D3DVECTOR axis, D3DVALUE theta);
Matrix fromArray(const D3DVALUE m[4][4]);
void toArray(const Matrix& m, D3DVALUE out[4][4]);

}  // namespace rm
