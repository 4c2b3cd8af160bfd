// Frames: hierarchy, placement relative to other frames, combine types, motion,
// clone and reference counting.
#include <cmath>
#include <vector>

#include "tests/platform/rm/rm_test_util.h"

namespace {

constexpr float kPi = 3.14159265358979f;

TEST_F(RmTest, PositionAndOrientationRelativeToOtherFrames) {
    Held<IDirect3DRMFrame> scene, a, b;
    scene.p = frame();
    a.p = frame(scene);
    b.p = frame(scene);
    // a: moved to (10, 0, 0) and turned so that its z axis is the scene's +x.
    ASSERT_EQ(a->SetPosition(scene, 10, 0, 0), D3DRM_OK);
    ASSERT_EQ(a->SetOrientation(scene, 1, 0, 0, 0, 1, 0), D3DRM_OK);
    // b placed 2 units along a's z axis lands at (12, 0, 0) in the scene.
    ASSERT_EQ(b->SetPosition(a, 0, 0, 2), D3DRM_OK);
    D3DVECTOR p;
    ASSERT_EQ(b->GetPosition(scene, &p), D3DRM_OK);
    expectNear(p, 12, 0, 0);
    ASSERT_EQ(b->GetPosition(a, &p), D3DRM_OK);
    expectNear(p, 0, 0, 2);

    // An orientation given relative to a reads back the same relative to a.
    ASSERT_EQ(b->SetOrientation(a, 0, 0, 1, 0, 1, 0), D3DRM_OK);
    D3DVECTOR dir, up;
    ASSERT_EQ(b->GetOrientation(scene, &dir, &up), D3DRM_OK);
    expectNear(dir, 1, 0, 0);
    expectNear(up, 0, 1, 0);
    // up is made perpendicular to dir.
    ASSERT_EQ(b->SetOrientation(scene, 0, 0, 2, 0, 3, 3), D3DRM_OK);
    ASSERT_EQ(b->GetOrientation(scene, &dir, &up), D3DRM_OK);
    expectNear(dir, 0, 0, 1);
    expectNear(up, 0, 1, 0);
    // Model coordinates of b to world and back.
    D3DVECTOR local{1, 2, 3}, world, back;
    ASSERT_EQ(b->Transform(&world, &local), D3DRM_OK);
    ASSERT_EQ(b->InverseTransform(&back, &world), D3DRM_OK);
    expectNear(back, 1, 2, 3);
}

TEST_F(RmTest, DegenerateOrientationLeavesTheFrameUsable) {
    Held<IDirect3DRMFrame> scene, f;
    scene.p = frame();
    f.p = frame(scene);
    f->SetPosition(scene, 1, 2, 3);
    f->SetOrientation(scene, 1, 0, 0, 0, 1, 0);
    EXPECT_NE(f->SetOrientation(scene, 0, 0, 0, 0, 0, 0), D3DRM_OK);
    EXPECT_NE(f->SetOrientation(scene, 0, 1, 0, 0, 2, 0), D3DRM_OK);  // up parallel to dir
    D3DRMMATRIX4D m;
    f->GetTransform(m);
    for (auto& row : m)
        for (float v : row) EXPECT_TRUE(std::isfinite(v));
    D3DVECTOR dir, up, p;
    f->GetOrientation(scene, &dir, &up);
    expectNear(dir, 1, 0, 0);
    f->GetPosition(scene, &p);
    expectNear(p, 1, 2, 3);
}

TEST_F(RmTest, CombineTypesOfAddScale) {
    Held<IDirect3DRMFrame> scene, f;
    scene.p = frame();
    f.p = frame(scene);
    f->SetPosition(scene, 0, 0, 10);
    D3DVECTOR p, corner{1, 0, 0}, world;
    // BEFORE scales the frame's own geometry and keeps its place.
    ASSERT_EQ(f->AddScale(D3DRMCOMBINE_BEFORE, 2, 2, 2), D3DRM_OK);
    f->GetPosition(scene, &p);
    expectNear(p, 0, 0, 10);
    f->Transform(&world, &corner);
    expectNear(world, 2, 0, 10);
    // AFTER also scales the position, in parent axes.
    ASSERT_EQ(f->AddScale(D3DRMCOMBINE_AFTER, 1, 1, 0.5f), D3DRM_OK);
    f->GetPosition(scene, &p);
    expectNear(p, 0, 0, 5);
    // REPLACE throws away position and rotation.
    ASSERT_EQ(f->AddScale(D3DRMCOMBINE_REPLACE, 3, 3, 3), D3DRM_OK);
    f->GetPosition(scene, &p);
    expectNear(p, 0, 0, 0);
    f->Transform(&world, &corner);
    expectNear(world, 3, 0, 0);
    // Turning keeps the scale.
    ASSERT_EQ(f->SetOrientation(scene, 1, 0, 0, 0, 1, 0), D3DRM_OK);
    D3DVECTOR ahead{0, 0, 1};
    f->Transform(&world, &ahead);
    expectNear(world, 3, 0, 0);
    // A factor from an empty model (8 / 0) is refused and changes nothing.
    EXPECT_EQ(f->AddScale(D3DRMCOMBINE_BEFORE, INFINITY, INFINITY, INFINITY), D3DRMERR_BADVALUE);
    f->Transform(&world, &ahead);
    expectNear(world, 3, 0, 0);
}

TEST_F(RmTest, MoveAppliesRotationAndVelocityScaledByDelta) {
    Held<IDirect3DRMFrame> scene, f, child;
    scene.p = frame();
    f.p = frame(scene);
    child.p = frame(f);
    f->SetPosition(scene, 5, 0, 0);
    child->SetPosition(f, 1, 0, 0);
    // Quarter turn about +z per unit of delta: x turns towards +y.
    ASSERT_EQ(f->SetRotation(scene, 0, 0, 1, kPi / 4), D3DRM_OK);
    ASSERT_EQ(f->SetVelocity(scene, 0, 0, 1, FALSE), D3DRM_OK);
    ASSERT_EQ(scene->Move(2.0f), D3DRM_OK);
    D3DVECTOR p;
    f->GetPosition(scene, &p);
    expectNear(p, 5, 0, 2);  // spins about its own origin, moves by v x delta
    child->GetPosition(scene, &p);
    expectNear(p, 5, 1, 2);  // carried round its parent's origin
    D3DVECTOR axis;
    D3DVALUE theta;
    f->GetRotation(scene, &axis, &theta);
    expectNear(axis, 0, 0, 1);
    EXPECT_FLOAT_EQ(theta, kPi / 4);
    // Angle 0 stops the spin; zero velocity stops the drift.
    f->SetRotation(scene, 0, 1, 0, 0);
    f->SetVelocity(scene, 0, 0, 0, FALSE);
    scene->Move(1.0f);
    f->GetPosition(scene, &p);
    expectNear(p, 5, 0, 2);
}

TEST_F(RmTest, VelocityIsGivenInTheReferenceFrame) {
    Held<IDirect3DRMFrame> scene, camera, f;
    scene.p = frame();
    camera.p = frame(scene);
    f.p = frame(scene);
    camera->SetOrientation(scene, 1, 0, 0, 0, 1, 0);  // camera looks along +x
    f->SetVelocity(camera, 0, 0, 1, FALSE);             // "forward" for the camera
    scene->Move(1.0f);
    D3DVECTOR p, v;
    f->GetPosition(scene, &p);
    expectNear(p, 1, 0, 0);
    f->GetVelocity(camera, &v, FALSE);
    expectNear(v, 0, 0, 1);
}

struct CallRecord {
    std::vector<std::pair<IDirect3DRMFrame*, float>> calls;
    std::vector<float> zAtCall;
};

void recordCall(IDirect3DRMFrame* f, void* arg, D3DVALUE delta) {
    auto* rec = static_cast<CallRecord*>(arg);
    rec->calls.emplace_back(f, delta);
    D3DVECTOR p;
    f->GetPosition(nullptr, &p);
    rec->zAtCall.push_back(p.z);
}

TEST_F(RmTest, MoveCallbacksRunParentFirstBeforeMotion) {
    Held<IDirect3DRMFrame> scene, parent, child;
    scene.p = frame();
    parent.p = frame(scene);
    child.p = frame(parent);
    CallRecord rec;
    child->AddMoveCallback(recordCall, &rec);
    parent->AddMoveCallback(recordCall, &rec);
    parent->SetVelocity(scene, 0, 0, 1, FALSE);
    scene->Move(0.5f);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0].first, parent.p);
    EXPECT_EQ(rec.calls[1].first, child.p);
    EXPECT_FLOAT_EQ(rec.calls[0].second, 0.5f);
    EXPECT_FLOAT_EQ(rec.zAtCall[0], 0.0f);  // before the parent's own motion
    EXPECT_FLOAT_EQ(rec.zAtCall[1], 0.5f);  // the child's callback sees the parent moved
    ASSERT_EQ(parent->DeleteMoveCallback(recordCall, &rec), D3DRM_OK);
    scene->Move(1.0f);
    EXPECT_EQ(rec.calls.size(), 3u);
}

void deleteSelf(IDirect3DRMFrame* f, void*, D3DVALUE) {
    IDirect3DRMFrame* parent = nullptr;
    f->GetParent(&parent);
    if (parent) {
        parent->DeleteChild(f);
        parent->Release();
    }
}

TEST_F(RmTest, CallbackMayRemoveItsFrameDuringMove) {
    Held<IDirect3DRMFrame> scene;
    scene.p = frame();
    IDirect3DRMFrame* doomed = frame(scene);
    IDirect3DRMFrame* below = frame(doomed);
    below->Release();
    doomed->AddMoveCallback(deleteSelf, nullptr);
    doomed->Release();  // only the scene holds it now
    EXPECT_EQ(scene->Move(1.0f), D3DRM_OK);
    Held<IDirect3DRMFrameArray> kids;
    scene->GetChildren(&kids);
    EXPECT_EQ(kids->GetSize(), 0u);
}

TEST_F(RmTest, AddChildMovesTheFrameAndKeepsItsLocalTransform) {
    Held<IDirect3DRMFrame> scene, a, b, f;
    scene.p = frame();
    a.p = frame(scene);
    b.p = frame(scene);
    f.p = frame(a);
    a->SetPosition(scene, 100, 0, 0);
    f->SetPosition(a, 1, 2, 3);
    ASSERT_EQ(b->AddChild(f), D3DRM_OK);
    Held<IDirect3DRMFrame> parent;
    f->GetParent(&parent);
    EXPECT_EQ(parent.p, b.p);
    Held<IDirect3DRMFrameArray> aKids;
    a->GetChildren(&aKids);
    EXPECT_EQ(aKids->GetSize(), 0u);
    D3DVECTOR p;
    f->GetPosition(b, &p);
    expectNear(p, 1, 2, 3);
    // No frame becomes its own ancestor.
    EXPECT_EQ(f->AddChild(b), D3DRMERR_BADVALUE);
    EXPECT_EQ(f->AddChild(f), D3DRMERR_BADVALUE);
    EXPECT_EQ(a->DeleteChild(f), D3DRMERR_NOTFOUND);
}

TEST_F(RmTest, CloneCopiesTransformMotionLightsAndChildrenButNotVisuals) {
    Held<IDirect3DRMFrame> scene, f, kid, copy;
    Held<IDirect3DRMLight> light;
    Held<IDirect3DRMMeshBuilder> mb;
    scene.p = frame();
    f.p = frame(scene);
    kid.p = frame(f);
    f->SetPosition(scene, 1, 2, 3);
    f->SetVelocity(scene, 0, 1, 0, FALSE);
    d3drm->CreateLightRGB(D3DRMLIGHT_POINT, 1, 0, 0, &light);
    f->AddLight(light);
    d3drm->CreateMeshBuilder(&mb);
    f->AddVisual(mb);
    ASSERT_EQ(f->Clone(nullptr, IID_IDirect3DRMFrame, reinterpret_cast<void**>(&copy)), D3DRM_OK);
    Held<IDirect3DRMFrame> parent;
    copy->GetParent(&parent);
    EXPECT_EQ(parent.p, scene.p);
    D3DVECTOR p;
    copy->GetPosition(scene, &p);
    expectNear(p, 1, 2, 3);
    Held<IDirect3DRMVisualArray> visuals;
    copy->GetVisuals(&visuals);
    EXPECT_EQ(visuals->GetSize(), 0u);
    Held<IDirect3DRMLightArray> lights;
    copy->GetLights(&lights);
    ASSERT_EQ(lights->GetSize(), 1u);
    Held<IDirect3DRMLight> copiedLight;
    lights->GetElement(0, &copiedLight);
    EXPECT_NE(copiedLight.p, light.p);  // a clone, recoloured independently
    EXPECT_EQ(copiedLight->GetColor(), light->GetColor());
    Held<IDirect3DRMFrameArray> kids;
    copy->GetChildren(&kids);
    EXPECT_EQ(kids->GetSize(), 1u);
    scene->Move(1);
    copy->GetPosition(scene, &p);
    expectNear(p, 1, 3, 3);
}

TEST_F(RmTest, ReferenceCountsAndQueryInterface) {
    IDirect3DRMFrame* scene = frame();
    IDirect3DRMFrame* child = frame(scene);
    // Returned pointer + the parent's own reference.
    EXPECT_EQ(child->AddRef(), 3u);
    EXPECT_EQ(child->Release(), 2u);
    IDirect3DRMMeshBuilder* mb = nullptr;
    d3drm->CreateMeshBuilder(&mb);
    child->AddVisual(mb);
    IDirect3DRMVisual* visual = nullptr;
    ASSERT_EQ(mb->QueryInterface(IID_IDirect3DRMVisual, reinterpret_cast<void**>(&visual)), D3DRM_OK);
    IDirect3DRMFrame* notFrame = nullptr;
    EXPECT_EQ(mb->QueryInterface(IID_IDirect3DRMFrame, reinterpret_cast<void**>(&notFrame)), E_NOINTERFACE);
    EXPECT_EQ(notFrame, nullptr);
    IDirect3DRMMeshBuilder* back = nullptr;
    ASSERT_EQ(visual->QueryInterface(IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&back)), D3DRM_OK);
    EXPECT_EQ(back, mb);
    back->Release();
    visual->Release();
    mb->Release();
    child->Release();
    // The scene holds everything below it; releasing it frees the lot.
    long before = rm::liveObjectCount();
    EXPECT_EQ(scene->Release(), 0u);
    EXPECT_EQ(rm::liveObjectCount(), before - 3);
}

TEST_F(RmTest, NamedObjectsCanBeFound) {
    Held<IDirect3DRMFrame> f;
    f.p = frame();
    f->SetName("Arm");
    Held<IDirect3DRMObject> found, none;
    ASSERT_EQ(d3drm->GetNamedObject("Arm", &found), D3DRM_OK);
    EXPECT_EQ(found.p, static_cast<IDirect3DRMObject*>(f.p));
    ASSERT_EQ(d3drm->GetNamedObject("Leg", &none), D3DRM_OK);
    EXPECT_EQ(none.p, nullptr);
}

TEST_F(RmTest, DeletedChildOutlivesItsParentOnlyThroughItsOwnReferences) {
    IDirect3DRMFrame* scene = frame();
    IDirect3DRMFrame* kept = frame(scene);
    scene->Release();  // kept is now a root with one reference: ours
    Held<IDirect3DRMFrame> parent;
    EXPECT_EQ(kept->GetParent(&parent), D3DRM_OK);
    EXPECT_EQ(parent.p, nullptr);
    EXPECT_EQ(kept->Release(), 0u);
}

}  // namespace
