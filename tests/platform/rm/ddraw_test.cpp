// DirectDraw clipper and the Direct3D device search.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/rm/ddraw.h"

namespace {

D3DFINDDEVICESEARCH search(DWORD flags, D3DCOLORMODEL model) {
    D3DFINDDEVICESEARCH s;
    std::memset(&s, 0, sizeof s);
    s.dwSize = sizeof s;
    s.dwFlags = flags;
    s.dcmColorModel = model;
    return s;
}

D3DFINDDEVICERESULT emptyResult() {
    D3DFINDDEVICERESULT r;
    std::memset(&r, 0, sizeof r);
    r.dwSize = sizeof r;
    return r;
}

struct Direct3DFixture : ::testing::Test {
    void SetUp() override {
        before = ddrawLiveObjectCount();
        ASSERT_EQ(DirectDrawCreate(nullptr, &ddraw, nullptr), DD_OK);
        ASSERT_EQ(ddraw->QueryInterface(IID_IDirect3D, reinterpret_cast<void**>(&d3d)), DD_OK);
    }
    void TearDown() override {
        // Released in the order the viewer uses: Direct3D first, then DirectDraw.
        if (d3d) d3d->Release();
        if (ddraw) ddraw->Release();
        EXPECT_EQ(ddrawLiveObjectCount(), before);
    }
    long before = 0;
    IDirectDraw* ddraw = nullptr;
    IDirect3D* d3d = nullptr;
};

}  // namespace

TEST(ClipperTest, HoldsTheWindowAndRefusesBadArguments) {
    const long before = ddrawLiveObjectCount();
    IDirectDrawClipper* clipper = nullptr;
    ASSERT_EQ(DirectDrawCreateClipper(0, &clipper, nullptr), DD_OK);
    HWND hwnd = reinterpret_cast<HWND>(1);
    EXPECT_EQ(clipper->GetHWnd(&hwnd), DD_OK);
    EXPECT_EQ(hwnd, nullptr);
    HWND window = reinterpret_cast<HWND>(0x1234);
    EXPECT_EQ(clipper->SetHWnd(0, window), DD_OK);
    EXPECT_EQ(clipper->GetHWnd(&hwnd), DD_OK);
    EXPECT_EQ(hwnd, window);
    EXPECT_EQ(clipper->SetHWnd(1, window), DDERR_INVALIDPARAMS);
    EXPECT_EQ(clipper->GetHWnd(nullptr), DDERR_INVALIDPARAMS);
    IUnknown* unknown = nullptr;
    EXPECT_EQ(clipper->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), DD_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    clipper->Release();
    EXPECT_EQ(ddrawLiveObjectCount(), before);

    EXPECT_EQ(DirectDrawCreateClipper(0, nullptr, nullptr), DDERR_INVALIDPARAMS);
    EXPECT_EQ(DirectDrawCreateClipper(0, &clipper, reinterpret_cast<IUnknown*>(&clipper)), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(clipper, nullptr);
}

TEST_F(Direct3DFixture, FindsTheDeviceOfEachColourModelAtEveryDepth) {
    for (D3DCOLORMODEL model : {DWORD(D3DCOLOR_MONO), DWORD(D3DCOLOR_RGB)}) {
        D3DFINDDEVICESEARCH s = search(D3DFDS_COLORMODEL, model);
        D3DFINDDEVICERESULT r = emptyResult();
        ASSERT_EQ(d3d->FindDevice(&s, &r), DD_OK);
        EXPECT_EQ(r.guid, model == D3DCOLOR_RGB ? IID_IDirect3DRGBDevice : IID_IDirect3DRampDevice);
        EXPECT_NE(r.ddHwDesc.dwFlags, 0u);
        EXPECT_EQ(r.ddHwDesc.dcmColorModel, model);
        for (DWORD depth : {DDBD_1, DDBD_8, DDBD_16, DDBD_24, DDBD_32}) EXPECT_TRUE(r.ddHwDesc.dwDeviceRenderBitDepth & depth);

        // The viewer's second search asks for a software device of the same model.
        s.dwFlags |= D3DFDS_HARDWARE;
        s.bHardware = FALSE;
        r = emptyResult();
        ASSERT_EQ(d3d->FindDevice(&s, &r), DD_OK);
        EXPECT_EQ(r.ddHwDesc.dwFlags, 0u);
        EXPECT_EQ(r.ddSwDesc.dcmColorModel, model);
    }
}

TEST_F(Direct3DFixture, RefusesMalformedSearches) {
    D3DFINDDEVICESEARCH s = search(D3DFDS_COLORMODEL, D3DCOLOR_RGB);
    D3DFINDDEVICERESULT r = emptyResult();
    EXPECT_EQ(d3d->FindDevice(nullptr, &r), DDERR_INVALIDPARAMS);
    EXPECT_EQ(d3d->FindDevice(&s, nullptr), DDERR_INVALIDPARAMS);
    r.dwSize = 100;
    EXPECT_EQ(d3d->FindDevice(&s, &r), DDERR_INVALIDPARAMS);
    r = emptyResult();
    s.dcmColorModel = 3;
    EXPECT_EQ(d3d->FindDevice(&s, &r), DDERR_NOTFOUND);
    s = search(D3DFDS_GUID, 0);
    s.guid = IID_IDirect3D;
    EXPECT_EQ(d3d->FindDevice(&s, &r), DDERR_NOTFOUND);
    s.guid = IID_IDirect3DRGBDevice;
    EXPECT_EQ(d3d->FindDevice(&s, &r), DD_OK);
    EXPECT_EQ(r.guid, IID_IDirect3DRGBDevice);
}

TEST(DirectDrawTest, OnlyTheDefaultDriverExists) {
    IDirectDraw* dd = nullptr;
    GUID other{1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(DirectDrawCreate(&other, &dd, nullptr), DDERR_INVALIDDIRECTDRAWGUID);
    EXPECT_EQ(dd, nullptr);
    EXPECT_EQ(DirectDrawCreate(nullptr, nullptr, nullptr), DDERR_INVALIDPARAMS);
    ASSERT_EQ(DirectDrawCreate(nullptr, &dd, nullptr), DD_OK);
    void* p = nullptr;
    EXPECT_EQ(dd->QueryInterface(IID_IDirect3DRGBDevice, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    // Direct3D hands the DirectDraw object back.
    IDirect3D* d3d = nullptr;
    ASSERT_EQ(dd->QueryInterface(IID_IDirect3D, reinterpret_cast<void**>(&d3d)), DD_OK);
    IDirectDraw* back = nullptr;
    ASSERT_EQ(d3d->QueryInterface(IID_IDirectDraw, reinterpret_cast<void**>(&back)), DD_OK);
    EXPECT_EQ(back, dd);
    back->Release();
    d3d->Release();
    EXPECT_EQ(dd->Release(), 0u);
}
