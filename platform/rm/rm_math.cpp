#include "platform/rm/rm_math.h"

#include <cstdlib>
#include <cstring>

namespace rm {

Matrix Matrix::identity() {
    Matrix r{};
    for (int i = 0; i < 4; ++i) r.m[i][i] = 1.0f;
    return r;
}

Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double s = 0;
            for (int k = 0; k < 4; ++k) s += double(a.m[i][k]) * b.m[k][j];
            r.m[i][j] = static_cast<D3DVALUE>(s);
        }
    return r;
}

bool invert(const Matrix& in, Matrix& out) {
    double a[4][8];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            a[i][j] = in.m[i][j];
            a[i][j + 4] = i == j ? 1.0 : 0.0;
        }
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (!(std::fabs(a[pivot][c]) > 1e-30)) {
            out = Matrix::identity();
            return false;
        }
        if (pivot != c)
            for (int j = 0; j < 8; ++j) std::swap(a[c][j], a[pivot][j]);
        double inv = 1.0 / a[c][c];
        for (int j = 0; j < 8; ++j) a[c][j] *= inv;
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            double f = a[r][c];
            if (f == 0) continue;
            for (int j = 0; j < 8; ++j) a[r][j] -= f * a[c][j];
        }
    }
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) out.m[i][j] = static_cast<D3DVALUE>(a[i][j + 4]);
    return true;
}

D3DVECTOR transformPoint(D3DVECTOR p, const Matrix& m) {
    D3DVECTOR r{p.x * m.m[0][0] + p.y * m.m[1][0] + p.z * m.m[2][0] + m.m[3][0],
                p.x * m.m[0][1] + p.y * m.m[1][1] + p.z * m.m[2][1] + m.m[3][1],
                p.x * m.m[0][2] + p.y * m.m[1][2] + p.z * m.m[2][2] + m.m[3][2]};
    D3DVALUE w = p.x * m.m[0][3] + p.y * m.m[1][3] + p.z * m.m[2][3] + m.m[3][3];
    if (w != 1.0f && w != 0.0f) r = r * (1.0f / w);
    return r;
}

D3DVECTOR transformDirection(D3DVECTOR d, const Matrix& m) {
    return {d.x * m.m[0][0] + d.y * m.m[1][0] + d.z * m.m[2][0],
            d.x * m.m[0][1] + d.y * m.m[1][1] + d.z * m.m[2][1],
            d.x * m.m[0][2] + d.y * m.m[1][2] + d.z * m.m[2][2]};
}

Matrix translation(D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    Matrix r = Matrix::identity();
    r.m[3][0] = x;
    r.m[3][1] = y;
    r.m[3][2] = z;
    return r;
}

Matrix scaling(D3DVALUE x, D3DVALUE y, D3DVALUE z) {
    Matrix r = Matrix::identity();
    r.m[0][0] = x;
    r.m[1][1] = y;
    r.m[2][2] = z;
    return r;
}

Matrix rotation(D3DVECTOR a, D3DVALUE theta) {
    // Row-vector form of v' = v cos + (a x v) sin + a (a.v)(1 - cos).
    double c = std::cos(theta), s = std::sin(theta), t = 1 - c;
    Matrix r = Matrix::identity();
    r.m[0][0] = float(t * a.x * a.x + c);
    r.m[0][1] = float(t * a.x * a.y + s * a.z);
    r.m[0][2] = float(t * a.x * a.z - s * a.y);
    r.m[1][0] = float(t * a.x * a.y - s * a.z);
    r.m[1][1] = float(t * a.y * a.y + c);
    r.m[1][2] = float(t * a.y * a.z + s * a.x);
    r.m[2][0] = float(t * a.x * a.z + s * a.y);
    r.m[2][1] = float(t * a.y * a.z - s * a.x);
    r.m[2][2] = float(t * a.z * a.z + c);
    return r;
}

Matrix fromArray(const D3DVALUE m[4][4]) {
    Matrix r;
    std::memcpy(r.m, m, sizeof r.m);
    return r;
}

void toArray(const Matrix& m, D3DVALUE out[4][4]) { std::memcpy(out, m.m, sizeof m.m); }

}  // namespace rm

using rm::Matrix;

static D3DVALUE clamp01(D3DVALUE v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }
static DWORD channel(D3DVALUE v) {
    if (!(v == v)) return 0;
    return static_cast<DWORD>(clamp01(v) * 255.0f + 0.5f);
}

D3DCOLOR D3DRMCreateColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) {
    return RGBA_MAKE(channel(red), channel(green), channel(blue), 0xffu);
}
D3DCOLOR D3DRMCreateColorRGBA(D3DVALUE red, D3DVALUE green, D3DVALUE blue, D3DVALUE alpha) {
    return RGBA_MAKE(channel(red), channel(green), channel(blue), channel(alpha));
}
D3DVALUE D3DRMColorGetRed(D3DCOLOR c) { return RGB_GETRED(c) / 255.0f; }
D3DVALUE D3DRMColorGetGreen(D3DCOLOR c) { return RGB_GETGREEN(c) / 255.0f; }
D3DVALUE D3DRMColorGetBlue(D3DCOLOR c) { return RGB_GETBLUE(c) / 255.0f; }
D3DVALUE D3DRMColorGetAlpha(D3DCOLOR c) { return RGBA_GETALPHA(c) / 255.0f; }

D3DVECTOR* D3DRMVectorAdd(D3DVECTOR* d, D3DVECTOR* s1, D3DVECTOR* s2) {
    *d = rm::operator+(*s1, *s2);
    return d;
}
D3DVECTOR* D3DRMVectorSubtract(D3DVECTOR* d, D3DVECTOR* s1, D3DVECTOR* s2) {
    *d = rm::operator-(*s1, *s2);
    return d;
}
D3DVECTOR* D3DRMVectorReflect(D3DVECTOR* d, D3DVECTOR* ray, D3DVECTOR* norm) {
    D3DVECTOR n = *norm;
    D3DVECTOR r = *ray;
    *d = rm::operator-(rm::operator*(n, 2.0f * rm::dot(r, n)), r);
    return d;
}
D3DVECTOR* D3DRMVectorCrossProduct(D3DVECTOR* d, D3DVECTOR* s1, D3DVECTOR* s2) {
    *d = rm::cross(*s1, *s2);
    return d;
}
D3DVALUE D3DRMVectorDotProduct(D3DVECTOR* s1, D3DVECTOR* s2) { return rm::dot(*s1, *s2); }
D3DVECTOR* D3DRMVectorNormalize(D3DVECTOR* v) {
    if (!rm::normalize(*v)) *v = D3DVECTOR{1, 0, 0};
    return v;
}
D3DVALUE D3DRMVectorModulus(D3DVECTOR* v) { return rm::length(*v); }
D3DVECTOR* D3DRMVectorRotate(D3DVECTOR* r, D3DVECTOR* v, D3DVECTOR* axis, D3DVALUE theta) {
    D3DVECTOR a = *axis;
    D3DVECTOR in = *v;
    if (!rm::normalize(a)) {
        *r = in;
        return r;
    }
    *r = rm::transformDirection(in, rm::rotation(a, theta));
    return r;
}
D3DVECTOR* D3DRMVectorScale(D3DVECTOR* d, D3DVECTOR* s, D3DVALUE factor) {
    *d = rm::operator*(*s, factor);
    return d;
}
D3DVECTOR* D3DRMVectorRandom(D3DVECTOR* d) {
    D3DVECTOR v{0, 0, 0};
    while (!rm::normalize(v))
        v = {std::rand() / float(RAND_MAX) - 0.5f, std::rand() / float(RAND_MAX) - 0.5f,
             std::rand() / float(RAND_MAX) - 0.5f};
    *d = v;
    return d;
}

D3DRMQUATERNION* D3DRMQuaternionFromRotation(D3DRMQUATERNION* q, D3DVECTOR* v, D3DVALUE theta) {
    D3DVECTOR a = *v;
    if (!rm::normalize(a)) a = {0, 0, 1}, theta = 0;
    q->s = std::cos(theta / 2);
    q->v = rm::operator*(a, std::sin(theta / 2));
    return q;
}

D3DRMQUATERNION* D3DRMQuaternionMultiply(D3DRMQUATERNION* q, D3DRMQUATERNION* a, D3DRMQUATERNION* b) {
    // a x b: rotate by b, then by a.
    D3DRMQUATERNION r;
    r.s = a->s * b->s - rm::dot(a->v, b->v);
    r.v = rm::operator+(rm::operator+(rm::operator*(b->v, a->s), rm::operator*(a->v, b->s)),
                        rm::cross(a->v, b->v));
    *q = r;
    return q;
}

D3DRMQUATERNION* D3DRMQuaternionSlerp(D3DRMQUATERNION* q, D3DRMQUATERNION* a, D3DRMQUATERNION* b,
                                      D3DVALUE alpha) {
    double ax = a->v.x, ay = a->v.y, az = a->v.z, as = a->s;
    double bx = b->v.x, by = b->v.y, bz = b->v.z, bs = b->s;
    double cosom = ax * bx + ay * by + az * bz + as * bs;
    // The shorter way round.
    if (cosom < 0) {
        cosom = -cosom;
        bx = -bx, by = -by, bz = -bz, bs = -bs;
    }
    double wa, wb;
    if (1.0 - cosom > 1e-6) {
        double omega = std::acos(cosom > 1 ? 1 : cosom);
        double sinom = std::sin(omega);
        wa = std::sin((1.0 - alpha) * omega) / sinom;
        wb = std::sin(alpha * omega) / sinom;
    } else {
        wa = 1.0 - alpha;
        wb = alpha;
    }
    D3DRMQUATERNION r;
    r.s = float(wa * as + wb * bs);
    r.v = {float(wa * ax + wb * bx), float(wa * ay + wb * by), float(wa * az + wb * bz)};
    *q = r;
    return q;
}

void D3DRMMatrixFromQuaternion(D3DRMMATRIX4D m, D3DRMQUATERNION* q) {
    double w = q->s, x = q->v.x, y = q->v.y, z = q->v.z;
    double n = w * w + x * x + y * y + z * z;
    double s = n > 0 ? 2.0 / n : 0.0;
    // Same turn as rm::rotation for q = (cos t/2, sin t/2 axis).
    m[0][0] = float(1 - s * (y * y + z * z));
    m[0][1] = float(s * (x * y + w * z));
    m[0][2] = float(s * (x * z - w * y));
    m[0][3] = 0;
    m[1][0] = float(s * (x * y - w * z));
    m[1][1] = float(1 - s * (x * x + z * z));
    m[1][2] = float(s * (y * z + w * x));
    m[1][3] = 0;
    m[2][0] = float(s * (x * z + w * y));
    m[2][1] = float(s * (y * z - w * x));
    m[2][2] = float(1 - s * (x * x + y * y));
    m[2][3] = 0;
    m[3][0] = m[3][1] = m[3][2] = 0;
    m[3][3] = 1;
}
