// Skinned meshes: vertices that follow the frames (bones) their skin weights name.
#include <cmath>
#include <string>

#include "tests/platform/rm/rm_test_util.h"

namespace {

// An arm of two bones: Upper at the root's origin, Lower one unit up. Vertices 0 and 1
// follow Upper, 2 and 3 Lower, 4 and 5 (half way up) both equally, and 6 a bone that
// the file does not define. The mesh sits in frame Skin, whose own matrix (MESH_FRAME)
// the bones make no difference to: skinned vertices are given in the root's space.
const char kArm[] = R"(xof 0303txt 0032
Frame Body {
  Frame Upper {
    Frame Lower { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,1,0,1;; } }
  }
  Frame Skin {
    FrameTransformMatrix { MESH_FRAME;; }
    Mesh arm {
      7; -1;0;0;, 1;0;0;, -1;2;0;, 1;2;0;, -1;1;0;, 1;1;0;, 0;3;0;;
      3; 4;0;4;5;1;, 4;4;2;3;5;, 3;2;6;3;;
      MeshNormals { 1; 0;0;-1;; 3; 4;0;0;0;0;, 4;0;0;0;0;, 3;0;0;0;; }
      SkinWeights { "Upper"; 4; 0, 1, 4, 5; 1, 1, 0.5, 0.5; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
      SkinWeights { "Lower"; 4; 2, 3, 4, 5; 1, 1, 0.5, 0.5; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,-1,0,1;; }
      SkinWeights { "Ghost"; 1; 6; 1; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }
    }
  }
}
)";

const char kIdentity[] = "1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1";
// Turned a quarter about x and moved: what exporters put above meshes to stand them up.
const char kStandUp[] = "1,0,0,0, 0,0,1,0, 0,-1,0,0, 3,0,0,1";

D3DVECTOR arm(int v) {
    static const D3DVECTOR points[] = {{-1, 0, 0}, {1, 0, 0}, {-1, 2, 0}, {1, 2, 0}, {-1, 1, 0}, {1, 1, 0}, {0, 3, 0}};
    return points[v];
}

class SkinTest : public RmTest {
protected:
    void load(const char* meshFrame) {
        std::string text = kArm;
        text.replace(text.find("MESH_FRAME"), 10, meshFrame);
        root = frame();
        D3DRMLOADMEMORY memory{text.data(), static_cast<DWORD>(text.size())};
        ASSERT_EQ(root->Load(&memory, nullptr, D3DRMLOAD_FROMMEMORY, nullptr, nullptr), D3DRM_OK);
        IDirect3DRMFrame* body = rm::frameChildren(root)[0];
        upper = rm::frameChildren(body)[0];
        lower = rm::frameChildren(upper)[0];
        skin = rm::frameChildren(body)[1];
        builder = rm::frameVisuals(skin)[0];
    }
    void TearDown() override {
        if (root) root->Release();
        RmTest::TearDown();
    }
    // Where vertex v is drawn now, in the root's space.
    D3DVECTOR drawnAt(int v) {
        const rm::SkinPose* pose = rm::meshBuilderPose(builder);
        D3DVECTOR local = pose ? pose->positions[v] : rm::meshBuilderData(builder)->positions[v];
        D3DVECTOR world;
        skin->Transform(&world, &local);
        D3DVECTOR out;
        root->InverseTransform(&out, &world);
        return out;
    }
    // Where a point given in the root's space at rest goes when it rides on frame f.
    D3DVECTOR ridesOn(IDirect3DRMFrame* f, D3DVECTOR restPoint, D3DVECTOR restOrigin) {
        D3DVECTOR local{restPoint.x - restOrigin.x, restPoint.y - restOrigin.y, restPoint.z - restOrigin.z}, world, out;
        f->Transform(&world, &local);
        root->InverseTransform(&out, &world);
        return out;
    }

    IDirect3DRMFrame* root = nullptr;
    IDirect3DRMFrame* upper = nullptr;
    IDirect3DRMFrame* lower = nullptr;
    IDirect3DRMFrame* skin = nullptr;
    IDirect3DRMVisual* builder = nullptr;
};

TEST_F(SkinTest, VerticesBlendTheirBonesAndStayWhereNoBoneMovesThem) {
    for (const char* meshFrame : {kIdentity, kStandUp}) {
        SCOPED_TRACE(meshFrame);
        load(meshFrame);
        // At rest the builder's own data is the pose, wherever the mesh's frame is.
        EXPECT_EQ(rm::meshBuilderPose(builder), nullptr);
        for (int v = 0; v < 7; ++v) expectNear(drawnAt(v), arm(v).x, arm(v).y, arm(v).z);
        // Bend the elbow a quarter turn about y and lift the shoulder.
        lower->AddRotation(D3DRMCOMBINE_BEFORE, 0, 1, 0, 1.5707963f);
        upper->SetPosition(root, 0, 0.5f, 0);
        ASSERT_NE(rm::meshBuilderPose(builder), nullptr);
        const D3DVECTOR elbow{0, 1, 0};
        for (int v : {0, 1}) {
            const D3DVECTOR e = ridesOn(upper, arm(v), {0, 0, 0});
            expectNear(drawnAt(v), e.x, e.y, e.z);
        }
        for (int v : {2, 3}) {
            const D3DVECTOR e = ridesOn(lower, arm(v), elbow);
            expectNear(drawnAt(v), e.x, e.y, e.z);
        }
        for (int v : {4, 5}) {  // linear blend: half way between where each bone puts it
            const D3DVECTOR a = ridesOn(upper, arm(v), {0, 0, 0}), b = ridesOn(lower, arm(v), elbow);
            expectNear(drawnAt(v), (a.x + b.x) / 2, (a.y + b.y) / 2, (a.z + b.z) / 2);
        }
        expectNear(drawnAt(6), 0, 3, 0);  // its bone names no frame
        // Normals turn with the bones: the forearm's (0, 0, -1) turns with the elbow.
        const D3DVECTOR tip = ridesOn(lower, {0, 1, -1}, elbow);
        const D3DVECTOR at = ridesOn(lower, elbow, elbow);
        const rm::SkinPose* pose = rm::meshBuilderPose(builder);
        const rm::MeshBuilderData& d = *rm::meshBuilderData(builder);
        for (size_t c = 0; c < d.corners.size(); ++c) {
            if (d.corners[c].vertex != 2) continue;
            D3DVECTOR n = pose->cornerNormals[c], origin{0, 0, 0}, world, worldOrigin, out, outOrigin;
            skin->Transform(&world, &n);
            skin->Transform(&worldOrigin, &origin);
            root->InverseTransform(&out, &world);
            root->InverseTransform(&outOrigin, &worldOrigin);
            expectNear({out.x - outOrigin.x, out.y - outOrigin.y, out.z - outOrigin.z}, tip.x - at.x, tip.y - at.y,
                       tip.z - at.z);
        }
        root->Release();
        root = nullptr;
    }
}

TEST_F(SkinTest, APoseIsMadeAgainOnlyWhenABoneOrTheBuilderChanged) {
    load(kIdentity);
    lower->SetPosition(upper, 0, 1.5f, 0);
    const rm::SkinPose* pose = rm::meshBuilderPose(builder);
    ASSERT_NE(pose, nullptr);
    const uint64_t first = pose->version;
    EXPECT_EQ(rm::meshBuilderPose(builder)->version, first);  // nothing moved
    root->Move(1);                                             // nothing to move either
    EXPECT_EQ(rm::meshBuilderPose(builder)->version, first);
    lower->SetPosition(upper, 0, 2, 0);
    const uint64_t second = rm::meshBuilderPose(builder)->version;
    EXPECT_NE(second, first);
    expectNear(drawnAt(2), -1, 3, 0);
    // Scaling the builder scales the rest pose the bones start from.
    IDirect3DRMMeshBuilder* mb = nullptr;
    ASSERT_EQ(builder->QueryInterface(IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&mb)), D3DRM_OK);
    mb->Scale(2, 2, 2);
    EXPECT_NE(rm::meshBuilderPose(builder)->version, second);
    expectNear(drawnAt(3), 2, 5, 0);
    // A copy follows the same bones.
    IDirect3DRMMeshBuilder* copy = nullptr;
    ASSERT_EQ(mb->Clone(nullptr, IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&copy)), D3DRM_OK);
    ASSERT_NE(rm::meshBuilderPose(copy), nullptr);
    expectNear(rm::meshBuilderPose(copy)->positions[3], 2, 5, 0);
    copy->Release();
    mb->Release();
    lower->SetPosition(upper, 0, 1, 0);
    EXPECT_EQ(rm::meshBuilderPose(builder), nullptr);  // back at rest
}

TEST_F(SkinTest, ABoneThatIsGoneLeavesItsVerticesAtRest) {
    load(kIdentity);
    lower->SetPosition(upper, 5, 1, 0);
    upper->SetPosition(root, 0, 3, 0);
    lower->AddRef();
    upper->DeleteChild(lower);
    lower->Release();  // that was the last reference: the bone is destroyed
    expectNear(drawnAt(2), -1, 2, 0);
    expectNear(drawnAt(0), -1, 3, 0);  // Upper still moves its own
    // With the root gone too nothing is posed, and nothing dangles.
    IDirect3DRMVisual* kept = builder;
    kept->AddRef();
    root->Release();
    root = nullptr;
    EXPECT_EQ(rm::meshBuilderPose(kept), nullptr);
    kept->Release();
}

}  // namespace
