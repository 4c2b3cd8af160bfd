// OpenGL 3.3 core drawing of lit, shaded meshes into an off-screen framebuffer.
// Knows nothing of the retained-mode objects: the device backend translates the scene
// into the plain descriptions below. Matrices use the retained-mode convention: row
// vectors, p' = p * M, stored row by row (m[row * 4 + column]).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace gl {

using Matrix4 = std::array<float, 16>;
using Vec3 = std::array<float, 3>;

Matrix4 identityMatrix();
Matrix4 multiply(const Matrix4& a, const Matrix4& b);  // a then b (row vectors)
// Inverse of an affine matrix (last column 0,0,0,1); false when singular.
bool invertAffine(const Matrix4& m, Matrix4& out);
Vec3 transformPoint(const Vec3& p, const Matrix4& m);

enum class ShadeMode : int { Flat = 0, Gouraud = 1, Phong = 2 };
enum class FillMode : int { Points = 0, Wireframe = 1, Solid = 2 };

struct Quality {
    ShadeMode shade = ShadeMode::Flat;
    bool lighting = true;
    FillMode fill = FillMode::Solid;
};

struct Material {
    float power = 0.0f;  // specular exponent; 0 means no highlight
    Vec3 specular{0, 0, 0};
    Vec3 emissive{0, 0, 0};
    bool operator==(const Material&) const = default;
};

class GpuTexture;

// One mesh as the GPU takes it. Corners are shared between triangles (a corner's colour
// is its face's, so faces of different colours do not share). Flat shading needs one
// normal per face: each triangle also gets a copy of its first corner that carries the
// face normal and centre, and the flat index list starts every triangle there, so
// that the first (provoking) vertex hands the face's values to the whole triangle.
struct MeshData {
    // position xyz, normal xyz, u, v, face centre xyz, colour (RGBA8 in the float's bits)
    static constexpr int kVertexFloats = 12;
    std::vector<float> vertices;
    std::vector<float> flatVertices;  // one per triangle
    std::vector<uint32_t> indices;    // three per triangle, into vertices
    std::vector<uint32_t> edges;      // two per polygon edge (wireframe draws these)
    struct Group {
        uint32_t firstTriangle = 0;
        uint32_t triangleCount = 0;
        uint32_t firstEdge = 0;
        uint32_t edgeCount = 0;
        Material material;
        std::shared_ptr<GpuTexture> texture;  // null: untextured
        // Corners carry their own colours, blended across the face when shading is
        // smooth (flat faces take their first corner's).
        bool vertexColours = false;
        // Colours with alpha below 1: blended over what is behind, writing no depth.
        bool translucent = false;
    };
    std::vector<Group> groups;

    // Centre of the positions' box: where translucent meshes are sorted by distance.
    Vec3 centre() const;
    uint32_t vertexCount() const { return uint32_t(vertices.size() / kVertexFloats); }
    uint32_t triangleCount() const { return uint32_t(indices.size() / 3); }
    // Appends a corner and returns its index.
    uint32_t addVertex(const Vec3& p, const Vec3& n, float u, float v, const float rgba[4]);
    // Appends a triangle (clockwise as seen from the front) of the face with this normal
    // and colour.
    void addTriangle(uint32_t a, uint32_t b, uint32_t c, const Vec3& faceNormal, const float rgba[4]);
    // Appends a convex polygon as a fan of triangles. Flat shading lights the whole
    // polygon at its centre, so the triangles of one face never show a seam.
    void addPolygon(const uint32_t* corners, uint32_t count, const Vec3& faceNormal, const float rgba[4]);
    // An outline edge of a polygon (not the diagonals that split it into triangles).
    void addEdge(uint32_t a, uint32_t b) { edges.insert(edges.end(), {a, b}); }
    // Closes the current group at the current triangle and edge counts; an empty group
    // is dropped unless keepEmpty.
    void endGroup(const Material& m, std::shared_ptr<GpuTexture> texture, bool keepEmpty = false);

private:
    void addFanTriangle(uint32_t a, uint32_t b, uint32_t c, const Vec3& faceNormal, const float rgba[4],
                        const Vec3& centre);
};

// RGBA8 image, rows top-down; texture coordinate (0,0) is the top-left corner.
class GpuTexture {
public:
    GpuTexture(const unsigned char* rgba, int width, int height);
    ~GpuTexture();
    GpuTexture(const GpuTexture&) = delete;
    GpuTexture& operator=(const GpuTexture&) = delete;
    unsigned id() const { return id_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    unsigned id_ = 0;
    int width_ = 0, height_ = 0;
};

class GpuMesh {
public:
    explicit GpuMesh(const MeshData& data);
    ~GpuMesh();
    GpuMesh(const GpuMesh&) = delete;
    GpuMesh& operator=(const GpuMesh&) = delete;
    uint32_t triangleCount() const { return triangles_; }
    const std::vector<MeshData::Group>& groups() const { return groups_; }
    unsigned vao(bool flat) const { return flat ? flatVao_ : vao_; }
    unsigned edgeVao() const { return edgeVao_; }
    bool hasEdges() const { return hasEdges_; }
    bool hasTranslucent() const { return hasTranslucent_; }
    const Vec3& centre() const { return centre_; }

private:
    unsigned vao_ = 0, flatVao_ = 0, edgeVao_ = 0, vbo_ = 0, ibo_ = 0, flatIbo_ = 0, edgeIbo_ = 0;
    bool hasEdges_ = false;
    bool hasTranslucent_ = false;
    Vec3 centre_{0, 0, 0};
    uint32_t triangles_ = 0;
    std::vector<MeshData::Group> groups_;
};

enum class LightKind : int { Ambient, Directional, Point, Spot, ParallelPoint };

struct LightInfo {
    LightKind kind = LightKind::Directional;
    Vec3 colour{1, 1, 1};
    Vec3 position{0, 0, 0};   // world
    Vec3 direction{0, 0, 1};  // world, the light frame's +z
    float constant = 1.0f, linear = 0.0f, quadratic = 0.0f;
    float range = 256.0f;
    // Lights only what is drawn under this object (see Renderer::draw); null: everything.
    const void* scope = nullptr;
    float umbra = 0.4f, penumbra = 0.5f;  // full cone angles, radians
};

enum class TextureFilter : int { Nearest = 0, Linear, MipNearest, MipLinear, LinearMipNearest, LinearMipLinear };

struct FrameSetup {
    int deviceWidth = 0, deviceHeight = 0;
    int x = 0, y = 0, width = 0, height = 0;  // viewport, from the device's top-left
    Matrix4 view = identityMatrix();          // world -> camera
    Matrix4 projection = identityMatrix();    // camera -> clip (row vectors)
    Vec3 eye{0, 0, 0};                        // camera position, world
    std::vector<LightInfo> lights;
    bool ramp = false;
    int shades = 32;
    bool dither = true;
    TextureFilter filter = TextureFilter::Nearest;
};

// Perspective projection of the viewport: field is the half-extent of the view at
// distance 1 across the larger viewport dimension; depth 0 at front, 1 at back.
Matrix4 perspectiveProjection(int width, int height, float field, float front, float back);

// The device's picture: colour and depth of a fixed size.
class Framebuffer {
public:
    Framebuffer(int width, int height);
    ~Framebuffer();
    Framebuffer(const Framebuffer&) = delete;
    Framebuffer& operator=(const Framebuffer&) = delete;
    bool valid() const { return valid_; }
    int width() const { return width_; }
    int height() const { return height_; }
    void bind() const;
    // Clears the rectangle (top-left origin) to the colour and the far depth.
    void clear(int x, int y, int w, int h, float r, float g, float b);
    // Reads the whole picture as RGBA8, rows top-down.
    void read(std::vector<unsigned char>& rgba) const;

private:
    unsigned fbo_ = 0, colour_ = 0, depth_ = 0;
    int width_ = 0, height_ = 0;
    bool valid_ = false;
};

class Renderer {
public:
    Renderer();
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Starts drawing a viewport into the framebuffer (bound by this call).
    void begin(const Framebuffer& target, const FrameSetup& setup);
    // Draws a mesh placed by its world matrix (only one of its groups when group >= 0, and
    // only the opaque or translucent ones when asked); returns the triangles submitted.
    // Translucent groups blend and write no depth: draw them after everything opaque.
    // Lights with a scope light the mesh only when their scope is among `path` (the
    // frames it is drawn under).
    enum class Groups { All, Opaque, Translucent };
    uint32_t draw(const GpuMesh& mesh, const Matrix4& world, const Quality& quality, int group = -1,
                  std::span<const void* const> path = {}, Groups which = Groups::All);
    void end();

private:
    struct Program;
    Program& program(const Quality& q, bool ramp, bool textured, bool smoothColour = false, bool simpleLights = false);
    void applyLights(Program& p, const Vec3& objectOrigin, std::span<const void* const> path);

    std::vector<std::unique_ptr<Program>> programs_;
    FrameSetup setup_;
    Matrix4 viewProjection_ = identityMatrix();
    bool directionalOnly_ = false;  // this frame's lights need no position
    unsigned samplers_[6] = {};
    std::vector<float> lightData_;  // scratch, reused every draw
};

}  // namespace gl
