// The selection marker's geometry, built on a bare retained-mode object.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "scene/selection.h"
#include "viewer/viewer_state.h"

namespace {

class MarkerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(Direct3DRMCreate(&d3drm), D3DRM_OK); }
    void TearDown() override {
        d3drm->Release();
        d3drm = nullptr;
    }

    IDirect3DRMMeshBuilder* emptyBuilder() {
        IDirect3DRMMeshBuilder* b = nullptr;
        d3drm->CreateMeshBuilder(&b);
        return b;
    }

    static std::vector<D3DVECTOR> vertices(IDirect3DRMMeshBuilder* b) {
        const rm::MeshBuilderData* data = rm::meshBuilderData(b);
        return data->positions;
    }
};

constexpr float kEps = 1e-5f;
const float kK = std::sqrt(2.0f) - 1.0f;

D3DRMBOX box(float x0, float y0, float z0, float x1, float y1, float z1) {
    return D3DRMBOX{{x0, y0, z0}, {x1, y1, z1}};
}

bool finite(const D3DVECTOR& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

TEST_F(MarkerTest, OneMarkerHasTheFullCountsAndIsWhite) {
    IDirect3DRMMeshBuilder* marker = buildSelectionMarker(box(-1, -2, -3, 1, 2, 3));
    ASSERT_NE(marker, nullptr);
    DWORD vcount = 0, ncount = 0, dataSize = 0;
    ASSERT_EQ(marker->GetVertices(&vcount, nullptr, &ncount, nullptr, &dataSize, nullptr),
              D3DRM_OK);
    EXPECT_EQ(vcount, 217u);
    EXPECT_EQ(ncount, 112u);
    EXPECT_EQ(marker->GetFaceCount(), 139);

    IDirect3DRMFaceArray* faces = nullptr;
    ASSERT_EQ(marker->GetFaces(&faces), D3DRM_OK);
    int nonWhite = 0;
    for (DWORD i = 0; i < faces->GetSize(); ++i) {
        IDirect3DRMFace* face = nullptr;
        faces->GetElement(i, &face);
        if ((face->GetColor() & 0xffffffu) != 0xffffffu) ++nonWhite;
        face->Release();
    }
    faces->Release();
    EXPECT_EQ(nonWhite, 0);
    marker->Release();
}

TEST_F(MarkerTest, ArrowRunsFromTheOriginAlongZEvenOutsideTheBox) {
    // The box lies entirely below z = -1: the shaft runs from the origin towards -z, the
    // head still points to +z from the box's maximum z plus one.
    IDirect3DRMMeshBuilder* marker = buildSelectionMarker(box(2, 2, -6, 4, 3, -4));
    ASSERT_NE(marker, nullptr);
    std::vector<D3DVECTOR> v = vertices(marker);
    ASSERT_EQ(v.size(), 217u);
    const float tipBase = -4 + 1.0f;
    const float cornerDistance = 0.05f / std::cos(static_cast<float>(M_PI) / 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_NEAR(v[i].z, 0.0f, kEps);
        EXPECT_NEAR(std::hypot(v[i].x, v[i].y), cornerDistance, kEps);
        EXPECT_NEAR(v[8 + i].z, tipBase, kEps);
        EXPECT_NEAR(v[16 + i].z, tipBase, kEps);
        EXPECT_NEAR(std::hypot(v[16 + i].x, v[16 + i].y),
                    0.2f / std::cos(static_cast<float>(M_PI) / 8), kEps);
    }
    EXPECT_NEAR(v[24].x, 0.0f, kEps);
    EXPECT_NEAR(v[24].y, 0.0f, kEps);
    EXPECT_NEAR(v[24].z, tipBase + 0.6f, kEps);
    // The first box edge starts at the minimum corner.
    EXPECT_NEAR(v[25].x - 2.0f, 0.0f, 0.06f);
    EXPECT_NEAR(v[25].z + 6.0f, 0.0f, 0.06f);
    marker->Release();
}

TEST_F(MarkerTest, OctagonOrientationFollowsTheSegmentDirection) {
    const float r = 0.5f;
    struct Case {
        D3DVECTOR from, to;
        D3DVECTOR p0;  // expected first corner offset
    };
    // p0 = u + k v with v = d x u.
    // Along x: u = (0, 0, 1), v = (0, -1, 0).
    // Along -z and +z (no y component): u = (0, 1, 0), v = (1, 0, 0) and (-1, 0, 0).
    // Along (0, 1, 1): u = (0, -1, 1)/sqrt 2, v = (1, 0, 0).
    const float h = std::sqrt(0.5f);
    const Case cases[] = {
        {{1, 2, 3}, {5, 2, 3}, {0, -kK * r, r}},
        {{0, 0, 0}, {0, 0, -2}, {kK * r, r, 0}},
        {{0, 0, 0}, {0, 0, 2}, {-kK * r, r, 0}},
        {{0, 0, 0}, {0, 3, 3}, {kK * r, -h * r, h * r}},
    };
    for (const Case& c : cases) {
        IDirect3DRMMeshBuilder* b = emptyBuilder();
        addTube(b, r, c.from, c.to);
        std::vector<D3DVECTOR> v = vertices(b);
        ASSERT_EQ(v.size(), 16u);
        EXPECT_NEAR(v[0].x - c.from.x, c.p0.x, kEps);
        EXPECT_NEAR(v[0].y - c.from.y, c.p0.y, kEps);
        EXPECT_NEAR(v[0].z - c.from.z, c.p0.z, kEps);
        // The far ring repeats the near one at the other end.
        for (int i = 0; i < 8; ++i) {
            EXPECT_NEAR(v[8 + i].x - v[i].x, c.to.x - c.from.x, kEps);
            EXPECT_NEAR(v[8 + i].y - v[i].y, c.to.y - c.from.y, kEps);
            EXPECT_NEAR(v[8 + i].z - v[i].z, c.to.z - c.from.z, kEps);
        }
        // A regular octagon: every edge midpoint lies at the radius from the axis.
        for (int i = 0; i < 8; ++i) {
            const D3DVECTOR& a = v[i];
            const D3DVECTOR& n = v[(i + 1) % 8];
            const float mx = (a.x + n.x) / 2 - c.from.x, my = (a.y + n.y) / 2 - c.from.y,
                        mz = (a.z + n.z) / 2 - c.from.z;
            EXPECT_NEAR(std::sqrt(mx * mx + my * my + mz * mz), r, kEps);
        }
        b->Release();
    }
}

TEST_F(MarkerTest, ConeEndsInItsTipWithEightSides) {
    IDirect3DRMMeshBuilder* b = emptyBuilder();
    addCone(b, 0.2f, D3DVECTOR{1, 1, 1}, D3DVECTOR{1, 1, 2});
    std::vector<D3DVECTOR> v = vertices(b);
    ASSERT_EQ(v.size(), 9u);
    EXPECT_EQ(b->GetFaceCount(), 9);
    EXPECT_NEAR(v[8].z, 2.0f, kEps);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(v[i].z, 1.0f, kEps);
    b->Release();
}

TEST_F(MarkerTest, FlatAndPointBoxesStillBuild) {
    // Edges of length zero must not turn into NaN geometry.
    for (D3DRMBOX b : {box(-1, 0, -1, 1, 0, 1), box(0, 0, 0, 0, 0, 0), box(-1, -1, 2, 1, 1, 2)}) {
        IDirect3DRMMeshBuilder* marker = buildSelectionMarker(b);
        ASSERT_NE(marker, nullptr);
        EXPECT_EQ(marker->GetFaceCount(), 139);
        const rm::MeshBuilderData* data = rm::meshBuilderData(marker);
        for (const D3DVECTOR& p : data->positions) ASSERT_TRUE(finite(p));
        for (const D3DVECTOR& n : data->normals) ASSERT_TRUE(finite(n));
        marker->Release();
    }
}

TEST_F(MarkerTest, FaceTablesEndWhereTheirCountsSay) {
    // Walking each table face by face must end on its terminator after the stated faces.
    auto walk = [](const DWORD* data, int vertices, int normals) {
        int faces = 0;
        size_t i = 0;
        while (data[i] != 0) {
            const DWORD n = data[i++];
            for (DWORD c = 0; c < n; ++c) {
                EXPECT_LT(data[i++], static_cast<DWORD>(vertices));
                EXPECT_LT(data[i++], static_cast<DWORD>(normals));
            }
            ++faces;
        }
        return faces;
    };
    EXPECT_EQ(walk(tubeFaceData, kTubeVertexCount, kTubeNormalCount), kTubeFaceCount);
    EXPECT_EQ(walk(coneFaceData, kConeVertexCount, kConeNormalCount), kConeFaceCount);
}

}  // namespace
