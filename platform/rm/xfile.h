// Reading `.x` model files (text, binary and compressed; float size 32 or 64) into
// plain structures. No retained-mode objects here: the mesh builder, frame and animation
// set loaders build their objects from what this returns.
//
// Guarantees on a successful parse (the loaders rely on them, so they never need to
// range-check again):
//  - every face has at least 3 vertex indices, each < vertices.size();
//    faces whose indices fall outside the vertex list are dropped with a warning, and
//    the face-aligned arrays (faceNormals, faceMaterials) are kept aligned with the
//    remaining faces;
//  - faceNormals is empty or has one entry per face, each with the same count as the
//    face and every index < normals.size();
//  - textureCoords is empty or has one entry per vertex; vertexColors likewise;
//  - faceMaterials is empty or has one entry per face, each < materials.size();
//  - skinWeights: every vertex index < vertices.size(), every weight finite and > 0,
//    and the weights of each vertex that has any sum to 1; at most one entry per
//    vertex and at most as many bones as vertices;
//  - references `{name}` to meshes, frames and materials are resolved (the referenced
//    object is copied in); an Animation's frame reference is kept by name (frameName).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace xfile {

// Variable-length index lists stored flat: list i is
// indices[offsets[i] .. offsets[i + 1]). Far smaller than a vector per face for
// meshes of a million faces.
struct IndexLists {
    std::vector<uint32_t> indices;
    std::vector<uint32_t> offsets{0};  // always size() + 1 entries

    size_t size() const { return offsets.size() - 1; }
    bool empty() const { return size() == 0; }
    std::span<const uint32_t> operator[](size_t i) const {
        return {indices.data() + offsets[i], indices.data() + offsets[i + 1]};
    }
    size_t count(size_t i) const { return offsets[i + 1] - offsets[i]; }
    void add(std::span<const uint32_t> list) {
        indices.insert(indices.end(), list.begin(), list.end());
        offsets.push_back(static_cast<uint32_t>(indices.size()));
    }
    void clear() {
        indices.clear();
        offsets.assign(1, 0);
    }
};

struct Material {
    std::string name;
    std::array<float, 4> faceColor{1, 1, 1, 1};  // r, g, b, a
    float power = 0;
    std::array<float, 3> specular{0, 0, 0};
    std::array<float, 3> emissive{0, 0, 0};
    std::string textureFilename;  // as written in the file (may hold backslashes); empty: none
};

// One bone of a skinned mesh: the vertices it moves and how much.
struct SkinWeights {
    std::string boneName;  // the frame that moves these vertices
    std::vector<uint32_t> vertices;
    std::vector<float> weights;  // one per entry of vertices
    // Mesh space -> the bone's own space when the mesh was bound (row-major, row vectors).
    std::array<float, 16> offset{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
};

struct Mesh {
    std::string name;
    std::vector<std::array<float, 3>> vertices;
    IndexLists faces;
    std::vector<std::array<float, 3>> normals;
    IndexLists faceNormals;                           // empty, or one list per face
    std::vector<std::array<float, 2>> textureCoords;  // empty, or one per vertex (u, v)
    std::vector<std::array<float, 4>> vertexColors;   // empty, or one per vertex (r, g, b, a)
    std::vector<Material> materials;
    std::vector<uint32_t> faceMaterials;  // empty (white), or one per face
    std::vector<SkinWeights> skinWeights;  // empty: not skinned
};

struct Frame {
    std::string name;
    // Local transform, row-major, row vectors (v' = v x M; translation in elements
    // 12, 13, 14). Identity when the file has no FrameTransformMatrix.
    std::array<float, 16> transform{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    std::vector<Mesh> meshes;
    std::vector<Frame> children;
};

struct AnimationKey {
    enum Type : uint32_t { Rotation = 0, Scale = 1, Position = 2, Matrix = 3, MatrixAlt = 4 };
    // 0: rotation quaternion (w, x, y, z), 1: scale (x, y, z), 2: position (x, y, z),
    // 3 or 4: 4x4 matrix (16 values, row-major). Each entry of values has exactly the
    // count its type needs; times has the same size as values.
    uint32_t keyType = 0;
    std::vector<uint32_t> times;
    std::vector<std::vector<float>> values;
};

struct Animation {
    std::string name;
    std::string frameName;  // the animated frame, by name (may be empty)
    std::vector<AnimationKey> keys;
    bool closed = true;   // no AnimationOptions: closed (loops)
    bool spline = false;  // position keys: linear unless AnimationOptions asks for spline
};

struct AnimationSet {
    std::string name;
    std::vector<Animation> animations;
};

enum class Format { Text, Binary, CompressedText, CompressedBinary };

struct File {
    Format format = Format::Text;
    int floatSize = 32;                    // 32 or 64
    std::vector<Mesh> meshes;              // top-level meshes, in file order
    std::vector<Frame> frames;             // top-level frames, in file order
    std::vector<Material> materials;       // top-level materials, in file order
    // In file order. Animations written outside any AnimationSet are gathered into
    // one unnamed set placed where the first of them appears.
    std::vector<AnimationSet> animationSets;
    std::vector<std::string> warnings;     // what was dropped or repaired, for people
};

enum class Status { Ok, FileNotFound, BadFile };

struct Options {
    // Also write each warning to standard error ("x file: ..." lines).
    bool warningsToStderr = true;
};

// Parses a whole file held in memory. On failure `out` is left empty (apart from
// warnings) and *error (when given) says why, with a byte offset where one is known.
Status parse(std::span<const uint8_t> bytes, File& out, std::string* error = nullptr,
             const Options& options = {});

// Reads and parses a file. FileNotFound when it cannot be opened.
Status loadFile(const std::string& path, File& out, std::string* error = nullptr,
                const Options& options = {});

}  // namespace xfile
