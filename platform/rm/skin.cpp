// Skinned mesh builders: vertices placed by the frames (bones) they are bound to.
//
// The builder keeps its rest pose; drawing asks for the pose (meshBuilderPose), which is
// made again only when a bone matrix or the builder changed, so a still skeleton costs a
// walk over its bones per frame and nothing per vertex.
#include <algorithm>

#include "platform/rm/objects.h"
#include "platform/rm/rm_math.h"

namespace rm {

namespace {

uint64_t nextPoseVersion = 0;

bool nearIdentity(const Matrix& m) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!(std::fabs(m.m[r][c] - (r == c ? 1.0f : 0.0f)) <= 1e-5f)) return false;
    return true;
}

// Bone matrices that differ by rounding only (a still animation set to the same time
// again rebuilds its frames' matrices) leave the pose as it is.
bool samePalette(const std::vector<Matrix>& a, const std::vector<Matrix>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) {
                const float x = a[i].m[r][c], y = b[i].m[r][c];
                if (!(std::fabs(x - y) <= 1e-6f * std::max({1.0f, std::fabs(x), std::fabs(y)}))) return false;
            }
    return true;
}

// The bone's matrix relative to root (null: the world).
Matrix boneFromRoot(Frame* bone, Frame* root) {
    Matrix m = bone->local();
    Frame* p = bone->parent();
    for (int depth = 0; p && p != root && depth < 1 << 16; ++depth, p = p->parent()) m = multiply(m, p->local());
    if (p == root) return m;
    // The bone was moved out from under its root: go through the world.
    Matrix inverse;
    if (root && invert(root->world(), inverse)) return multiply(bone->world(), inverse);
    return bone->world();
}

// Normal matrix of the 3 x 3 part of m for row vectors (the inverse transpose, scaled by
// the determinant's size, which normalising removes).
void normalMatrix(const Matrix& m, float out[9]) {
    const auto& a = m.m;
    out[0] = a[1][1] * a[2][2] - a[1][2] * a[2][1];
    out[1] = a[1][2] * a[2][0] - a[1][0] * a[2][2];
    out[2] = a[1][0] * a[2][1] - a[1][1] * a[2][0];
    out[3] = a[0][2] * a[2][1] - a[0][1] * a[2][2];
    out[4] = a[0][0] * a[2][2] - a[0][2] * a[2][0];
    out[5] = a[0][1] * a[2][0] - a[0][0] * a[2][1];
    out[6] = a[0][1] * a[1][2] - a[0][2] * a[1][1];
    out[7] = a[0][2] * a[1][0] - a[0][0] * a[1][2];
    out[8] = a[0][0] * a[1][1] - a[0][1] * a[1][0];
    const float det = a[0][0] * out[0] + a[0][1] * out[1] + a[0][2] * out[2];
    if (det < 0)
        for (int i = 0; i < 9; ++i) out[i] = -out[i];
}

}  // namespace

void MeshBuilder::setSkin(std::shared_ptr<const SkinData> skin) {
    data_.skin = std::move(skin);
    pose_.reset();
    changed();
}

const SkinPose* MeshBuilder::pose() {
    const SkinData* skin = data_.skin.get();
    if (!skin) {
        pose_.reset();
        return nullptr;
    }
    settleNormals();
    if (!pose_) pose_ = std::make_unique<PoseCache>();
    PoseCache& c = *pose_;

    // This frame's bone matrices: builder space at rest -> builder space now.
    Frame* root = skin->root ? frameWithSerial(skin->root) : nullptr;
    const bool rootGone = skin->root && !root;
    c.next.resize(skin->bones.size());
    bool atRest = true;
    for (size_t i = 0; i < skin->bones.size(); ++i) {
        const SkinData::Bone& b = skin->bones[i];
        Frame* bone = rootGone || !b.frame ? nullptr : frameWithSerial(b.frame);
        c.next[i] = bone ? multiply(multiply(b.fromRest, boneFromRoot(bone, root)), skin->toBuilder)
                         : Matrix::identity();
        atRest = atRest && nearIdentity(c.next[i]);
    }
    if (atRest) {
        // The builder's own data is the pose: nothing to keep.
        c.pose = SkinPose{};
        c.palette.clear();
        c.skin = nullptr;
        return nullptr;
    }
    if (c.skin == skin && c.dataVersion == data_.version && samePalette(c.palette, c.next)) return &c.pose;
    std::swap(c.palette, c.next);
    c.skin = skin;
    c.dataVersion = data_.version;

    const MeshBuilderData& d = data_;
    const size_t vertices = d.positions.size();
    const size_t table = skin->firstInfluence.size() - 1;
    c.pose.positions.resize(vertices);
    c.normalMatrices.resize(vertices * 9);
    for (size_t v = 0; v < vertices; ++v) {
        float* n = &c.normalMatrices[v * 9];
        const uint32_t first = v < table ? skin->firstInfluence[v] : 0;
        const uint32_t last = v < table ? skin->firstInfluence[v + 1] : 0;
        if (first >= last) {
            c.pose.positions[v] = d.positions[v];
            for (int k = 0; k < 9; ++k) n[k] = k % 4 == 0 ? 1.0f : 0.0f;
            continue;
        }
        Matrix blend{};
        for (uint32_t i = first; i < last; ++i) {
            const SkinData::Influence& in = skin->influences[i];
            const Matrix& m = c.palette[in.bone];
            for (int r = 0; r < 4; ++r)
                for (int k = 0; k < 3; ++k) blend.m[r][k] += m.m[r][k] * in.weight;
        }
        blend.m[3][3] = 1;
        c.pose.positions[v] = transformPoint(d.positions[v], blend);
        normalMatrix(blend, n);
    }
    c.pose.cornerNormals.resize(d.corners.size());
    for (size_t i = 0; i < d.corners.size(); ++i) {
        const FaceCorner corner = d.corners[i];
        D3DVECTOR& out = c.pose.cornerNormals[i];
        if (corner.normal >= d.normals.size() || corner.vertex >= vertices) {
            out = {0, 0, 0};
            continue;
        }
        const D3DVECTOR in = d.normals[corner.normal];
        const float* n = &c.normalMatrices[size_t(corner.vertex) * 9];
        D3DVECTOR t{in.x * n[0] + in.y * n[3] + in.z * n[6], in.x * n[1] + in.y * n[4] + in.z * n[7],
                    in.x * n[2] + in.y * n[5] + in.z * n[8]};
        out = normalize(t) ? t : in;
    }
    c.pose.version = ++nextPoseVersion;
    return &c.pose;
}

const SkinPose* meshBuilderPose(IDirect3DRMVisual* visual) {
    MeshBuilder* b = asMeshBuilder(visual);
    return b ? b->pose() : nullptr;
}

}  // namespace rm
