#include "tests/platform/gl/gl_test_util.h"

#include <stb_image_write.h>

#include <cmath>
#include <set>

namespace gltest {

int Picture::countNonBlack() const {
    int n = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) n += isBlack(x, y) ? 0 : 1;
    return n;
}

int Picture::distinctColours() const {
    std::set<unsigned> colours;
    for (size_t i = 0; i + 3 < rgba.size(); i += 4) colours.insert(rgba[i] << 16 | rgba[i + 1] << 8 | rgba[i + 2]);
    return int(colours.size());
}

namespace {
gl::Vec3 cross(const gl::Vec3& a, const gl::Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
}  // namespace

void addBox(gl::MeshData& m, const gl::Vec3& c, float h, const float rgba[4], bool flatNormals) {
    const uint32_t first = m.vertexCount();
    const gl::Vec3 normals[6] = {{0, 0, -1}, {0, 0, 1}, {-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}};
    const float s = 1.0f / std::sqrt(3.0f);
    auto corner = [&](const gl::Vec3& p) -> uint32_t {
        // Smooth boxes share one vertex per corner.
        const gl::Vec3 n{(p[0] > c[0] ? s : -s), (p[1] > c[1] ? s : -s), (p[2] > c[2] ? s : -s)};
        for (uint32_t i = first; i < m.vertexCount(); ++i)
            if (m.vertices[i].position == p) return i;
        return m.addVertex(p, n, 0, 0, rgba);
    };
    for (const gl::Vec3& n : normals) {
        const gl::Vec3 a = std::fabs(n[0]) > 0.5f ? gl::Vec3{0, 0, 1} : gl::Vec3{1, 0, 0};
        const gl::Vec3 b = cross(a, n);
        gl::Vec3 p[4];
        const float sa[4] = {-1, -1, 1, 1}, sb[4] = {-1, 1, 1, -1};
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 3; ++k) p[i][k] = c[k] + h * (n[k] + sa[i] * a[k] + sb[i] * b[k]);
        uint32_t idx[4];
        for (int i = 0; i < 4; ++i) idx[i] = flatNormals ? m.addVertex(p[i], n, 0, 0, rgba) : corner(p[i]);
        m.addTriangle(idx[0], idx[1], idx[2], n);
        m.addTriangle(idx[0], idx[2], idx[3], n);
        for (int i = 0; i < 4; ++i) m.addEdge(idx[i], idx[(i + 1) % 4]);
    }
}

gl::MeshData boxMesh(const gl::Vec3& c, float h, const float rgba[4], bool flatNormals) {
    gl::MeshData m;
    addBox(m, c, h, rgba, flatNormals);
    m.endGroup({}, nullptr);
    return m;
}

gl::MeshData quadMesh(float h, const float rgba[4], std::shared_ptr<gl::GpuTexture> texture) {
    gl::MeshData m;
    const gl::Vec3 n{0, 0, -1};
    const uint32_t a = m.addVertex({-h, -h, 0}, n, 0, 1, rgba);
    const uint32_t b = m.addVertex({-h, h, 0}, n, 0, 0, rgba);
    const uint32_t c = m.addVertex({h, h, 0}, n, 1, 0, rgba);
    const uint32_t d = m.addVertex({h, -h, 0}, n, 1, 1, rgba);
    const uint32_t corners[4] = {a, b, c, d};
    m.addPolygon(corners, 4, n);
    for (auto [p, q] : {std::pair{a, b}, std::pair{b, c}, std::pair{c, d}, std::pair{d, a}}) m.addEdge(p, q);
    m.endGroup({}, std::move(texture));
    return m;
}

gl::FrameSetup cameraSetup(int w, int h) {
    gl::FrameSetup s;
    s.deviceWidth = s.width = w;
    s.deviceHeight = s.height = h;
    s.projection = gl::perspectiveProjection(w, h, 0.5f, 1.0f, 100.0f);
    s.dither = false;
    return s;
}

std::string savePng(const Picture& p, const std::string& name) {
    const std::string path = std::string(SOLLUX_BINARY_DIR) + "/" + name + ".png";
    stbi_write_png(path.c_str(), p.width, p.height, 4, p.rgba.data(), p.width * 4);
    return path;
}

}  // namespace gltest
