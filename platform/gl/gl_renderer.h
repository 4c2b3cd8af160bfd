// OpenGL 3.3 core drawing of lit, shaded meshes into an off-screen framebuffer.
// Knows nothing of the retained-mode objects: the device backend translates the scene
// into the plain descriptions below. Matrices use the retained-mode convention: row
// vectors, p' = p * M, stored row by row (m[row * 4 + column]).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
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

// A mesh described on the CPU side, for meshes made by hand (tests, small helpers); a
// GpuMesh takes it in one upload. Big meshes are written into a GpuMesh directly.
struct MeshData {
    struct Vertex {
        Vec3 position{0, 0, 0};
        Vec3 normal{0, 0, 0};
        float u = 0, v = 0;
        uint32_t colour = 0xffffffffu;  // RGBA8, red in the lowest byte
    };
    // A convex polygon, clockwise as seen from the front.
    struct Polygon {
        uint32_t firstCorner = 0;  // into corners
        uint32_t cornerCount = 0;
        Vec3 normal{0, 0, 0};  // what flat shading lights the whole polygon with
    };
    struct Group {
        uint32_t firstPolygon = 0;
        uint32_t polygonCount = 0;
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
    std::vector<Vertex> vertices;
    std::vector<uint32_t> corners;
    std::vector<Polygon> polygons;
    std::vector<uint32_t> edges;  // two per outline edge (wireframe draws these)
    std::vector<Group> groups;

    uint32_t vertexCount() const { return uint32_t(vertices.size()); }
    // Appends a corner and returns its index.
    uint32_t addVertex(const Vec3& p, const Vec3& n, float u, float v, const float rgba[4]);
    // Appends a triangle or a convex polygon with this face normal. Flat shading lights
    // the whole polygon at its centre, so the triangles of one face never show a seam;
    // its colour is that of its first corner.
    void addTriangle(uint32_t a, uint32_t b, uint32_t c, const Vec3& faceNormal);
    void addPolygon(const uint32_t* corners, uint32_t count, const Vec3& faceNormal);
    // An outline edge of a polygon (not the diagonals that split it into triangles).
    void addEdge(uint32_t a, uint32_t b) { edges.insert(edges.end(), {a, b}); }
    // Closes the current group at the current polygon and edge counts; an empty group is
    // dropped unless keepEmpty.
    void endGroup(const Material& m, std::shared_ptr<GpuTexture> texture, bool keepEmpty = false);
};

// RGBA8 colour with red in the lowest byte, as vertices carry it.
uint32_t packColour(const float rgba[4]);
// A direction as three signed 10-bit integers (GL_INT_2_10_10_10_REV, read unnormalised:
// the shaders normalise). Zero and non-finite vectors stay zero, which the shaders light
// as facing the eye.
uint32_t packNormal(const Vec3& n);

// RGBA8 image, rows top-down; texture coordinate (0,0) is the top-left corner. A picture
// wider or taller than 4096 texels is held box-filtered down by a whole factor to fit;
// width() and height() are what the GPU holds.
class GpuTexture {
public:
    GpuTexture(const unsigned char* rgba, int width, int height);
    ~GpuTexture();
    GpuTexture(const GpuTexture&) = delete;
    GpuTexture& operator=(const GpuTexture&) = delete;
    unsigned id() const { return id_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // What its alpha holds: all opaque; only fully opaque and fully transparent texels (a
    // cut-out: drawn with the opaque faces, its holes left out); or partly transparent
    // texels (drawn with the translucent faces, blended).
    enum class Alpha { Opaque, Cutout, Translucent };
    Alpha alpha() const { return alpha_; }

private:
    unsigned id_ = 0;
    int width_ = 0, height_ = 0;
    Alpha alpha_ = Alpha::Opaque;
};

// One mesh on the GPU, in as few bytes as the drawing allows:
//  - vertices (corners shared by the triangles that really share them): position, normal
//    packed 10:10:10:2 and colour as bytes, 20 bytes each (16 without the normal, which
//    flat shading never reads); texture coordinates, when the mesh has any, in a block of
//    their own after them;
//  - triangles, three indices each: the fans of the polygons, first corner first;
//  - only when asked for: records of the polygons' centres and face normals, which flat
//    shading needs under lights that are not all directional, with highlights, or for
//    points (otherwise it takes the face normal from the triangle's own plane): one a
//    triangle, or, in a group whose polygons all have 2^s triangles, one a polygon; or
//    none for triangles and quadrilaterals, whose centres and normals the GPU may work out
//    from their corners (see Group::derivedRecords);
//  - only when asked for: outline edges, for wireframe;
//  - a mesh made only for flat shading may leave its vertices' normals out (it shares
//    corners by position, colour and texture coordinates alone);
//  - on the CPU side, the bounds of each run of a few hundred triangles (a cluster): its
//    sphere and the cone of its faces' normals, so that a frame skips the clusters that
//    lie outside the view or face away from the eye.
// Made with its final sizes, the buffers are written in place (no copy on the CPU side)
// until finish(); drawing needs a finished mesh.
class GpuMesh {
public:
    struct Sizes {
        uint32_t vertices = 0;
        uint32_t triangles = 0;  // the sum of (corners - 2) over the polygons
        uint32_t edges = 0;      // 0: no outlines
        bool texCoords = false;
        uint32_t records = 0;  // flat records (0: none)
        bool normals = true;   // false: the vertices' normals are left out (flat shading only)
        // Triangles and quadrilaterals take no record: flat records are worked out from
        // their corners (cornersReadable must hold).
        bool cornerRecords = false;
    };
    struct Group {
        uint32_t firstTriangle = 0;
        uint32_t triangleCount = 0;
        uint32_t firstEdge = 0;
        uint32_t edgeCount = 0;
        uint32_t firstCluster = 0;
        uint32_t clusterCount = 0;
        // Triangle t of the group (from 0) reads record firstRecord + (t >> recordShift).
        uint32_t firstRecord = 0;
        uint32_t recordShift = 0;
        // 3 or 4: the group's polygons are all triangles, or all quadrilaterals, and have no
        // records; a frame works out each one's centre and packed face normal from its
        // corners as the mesh's maker does, to the bit (the first triangle's corners, then
        // the second's last).
        uint32_t derivedRecords = 0;
        Material material;
        std::shared_ptr<GpuTexture> texture;
        bool vertexColours = false;
        bool translucent = false;
    };
    // Consecutive triangles of one group, in the mesh's own space.
    struct Cluster {
        uint32_t firstTriangle = 0;
        uint32_t triangleCount = 0;
        Vec3 centre{0, 0, 0};
        float radius = 0;
        // Every face normal (front side) is within the cone's angle of its axis; a cosine
        // of -2 means no cone (the faces point too many ways).
        Vec3 axis{0, 0, 1};
        float cosAngle = -2, sinAngle = 0;
    };
    static constexpr uint32_t kClusterTriangles = 256;

    explicit GpuMesh(const MeshData& data);
    explicit GpuMesh(const Sizes& sizes);
    ~GpuMesh();
    GpuMesh(const GpuMesh&) = delete;
    GpuMesh& operator=(const GpuMesh&) = delete;

    // Writing, before finish(). Writes beyond the sizes given are ignored.
    void setVertex(uint32_t index, const Vec3& p, const Vec3& n, float u, float v, uint32_t colour);
    // The box of vertices written by another thread (writeVertex), joined to the mesh's
    // afterwards (widenBox) as if setVertex had written them after those before.
    struct Box {
        Vec3 lo{kFar, kFar, kFar}, hi{-kFar, -kFar, -kFar};
        bool any = false;
        static constexpr float kFar = std::numeric_limits<float>::infinity();
    };
    void writeVertex(uint32_t index, const Vec3& p, const Vec3& n, float u, float v, uint32_t colour, Box& box) const;
    void widenBox(const Box& box);
    // Appends a convex polygon (clockwise corners, at these points) with its face normal and
    // centre. With recordShift s > 0 the polygon has 2^s triangles, which share one record;
    // every polygon of a group gives the same s.
    void addPolygon(const uint32_t* corners, const Vec3* points, uint32_t count, const Vec3& normal,
                    const Vec3& centre, uint32_t recordShift = 0);
    void addEdge(uint32_t a, uint32_t b);
    // Closes the group of the polygons and edges added since the last one; an empty
    // group is dropped unless keepEmpty.
    void endGroup(const Material& m, std::shared_ptr<GpuTexture> texture, bool vertexColours, bool translucent,
                  bool keepEmpty = false);

    // Polygons written by several threads at once. Each part fills its own stretch of the
    // triangles, records and edges, from the places it starts at, and closes its own
    // clusters; takePart() then joins the parts to the mesh, in order. A part starts where
    // a cluster starts: at a group's first triangle or a whole number of clusters after it.
    struct Part {
        struct GroupEnd {
            uint32_t tag, triangle, edge, recordShift, derivedRecords;
            size_t clusters;
        };
        uint32_t triangle = 0, record = 0, edge = 0;  // where the next ones go
        uint32_t recordShift = 0, derivedRecords = 0;  // of the group being filled
        // The cluster being filled: its box and its faces' unit normals.
        Vec3 clusterLo{0, 0, 0}, clusterHi{0, 0, 0};
        std::vector<Vec3> clusterNormals;
        std::vector<Cluster> clusters;
        std::vector<GroupEnd> groupEnds;
    };
    // As the calls above, on a part; the normal comes packed (packNormal) and a group's
    // end is marked with the caller's tag.
    void addPolygon(Part& part, const uint32_t* corners, const Vec3* points, uint32_t count, uint32_t packedNormal,
                    const Vec3& centre, uint32_t recordShift = 0) const;
    void addEdge(Part& part, uint32_t a, uint32_t b) const;
    static void endGroup(Part& part, uint32_t tag);
    // Joins a part after the polygons taken so far, calling endGroup(tag) where each of
    // its groups ends (which then closes that group with one of the calls above).
    void takePart(Part& part, const std::function<void(uint32_t tag)>& endGroup);
    // Hands the written buffers to the driver.
    void finish();

    const Sizes& sizes() const { return sizes_; }
    uint32_t triangleCount() const { return current_.triangle; }
    const std::vector<Group>& groups() const { return groups_; }
    const std::vector<Cluster>& clusters() const { return clusters_; }
    unsigned vao() const { return vao_; }
    unsigned edgeVao() const { return edgeVao_; }
    // The vertex and triangle buffers (positions first in each vertex, three indices a
    // triangle), which a frame may read back to leave out triangles too small to show.
    unsigned vertexBuffer() const { return vbo_; }
    size_t vertexStride() const { return sizes_.normals ? 20 : 16; }
    // Whether vertexTexture() holds a vertex a texel (four floats), or a float a texel.
    bool vertexIsTexel() const { return !sizes_.normals; }
    unsigned indexBuffer() const { return ibo_; }
    unsigned recordTexture() const { return recordTexture_; }
    // For the groups of derived records: the triangles' indices, and the vertices (one a
    // texel of four floats where a vertex is 16 bytes, else as floats).
    unsigned indexTexture() const { return indexTexture_; }
    unsigned vertexTexture() const { return vertexTexture_; }
    // Whether a mesh this big can have its corners read that way (the driver's largest
    // buffer texture holds its indices and vertices).
    static bool cornersReadable(uint64_t vertices, uint64_t triangles);
    // Whether a polygon of this many corners has its record worked out from its corners in
    // a mesh made with cornerRecords.
    static bool recordFromCorners(uint32_t corners) { return corners == 3 || corners == 4; }
    bool hasEdges() const { return current_.edge > 0; }
    bool hasRecords() const { return recordTexture_ != 0 || indexTexture_ != 0; }
    bool hasNormals() const { return sizes_.normals; }
    bool hasTranslucent() const { return hasTranslucent_; }
    // Centre of the positions' box: where translucent meshes are sorted by distance.
    Vec3 centre() const;
    // Bytes of GPU memory the mesh holds.
    size_t byteSize() const;
    // Different for every mesh made in the process.
    uint64_t serial() const { return serial_; }

private:
    struct Mapped;
    Sizes sizes_;
    uint64_t serial_;
    unsigned vao_ = 0, edgeVao_ = 0, vbo_ = 0, ibo_ = 0, edgeIbo_ = 0, recordBuffer_ = 0, recordTexture_ = 0;
    unsigned indexTexture_ = 0, vertexTexture_ = 0;
    std::unique_ptr<Mapped> mapped_;  // while writing
    Part current_;                    // what the calls without a part fill
    bool hasTranslucent_ = false;
    Vec3 lo_{0, 0, 0}, hi_{0, 0, 0};
    bool anyVertex_ = false;
    std::vector<Group> groups_;
    std::vector<Cluster> clusters_;
    // Writes one vertex's bytes; false where the mesh is finished or holds no such vertex.
    bool write(uint32_t index, const Vec3& p, const Vec3& n, float u, float v, uint32_t colour) const;
    static void closeCluster(Part& part);
    void takeClusters(const Part& part, size_t begin, size_t end);
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
    // One byte a pixel, rows top-down: 1 where the last drawing left a depth nearer than
    // the back (something opaque, or an outline, is there), 0 where it shows the clear.
    void readCovered(std::vector<unsigned char>& covered) const;

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
    // Whether triangles that cover no pixel's centre may be left out (they draw nothing:
    // the pictures are the same either way; by default only on software rasterisers), and
    // how many were since the renderer was made.
    void leaveOutTrianglesThatDrawNothing(bool leave) { leaveOut_ = leave; }
    uint64_t trianglesLeftOut() const { return leftOut_; }
    // Whether drawing faces of this material this way in the frame begun needs their
    // mesh's flat records (see GpuMesh): without them, such faces are lit as if the lights
    // were all directional and gave no highlight.
    bool needsRecords(const Quality& quality, const Material& material) const;

private:
    static bool needsRecords(const Quality& quality, bool simpleLights);
    struct Program;
    // What a frame can skip of a mesh: its clusters outside the clip volume, and (in a
    // perspective view) those that face away from the eye as a whole.
    struct Culling {
        bool frustum = false, cone = false;
        float planes[6][4] = {};  // mesh space, unit normals pointing inwards
        Vec3 eye{0, 0, 0};        // mesh space
        float facing = 1;         // -1 when the placement and view mirror the faces
        double clip[16] = {};     // mesh space -> clip space (row vectors), for the pixel test
        Matrix4 world = identityMatrix();
    };
    Culling cullingFor(const Matrix4& world) const;
    static bool visible(const GpuMesh::Cluster& cluster, const Culling& culling);
    // Draws the group's clusters that may show (with the program's primitive numbering
    // when it reads records); returns how many triangles that was. With mayLeaveOut (solid
    // fill), triangles of dense clusters that cover no pixel's centre are left out: they
    // would draw nothing.
    uint32_t drawTriangles(const GpuMesh& mesh, const GpuMesh::Group& group, const Culling& culling,
                           const Program* program, bool mayLeaveOut = false);
    // The clusters' triangles that may cover a pixel's centre, drawn from a stream buffer of
    // their own; false (nothing drawn) where too few clusters are dense enough to pay. For a
    // program that reads records (`numbered`), each kept triangle's number in its group goes
    // with it, so that it finds its record.
    bool drawCoveringTriangles(const GpuMesh& mesh, const GpuMesh::Group& group, const Culling& culling,
                               const Program* numbered);
    // Hands what was given so far to the driver, and waits while it is more than a few
    // batches behind, so that a software driver does not queue a whole frame's bins.
    void flushBatch();
    Program& program(const Quality& q, bool ramp, bool textured, bool smoothColour = false, bool simpleLights = false,
                     bool records = false, uint32_t derivedRecords = 0, bool vertexTexels = false);
    void applyLights(Program& p, const Vec3& objectOrigin, std::span<const void* const> path);

    std::vector<std::unique_ptr<Program>> programs_;
    FrameSetup setup_;
    Matrix4 viewProjection_ = identityMatrix();
    bool directionalOnly_ = false;  // this frame's lights need no position
    float frontSign_ = -1.0f;
    float viewDeterminant_ = 1.0f;  // of the frame's view, for every mesh's culling
    unsigned samplers_[6] = {};
    std::vector<float> lightData_;  // scratch, reused every draw
    // Triangles handed to the driver between flushes: enough to keep a software driver's
    // threads busy, or, where it draws on the calling thread (each batch as it is flushed),
    // few, which keeps its bins small at no cost.
    uint32_t trianglesPerFlush_ = 16384;
    std::vector<int> counts_;       // scratch of drawTriangles
    std::vector<const void*> offsets_;
    // Scratch of drawCoveringTriangles: the clusters to draw (with the margins of their
    // pixel test, negative for a cluster drawn whole), and the indices of the triangles kept
    // by each part of the test.
    struct PlannedCluster {
        uint32_t cluster;
        float marginX, marginY;
        uint32_t keptFirst = 0, keptEnd = 0;  // its triangles kept, in its part's list
    };
    std::vector<PlannedCluster> plan_;
    bool leaveOut_ = false;
    uint64_t leftOut_ = 0;
    std::vector<std::vector<uint32_t>> keptParts_;
    std::vector<std::vector<uint32_t>> keptNumbers_;  // of each part: the kept triangles' numbers
    // The window coordinates of the last mesh tested, in 1/4096 pixel, two a vertex, and
    // for which frame, mesh and placement they are.
    std::vector<int32_t> projected_;
    uint64_t projectedMesh_ = 0;
    unsigned long frame_ = 0, projectedFrame_ = 0;
    double projectedClip_[16] = {};
    unsigned streamBuffer_ = 0;       // indices of the triangles kept
    unsigned numberBuffer_ = 0, numberTexture_ = 0;  // their numbers in the group, for records
    std::vector<void*> fences_;       // batches handed over and not known to be drawn
};

}  // namespace gl
