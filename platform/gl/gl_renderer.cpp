#include "platform/gl/gl_renderer.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

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

namespace {
float packColour(const float rgba[4]) {
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits |= uint32_t(std::lround(std::clamp(rgba[k], 0.0f, 1.0f) * 255.0f)) << (8 * k);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
}  // namespace

uint32_t MeshData::addVertex(const Vec3& p, const Vec3& n, float u, float v, const float rgba[4]) {
    const uint32_t index = vertexCount();
    vertices.insert(vertices.end(), {p[0], p[1], p[2], n[0], n[1], n[2], u, v, p[0], p[1], p[2], packColour(rgba)});
    return index;
}

void MeshData::addTriangle(uint32_t a, uint32_t b, uint32_t c, const Vec3& n, const float rgba[4]) {
    const uint32_t corners[3] = {a, b, c};
    addPolygon(corners, 3, n, rgba);
}

void MeshData::addPolygon(const uint32_t* corners, uint32_t count, const Vec3& n, const float rgba[4]) {
    if (count < 3) return;
    Vec3 centre{0, 0, 0};
    for (uint32_t i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) centre[k] += vertices[size_t(corners[i]) * kVertexFloats + k] / float(count);
    for (uint32_t i = 1; i + 1 < count; ++i) addFanTriangle(corners[0], corners[i], corners[i + 1], n, rgba, centre);
}

void MeshData::addFanTriangle(uint32_t a, uint32_t b, uint32_t c, const Vec3& n, const float rgba[4],
                              const Vec3& centre) {
    indices.insert(indices.end(), {a, b, c});
    const float* first = &vertices[size_t(a) * kVertexFloats];
    flatVertices.insert(flatVertices.end(), {first[0], first[1], first[2], n[0], n[1], n[2], first[6], first[7],
                                             centre[0], centre[1], centre[2], packColour(rgba)});
}

Vec3 MeshData::centre() const {
    if (vertices.empty()) return {0, 0, 0};
    Vec3 lo{vertices[0], vertices[1], vertices[2]}, hi = lo;
    for (size_t i = 0; i < vertices.size(); i += kVertexFloats)
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], vertices[i + k]);
            hi[k] = std::max(hi[k], vertices[i + k]);
        }
    return {(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
}

void MeshData::endGroup(const Material& m, std::shared_ptr<GpuTexture> texture, bool keepEmpty) {
    const uint32_t first = groups.empty() ? 0 : groups.back().firstTriangle + groups.back().triangleCount;
    const uint32_t firstEdge = groups.empty() ? 0 : groups.back().firstEdge + groups.back().edgeCount;
    if (triangleCount() <= first && !keepEmpty) return;
    const uint32_t edgeCount = uint32_t(edges.size() / 2) - firstEdge;
    groups.push_back(Group{first, triangleCount() - first, firstEdge, edgeCount, m, std::move(texture)});
}

// ---------------------------------------------------------------- GPU objects

GpuTexture::GpuTexture(const unsigned char* rgba, int width, int height) : width_(width), height_(height) {
    glGenTextures(1, &id_);
    glBindTexture(GL_TEXTURE_2D, id_);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba);
    glGenerateMipmap(GL_TEXTURE_2D);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
}

GpuTexture::~GpuTexture() { glDeleteTextures(1, &id_); }

GpuMesh::GpuMesh(const MeshData& data) : triangles_(data.triangleCount()), groups_(data.groups) {
    for (const MeshData::Group& g : groups_) hasTranslucent_ = hasTranslucent_ || g.translucent;
    if (hasTranslucent_) centre_ = data.centre();
    glGenBuffers(1, &vbo_);
    glBindBuffer(GL_ARRAY_BUFFER, vbo_);
    const size_t shared = data.vertices.size() * sizeof(float), flat = data.flatVertices.size() * sizeof(float);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(shared + flat), nullptr, GL_STATIC_DRAW);
    if (shared) glBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(shared), data.vertices.data());
    if (flat) glBufferSubData(GL_ARRAY_BUFFER, GLsizeiptr(shared), GLsizeiptr(flat), data.flatVertices.data());

    // Flat triangles start at their own copy of the first corner.
    std::vector<uint32_t> flatIndices(data.indices.size());
    const uint32_t base = data.vertexCount();
    for (uint32_t t = 0; t < triangles_; ++t) {
        flatIndices[t * 3] = base + t;
        flatIndices[t * 3 + 1] = data.indices[t * 3 + 1];
        flatIndices[t * 3 + 2] = data.indices[t * 3 + 2];
    }
    const GLsizei stride = MeshData::kVertexFloats * sizeof(float);
    auto makeVao = [&](unsigned& vao, unsigned& ibo, const std::vector<uint32_t>& indices) {
        glGenVertexArrays(1, &vao);
        glBindVertexArray(vao);
        glBindBuffer(GL_ARRAY_BUFFER, vbo_);
        glEnableVertexAttribArray(0);
        glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, nullptr);
        glEnableVertexAttribArray(1);
        glVertexAttribPointer(1, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(3 * sizeof(float)));
        glEnableVertexAttribArray(2);
        glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(6 * sizeof(float)));
        glEnableVertexAttribArray(3);
        glVertexAttribPointer(3, 3, GL_FLOAT, GL_FALSE, stride, reinterpret_cast<void*>(8 * sizeof(float)));
        glEnableVertexAttribArray(4);
        glVertexAttribPointer(4, 4, GL_UNSIGNED_BYTE, GL_TRUE, stride, reinterpret_cast<void*>(11 * sizeof(float)));
        glGenBuffers(1, &ibo);
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, ibo);
        glBufferData(GL_ELEMENT_ARRAY_BUFFER, GLsizeiptr(indices.size() * sizeof(uint32_t)), indices.data(),
                     GL_STATIC_DRAW);
        glBindVertexArray(0);
    };
    makeVao(vao_, ibo_, data.indices);
    makeVao(flatVao_, flatIbo_, flatIndices);
    makeVao(edgeVao_, edgeIbo_, data.edges);
    hasEdges_ = !data.edges.empty();
}

GpuMesh::~GpuMesh() {
    glDeleteBuffers(1, &edgeIbo_);
    glDeleteVertexArrays(1, &edgeVao_);
    glDeleteBuffers(1, &flatIbo_);
    glDeleteBuffers(1, &ibo_);
    glDeleteBuffers(1, &vbo_);
    glDeleteVertexArrays(1, &flatVao_);
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
    glReadPixels(0, 0, width_, height_, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
    // GL rows run bottom-up; pictures are top-down.
    for (int y = 0; y < height_ / 2; ++y) {
        unsigned char* a = rgba.data() + size_t(y) * row;
        std::swap_ranges(a, a + row, rgba.data() + size_t(height_ - 1 - y) * row);
    }
}

// ---------------------------------------------------------------- shaders

namespace {

constexpr int kMaxLights = 16;
constexpr int kLightVec4s = 4;

const char* kCommon = R"(
#define MAX_LIGHTS 16
uniform vec3 uAmbient;
uniform int uLightCount;
// per light: colour.rgb type | position.xyz range | direction.xyz cosUmbra | c l q cosPenumbra
uniform vec4 uLights[MAX_LIGHTS * 4];
uniform vec3 uEye;
uniform float uPower;

// Corners of a face without area have no direction of their own: light them as if they
// faced the eye rather than let a zero length spoil the sum.
vec3 unitNormal(vec3 n, vec3 P) {
    float l = dot(n, n);
    if (!(l > 1e-20) || isinf(l)) n = uEye - P;
    return normalize(n);
}

void lightAt(vec3 P, vec3 N, out vec3 diff, out vec3 specular) {
    diff = uAmbient;
    specular = vec3(0.0);
#if SIMPLE_LIGHTS
    // Only directional lights and no highlight (the usual scene): far less work per pixel.
    for (int i = 0; i < uLightCount; ++i)
        diff += uLights[i * 4].rgb * max(dot(N, -uLights[i * 4 + 2].xyz), 0.0);
    return;
#endif
    for (int i = 0; i < uLightCount; ++i) {
        vec4 a = uLights[i * 4];
        vec4 b = uLights[i * 4 + 1];
        vec4 c = uLights[i * 4 + 2];
        vec4 d = uLights[i * 4 + 3];
        int type = int(a.w);
        vec3 L;
        float att = 1.0;
        if (type == 0) {
            L = -c.xyz;
        } else {
            vec3 toLight = b.xyz - P;
            float dist = length(toLight);
            if (dist > b.w) continue;
            L = toLight / max(dist, 1e-6);
            float denom = d.x + d.y * dist + d.z * dist * dist;
            att = denom > 1.0 ? 1.0 / denom : 1.0;
            if (type == 2) {
                float cs = dot(-L, c.xyz);
                if (cs < d.w) continue;
                if (cs < c.w) att *= (cs - d.w) / max(c.w - d.w, 1e-6);
            }
        }
        float ndl = dot(N, L);
        if (ndl <= 0.0) continue;
        diff += a.rgb * (ndl * att);
        if (uPower > 0.0) {
            vec3 H = normalize(L + normalize(uEye - P));
            specular += a.rgb * (pow(max(dot(N, H), 0.0), uPower) * att);
        }
    }
}
)";

const char* kVertex = R"(
layout(location = 0) in vec3 aPos;
layout(location = 1) in vec3 aNormal;
layout(location = 2) in vec2 aUv;
layout(location = 3) in vec3 aCentre;
layout(location = 4) in vec4 aColour;
uniform mat4 uWorld;
uniform mat4 uViewProj;
uniform mat3 uNormalMat;
out vec2 vUv;
#if SMOOTH_COLOUR
out vec4 vColour;
#else
flat out vec4 vColour;
#endif
#if LIT && SHADE == 0
flat out vec3 vFaceNormal;
flat out vec3 vFaceCentre;
#endif
#if LIT && SHADE == 1
out vec3 vDiff;
out vec3 vSpec;
#endif
#if LIT && SHADE == 2
out vec3 vPos;
out vec3 vNormal;
#endif
void main() {
    vec4 wp = uWorld * vec4(aPos, 1.0);
    gl_Position = uViewProj * wp;
    vUv = aUv;
    vColour = aColour;
#if LIT && SHADE == 0
    vFaceCentre = (uWorld * vec4(aCentre, 1.0)).xyz;
    vFaceNormal = unitNormal(uNormalMat * aNormal, vFaceCentre);
#endif
#if LIT && SHADE == 1
    lightAt(wp.xyz, unitNormal(uNormalMat * aNormal, wp.xyz), vDiff, vSpec);
#endif
#if LIT && SHADE == 2
    vPos = wp.xyz;
    vNormal = uNormalMat * aNormal;
#endif
}
)";

const char* kFragment = R"(
uniform sampler2D uTex;
uniform vec3 uEmissive;
uniform vec3 uSpecColour;
uniform int uShades;
uniform bool uDither;
in vec2 vUv;
#if SMOOTH_COLOUR
in vec4 vColour;
#else
flat in vec4 vColour;
#endif
#if LIT && SHADE == 0
flat in vec3 vFaceNormal;
flat in vec3 vFaceCentre;
#endif
#if LIT && SHADE == 1
in vec3 vDiff;
in vec3 vSpec;
#endif
#if LIT && SHADE == 2
in vec3 vPos;
in vec3 vNormal;
#endif
out vec4 fragColour;

const float kBayer[16] = float[16](0.0, 8.0, 2.0, 10.0, 12.0, 4.0, 14.0, 6.0,
                                   3.0, 11.0, 1.0, 9.0, 15.0, 7.0, 13.0, 5.0);

float quantise(float x) {
    float n = float(max(uShades, 2) - 1);
    float v = clamp(x, 0.0, 1.0) * n;
    float level;
    if (uDither) {
        ivec2 p = ivec2(gl_FragCoord.xy) & 3;
        level = floor(v + (kBayer[p.y * 4 + p.x] + 0.5) / 16.0);
    } else {
        level = floor(v + 0.5);
    }
    return min(level, n) / n;
}

float luminance(vec3 c) { return dot(c, vec3(0.299, 0.587, 0.114)); }

void main() {
    vec3 base = vColour.rgb;
#if TEXTURED
    base = texture(uTex, vUv).rgb;
#endif
#if !LIT
    fragColour = vec4(base, vColour.a);
#else
    vec3 diff, specular;
#if SHADE == 0
    lightAt(vFaceCentre, vFaceNormal, diff, specular);
#elif SHADE == 1
    diff = vDiff;
    specular = vSpec;
#else
    lightAt(vPos, unitNormal(vNormal, vPos), diff, specular);
#endif
#if RAMP
    // Lights are grey levels here: the red channel carries the intensity.
    float intensity = quantise(diff.r + luminance(uEmissive));
    float highlight = uPower > 0.0 ? quantise(specular.r * luminance(uSpecColour)) : 0.0;
    fragColour = vec4(base * intensity + (vec3(1.0) - base) * highlight, vColour.a);
#else
    fragColour = vec4(clamp(uEmissive + base * diff + specular * uSpecColour, 0.0, 1.0), vColour.a);
#endif
#endif
}
)";

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
          tex = -1, emissive = -1, specColour = -1, shades = -1, dither = -1;
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
}

Renderer::~Renderer() {
    for (auto& p : programs_) glDeleteProgram(p->id);
    glDeleteSamplers(6, samplers_);
}

Renderer::Program& Renderer::program(const Quality& q, bool ramp, bool textured, bool smoothColour, bool simpleLights) {
    const int shade = q.lighting ? int(q.shade) : 0;
    simpleLights = simpleLights && q.lighting;
    const int key = shade | (q.lighting ? 4 : 0) | (ramp ? 8 : 0) | (textured ? 16 : 0) | (smoothColour ? 32 : 0) |
                    (simpleLights ? 64 : 0);
    for (auto& p : programs_)
        if (p->key == key) return *p;
    auto p = std::make_unique<Program>();
    p->key = key;
    const std::string header = "#version 330 core\n#define SHADE " + std::to_string(shade) + "\n#define LIT " +
                               (q.lighting ? "1" : "0") + "\n#define RAMP " + (ramp ? "1" : "0") + "\n#define TEXTURED " +
                               (textured ? "1" : "0") + "\n#define SMOOTH_COLOUR " + (smoothColour ? "1" : "0") +
                               "\n#define SIMPLE_LIGHTS " + (simpleLights ? "1" : "0") + "\n";
    GLuint vs = compile(GL_VERTEX_SHADER, header + kCommon + kVertex);
    GLuint fs = compile(GL_FRAGMENT_SHADER, header + kCommon + kFragment);
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
    p->emissive = loc("uEmissive");
    p->specColour = loc("uSpecColour");
    p->shades = loc("uShades");
    p->dither = loc("uDither");
    glUseProgram(p->id);
    glUniform1i(p->tex, 0);
    programs_.push_back(std::move(p));
    return *programs_.back();
}

void Renderer::begin(const Framebuffer& target, const FrameSetup& setup) {
    setup_ = setup;
    directionalOnly_ = std::all_of(setup.lights.begin(), setup.lights.end(), [](const LightInfo& l) {
        return l.kind == LightKind::Ambient || l.kind == LightKind::Directional || l.kind == LightKind::ParallelPoint;
    });
    viewProjection_ = multiply(setup.view, setup.projection);
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
    const Vec3 origin{world[12], world[13], world[14]};
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
        glBindVertexArray(mesh.vao(false));
        for (size_t gi = 0; gi < mesh.groups().size(); ++gi) {
            // Translucent faces hide nothing behind them.
            if (!wanted(gi) || mesh.groups()[gi].translucent) continue;
            const MeshData::Group& g = mesh.groups()[gi];
            glDrawElements(GL_TRIANGLES, GLsizei(g.triangleCount * 3), GL_UNSIGNED_INT,
                           reinterpret_cast<void*>(size_t(g.firstTriangle) * 3 * sizeof(uint32_t)));
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
        glBindVertexArray(mesh.vao(quality.lighting && quality.shade == ShadeMode::Flat));
    }
    Program* current = nullptr;
    uint32_t drawn = 0;
    for (size_t gi = 0; gi < mesh.groups().size(); ++gi) {
        if (!wanted(gi)) continue;
        const MeshData::Group& g = mesh.groups()[gi];
        const bool textured = g.texture != nullptr;
        // Outlines are lit at their corners (they have no face of their own).
        Quality q = quality;
        if (edges && q.shade == ShadeMode::Flat) q.shade = ShadeMode::Gouraud;
        Program& p = program(q, setup_.ramp, textured, g.vertexColours && q.shade != ShadeMode::Flat,
                             directionalOnly_ && g.material.power <= 0);
        if (&p != current) {
            current = &p;
            glUseProgram(p.id);
            glUniformMatrix4fv(p.world, 1, GL_FALSE, world.data());
            glUniformMatrix4fv(p.viewProj, 1, GL_FALSE, viewProjection_.data());
            glUniformMatrix3fv(p.normalMat, 1, GL_TRUE, normal);
            glUniform1i(p.shades, setup_.shades);
            glUniform1i(p.dither, setup_.dither ? 1 : 0);
            if (quality.lighting) applyLights(p, origin, path);
        }
        if (textured) {
            glActiveTexture(GL_TEXTURE0);
            glBindTexture(GL_TEXTURE_2D, g.texture->id());
            glBindSampler(0, samplers_[std::clamp(int(setup_.filter), 0, 5)]);
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
        if (edges)
            glDrawElements(GL_LINES, GLsizei(g.edgeCount * 2), GL_UNSIGNED_INT,
                           reinterpret_cast<void*>(size_t(g.firstEdge) * 2 * sizeof(uint32_t)));
        else
            glDrawElements(GL_TRIANGLES, GLsizei(g.triangleCount * 3), GL_UNSIGNED_INT,
                           reinterpret_cast<void*>(size_t(g.firstTriangle) * 3 * sizeof(uint32_t)));
        if (g.translucent) {
            glDisable(GL_BLEND);
            glDepthMask(GL_TRUE);
        }
        drawn += g.triangleCount;
    }
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glDepthFunc(GL_LESS);
    glBindVertexArray(0);
    return drawn;
}

void Renderer::end() { glFlush(); }

}  // namespace gl
