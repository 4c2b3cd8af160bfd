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
//  - references `{name}` or `{<GUID>}` to meshes, frames and materials resolve to the
//    object of that name (or GUID) wherever the file defines it, before or after the
//    reference; the object is shared, not copied (see SharedList). An Animation's frame
//    reference is kept by name (frameName);
//  - the frames reached through references stay within the file's cost account (File::cost,
//    platform/rm/cost_account.h): a file whose references would make loaders build more is
//    refused (BadFile) before anything is built.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/rm/cost_account.h"

namespace xfile {

// Frames deeper than this, literally or through references, are not built.
constexpr int kMaxFrameDepth = 200;

using Guid = std::array<uint8_t, 16>;  // in the binary format's byte order

// A list of objects that may also appear in other lists: an object a file references by
// name in several places is held once. Reads like a std::vector<T>; copying the list
// shares its objects.
template <class T>
class SharedList {
    using Items = std::vector<std::shared_ptr<T>>;

    template <class Base, class Value>
    class Iter {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = Value*;
        using reference = Value&;
        Iter() = default;
        explicit Iter(Base it) : it_(it) {}
        reference operator*() const { return **it_; }
        pointer operator->() const { return it_->get(); }
        reference operator[](difference_type n) const { return *it_[n]; }
        Iter& operator++() { ++it_; return *this; }
        Iter operator++(int) { return Iter(it_++); }
        Iter& operator--() { --it_; return *this; }
        Iter operator--(int) { return Iter(it_--); }
        Iter& operator+=(difference_type n) { it_ += n; return *this; }
        Iter& operator-=(difference_type n) { it_ -= n; return *this; }
        Iter operator+(difference_type n) const { return Iter(it_ + n); }
        friend Iter operator+(difference_type n, Iter i) { return i + n; }
        Iter operator-(difference_type n) const { return Iter(it_ - n); }
        difference_type operator-(const Iter& o) const { return it_ - o.it_; }
        auto operator<=>(const Iter&) const = default;

    private:
        Base it_{};
    };

public:
    using value_type = T;
    using iterator = Iter<typename Items::iterator, T>;
    using const_iterator = Iter<typename Items::const_iterator, const T>;

    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    T& operator[](size_t i) { return *items_[i]; }
    const T& operator[](size_t i) const { return *items_[i]; }
    T& at(size_t i) { return *items_.at(i); }
    const T& at(size_t i) const { return *items_.at(i); }
    T& front() { return *items_.front(); }
    const T& front() const { return *items_.front(); }
    T& back() { return *items_.back(); }
    const T& back() const { return *items_.back(); }
    iterator begin() { return iterator(items_.begin()); }
    iterator end() { return iterator(items_.end()); }
    const_iterator begin() const { return const_iterator(items_.begin()); }
    const_iterator end() const { return const_iterator(items_.end()); }

    void push_back(T value) { items_.push_back(std::make_shared<T>(std::move(value))); }
    void push_back(std::shared_ptr<T> shared) { items_.push_back(std::move(shared)); }
    template <class... Args>
    T& emplace_back(Args&&... args) {
        return *items_.emplace_back(std::make_shared<T>(std::forward<Args>(args)...));
    }
    void clear() { items_.clear(); }
    void reserve(size_t n) { items_.reserve(n); }

    // The object itself, for sharing it in another list; set() puts a shared one in place.
    const std::shared_ptr<T>& shared(size_t i) const { return items_[i]; }
    void set(size_t i, std::shared_ptr<T> shared) { items_[i] = std::move(shared); }

private:
    Items items_;
};

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
    SharedList<Material> materials;
    std::vector<uint32_t> faceMaterials;  // empty (white), or one per face
    std::vector<SkinWeights> skinWeights;  // empty: not skinned
};

struct Frame {
    std::string name;
    // Local transform, row-major, row vectors (v' = v x M; translation in elements
    // 12, 13, 14). Identity when the file has no FrameTransformMatrix.
    std::array<float, 16> transform{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    // Own and referenced objects, in file order. A referenced frame or mesh is the same
    // object wherever it is referenced (and where it is defined), so this is a graph
    // rather than a tree: walk it with placeFrames, which follows the loaders' rules.
    SharedList<Mesh> meshes;
    SharedList<Frame> children;
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
    std::optional<Guid> frameGuid;  // when the reference gave one
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
    SharedList<Mesh> meshes;               // top-level meshes, in file order
    SharedList<Frame> frames;              // top-level frames, in file order
    SharedList<Material> materials;        // top-level materials, in file order
    // In file order. Animations written outside any AnimationSet are gathered into
    // one unnamed set placed where the first of them appears.
    std::vector<AnimationSet> animationSets;
    // The top-level AnimTicksPerSecond: key time units a second; 0 when none is declared.
    uint32_t ticksPerSecond = 0;
    std::vector<std::string> warnings;     // what was dropped or repaired, for people
    // What reading the file cost, with what it literally holds allowed for (frames, mesh
    // placements, vertices and face corners). A load goes on charging a copy of it for what
    // it builds.
    rm::CostAccount cost;
};

// Why a frame is not placed where a reference puts it. (References that would place a
// frame inside itself are dropped by the reader, so frames form no cycle.)
enum class Cut { Depth };

// Visits the frames a loader builds from `root` (placed at depth 1), parents before
// children: every path through references places the frame it reaches once more. Frames
// deeper than kMaxFrameDepth are not placed; `cut` hears of each such skip. `enter` or
// `cut` returns false to stop the walk (placeFrames then returns false).
//   bool enter(const Frame&, int depth);  void leave(const Frame&);  bool cut(Cut);
template <class Visitor>
bool placeFrames(const Frame& root, Visitor& visitor, int depth = 1) {
    if (!visitor.enter(root, depth)) return false;
    if (!root.children.empty() && depth >= kMaxFrameDepth) {
        if (!visitor.cut(Cut::Depth)) return false;
    } else {
        for (const Frame& c : root.children)
            if (!placeFrames(c, visitor, depth + 1)) return false;
    }
    visitor.leave(root);
    return true;
}

// Charges `cost` for the frames and mesh placements placed from `root` (the file's
// top-level meshes and frames when null): frames, placements, their vertices and face
// corners, and the normals, materials and skin weights each placement copies. False when
// that passes the account's limits (cost.refusal() says which); stops counting then.
bool chargePlacements(const File& file, const Frame* root, rm::CostAccount& cost);

// chargePlacements on a copy of the file's own account; false with *why ("the file's
// references expand to more than ...") when the placements pass its limits.
bool withinAllowance(const File& file, const Frame* root, std::string* why);

enum class Status { Ok, FileNotFound, BadFile };

struct Options {
    // Also write each warning to standard error ("x file: ..." lines).
    bool warningsToStderr = true;
    // What the file may cost; null: rm::CostLimits::defaults().
    const rm::CostLimits* limits = nullptr;
};

// Parses a whole file held in memory. On failure `out` is left empty (apart from
// warnings) and *error (when given) says why, with a byte offset where one is known.
Status parse(std::span<const uint8_t> bytes, File& out, std::string* error = nullptr,
             const Options& options = {});

// Reads and parses a file. FileNotFound when it cannot be opened or is not a regular file
// (a device, FIFO, socket or folder is never opened).
Status loadFile(const std::string& path, File& out, std::string* error = nullptr,
                const Options& options = {});

}  // namespace xfile
