// Mesh builders: the face-data layout, boxes, scaling, colours, faces, meshes, and
// gathering a frame hierarchy.
#include <cmath>
#include <vector>

#include "platform/parallel.h"
#include "tests/platform/rm/rm_test_util.h"

namespace {

// A unit square in z = 0 (two triangles) with normals given, in AddFaces' layout.
void addSquare(IDirect3DRMMeshBuilder* mb, float z = 0) {
    D3DVECTOR v[] = {{0, 0, z}, {0, 1, z}, {1, 1, z}, {1, 0, z}};
    D3DVECTOR n[] = {{0, 0, -1}};
    DWORD data[] = {3, 0, 0, 1, 0, 2, 0, 3, 0, 0, 2, 0, 3, 0, 0};
    ASSERT_EQ(mb->AddFaces(4, v, 1, n, data, nullptr), D3DRM_OK);
}

// Corners hold normals only from the first one given; every corner before it reads none.
TEST(CornerList, NormalsFromTheFirstOneGiven) {
    rm::CornerList corners;
    corners.push_back({7, rm::kNoNormal});
    corners.setNormal(0, rm::kNoNormal);
    corners.push_back({8, 2});
    corners.push_back({9, rm::kNoNormal});
    corners.setNormal(2, 5);
    const rm::FaceCorner expected[] = {{7, rm::kNoNormal}, {8, 2}, {9, 5}};
    ASSERT_EQ(corners.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(corners[i].vertex, expected[i].vertex) << i;
        EXPECT_EQ(corners[i].normal, expected[i].normal) << i;
    }
    corners.clearNormals();
    corners.push_back({10, 0});
    EXPECT_EQ(corners[2].normal, rm::kNoNormal);
    EXPECT_EQ(corners[3].normal, 0u);
    rm::CornerList first;
    first.push_back({1, 4});
    EXPECT_EQ(first[0].normal, 4u);
}

TEST_F(RmTest, AddFacesWithAndWithoutNormals) {
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    addSquare(mb);
    EXPECT_EQ(mb->GetFaceCount(), 2);
    EXPECT_EQ(mb->GetVertexCount(), 4);
    // Without normals: vertex indices only; smooth normals are made up.
    D3DVECTOR v[] = {{0, 0, 5}, {0, 1, 5}, {1, 0, 5}};
    DWORD data[] = {3, 0, 1, 2, 0};
    Held<IDirect3DRMFaceArray> faces;
    ASSERT_EQ(mb->AddFaces(3, v, 0, nullptr, data, &faces), D3DRM_OK);
    ASSERT_EQ(faces->GetSize(), 1u);
    Held<IDirect3DRMFace> face;
    faces->GetElement(0, &face);
    EXPECT_EQ(face->GetVertexIndex(0), 4);  // indices are offset past the earlier vertices
    D3DVECTOR pos, normal;
    face->GetVertex(1, &pos, &normal);
    expectNear(pos, 0, 1, 5);
    expectNear(normal, 0, 0, -1);  // clockwise as seen from -z: facing the viewer
    // A bad index or a face of two corners adds nothing at all.
    DWORD bad[] = {3, 0, 1, 7, 0};
    EXPECT_EQ(mb->AddFaces(3, v, 0, nullptr, bad, nullptr), D3DRMERR_BADVALUE);
    DWORD tiny[] = {2, 0, 1, 0};
    EXPECT_EQ(mb->AddFaces(3, v, 0, nullptr, tiny, nullptr), D3DRMERR_BADVALUE);
    DWORD badNormal[] = {3, 0, 0, 1, 0, 2, 1, 0};
    D3DVECTOR n[] = {{0, 0, 1}};
    EXPECT_EQ(mb->AddFaces(3, v, 1, n, badNormal, nullptr), D3DRMERR_BADVALUE);
    EXPECT_EQ(mb->GetFaceCount(), 3);
    EXPECT_EQ(mb->GetVertexCount(), 7);
}

TEST_F(RmTest, GeneratedNormalsSmoothOnlyWithinTheCreaseAngle) {
    // Each case: points, faces without normals, and whether the corners at a shared point
    // share a smooth normal or keep their own face's.
    const float s = std::sin(0.5f), c = std::cos(0.5f);  // a fold of about 29 degrees
    struct Case {
        const char* name;
        std::vector<D3DVECTOR> points;
        std::vector<DWORD> faces;
        bool smooth;
    } cases[] = {
        // The converter's faces: each one twice, back to back over the same points.
        {"back to back", {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}, {4, 0, 1, 2, 3, 4, 3, 2, 1, 0, 0}, false},
        {"cube",
         {{-1, -1, -1}, {1, -1, -1}, {-1, 1, -1}, {1, 1, -1}, {-1, -1, 1}, {1, -1, 1}, {-1, 1, 1}, {1, 1, 1}},
         {4, 0, 2, 3, 1, 4, 6, 4, 5, 7, 4, 2, 0, 4, 6, 4, 1, 3, 7, 5, 4, 4, 0, 1, 5, 4, 2, 6, 7, 3, 0},
         false},
        {"shallow fold", {{-1, 0, 0}, {-1, 1, 0}, {0, 1, 0}, {0, 0, 0}, {c, 1, s}, {c, 0, s}},
         {4, 0, 1, 2, 3, 4, 3, 2, 4, 5, 0}, true},
    };
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        Held<IDirect3DRMMeshBuilder> mb;
        d3drm->CreateMeshBuilder(&mb);
        ASSERT_EQ(mb->AddFaces(DWORD(k.points.size()), k.points.data(), 0, nullptr, k.faces.data(), nullptr),
                  D3DRM_OK);
        const rm::MeshBuilderData& d = *rm::meshBuilderData(mb);
        Held<IDirect3DRMFaceArray> all;
        mb->GetFaces(&all);
        // Per point: the normal index each face gives it there.
        std::vector<std::vector<uint32_t>> at(k.points.size());
        for (DWORD f = 0; f < all->GetSize(); ++f) {
            Held<IDirect3DRMFace> face;
            all->GetElement(f, &face);
            D3DVECTOR own;
            face->GetNormal(&own);
            const rm::BuilderFace& bf = d.faces[f];
            for (uint32_t i = 0; i < bf.cornerCount; ++i) {
                const rm::FaceCorner corner = d.corners[bf.firstCorner + i];
                ASSERT_LT(corner.normal, d.normals.size());
                const D3DVECTOR n = d.normals[corner.normal];
                EXPECT_NEAR(n.x * n.x + n.y * n.y + n.z * n.z, 1.0f, 1e-5f);
                const float alongOwn = n.x * own.x + n.y * own.y + n.z * own.z;
                if (k.smooth && (corner.vertex == 2 || corner.vertex == 3))
                    EXPECT_LT(alongOwn, 0.999f);  // bent towards the other face
                else
                    EXPECT_NEAR(alongOwn, 1.0f, 1e-5f);
                at[corner.vertex].push_back(corner.normal);
            }
        }
        if (k.smooth) {
            for (int v : {2, 3}) EXPECT_EQ(at[v].front(), at[v].back()) << "point " << v;
        }
    }
}

// A big mesh's missing normals are made in parts on several threads: numbered and valued
// as one part makes them, whatever the number of parts.
TEST_F(RmTest, GeneratedNormalsInPartsMatchOnePart) {
    // A grid of 330 x 330 quadrilaterals, creased down its middle and waved, and a fan of
    // 300 ridged triangles round one point (more faces at a point than are summed one by
    // one).
    constexpr int n = 331;
    std::vector<D3DVECTOR> points;
    std::vector<DWORD> faces;
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i)
            points.push_back({float(i), float(j), 0.8f * std::fabs(float(i - n / 2)) + std::sin(0.7f * i) * std::cos(0.4f * j)});
    for (int j = 0; j + 1 < n; ++j)
        for (int i = 0; i + 1 < n; ++i)
            faces.insert(faces.end(), {4, DWORD(j * n + i), DWORD((j + 1) * n + i), DWORD((j + 1) * n + i + 1), DWORD(j * n + i + 1)});
    const DWORD centre = DWORD(points.size());
    points.push_back({-10, -10, 0});
    for (int k = 0; k <= 300; ++k) points.push_back({-10 + std::cos(0.02f * k), -10 + std::sin(0.02f * k), float(k % 3)});
    for (DWORD k = 0; k < 300; ++k) faces.insert(faces.end(), {3, centre, centre + 1 + k, centre + 2 + k});
    faces.push_back(0);
    auto made = [&](unsigned parts) {
        workPartsLimit() = parts;
        Held<IDirect3DRMMeshBuilder> mb;
        d3drm->CreateMeshBuilder(&mb);
        EXPECT_EQ(mb->AddFaces(DWORD(points.size()), points.data(), 0, nullptr, faces.data(), nullptr), D3DRM_OK);
        DWORD vertices = 0, normals = 0, faceData = 0;
        mb->GetVertices(&vertices, nullptr, &normals, nullptr, &faceData, nullptr);
        std::vector<D3DVECTOR> v(vertices), nv(normals);
        std::vector<DWORD> f(faceData);
        EXPECT_EQ(mb->GetVertices(&vertices, v.data(), &normals, nv.data(), &faceData, f.data()), D3DRM_OK);
        workPartsLimit() = 0;
        std::vector<float> values;
        for (const D3DVECTOR& d : nv) values.insert(values.end(), {d.x, d.y, d.z});
        return std::pair{values, f};
    };
    const auto one = made(1);
    EXPECT_GT(one.first.size(), 3u * n * n);  // the crease and the fan split normals
    for (unsigned parts : {2u, 3u}) EXPECT_EQ(made(parts), one) << parts;
}

TEST_F(RmTest, BoxScaleAndColours) {
    Held<IDirect3DRMMeshBuilder> mb;
    d3drm->CreateMeshBuilder(&mb);
    D3DRMBOX box;
    ASSERT_EQ(mb->GetBox(&box), D3DRM_OK);  // empty: a zero box, not garbage
    expectNear(box.min, 0, 0, 0);
    expectNear(box.max, 0, 0, 0);
    addSquare(mb, 2);
    mb->GetBox(&box);
    expectNear(box.min, 0, 0, 2);
    expectNear(box.max, 1, 1, 2);
    ASSERT_EQ(mb->Scale(2, 3, -1), D3DRM_OK);
    mb->GetBox(&box);
    expectNear(box.min, 0, 0, -2);
    expectNear(box.max, 2, 3, -2);
    EXPECT_EQ(mb->GetQuality(), static_cast<D3DRMRENDERQUALITY>(D3DRMRENDER_GOURAUD));
    mb->SetQuality(D3DRMRENDER_WIREFRAME);
    EXPECT_EQ(mb->GetQuality(), static_cast<D3DRMRENDERQUALITY>(D3DRMRENDER_WIREFRAME));

    const D3DCOLOR red = D3DRMCreateColorRGB(1, 0, 0);
    ASSERT_EQ(mb->SetColor(red), D3DRM_OK);
    Held<IDirect3DRMFaceArray> faces;
    mb->GetFaces(&faces);
    ASSERT_EQ(faces->GetSize(), 2u);
    Held<IDirect3DRMFace> f0, f1;
    faces->GetElement(0, &f0);
    faces->GetElement(1, &f1);
    EXPECT_EQ(f0->GetColor(), red);
    // A face handed out refers to the builder's own face.
    f1->SetColorRGB(0, 0, 1);
    EXPECT_EQ(rm::meshBuilderData(mb)->lookOf(1).color, D3DRMCreateColorRGB(0, 0, 1));
    Held<IDirect3DRMFace> none;
    EXPECT_EQ(faces->GetElement(2, &none), D3DRMERR_BADVALUE);
}

TEST_F(RmTest, CloneIsDeepAndIndependent) {
    Held<IDirect3DRMMeshBuilder> mb, copy;
    d3drm->CreateMeshBuilder(&mb);
    addSquare(mb);
    mb->SetColor(0xff112233u);
    ASSERT_EQ(mb->Clone(nullptr, IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&copy)), D3DRM_OK);
    ASSERT_NE(copy.p, mb.p);
    copy->Scale(10, 10, 10);
    copy->SetColor(0xffffffffu);
    D3DRMBOX box;
    mb->GetBox(&box);
    expectNear(box.max, 1, 1, 0);
    EXPECT_EQ(rm::meshBuilderData(mb)->lookOf(0).color, 0xff112233u);
    EXPECT_EQ(copy->GetFaceCount(), 2);
}

// Vertices without texture coordinates of their own sit at (0, 0), however the builder got
// them: merged before or after ones that have some, they keep theirs in line.
TEST_F(RmTest, TextureCoordinatesStayWithTheirVerticesWhenBuildersMerge) {
    Held<IDirect3DRMMeshBuilder> plain, mapped, merged;
    d3drm->CreateMeshBuilder(&plain);
    d3drm->CreateMeshBuilder(&mapped);
    d3drm->CreateMeshBuilder(&merged);
    addSquare(plain);
    addSquare(mapped, 1);
    for (DWORD i = 0; i < 4; ++i) mapped->SetTextureCoordinates(i, 0.25f * float(i + 1), 1);
    for (IDirect3DRMMeshBuilder* part : {plain.p, mapped.p, plain.p}) ASSERT_EQ(merged->AddMeshBuilder(part), D3DRM_OK);
    merged->AddVertex(0, 0, 9);
    ASSERT_EQ(merged->GetVertexCount(), 13);
    for (DWORD i = 0; i < 13; ++i) {
        D3DVALUE u = -1, v = -1;
        ASSERT_EQ(merged->GetTextureCoordinates(i, &u, &v), D3DRM_OK);
        const bool fromMapped = i >= 4 && i < 8;
        EXPECT_EQ(u, fromMapped ? 0.25f * float(i - 3) : 0.0f) << i;
        EXPECT_EQ(v, fromMapped ? 1.0f : 0.0f) << i;
    }
}

TEST_F(RmTest, CreateMeshKeepsFacesAndColours) {
    Held<IDirect3DRMMeshBuilder> mb;
    Held<IDirect3DRMMesh> mesh;
    d3drm->CreateMeshBuilder(&mb);
    addSquare(mb);
    Held<IDirect3DRMFaceArray> faces;
    mb->GetFaces(&faces);
    Held<IDirect3DRMFace> f;
    faces->GetElement(1, &f);
    f->SetColor(0xffff0000u);
    ASSERT_EQ(mb->CreateMesh(&mesh), D3DRM_OK);
    ASSERT_EQ(mesh->GetGroupCount(), 2u);  // one group per colour
    unsigned vcount = 0, fcount = 0, vper = 0;
    DWORD size = 0;
    ASSERT_EQ(mesh->GetGroup(1, &vcount, &fcount, &vper, &size, nullptr), D3DRM_OK);
    EXPECT_EQ(fcount, 1u);
    EXPECT_EQ(vper, 3u);
    EXPECT_EQ(mesh->GetGroupColor(1), 0xffff0000u);
    D3DRMBOX a, b;
    mb->GetBox(&a);
    mesh->GetBox(&b);
    expectNear(b.max, a.max.x, a.max.y, a.max.z);
}

TEST_F(RmTest, AddFrameGathersTheHierarchyInTheFramesOwnCoordinates) {
    Held<IDirect3DRMFrame> scene, top, child;
    Held<IDirect3DRMMeshBuilder> part, gathered;
    scene.p = frame();
    top.p = frame(scene);
    child.p = frame(top);
    top->SetPosition(scene, 100, 100, 100);  // not applied: top's own coordinates
    top->AddScale(D3DRMCOMBINE_BEFORE, 5, 5, 5);
    child->SetPosition(top, 10, 0, 0);
    d3drm->CreateMeshBuilder(&part);
    addSquare(part);
    top->AddVisual(part);
    child->AddVisual(part);
    d3drm->CreateMeshBuilder(&gathered);
    ASSERT_EQ(gathered->AddFrame(top), D3DRM_OK);
    EXPECT_EQ(gathered->GetFaceCount(), 4);
    D3DRMBOX box;
    gathered->GetBox(&box);
    expectNear(box.min, 0, 0, 0);
    expectNear(box.max, 11, 1, 0);
    // The source is only read.
    EXPECT_EQ(part->GetFaceCount(), 2);
}

TEST_F(RmTest, FreeFacesJoinABuilderOnce) {
    Held<IDirect3DRMMeshBuilder> a, b;
    Held<IDirect3DRMFace> face;
    d3drm->CreateMeshBuilder(&a);
    d3drm->CreateMeshBuilder(&b);
    ASSERT_EQ(d3drm->CreateFace(&face), D3DRM_OK);
    face->AddVertex(0, 0, 0);
    face->AddVertex(0, 1, 0);
    face->AddVertex(1, 0, 0);
    face->SetColor(0xff00ff00u);
    ASSERT_EQ(a->AddFace(face), D3DRM_OK);
    EXPECT_EQ(b->AddFace(face), D3DRMERR_FACEUSED);
    EXPECT_EQ(a->GetFaceCount(), 1);
    EXPECT_EQ(a->GetVertexCount(), 3);
    EXPECT_EQ(rm::meshBuilderData(a)->lookOf(0).color, 0xff00ff00u);
    face->SetColor(0xff0000ffu);  // now the builder's face
    EXPECT_EQ(rm::meshBuilderData(a)->lookOf(0).color, 0xff0000ffu);
    D3DVECTOR n;
    face->GetNormal(&n);
    expectNear(n, 0, 0, -1);
}

TEST_F(RmTest, MeshGroupsCheckTheirIndices) {
    Held<IDirect3DRMMesh> mesh;
    d3drm->CreateMesh(&mesh);
    unsigned quad[] = {4, 0, 1, 2, 3, 3, 0, 2, 3};
    D3DRMGROUPINDEX id = -1;
    ASSERT_EQ(mesh->AddGroup(4, 2, 0, quad, &id), D3DRM_OK);
    EXPECT_EQ(id, 0);
    unsigned bad[] = {0, 1, 9};
    EXPECT_EQ(mesh->AddGroup(4, 1, 3, bad, &id), D3DRMERR_BADVALUE);
    D3DRMVERTEX v[4] = {};
    v[2].position = {5, 6, 7};
    ASSERT_EQ(mesh->SetVertices(0, 0, 4, v), D3DRM_OK);
    EXPECT_EQ(mesh->SetVertices(0, 2, 3, v), D3DRMERR_BADVALUE);  // past the end
    D3DRMBOX box;
    mesh->GetBox(&box);
    expectNear(box.max, 5, 6, 7);
    DWORD size = 0;
    unsigned vper = 99;
    mesh->GetGroup(0, nullptr, nullptr, &vper, &size, nullptr);
    EXPECT_EQ(vper, 0u);
    EXPECT_EQ(size, 9u);  // mixed face sizes: each face prefixed by its count
    EXPECT_EQ(mesh->GetGroupColor(7), 0u);
}

TEST_F(RmTest, WholeSceneIsReleasedToZeroObjects) {
    long before = rm::liveObjectCount();
    IDirect3DRMFrame* scene = frame();
    {
        Held<IDirect3DRMFrame> a, b;
        Held<IDirect3DRMMeshBuilder> mb;
        Held<IDirect3DRMLight> light;
        Held<IDirect3DRMMesh> mesh;
        a.p = frame(scene);
        b.p = frame(a);
        d3drm->CreateMeshBuilder(&mb);
        addSquare(mb);
        b->AddVisual(mb);
        mb->CreateMesh(&mesh);
        a->AddVisual(mesh);
        d3drm->CreateLightRGB(D3DRMLIGHT_SPOT, 1, 1, 1, &light);
        b->AddLight(light);
        // Edits: clone, move, delete.
        Held<IDirect3DRMFrame> copy;
        b->Clone(nullptr, IID_IDirect3DRMFrame, reinterpret_cast<void**>(&copy));
        scene->AddChild(copy);
        a->DeleteChild(b);
        Held<IDirect3DRMFaceArray> faces;
        mb->GetFaces(&faces);
        scene->Move(1);
    }
    EXPECT_GT(rm::liveObjectCount(), before);
    scene->Release();
    EXPECT_EQ(rm::liveObjectCount(), before);
}

}  // namespace
