// Helpers shared by the retained-mode object tests.
#pragma once

#include <gtest/gtest.h>

#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"

// Releases the pointer at the end of the scope.
template <class T>
struct Held {
    T* p = nullptr;
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        if (p) p->Release();
    }
    T** operator&() { return &p; }
    T* operator->() const { return p; }
    operator T*() const { return p; }
};

// Every test starts and ends with no retained-mode object alive.
class RmTest : public ::testing::Test {
protected:
    void SetUp() override {
        liveAtStart = rm::liveObjectCount();
        ASSERT_EQ(Direct3DRMCreate(&d3drm), D3DRM_OK);
    }
    void TearDown() override {
        d3drm->Release();
        EXPECT_EQ(rm::liveObjectCount(), liveAtStart) << "retained-mode objects leaked";
    }
    IDirect3DRMFrame* frame(IDirect3DRMFrame* parent = nullptr) {
        IDirect3DRMFrame* f = nullptr;
        EXPECT_EQ(d3drm->CreateFrame(parent, &f), D3DRM_OK);
        return f;
    }
    IDirect3DRM* d3drm = nullptr;
    long liveAtStart = 0;
};

inline void expectNear(const D3DVECTOR& v, float x, float y, float z, float eps = 1e-4f) {
    EXPECT_NEAR(v.x, x, eps);
    EXPECT_NEAR(v.y, y, eps);
    EXPECT_NEAR(v.z, z, eps);
}
