#include "platform/gl/gl_renderer.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/gl/gl_covering.h"
#include "platform/gl/gl_shaders.h"
#include "platform/parallel.h"
#include "platform/rm/big_memory.h"

namespace gl {

// ---------------------------------------------------------------- matrices

Matrix4 identityMatrix() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float s = 0;
            for (int k = 0; k < 4; ++k) s += a[i * 4 + k] * b[k * 4 + j];
            r[i * 4 + j] = s;
        }
    return r;
}

namespace {

// Of the 3x3 part: negative when the matrix mirrors.
float determinant3(const Matrix4& a) {
    return a[0] * (a[5] * a[10] - a[6] * a[9]) - a[1] * (a[4] * a[10] - a[6] * a[8]) +
           a[2] * (a[4] * a[9] - a[5] * a[8]);
}

}  // namespace

bool invertAffine(const Matrix4& m, Matrix4& out) {
    const float a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9], i = m[10];
    const float A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
    const float det = a * A + b * B + c * C;
    if (!(std::fabs(det) > 1e-30f)) return false;
    const float inv = 1.0f / det;
    Matrix4 r{};
    r[0] = A * inv;
    r[1] = -(b * i - c * h) * inv;
    r[2] = (b * f - c * e) * inv;
    r[4] = B * inv;
    r[5] = (a * i - c * g) * inv;
    r[6] = -(a * f - c * d) * inv;
    r[8] = C * inv;
    r[9] = -(a * h - b * g) * inv;
    r[10] = (a * e - b * d) * inv;
    const float tx = m[12], ty = m[13], tz = m[14];
    r[12] = -(tx * r[0] + ty * r[4] + tz * r[8]);
    r[13] = -(tx * r[1] + ty * r[5] + tz * r[9]);
    r[14] = -(tx * r[2] + ty * r[6] + tz * r[10]);
    r[15] = 1;
    out = r;
    return true;
}

Vec3 transformPoint(const Vec3& p, const Matrix4& m) {
    return {p[0] * m[0] + p[1] * m[4] + p[2] * m[8] + m[12], p[0] * m[1] + p[1] * m[5] + p[2] * m[9] + m[13],
            p[0] * m[2] + p[1] * m[6] + p[2] * m[10] + m[14]};
}

Matrix4 perspectiveProjection(int width, int height, float field, float front, float back) {
    const float w = float(std::max(width, 1)), h = float(std::max(height, 1));
    const float s = std::max(w, h) / 2.0f;
    Matrix4 p{};
    p[0] = s / (w / 2.0f) / field;
    p[5] = s / (h / 2.0f) / field;
    p[10] = (back + front) / (back - front);
    p[11] = 1.0f;
    p[14] = -2.0f * back * front / (back - front);
    return p;
}

// ---------------------------------------------------------------- mesh data

uint32_t packColour(const float rgba[4]) {
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits |= uint32_t(std::lround(std::clamp(rgba[k], 0.0f, 1.0f) * 255.0f)) << (8 * k);
    return bits;
}

// mesh.frag's packedNormalOf does this again, operation for operation.
uint32_t packNormal(const Vec3& n) {
    const float l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(l > 1e-20f) || !std::isfinite(l)) return 0;
    uint32_t bits = 0;
    for (int k = 0; k < 3; ++k) {
        // Rounded half away from zero, as lround does (exactly, in double), without the call.
        const double v = double(std::clamp(n[k] / l, -1.0f, 1.0f) * 511.0f);
        const long q = long(v < 0 ? v - 0.5 : v + 0.5);
        bits |= (uint32_t(q) & 0x3ffu) << (10 * k);
    }
    return bits;
}

namespace {

constexpr size_t kTexCoordBytes = 8;
constexpr size_t kRecordBytes = 16;  // centre, packed normal

uint64_t nextMeshSerial() {
    static uint64_t last = 0;
    return ++last;
}

}  // namespace

uint32_t MeshData::addVertex(const Vec3& p, const Vec3& n, float u, float v, const float rgba[4]) {
    vertices.push_back({p, n, u, v, packColour(rgba)});
    return vertexCount() - 1;
}

void MeshData::addTriangle(uint32_t a, uint32_t b, uint32_t c, const Vec3& n) {
    const uint32_t corners[3] = {a, b, c};
    addPolygon(corners, 3, n);
}

void MeshData::addPolygon(const uint32_t* list, uint32_t count, const Vec3& n) {
    if (count < 3) return;
    polygons.push_back({uint32_t(corners.size()), count, n});
    corners.insert(corners.end(), list, list + count);
}

void MeshData::endGroup(const Material& m, std::shared_ptr<GpuTexture> texture, bool keepEmpty) {
    const uint32_t first = groups.empty() ? 0 : groups.back().firstPolygon + groups.back().polygonCount;
    const uint32_t firstEdge = groups.empty() ? 0 : groups.back().firstEdge + groups.back().edgeCount;
    if (polygons.size() <= first && !keepEmpty) return;
    Group g;
    g.firstPolygon = first;
    g.polygonCount = uint32_t(polygons.size()) - first;
    g.firstEdge = firstEdge;
    g.edgeCount = uint32_t(edges.size() / 2) - firstEdge;
    g.material = m;
    g.texture = std::move(texture);
    groups.push_back(std::move(g));
}

// ---------------------------------------------------------------- GPU objects

namespace {

// A texture's side on the GPU at most. Larger pictures are drawn from a box-filtered copy:
// at 8192 x 8192 the driver's copy with its mipmaps alone would take 358 MB.
constexpr int kMaxTextureSide = 4096;

// The levels of a full mipmap chain, down to 1 x 1.
int mipLevels(int width, int height) {
    int levels = 1;
    for (int side = std::max(width, height); side > 1; side /= 2) ++levels;
    return levels;
}

// Rows [first, first + count) of `rgba` (width x height) shrunk by `factor` in each
// direction, each texel the rounded mean of the factor x factor block it covers (cut at the
// picture's right and bottom edges).
void shrinkRows(const unsigned char* rgba, int width, int height, int factor, int first, int count,
                std::vector<unsigned char>& out) {
    const int outWidth = (width + factor - 1) / factor;
    std::vector<uint32_t> sums(size_t(outWidth) * 4);
    out.resize(size_t(outWidth) * size_t(count) * 4);
    for (int row = 0; row < count; ++row) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int y0 = (first + row) * factor, y1 = std::min(y0 + factor, height);
        for (int y = y0; y < y1; ++y) {
            const unsigned char* src = rgba + size_t(y) * size_t(width) * 4;
            for (int ox = 0, x = 0; ox < outWidth; ++ox)
                for (const int end = std::min(x + factor, width); x < end; ++x)
                    for (int c = 0; c < 4; ++c) sums[size_t(ox) * 4 + c] += src[size_t(x) * 4 + c];
        }
        for (int ox = 0; ox < outWidth; ++ox) {
            const uint32_t n = uint32_t(y1 - y0) * uint32_t(std::min(factor, width - ox * factor));
            for (int c = 0; c < 4; ++c)
                out[(size_t(row) * outWidth + ox) * 4 + c] = (unsigned char)((sums[size_t(ox) * 4 + c] + n / 2) / n);
        }
    }
}

}  // namespace

GpuTexture::GpuTexture(const unsigned char* rgba, int width, int height) {
    const size_t count = size_t(width) * size_t(height);
    for (size_t i = 0; i < count && alpha_ != Alpha::Translucent; ++i) {
        const unsigned char a = rgba[i * 4 + 3];
        if (a != 255) alpha_ = a == 0 ? Alpha::Cutout : Alpha::Translucent;
    }
    const int factor = (std::max(width, height) + kMaxTextureSide - 1) / kMaxTextureSide;
    width_ = (width + factor - 1) / factor;
    height_ = (height + factor - 1) / factor;
    glGenTextures(1, &id_);
    glBindTexture(GL_TEXTURE_2D, id_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    // Storage for every level at once: given level 0 alone, the driver makes it again with
    // the mipmaps, holding both for a moment.
    const bool storage = epoxy_gl_version() >= 42 || epoxy_has_gl_extension("GL_ARB_texture_storage");
    if (storage)
        glTexStorage2D(GL_TEXTURE_2D, mipLevels(width_, height_), GL_RGBA8, width_, height_);
    if (factor == 1) {
        if (storage)
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
        else
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    } else {
        if (!storage)
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width_, height_, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        // A few rows at a time: the shrunk copy is never whole in memory.
        std::vector<unsigned char> rows;
        for (int first = 0; first < height_; first += 64) {
            const int n = std::min(64, height_ - first);
            shrinkRows(rgba, width, height, factor, first, n, rows);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, first, width_, n, GL_RGBA, GL_UNSIGNED_BYTE, rows.data());
        }
    }
    glGenerateMipmap(GL_TEXTURE_2D);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
}

GpuTexture::~GpuTexture() { glDeleteTextures(1, &id_); }

// The buffers while they are written: mapped straight from the driver, or (where it will
// not map them) held here and copied once at the end.
struct GpuMesh::Mapped {
    struct Buffer {
        GLenum target = 0;
        unsigned id = 0;
        size_t bytes = 0;
        unsigned char* at = nullptr;
        std::vector<unsigned char> staging;

        void open(GLenum kind, unsigned& name, size_t size) {
            glGenBuffers(1, &name);
            glBindBuffer(kind, name);
            target = kind;
            id = name;
            bytes = size;
            glBufferData(target, GLsizeiptr(bytes), nullptr, GL_STATIC_DRAW);
            if (bytes == 0) return;
            at = static_cast<unsigned char*>(
                glMapBufferRange(target, 0, GLsizeiptr(bytes), GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT));
            if (!at) {
                staging.resize(bytes);
                at = staging.data();
            } else {
                rm::preferHugePages(at, bytes);
            }
        }
        void close() {
            if (!id || bytes == 0) return;
            glBindBuffer(target, id);
            if (staging.empty())
                glUnmapBuffer(target);
            else
                glBufferSubData(target, 0, GLsizeiptr(bytes), staging.data());
            at = nullptr;
        }
    };
    Buffer vertices, indices, records, edges;
};

GpuMesh::GpuMesh(const Sizes& sizes) : sizes_(sizes), serial_(nextMeshSerial()), mapped_(std::make_unique<Mapped>()) {
    const size_t stride = vertexStride();
    const size_t vertexBytes = size_t(sizes.vertices) * (stride + (sizes.texCoords ? kTexCoordBytes : 0));
    glGenVertexArrays(1, &vao_);
    glBindVertexArray(vao_);
    mapped_->vertices.open(GL_ARRAY_BUFFER, vbo_, vertexBytes);
    mapped_->indices.open(GL_ELEMENT_ARRAY_BUFFER, ibo_, size_t(sizes.triangles) * 3 * sizeof(uint32_t));
    auto attributes = [&] {
        glBindBuffer(GL_ARRAY_BUFFER, vbo_);
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, GLsizei(stride), nullptr);
        if (sizes_.normals) {
            glEnableVertexAttribArray(1);
            glVertexAttribPointer(1, 4, GL_INT_2_10_10_10_REV, GL_FALSE, GLsizei(stride), reinterpret_cast<void*>(12));
        } else {
            glDisableVertexAttribArray(1);
        }
        glEnableVertexAttribArray(4);
        glVertexAttribPointer(4, 4, GL_UNSIGNED_BYTE, GL_TRUE, GLsizei(stride), reinterpret_cast<void*>(stride - 4));
        if (sizes_.texCoords) {
            glEnableVertexAttribArray(2);
            glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, kTexCoordBytes,
                                  reinterpret_cast<void*>(size_t(sizes_.vertices) * stride));
        } else {
            glDisableVertexAttribArray(2);
            glVertexAttrib2f(2, 0, 0);
        }
    };
    attributes();
    glBindVertexArray(0);
    if (sizes.edges) {
        glGenVertexArrays(1, &edgeVao_);
        glBindVertexArray(edgeVao_);
        attributes();
        mapped_->edges.open(GL_ELEMENT_ARRAY_BUFFER, edgeIbo_, size_t(sizes.edges) * 2 * sizeof(uint32_t));
        glBindVertexArray(0);
    }
    if (sizes.records)
        mapped_->records.open(GL_TEXTURE_BUFFER, recordBuffer_, size_t(sizes.records) * kRecordBytes);
    glBindBuffer(GL_TEXTURE_BUFFER, 0);
}

GpuMesh::GpuMesh(const MeshData& data) : GpuMesh([&] {
        Sizes s;
        s.vertices = data.vertexCount();
        for (const MeshData::Polygon& p : data.polygons) s.triangles += p.cornerCount - 2;
        s.edges = uint32_t(data.edges.size() / 2);
        for (const MeshData::Group& g : data.groups) s.texCoords = s.texCoords || g.texture;
        s.records = s.triangles;
        return s;
    }()) {
    for (uint32_t i = 0; i < data.vertexCount(); ++i) {
        const MeshData::Vertex& v = data.vertices[i];
        setVertex(i, v.position, v.normal, v.u, v.v, v.colour);
    }
    std::vector<Vec3> points;
    for (const MeshData::Group& g : data.groups) {
        for (uint32_t i = g.firstPolygon; i < g.firstPolygon + g.polygonCount; ++i) {
            const MeshData::Polygon& p = data.polygons[i];
            Vec3 centre{0, 0, 0};
            points.clear();
            for (uint32_t k = 0; k < p.cornerCount; ++k) {
                points.push_back(data.vertices[data.corners[p.firstCorner + k]].position);
                for (int c = 0; c < 3; ++c) centre[c] += points.back()[c] / float(p.cornerCount);
            }
            addPolygon(&data.corners[p.firstCorner], points.data(), p.cornerCount, p.normal, centre);
        }
        for (uint32_t e = g.firstEdge; e < g.firstEdge + g.edgeCount; ++e)
            addEdge(data.edges[size_t(e) * 2], data.edges[size_t(e) * 2 + 1]);
        endGroup(g.material, g.texture, g.vertexColours, g.translucent, true);
    }
    finish();
}

void GpuMesh::setVertex(uint32_t index, const Vec3& p, const Vec3& n, float u, float v, uint32_t colour) {
    if (!write(index, p, n, u, v, colour)) return;
    if (!anyVertex_) lo_ = hi_ = p;
    anyVertex_ = true;
    for (int k = 0; k < 3; ++k) {
        lo_[k] = std::min(lo_[k], p[k]);
        hi_[k] = std::max(hi_[k], p[k]);
    }
}

void GpuMesh::writeVertex(uint32_t index, const Vec3& p, const Vec3& n, float u, float v, uint32_t colour,
                          Box& box) const {
    if (!write(index, p, n, u, v, colour)) return;
    box.any = true;
    for (int k = 0; k < 3; ++k) {
        box.lo[k] = std::min(box.lo[k], p[k]);
        box.hi[k] = std::max(box.hi[k], p[k]);
    }
}

bool GpuMesh::write(uint32_t index, const Vec3& p, const Vec3& n, float u, float v, uint32_t colour) const {
    if (!mapped_ || index >= sizes_.vertices) return false;
    const size_t stride = vertexStride();
    unsigned char* at = mapped_->vertices.at + size_t(index) * stride;
    std::memcpy(at, p.data(), 12);
    if (sizes_.normals) {
        const uint32_t normal = packNormal(n);
        std::memcpy(at + 12, &normal, 4);
    }
    std::memcpy(at + stride - 4, &colour, 4);
    if (sizes_.texCoords) {
        const float uv[2] = {u, v};
        std::memcpy(mapped_->vertices.at + size_t(sizes_.vertices) * stride + size_t(index) * kTexCoordBytes, uv,
                    kTexCoordBytes);
    }
    return true;
}

// From infinities, a box skips what is not a number as setVertex's does after its first
// vertex; joined, the earlier box keeps its side where the later one only equals it.
void GpuMesh::widenBox(const Box& box) {
    if (!box.any) return;
    if (!anyVertex_) {
        lo_ = box.lo;
        hi_ = box.hi;
        anyVertex_ = true;
        return;
    }
    for (int k = 0; k < 3; ++k) {
        lo_[k] = std::min(lo_[k], box.lo[k]);
        hi_[k] = std::max(hi_[k], box.hi[k]);
    }
}

void GpuMesh::addPolygon(const uint32_t* corners, const Vec3* points, uint32_t count, const Vec3& normal,
                         const Vec3& centre, uint32_t recordShift) {
    addPolygon(current_, corners, points, count, packNormal(normal), centre, recordShift);
}

void GpuMesh::addPolygon(Part& part, const uint32_t* corners, const Vec3* points, uint32_t count, uint32_t packedNormal,
                         const Vec3& centre, uint32_t recordShift) const {
    if (!mapped_ || count < 3 || sizes_.triangles - part.triangle < count - 2) return;
    const bool shared = recordShift > 0 && recordShift < 8 && count - 2 == 1u << recordShift;
    const bool derived = sizes_.cornerRecords && recordFromCorners(count);
    const uint32_t records = sizes_.records == 0 || derived ? 0 : shared ? 1 : count - 2;
    if (sizes_.records - part.record < records) return;
    part.recordShift = shared ? recordShift : 0;
    part.derivedRecords = derived ? count : 0;
    // Fans from the first corner: flat triangles take their colour from it.
    uint32_t* index = reinterpret_cast<uint32_t*>(mapped_->indices.at) + size_t(part.triangle) * 3;
    for (uint32_t r = 0; r < records; ++r) {
        unsigned char* record = mapped_->records.at + size_t(part.record++) * kRecordBytes;
        std::memcpy(record, centre.data(), 12);
        std::memcpy(record + 12, &packedNormal, 4);
    }
    for (uint32_t i = 1; i + 1 < count; ++i) {
        const uint32_t t[3] = {corners[0], corners[i], corners[i + 1]};
        std::memcpy(index, t, sizeof t);
        index += 3;
        // The cluster's bounds: its box, and the front normal of each triangle, as the
        // GPU will judge which side it shows.
        const Vec3* p[3] = {&points[0], &points[i], &points[i + 1]};
        if (part.clusterNormals.empty()) part.clusterLo = part.clusterHi = *p[0];
        for (const Vec3* q : p)
            for (int k = 0; k < 3; ++k) {
                part.clusterLo[k] = std::min(part.clusterLo[k], (*q)[k]);
                part.clusterHi[k] = std::max(part.clusterHi[k], (*q)[k]);
            }
        const Vec3 e1{(*p[1])[0] - (*p[0])[0], (*p[1])[1] - (*p[0])[1], (*p[1])[2] - (*p[0])[2]};
        const Vec3 e2{(*p[2])[0] - (*p[0])[0], (*p[2])[1] - (*p[0])[1], (*p[2])[2] - (*p[0])[2]};
        const Vec3 n{e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
        const double l = std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
        // A triangle without area shows nothing from either side; one whose normal is not
        // finite leaves the cluster without a cone.
        if (l > 0 || !std::isfinite(l))
            part.clusterNormals.push_back({float(n[0] / l), float(n[1] / l), float(n[2] / l)});
        else
            part.clusterNormals.push_back({0, 0, 0});
        ++part.triangle;
        if (part.clusterNormals.size() == kClusterTriangles) closeCluster(part);
    }
}

void GpuMesh::closeCluster(Part& part) {
    if (part.clusterNormals.empty()) return;
    Cluster c;
    c.triangleCount = uint32_t(part.clusterNormals.size());
    c.firstTriangle = part.triangle - c.triangleCount;
    double radius = 0;
    for (int k = 0; k < 3; ++k) {
        c.centre[k] = (part.clusterLo[k] + part.clusterHi[k]) / 2;
        const double half = (double(part.clusterHi[k]) - part.clusterLo[k]) / 2;
        radius += half * half;
    }
    // A little more than the half diagonal, for the rounding of the centre.
    c.radius = float(std::sqrt(radius) * (1 + 1e-5)) + 1e-30f;
    double axis[3] = {0, 0, 0};
    bool finite = true;
    for (const Vec3& n : part.clusterNormals)
        for (int k = 0; k < 3; ++k) {
            axis[k] += n[k];
            finite = finite && std::isfinite(n[k]);
        }
    const double length = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    if (finite && length > 1e-6 * double(part.clusterNormals.size())) {
        for (int k = 0; k < 3; ++k) c.axis[k] = float(axis[k] / length);
        double lowest = 1;
        for (const Vec3& n : part.clusterNormals) {
            if (n[0] == 0 && n[1] == 0 && n[2] == 0) continue;
            lowest = std::min(lowest, double(n[0]) * c.axis[0] + double(n[1]) * c.axis[1] + double(n[2]) * c.axis[2]);
        }
        // Only a cone narrower than a half space can ever face away as a whole.
        if (lowest > 1e-3) {
            c.cosAngle = float(lowest);
            c.sinAngle = float(std::sqrt(std::max(0.0, 1 - lowest * lowest)));
        }
    }
    part.clusters.push_back(c);
    part.clusterNormals.clear();
}

void GpuMesh::addEdge(uint32_t a, uint32_t b) { addEdge(current_, a, b); }

void GpuMesh::addEdge(Part& part, uint32_t a, uint32_t b) const {
    if (!mapped_ || part.edge >= sizes_.edges) return;
    const uint32_t e[2] = {a, b};
    std::memcpy(mapped_->edges.at + size_t(part.edge) * sizeof e, e, sizeof e);
    ++part.edge;
}

void GpuMesh::endGroup(Part& part, uint32_t tag) {
    closeCluster(part);
    part.groupEnds.push_back({tag, part.triangle, part.edge, part.recordShift, part.derivedRecords, part.clusters.size()});
    part.recordShift = part.derivedRecords = 0;
}

void GpuMesh::takeClusters(const Part& part, size_t begin, size_t end) {
    clusters_.insert(clusters_.end(), part.clusters.begin() + ptrdiff_t(begin), part.clusters.begin() + ptrdiff_t(end));
}

void GpuMesh::takePart(Part& part, const std::function<void(uint32_t tag)>& endGroup) {
    size_t taken = 0;
    for (const Part::GroupEnd& e : part.groupEnds) {
        takeClusters(part, taken, e.clusters);
        taken = e.clusters;
        current_.triangle = e.triangle;
        current_.edge = e.edge;
        current_.recordShift = e.recordShift;
        current_.derivedRecords = e.derivedRecords;
        endGroup(e.tag);
    }
    takeClusters(part, taken, part.clusters.size());
    // The polygons after the part go where it stopped (with its cluster, which is open
    // only when it was the last).
    part.clusters.clear();
    part.groupEnds.clear();
    current_ = std::move(part);
    part = Part{};
}

void GpuMesh::endGroup(const Material& m, std::shared_ptr<GpuTexture> texture, bool vertexColours, bool translucent,
                       bool keepEmpty) {
    closeCluster(current_);
    takeClusters(current_, 0, current_.clusters.size());
    current_.clusters.clear();
    Group g;
    if (!groups_.empty()) {
        const Group& last = groups_.back();
        g.firstTriangle = last.firstTriangle + last.triangleCount;
        g.firstEdge = last.firstEdge + last.edgeCount;
        g.firstCluster = last.firstCluster + last.clusterCount;
        g.firstRecord = last.firstRecord + (last.derivedRecords ? 0 : last.triangleCount >> last.recordShift);
    }
    g.recordShift = sizes_.records || sizes_.cornerRecords ? current_.recordShift : 0;
    g.derivedRecords = current_.derivedRecords;
    current_.recordShift = current_.derivedRecords = 0;
    g.triangleCount = current_.triangle - g.firstTriangle;
    g.edgeCount = current_.edge - g.firstEdge;
    g.clusterCount = uint32_t(clusters_.size()) - g.firstCluster;
    if (g.triangleCount == 0 && !keepEmpty) return;
    g.material = m;
    g.texture = std::move(texture);
    g.vertexColours = vertexColours;
    g.translucent = translucent || (g.texture && g.texture->alpha() == GpuTexture::Alpha::Translucent);
    hasTranslucent_ = hasTranslucent_ || g.translucent;
    groups_.push_back(std::move(g));
}

void GpuMesh::finish() {
    if (!mapped_) return;
    closeCluster(current_);
    takeClusters(current_, 0, current_.clusters.size());
    current_.clusters = {};
    current_.clusterNormals = {};
    clusters_.shrink_to_fit();
    glBindVertexArray(0);
    mapped_->vertices.close();
    glBindVertexArray(vao_);
    mapped_->indices.close();
    if (edgeVao_) {
        glBindVertexArray(edgeVao_);
        mapped_->edges.close();
    }
    glBindVertexArray(0);
    mapped_->records.close();
    mapped_.reset();
    if (current_.triangle == 0) return;
    auto view = [](unsigned& texture, GLenum format, unsigned buffer) {
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_BUFFER, texture);
        glTexBuffer(GL_TEXTURE_BUFFER, format, buffer);
    };
    if (sizes_.records) view(recordTexture_, GL_RGBA32UI, recordBuffer_);
    if (std::any_of(groups_.begin(), groups_.end(), [](const Group& g) { return g.derivedRecords != 0; })) {
        view(indexTexture_, GL_R32UI, ibo_);
        view(vertexTexture_, vertexIsTexel() ? GL_RGBA32F : GL_R32F, vbo_);
    }
    glBindTexture(GL_TEXTURE_BUFFER, 0);
    glBindBuffer(GL_TEXTURE_BUFFER, 0);
}

bool GpuMesh::cornersReadable(uint64_t vertices, uint64_t triangles) {
    static const GLint most = [] {
        GLint n = 0;
        glGetIntegerv(GL_MAX_TEXTURE_BUFFER_SIZE, &n);
        return n;
    }();
    const uint64_t texels = uint64_t(std::max(most, 0));
    return triangles * 3 <= texels && vertices * 5 <= texels;
}

Vec3 GpuMesh::centre() const { return {(lo_[0] + hi_[0]) / 2, (lo_[1] + hi_[1]) / 2, (lo_[2] + hi_[2]) / 2}; }

size_t GpuMesh::byteSize() const {
    return size_t(sizes_.vertices) * (vertexStride() + (sizes_.texCoords ? kTexCoordBytes : 0)) +
           size_t(sizes_.triangles) * 12 + size_t(sizes_.records) * kRecordBytes + size_t(sizes_.edges) * 8;
}

GpuMesh::~GpuMesh() {
    if (mapped_) finish();
    const unsigned textures[] = {recordTexture_, indexTexture_, vertexTexture_};
    glDeleteTextures(3, textures);
    glDeleteBuffers(1, &recordBuffer_);
    glDeleteBuffers(1, &edgeIbo_);
    glDeleteBuffers(1, &ibo_);
    glDeleteBuffers(1, &vbo_);
    glDeleteVertexArrays(1, &edgeVao_);
    glDeleteVertexArrays(1, &vao_);
}

Framebuffer::Framebuffer(int width, int height) : width_(width), height_(height) {
    if (width <= 0 || height <= 0) return;
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &maxSize);
    if (width > maxSize || height > maxSize) return;
    glGenFramebuffers(1, &fbo_);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
    glGenRenderbuffers(1, &colour_);
    glBindRenderbuffer(GL_RENDERBUFFER, colour_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour_);
    glGenRenderbuffers(1, &depth_);
    glBindRenderbuffer(GL_RENDERBUFFER, depth_);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, width, height);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth_);
    valid_ = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (valid_) {
        glViewport(0, 0, width, height);
        glClearColor(0, 0, 0, 1);
        glClearDepth(1.0);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
}

Framebuffer::~Framebuffer() {
    glDeleteRenderbuffers(1, &depth_);
    glDeleteRenderbuffers(1, &colour_);
    glDeleteFramebuffers(1, &fbo_);
}

void Framebuffer::bind() const { glBindFramebuffer(GL_FRAMEBUFFER, fbo_); }

void Framebuffer::clear(int x, int y, int w, int h, float r, float g, float b) {
    if (!valid_) return;
    bind();
    glEnable(GL_SCISSOR_TEST);
    glScissor(x, height_ - y - h, w, h);
    glClearColor(r, g, b, 1.0f);
    glClearDepth(1.0);
    glDepthMask(GL_TRUE);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
}

void Framebuffer::read(std::vector<unsigned char>& rgba) const {
    const size_t row = size_t(width_) * 4;
    rgba.resize(row * size_t(height_));
    if (!valid_) {
        std::fill(rgba.begin(), rgba.end(), 0);
        return;
    }
    bind();
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    // GL rows run bottom-up; pictures are top-down. A driver that can hand them over the
    // other way up saves turning every frame here.
    static const bool invert = epoxy_has_gl_extension("GL_MESA_pack_invert");
    if (invert) {
        glPixelStorei(GL_PACK_INVERT_MESA, GL_TRUE);
        glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
        glPixelStorei(GL_PACK_INVERT_MESA, GL_FALSE);
        return;
    }
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    for (int y = 0; y < height_ / 2; ++y) {
        unsigned char* a = rgba.data() + size_t(y) * row;
        std::swap_ranges(a, a + row, rgba.data() + size_t(height_ - 1 - y) * row);
    }
}

void Framebuffer::readCovered(std::vector<unsigned char>& covered) const {
    const size_t pixels = size_t(width_) * size_t(height_);
    covered.assign(pixels, 0);
    if (!valid_) return;
    bind();
    std::vector<GLuint> depth(pixels);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, width_, height_, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, depth.data());
    // The clear leaves the greatest depth; GL rows run bottom-up.
    for (int y = 0; y < height_; ++y) {
        const GLuint* in = depth.data() + size_t(height_ - 1 - y) * size_t(width_);
        unsigned char* out = covered.data() + size_t(y) * size_t(width_);
        for (int x = 0; x < width_; ++x) out[x] = in[x] != 0xffffffffu;
    }
}

// ---------------------------------------------------------------- shaders

namespace {

constexpr int kMaxLights = 16;
constexpr int kLightVec4s = 4;

GLuint compile(GLenum kind, const std::string& source) {
    GLuint s = glCreateShader(kind);
    const char* text = source.c_str();
    glShaderSource(s, 1, &text, nullptr);
    glCompileShader(s);
    GLint ok = 0;
    glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[2048] = {};
        glGetShaderInfoLog(s, sizeof log, nullptr, log);
        std::fprintf(stderr, "shader compilation failed: %s\n", log);
    }
    return s;
}

void normalMatrix(const Matrix4& world, float out[9]) {
    Matrix4 inv;
    if (!invertAffine(world, inv)) inv = identityMatrix();
    // Uploaded with transpose so that the shader's matrix is the inverse itself; in
    // column form that is the inverse transpose of the row-vector matrix.
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r * 3 + c] = inv[r * 4 + c];
}

Vec3 normalised(const Vec3& v) {
    const float l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(l > 0)) return {0, 0, 1};
    return {v[0] / l, v[1] / l, v[2] / l};
}

}  // namespace

struct Renderer::Program {
    int key = -1;
    GLuint id = 0;
    GLint world = -1, viewProj = -1, normalMat = -1, ambient = -1, lightCount = -1, lights = -1, eye = -1, power = -1,
          tex = -1, emissive = -1, specColour = -1, shades = -1, dither = -1, records = -1, firstTriangle = -1,
          firstRecord = -1, recordShift = -1, keptNumbers = -1, numbered = -1, indices = -1, vertices = -1,
          floatsPerVertex = -1, groupTriangle = -1,
          frontSign = -1, mirror = -1, alphaCut = -1;
};

Renderer::Renderer() {
    glGenSamplers(6, samplers_);
    const GLint mins[6] = {GL_NEAREST, GL_LINEAR, GL_NEAREST_MIPMAP_NEAREST, GL_LINEAR_MIPMAP_NEAREST,
                           GL_NEAREST_MIPMAP_LINEAR, GL_LINEAR_MIPMAP_LINEAR};
    const GLint mags[6] = {GL_NEAREST, GL_LINEAR, GL_NEAREST, GL_LINEAR, GL_NEAREST, GL_LINEAR};
    for (int i = 0; i < 6; ++i) {
        glSamplerParameteri(samplers_[i], GL_TEXTURE_MIN_FILTER, mins[i]);
        glSamplerParameteri(samplers_[i], GL_TEXTURE_MAG_FILTER, mags[i]);
        glSamplerParameteri(samplers_[i], GL_TEXTURE_WRAP_S, GL_REPEAT);
        glSamplerParameteri(samplers_[i], GL_TEXTURE_WRAP_T, GL_REPEAT);
    }
    lightData_.reserve(kMaxLights * kLightVec4s * 4);
    // Leaving out triangles that draw nothing pays only where the rasteriser runs on the
    // CPU and the buffers live in system memory; a GPU would have to send its buffers back
    // to be read.
    const GLubyte* name = glGetString(GL_RENDERER);
    const std::string renderer = name ? reinterpret_cast<const char*>(name) : "";
    leaveOut_ = renderer.find("llvmpipe") != std::string::npos || renderer.find("softpipe") != std::string::npos ||
                renderer.find("swrast") != std::string::npos;
    const char* threads = std::getenv("LP_NUM_THREADS");
    if (leaveOut_ && threads && std::atoi(threads) == 0) trianglesPerFlush_ = 1024;
}

Renderer::~Renderer() {
    for (auto& p : programs_) glDeleteProgram(p->id);
    glDeleteSamplers(6, samplers_);
    for (void* f : fences_) glDeleteSync(static_cast<GLsync>(f));
    if (streamBuffer_) glDeleteBuffers(1, &streamBuffer_);
    if (numberBuffer_) glDeleteBuffers(1, &numberBuffer_);
    if (numberTexture_) glDeleteTextures(1, &numberTexture_);
}

Renderer::Program& Renderer::program(const Quality& q, bool ramp, bool textured, bool smoothColour, bool simpleLights,
                                     bool records, uint32_t derivedRecords, bool vertexTexels) {
    const int shade = q.lighting ? int(q.shade) : 0;
    simpleLights = simpleLights && q.lighting;
    const bool directional = directionalOnly_ && q.lighting;
    records = records && q.lighting && shade == 0;
    const uint32_t corners = records ? derivedRecords : 0;  // 0, 3 or 4
    const int key = shade | (q.lighting ? 4 : 0) | (ramp ? 8 : 0) | (textured ? 16 : 0) | (smoothColour ? 32 : 0) |
                    (simpleLights ? 64 : 0) | (records ? 128 : 0) | (directional ? 256 : 0) | int(corners << 9) |
                    (corners && vertexTexels ? 4096 : 0);
    for (auto& p : programs_)
        if (p->key == key) return *p;
    auto p = std::make_unique<Program>();
    p->key = key;
    const std::string header = "#version 330 core\n#define SHADE " + std::to_string(shade) + "\n#define LIT " +
                               (q.lighting ? "1" : "0") + "\n#define RAMP " + (ramp ? "1" : "0") + "\n#define TEXTURED " +
                               (textured ? "1" : "0") + "\n#define SMOOTH_COLOUR " + (smoothColour ? "1" : "0") +
                               "\n#define SIMPLE_LIGHTS " + (simpleLights ? "1" : "0") + "\n#define RECORDS " +
                               (records ? "1" : "0") + "\n#define CORNERS " + std::to_string(corners) +
                               "\n#define VERTEX_TEXELS " + (corners && vertexTexels ? "1" : "0") +
                               "\n#define DIRECTIONAL_LIGHTS " + (directional ? "1" : "0") + "\n";
    GLuint vs = compile(GL_VERTEX_SHADER, header + shaders::kCommonGlsl + shaders::kMeshVert);
    GLuint fs = compile(GL_FRAGMENT_SHADER, header + shaders::kCommonGlsl + shaders::kMeshFrag);
    p->id = glCreateProgram();
    glAttachShader(p->id, vs);
    glAttachShader(p->id, fs);
    glLinkProgram(p->id);
    glDeleteShader(vs);
    glDeleteShader(fs);
    GLint ok = 0;
    glGetProgramiv(p->id, GL_LINK_STATUS, &ok);
    if (!ok) {
        char log[2048] = {};
        glGetProgramInfoLog(p->id, sizeof log, nullptr, log);
        std::fprintf(stderr, "shader link failed: %s\n", log);
    }
    auto loc = [&](const char* name) { return glGetUniformLocation(p->id, name); };
    p->world = loc("uWorld");
    p->viewProj = loc("uViewProj");
    p->normalMat = loc("uNormalMat");
    p->ambient = loc("uAmbient");
    p->lightCount = loc("uLightCount");
    p->lights = loc("uLights");
    p->eye = loc("uEye");
    p->power = loc("uPower");
    p->tex = loc("uTex");
    p->alphaCut = loc("uAlphaCut");
    p->emissive = loc("uEmissive");
    p->specColour = loc("uSpecColour");
    p->shades = loc("uShades");
    p->dither = loc("uDither");
    p->records = loc("uRecords");
    p->firstTriangle = loc("uFirstTriangle");
    p->firstRecord = loc("uFirstRecord");
    p->recordShift = loc("uRecordShift");
    p->keptNumbers = loc("uKeptNumbers");
    p->numbered = loc("uNumbered");
    p->indices = loc("uIndices");
    p->vertices = loc("uVertices");
    p->floatsPerVertex = loc("uFloatsPerVertex");
    p->groupTriangle = loc("uGroupTriangle");
    p->frontSign = loc("uFrontSign");
    p->mirror = loc("uMirror");
    glUseProgram(p->id);
    glUniform1i(p->tex, 0);
    glUniform1i(p->records, 1);
    glUniform1i(p->keptNumbers, 2);
    glUniform1i(p->indices, 3);
    glUniform1i(p->vertices, 4);
    programs_.push_back(std::move(p));
    return *programs_.back();
}

bool Renderer::needsRecords(const Quality& quality, bool simpleLights) {
    // A triangle's own plane gives its face normal, but not where its polygon's centre is,
    // and points and lines have no plane.
    return quality.lighting && quality.shade == ShadeMode::Flat &&
           (!simpleLights || quality.fill != FillMode::Solid);
}

bool Renderer::needsRecords(const Quality& quality, const Material& material) const {
    return needsRecords(quality, directionalOnly_ && material.power <= 0);
}

void Renderer::begin(const Framebuffer& target, const FrameSetup& setup) {
    setup_ = setup;
    ++frame_;
    directionalOnly_ = std::all_of(setup.lights.begin(), setup.lights.end(), [](const LightInfo& l) {
        return l.kind == LightKind::Ambient || l.kind == LightKind::Directional || l.kind == LightKind::ParallelPoint;
    });
    viewProjection_ = multiply(setup.view, setup.projection);
    // Screen right and up, crossed, point away from the eye unless the view mirrors.
    viewDeterminant_ = determinant3(setup.view);
    frontSign_ = viewDeterminant_ < 0 ? 1.0f : -1.0f;
    target.bind();
    glViewport(setup.x, target.height() - setup.y - setup.height, setup.width, setup.height);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glDepthMask(GL_TRUE);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    // Fronts are clockwise as seen; window y grows upwards here, so that is GL's CW.
    glFrontFace(GL_CW);
    // Flat triangles take their face's values from their first vertex.
    glProvokingVertex(GL_FIRST_VERTEX_CONVENTION);
    glPointSize(1.0f);
    glLineWidth(1.0f);
}

void Renderer::applyLights(Program& p, const Vec3& origin, std::span<const void* const> path) {
    Vec3 ambient{0, 0, 0};
    lightData_.clear();
    int count = 0;
    auto grey = [&](const Vec3& c) -> Vec3 {
        if (!setup_.ramp) return c;
        const float l = 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2];
        return {l, l, l};
    };
    for (const LightInfo& l : setup_.lights) {
        if (l.scope && std::find(path.begin(), path.end(), l.scope) == path.end()) continue;
        const Vec3 colour = grey(l.colour);
        if (l.kind == LightKind::Ambient) {
            for (int k = 0; k < 3; ++k) ambient[k] += colour[k];
            continue;
        }
        if (count == kMaxLights) continue;
        float type = 0;
        Vec3 dir = normalised(l.direction);
        if (l.kind == LightKind::Point) type = 1;
        if (l.kind == LightKind::Spot) type = 2;
        if (l.kind == LightKind::ParallelPoint) {
            // Parallel rays, aimed from the light at this object.
            const Vec3 d{origin[0] - l.position[0], origin[1] - l.position[1], origin[2] - l.position[2]};
            if (d[0] == 0 && d[1] == 0 && d[2] == 0) continue;
            dir = normalised(d);
        }
        const float cosUmbra = std::cos(std::max(l.umbra, 0.0f) / 2.0f);
        const float cosPenumbra = std::cos(std::max(l.penumbra, l.umbra) / 2.0f);
        lightData_.insert(lightData_.end(), {colour[0], colour[1], colour[2], type, l.position[0], l.position[1],
                                             l.position[2], l.range, dir[0], dir[1], dir[2], cosUmbra, l.constant,
                                             l.linear, l.quadratic, cosPenumbra});
        ++count;
    }
    glUniform3fv(p.ambient, 1, ambient.data());
    glUniform1i(p.lightCount, count);
    if (count) glUniform4fv(p.lights, count * kLightVec4s, lightData_.data());
    glUniform3fv(p.eye, 1, setup_.eye.data());
}

uint32_t Renderer::draw(const GpuMesh& mesh, const Matrix4& world, const Quality& quality, int group,
                        std::span<const void* const> path, Groups which) {
    if (mesh.triangleCount() == 0) return 0;
    auto wanted = [&](size_t gi) {
        if (group >= 0 && size_t(group) != gi) return false;
        const bool translucent = mesh.groups()[gi].translucent;
        return which == Groups::All || translucent == (which == Groups::Translucent);
    };
    float normal[9];
    normalMatrix(world, normal);
    const float mirror = determinant3(world) < 0 ? -1.0f : 1.0f;
    const Vec3 origin{world[12], world[13], world[14]};
    const Culling culling = cullingFor(world);
    const bool edges = quality.fill == FillMode::Wireframe && mesh.hasEdges();
    if (edges) {
        // Hidden lines: the faces' depth first (pushed back a little), then the outlines
        // of the polygons, so that edges behind nearer faces (back edges included) hide.
        glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
        glEnable(GL_POLYGON_OFFSET_FILL);
        glPolygonOffset(1.0f, 1.0f);
        Program& depthOnly = program({ShadeMode::Flat, false, FillMode::Solid}, false, false);
        glUseProgram(depthOnly.id);
        glUniformMatrix4fv(depthOnly.world, 1, GL_FALSE, world.data());
        glUniformMatrix4fv(depthOnly.viewProj, 1, GL_FALSE, viewProjection_.data());
        glBindVertexArray(mesh.vao());
        for (size_t gi = 0; gi < mesh.groups().size(); ++gi) {
            // Translucent faces hide nothing behind them.
            if (!wanted(gi) || mesh.groups()[gi].translucent) continue;
            drawTriangles(mesh, mesh.groups()[gi], culling, nullptr);
        }
        glDisable(GL_POLYGON_OFFSET_FILL);
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        glDepthFunc(GL_LEQUAL);
        glBindVertexArray(mesh.edgeVao());
    } else {
        const GLenum polygon = quality.fill == FillMode::Points      ? GL_POINT
                               : quality.fill == FillMode::Wireframe ? GL_LINE
                                                                     : GL_FILL;
        glPolygonMode(GL_FRONT_AND_BACK, polygon);
        glBindVertexArray(mesh.vao());
    }
    // Flat shading takes each triangle's face from its record where the lights or the fill
    // need the polygon's own centre and normal, else from the triangle's plane.
    const bool flat = !edges && quality.lighting && quality.shade == ShadeMode::Flat;
    const bool records = flat && mesh.hasRecords();
    if (records) {
        glActiveTexture(GL_TEXTURE1);
        glBindTexture(GL_TEXTURE_BUFFER, mesh.recordTexture());
        glActiveTexture(GL_TEXTURE3);
        glBindTexture(GL_TEXTURE_BUFFER, mesh.indexTexture());
        glActiveTexture(GL_TEXTURE4);
        glBindTexture(GL_TEXTURE_BUFFER, mesh.vertexTexture());
        glActiveTexture(GL_TEXTURE0);
    }
    Program* current = nullptr;
    uint32_t drawn = 0;
    for (size_t gi = 0; gi < mesh.groups().size(); ++gi) {
        if (!wanted(gi)) continue;
        const GpuMesh::Group& g = mesh.groups()[gi];
        const bool textured = g.texture != nullptr;
        // Outlines are lit at their corners (they have no face of their own).
        Quality q = quality;
        if (edges && q.shade == ShadeMode::Flat) q.shade = ShadeMode::Gouraud;
        const bool simple = directionalOnly_ && g.material.power <= 0;
        Program& p = program(q, setup_.ramp, textured, g.vertexColours && q.shade != ShadeMode::Flat, simple,
                             records && needsRecords(quality, simple), g.derivedRecords, mesh.vertexIsTexel());
        if (&p != current) {
            current = &p;
            glUseProgram(p.id);
            glUniformMatrix4fv(p.world, 1, GL_FALSE, world.data());
            glUniformMatrix4fv(p.viewProj, 1, GL_FALSE, viewProjection_.data());
            glUniformMatrix3fv(p.normalMat, 1, GL_TRUE, normal);
            glUniform1i(p.shades, setup_.shades);
            glUniform1i(p.dither, setup_.dither ? 1 : 0);
            glUniform1f(p.frontSign, frontSign_);
            glUniform1f(p.mirror, mirror);
            if (quality.lighting) applyLights(p, origin, path);
        }
        if (textured) {
            glActiveTexture(GL_TEXTURE0);
            glBindTexture(GL_TEXTURE_2D, g.texture->id());
            glBindSampler(0, samplers_[std::clamp(int(setup_.filter), 0, 5)]);
            const GpuTexture::Alpha a = g.texture->alpha();
            glUniform1f(p.alphaCut, a == GpuTexture::Alpha::Opaque ? 0.0f
                                    : a == GpuTexture::Alpha::Cutout ? 0.5f
                                                                     : 0.5f / 255.0f);
        }
        glUniform1f(p.power, g.material.power);
        glUniform3fv(p.emissive, 1, g.material.emissive.data());
        glUniform3fv(p.specColour, 1, g.material.specular.data());
        if (g.translucent) {
            glEnable(GL_BLEND);
            // The picture's own alpha stays opaque.
            glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ZERO, GL_ONE);
            glDepthMask(GL_FALSE);
        }
        if (edges) {
            glDrawElements(GL_LINES, GLsizei(g.edgeCount * 2), GL_UNSIGNED_INT,
                           reinterpret_cast<void*>(size_t(g.firstEdge) * 2 * sizeof(uint32_t)));
        } else {
            drawn += drawTriangles(mesh, g, culling, &p, quality.fill == FillMode::Solid);
        }
        if (g.translucent) {
            glDisable(GL_BLEND);
            glDepthMask(GL_TRUE);
        }
        if (edges) drawn += g.triangleCount;
    }
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glDepthFunc(GL_LESS);
    glBindVertexArray(0);
    return drawn;
}

Renderer::Culling Renderer::cullingFor(const Matrix4& world) const {
    Culling c;
    c.world = world;
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k) {
            double sum = 0;
            for (int j = 0; j < 4; ++j) sum += double(world[r * 4 + j]) * double(viewProjection_[j * 4 + k]);
            c.clip[r * 4 + k] = sum;
        }
    // The clip volume's six planes (-w <= x, y, z <= w), in the mesh's own space.
    const Matrix4 m = multiply(world, viewProjection_);
    for (int i = 0; i < 6; ++i) {
        const int axis = i / 2;
        const float sign = i % 2 ? -1.0f : 1.0f;
        float* plane = c.planes[i];
        for (int k = 0; k < 4; ++k) plane[k] = m[k * 4 + 3] + sign * m[k * 4 + axis];
        const float length = std::sqrt(plane[0] * plane[0] + plane[1] * plane[1] + plane[2] * plane[2]);
        if (!(length > 0) || !std::isfinite(length)) return Culling{};  // nothing is culled
        for (int k = 0; k < 4; ++k) plane[k] /= length;
    }
    c.frustum = true;
    // Which side of a face the GPU shows: the eye's side, unless the mesh's placement and
    // the view mirror it an odd number of times. Only for perspective views.
    Matrix4 inverse;
    if (setup_.projection[15] == 0 && invertAffine(world, inverse)) {
        c.eye = transformPoint(setup_.eye, inverse);
        const float d = determinant3(world) * viewDeterminant_;
        c.cone = std::isfinite(d) && d != 0;
        c.facing = d < 0 ? -1.0f : 1.0f;
    }
    return c;
}

bool Renderer::visible(const GpuMesh::Cluster& k, const Culling& c) {
    if (!c.frustum) return true;
    // Well outside one plane: every corner is clipped away.
    const float slack = k.radius * 1e-4f + 1e-6f * (std::fabs(k.centre[0]) + std::fabs(k.centre[1]) +
                                                    std::fabs(k.centre[2]));
    for (const float* p : c.planes)
        if (p[0] * k.centre[0] + p[1] * k.centre[1] + p[2] * k.centre[2] + p[3] < -k.radius - slack) return false;
    if (!c.cone || k.cosAngle < -1) return true;
    // Facing away as a whole: every normal of the cone turned well past 90 degrees from the
    // direction to the eye of every point of the sphere.
    const Vec3 v{k.centre[0] - c.eye[0], k.centre[1] - c.eye[1], k.centre[2] - c.eye[2]};
    const float distance = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(distance > k.radius * 1.01f)) return true;
    const float cosPhi =
        std::clamp(c.facing * (k.axis[0] * v[0] + k.axis[1] * v[1] + k.axis[2] * v[2]) / distance, -1.0f, 1.0f);
    const float sinPhi = std::sqrt(std::max(0.0f, 1 - cosPhi * cosPhi));
    return !(cosPhi * k.cosAngle - sinPhi * k.sinAngle > k.radius / distance + 2e-3f);
}

uint32_t Renderer::drawTriangles(const GpuMesh& mesh, const GpuMesh::Group& g, const Culling& culling,
                                 const Program* p, bool mayLeaveOut) {
    const bool records = p && p->firstTriangle >= 0;
    if (records) {
        glUniform1i(p->firstRecord, GLint(g.firstRecord));
        glUniform1i(p->recordShift, GLint(g.recordShift));
        glUniform1i(p->numbered, 0);
        glUniform1i(p->groupTriangle, GLint(g.firstTriangle));
        glUniform1i(p->floatsPerVertex, GLint(mesh.vertexStride() / sizeof(float)));
    }
    if (mayLeaveOut && leaveOut_ && drawCoveringTriangles(mesh, g, culling, records ? p : nullptr)) {
        uint32_t drawn = 0;
        for (const PlannedCluster& k : plan_) drawn += mesh.clusters()[k.cluster].triangleCount;
        return drawn;
    }
    // Runs of the clusters left.
    counts_.clear();
    offsets_.clear();
    uint32_t drawn = 0, runEnd = UINT32_MAX;
    for (uint32_t i = g.firstCluster; i < g.firstCluster + g.clusterCount; ++i) {
        const GpuMesh::Cluster& k = mesh.clusters()[i];
        if (!visible(k, culling)) continue;
        drawn += k.triangleCount;
        // A run stays short enough to be flushed after (a model seen whole is one run).
        if (runEnd == k.firstTriangle && uint32_t(counts_.back() / 3) + k.triangleCount <= trianglesPerFlush_) {
            counts_.back() += GLsizei(k.triangleCount * 3);
        } else {
            counts_.push_back(GLsizei(k.triangleCount * 3));
            offsets_.push_back(reinterpret_cast<const void*>(size_t(k.firstTriangle) * 3 * sizeof(uint32_t)));
        }
        runEnd = k.firstTriangle + k.triangleCount;
    }
    // A software driver bins all it is given until it is told to draw: handing it the
    // triangles a few thousand at a time keeps what it holds small, and lets it start.
    size_t first = 0;
    uint32_t pending = 0;
    for (size_t r = 0; r <= counts_.size(); ++r) {
        if (r == counts_.size() || pending >= trianglesPerFlush_) {
            if (records) {
                // Primitive numbers count from each draw's first triangle. Runs start at a
                // cluster, so on a polygon's first triangle.
                for (size_t i = first; i < r; ++i) {
                    const size_t firstTriangle = reinterpret_cast<size_t>(offsets_[i]) / (3 * sizeof(uint32_t));
                    glUniform1i(p->firstTriangle, GLint(firstTriangle - g.firstTriangle));
                    glDrawElements(GL_TRIANGLES, counts_[i], GL_UNSIGNED_INT, offsets_[i]);
                }
            } else if (r > first) {
                glMultiDrawElements(GL_TRIANGLES, counts_.data() + first, GL_UNSIGNED_INT, offsets_.data() + first,
                                    GLsizei(r - first));
            }
            if (r == counts_.size()) break;
            flushBatch();
            first = r;
            pending = 0;
        }
        pending += uint32_t(counts_[r] / 3);
    }
    return drawn;
}

// A triangle covers the pixels whose centres (at n + 0.5 from the viewport's corner) it
// holds. One whose box, in window coordinates, holds no such centre in x or in y, or
// whose one centre lies clearly beyond an edge, draws nothing whatever the rasteriser's
// rules at the edges, so leaving it out changes no pixel: where a mesh has many more
// triangles than the pixels it covers, most are such. The test runs on the CPU with its
// own rounding: each cluster's margin bounds the difference from the GPU's
// (single-precision vertex shading, vertices snapped to 1/256 of a pixel), and a cluster
// too close to the eye for a small bound is drawn whole. The test runs a stretch of
// clusters at a time, split over the cores, before the stretch is drawn; triangles kept
// go to the driver in their order, from a buffer of their own.
bool Renderer::drawCoveringTriangles(const GpuMesh& mesh, const GpuMesh::Group& g, const Culling& c,
                                     const Program* numbered) {
    if (!c.frustum || setup_.width <= 0 || setup_.height <= 0) return false;
    const double* m = c.clip;
    const double halfW = setup_.width / 2.0, halfH = setup_.height / 2.0;
    plan_.clear();
    uint32_t visibleTriangles = 0, denseTriangles = 0;
    for (uint32_t i = g.firstCluster; i < g.firstCluster + g.clusterCount; ++i) {
        const GpuMesh::Cluster& k = mesh.clusters()[i];
        if (!visible(k, c)) continue;
        visibleTriangles += k.triangleCount;
        PlannedCluster planned{i, -1.0f, -1.0f};
        // Sums of the terms' sizes in clip x, y and w over the cluster's sphere, computed
        // in one step and as the vertex shader does (placement, then view and projection).
        double reach[3], size[4] = {std::fabs(m[12]), std::fabs(m[13]), 0, std::fabs(m[15])};
        double wCentre = m[15], wSlope = 0, xySlope = 0;
        for (int j = 0; j < 3; ++j) {
            reach[j] = std::fabs(double(k.centre[j])) + double(k.radius);
            for (int a : {0, 1, 3}) size[a] += std::fabs(m[j * 4 + a]) * reach[j];
            wCentre += double(k.centre[j]) * m[j * 4 + 3];
            wSlope += m[j * 4 + 3] * m[j * 4 + 3];
            xySlope = std::max({xySlope, std::fabs(m[j * 4]) * halfW, std::fabs(m[j * 4 + 1]) * halfH});
        }
        double placed[3];
        for (int a = 0; a < 3; ++a) {
            placed[a] = std::fabs(double(c.world[12 + a]));
            for (int j = 0; j < 3; ++j) placed[a] += std::fabs(double(c.world[j * 4 + a])) * reach[j];
        }
        for (int a : {0, 1, 3}) {
            double stepwise = std::fabs(double(viewProjection_[12 + a]));
            for (int j = 0; j < 3; ++j) stepwise += std::fabs(double(viewProjection_[j * 4 + a])) * placed[j];
            size[a] = std::max(size[a], stepwise);
        }
        const double wNear = wCentre - double(k.radius) * std::sqrt(wSlope);
        if (wNear > 0 && std::isfinite(wNear) && std::isfinite(size[0] + size[1] + size[3])) {
            // Window error: halfW * (dx / w + |x| dw / w^2), with dx, dw a few hundred
            // single-precision steps of the terms' sizes (which also bound this side's
            // rounding), plus the snapping, plus a millionth of the coordinates for the
            // division here. The rounding of what is kept adds its own step in the test.
            constexpr double kShaderError = 8e-6, kSnap = 1.0 / 128;
            const double ew = kShaderError * size[3];
            const double mx = halfW / wNear * (kShaderError * size[0] + size[0] * ew / wNear) + kSnap +
                              1e-6 * halfW * (size[0] / wNear + 1);
            const double my = halfH / wNear * (kShaderError * size[1] + size[1] * ew / wNear) + kSnap +
                              1e-6 * halfH * (size[1] / wNear + 1);
            // Worth testing: its triangles average under 256 square pixels by the disc of its
            // sphere's radius, in pixels across the fastest direction, which overstates the
            // area. Testing a triangle costs a small part of drawing it, so a cluster that
            // loses a few of them to the test gains.
            const double radius = double(k.radius) * xySlope * std::sqrt(3.0) / wNear;
            if (mx < 0.25 && my < 0.25 && 3.14 * radius * radius < 256.0 * k.triangleCount) {
                planned.marginX = float(mx);
                planned.marginY = float(my);
                denseTriangles += k.triangleCount;
            }
        }
        plan_.push_back(planned);
    }
    if (denseTriangles == 0 || denseTriangles * 4 < visibleTriangles) return false;

    const size_t vertexCount = mesh.sizes().vertices;
    const unsigned char* vertices = nullptr;
    const uint32_t* indices = nullptr;
    auto unmap = [&] {
        if (vertices) {
            glBindBuffer(GL_COPY_READ_BUFFER, mesh.vertexBuffer());
            glUnmapBuffer(GL_COPY_READ_BUFFER);
        }
        if (indices) {
            glBindBuffer(GL_COPY_WRITE_BUFFER, mesh.indexBuffer());
            glUnmapBuffer(GL_COPY_WRITE_BUFFER);
        }
        vertices = nullptr;
        indices = nullptr;
        glBindBuffer(GL_COPY_READ_BUFFER, 0);
        glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
    };
    auto map = [&] {
        glBindBuffer(GL_COPY_READ_BUFFER, mesh.vertexBuffer());
        vertices = static_cast<const unsigned char*>(
            glMapBufferRange(GL_COPY_READ_BUFFER, 0, GLsizeiptr(vertexCount * mesh.vertexStride()), GL_MAP_READ_BIT));
        glBindBuffer(GL_COPY_WRITE_BUFFER, mesh.indexBuffer());
        indices = static_cast<const uint32_t*>(glMapBufferRange(
            GL_COPY_WRITE_BUFFER, 0, GLsizeiptr(size_t(mesh.triangleCount()) * 3 * sizeof(uint32_t)), GL_MAP_READ_BIT));
        if (!vertices || !indices) unmap();
        return vertices != nullptr;
    };
    if (!map()) return false;
    // The cluster's triangles that may hold a pixel's centre, kept in order into list from
    // `used` on; the list only grows (by what was never written), so that it is not cleared
    // again for each cluster. With `numbers`, each kept triangle's number in the group goes
    // there, one for each three indices.
    auto keepCovering = [&](const GpuMesh::Cluster& k, const PlannedCluster& planned, std::vector<uint32_t>& list,
                            std::vector<uint32_t>* numbers, size_t& used) {
        if (list.size() < used + size_t(k.triangleCount) * 3) list.resize(used + size_t(k.triangleCount) * 3);
        if (numbers && numbers->size() < list.size() / 3) numbers->resize(list.size() / 3);
        const size_t kept = covering::keep(indices + size_t(k.firstTriangle) * 3, k.triangleCount, projected_.data(),
                                           vertexCount, covering::marginsFor(planned.marginX, planned.marginY),
                                           list.data() + used, numbers ? numbers->data() + used / 3 : nullptr,
                                           k.firstTriangle - g.firstTriangle);
        used += kept * 3;
        return k.triangleCount - kept;
    };
    // Every vertex projected (unless this placement's projection is at hand), split over
    // the cores.
    if (projectedMesh_ != mesh.serial() || projectedFrame_ != frame_ ||
        !std::equal(std::begin(c.clip), std::end(c.clip), std::begin(projectedClip_))) {
        projectedMesh_ = mesh.serial();
        projectedFrame_ = frame_;
        std::copy(std::begin(c.clip), std::end(c.clip), std::begin(projectedClip_));
        projected_.resize(vertexCount * 2);
        runInParts(vertexCount, partsFor(vertexCount),
                   [&](unsigned, size_t first, size_t end) {
                       covering::project(vertices, mesh.vertexStride(), first, end, m, halfW, halfH, projected_.data());
                   });
    }

    if (!streamBuffer_) glGenBuffers(1, &streamBuffer_);
    if (numbered) {
        glActiveTexture(GL_TEXTURE2);
        if (!numberBuffer_) {
            glGenBuffers(1, &numberBuffer_);
            glBindBuffer(GL_TEXTURE_BUFFER, numberBuffer_);  // the buffer is made when first bound
            glBindBuffer(GL_TEXTURE_BUFFER, 0);
            glGenTextures(1, &numberTexture_);
            glBindTexture(GL_TEXTURE_BUFFER, numberTexture_);
            glTexBuffer(GL_TEXTURE_BUFFER, GL_R32UI, numberBuffer_);
        }
        glBindTexture(GL_TEXTURE_BUFFER, numberTexture_);
        glActiveTexture(GL_TEXTURE0);
    }
    // A program that reads records numbers the triangles of a draw from the one it is told
    // (uFirstTriangle) or, for the triangles kept, takes each one's number from the list.
    bool listNumbers = false;
    auto numberFromList = [&](bool fromList) {
        if (!numbered || fromList == listNumbers) return;
        listNumbers = fromList;
        glUniform1i(numbered->numbered, fromList ? 1 : 0);
    };
    uint32_t sinceFlush = 0, runFirst = 0, runCount = 0;
    auto submitted = [&](uint32_t triangles) {
        sinceFlush += triangles;
        if (sinceFlush >= trianglesPerFlush_) {
            flushBatch();
            sinceFlush = 0;
        }
    };
    const uint32_t* keptFrom = nullptr;  // the kept indices not drawn yet: keptFrom to keptTo
    const uint32_t* keptTo = nullptr;
    const uint32_t* numbersFrom = nullptr;  // and their triangles' numbers, for records
    auto drawKept = [&] {
        while (keptFrom < keptTo) {
            const size_t n = std::min<size_t>(size_t(keptTo - keptFrom), size_t(trianglesPerFlush_) * 3);
            if (numbered) {
                numberFromList(true);
                glBindBuffer(GL_TEXTURE_BUFFER, numberBuffer_);
                glBufferData(GL_TEXTURE_BUFFER, GLsizeiptr(n / 3 * sizeof(uint32_t)), numbersFrom, GL_STREAM_DRAW);
                glBindBuffer(GL_TEXTURE_BUFFER, 0);
                numbersFrom += n / 3;
            }
            glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, streamBuffer_);
            glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(n * sizeof(uint32_t)), keptFrom, GL_STREAM_DRAW);
            glDrawElements(GL_TRIANGLES, GLsizei(n), GL_UNSIGNED_INT, nullptr);
            glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mesh.indexBuffer());
            submitted(uint32_t(n / 3));
            keptFrom += n;
        }
    };
    auto drawRun = [&] {
        if (runCount == 0) return;
        if (numbered) {
            numberFromList(false);
            glUniform1i(numbered->firstTriangle, GLint(runFirst - g.firstTriangle));
        }
        glDrawElements(GL_TRIANGLES, GLsizei(runCount * 3), GL_UNSIGNED_INT,
                       reinterpret_cast<const void*>(size_t(runFirst) * 3 * sizeof(uint32_t)));
        submitted(runCount);
        runCount = 0;
    };
    // The clusters in stretches of about kTrianglesPerTest triangles tested: each stretch is
    // tested split over the cores, each part keeping its triangles in a list of its own,
    // cluster after cluster, and then drawn in order: what was kept from the stream buffer,
    // the clusters drawn whole from the mesh's own. A mesh of a few million triangles is
    // one stretch: a test that runs while the driver's threads still draw the last
    // stretch gets less of the cores than one that runs before anything is drawn.
    constexpr uint32_t kTrianglesPerTest = 1u << 22;
    for (size_t first = 0, end = 0; first < plan_.size(); first = end) {
        uint32_t tested = 0;
        while (end < plan_.size() && tested < kTrianglesPerTest) {
            if (plan_[end].marginX >= 0) tested += mesh.clusters()[plan_[end].cluster].triangleCount;
            ++end;
        }
        // Buffers mapped can't be drawn from: the first stretch finds them mapped, the
        // others map them again, or draw their clusters whole where that fails.
        if (!vertices && !map())
            for (size_t i = first; i < end; ++i) plan_[i].marginX = -1;
        const unsigned parts = partsFor(tested);
        keptParts_.resize(std::max<size_t>(keptParts_.size(), parts));
        if (numbered) keptNumbers_.resize(std::max<size_t>(keptNumbers_.size(), parts));
        std::vector<uint64_t> leftOut(parts, 0);
        runInParts(end - first, parts, [&](unsigned part, size_t from, size_t to) {
            std::vector<uint32_t>& list = keptParts_[part];
            std::vector<uint32_t>* numbers = numbered ? &keptNumbers_[part] : nullptr;
            size_t used = 0;
            for (size_t i = first + from; i < first + to; ++i) {
                PlannedCluster& planned = plan_[i];
                planned.keptFirst = uint32_t(used);
                if (planned.marginX >= 0)
                    leftOut[part] += keepCovering(mesh.clusters()[planned.cluster], planned, list, numbers, used);
                planned.keptEnd = uint32_t(used);
            }
        });
        for (uint64_t n : leftOut) leftOut_ += n;
        unmap();
        for (unsigned part = 0; part < parts; ++part) {
            const std::vector<uint32_t>& list = keptParts_[part];
            const size_t partEnd = first + partBegin(end - first, parts, part + 1);
            for (size_t i = first + partBegin(end - first, parts, part); i < partEnd; ++i) {
                const PlannedCluster& planned = plan_[i];
                const GpuMesh::Cluster& k = mesh.clusters()[planned.cluster];
                if (planned.marginX >= 0) {
                    drawRun();
                    const uint32_t* from = list.data() + planned.keptFirst;
                    if (from != keptTo) {
                        drawKept();
                        keptFrom = from;
                        if (numbered) numbersFrom = keptNumbers_[part].data() + planned.keptFirst / 3;
                    }
                    keptTo = list.data() + planned.keptEnd;
                    continue;
                }
                drawKept();
                const bool joins = runCount > 0 && runFirst + runCount == k.firstTriangle;
                if (joins && runCount + k.triangleCount <= trianglesPerFlush_) {
                    runCount += k.triangleCount;
                } else {
                    drawRun();
                    runFirst = k.firstTriangle;
                    runCount = k.triangleCount;
                }
            }
            drawKept();
            keptFrom = keptTo = nullptr;
        }
    }
    drawRun();
    return true;
}

void Renderer::flushBatch() {
    glFlush();
    // A software driver rasterises batches on threads of its own while the next is binned;
    // three batches ahead keep those threads busy without a frame's bins piling up.
    constexpr size_t kBatchesAhead = 3;
    fences_.push_back(glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0));
    if (fences_.back() == nullptr) fences_.pop_back();
    while (fences_.size() > kBatchesAhead) {
        GLsync oldest = static_cast<GLsync>(fences_.front());
        glClientWaitSync(oldest, GL_SYNC_FLUSH_COMMANDS_BIT, GLuint64(10) * 1000 * 1000 * 1000);
        glDeleteSync(oldest);
        fences_.erase(fences_.begin());
    }
}

void Renderer::end() {
    glFlush();
    for (void* f : fences_) glDeleteSync(static_cast<GLsync>(f));
    fences_.clear();
}

}  // namespace gl
