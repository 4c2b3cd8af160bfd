// DirectDraw subset: the clipper that binds a retained-mode device to a window, and the
// Direct3D device search. There is one drawing device, OpenGL, offered in the ramp and
// the RGB colour models; it renders at every desktop depth.
#pragma once

#include "platform/rm/d3drm.h"

inline constexpr GUID IID_IDirectDraw = {0x6c14db80, 0xa733, 0x11ce, {0xa5, 0x21, 0x00, 0x20, 0xaf, 0x0b, 0xe5, 0x60}};
inline constexpr GUID IID_IDirectDrawClipper = {0x6c14db85, 0xa733, 0x11ce, {0xa5, 0x21, 0x00, 0x20, 0xaf, 0x0b, 0xe5, 0x60}};
inline constexpr GUID IID_IDirect3D = {0x3bba0080, 0x2421, 0x11cf, {0xa3, 0x1a, 0x00, 0xaa, 0x00, 0xb9, 0x33, 0x56}};
// The devices FindDevice returns; CreateDeviceFromClipper takes either.
inline constexpr GUID IID_IDirect3DRampDevice = {0xf2086b20, 0x259f, 0x11cf, {0xa3, 0x1a, 0x00, 0xaa, 0x00, 0xb9, 0x33, 0x56}};
inline constexpr GUID IID_IDirect3DRGBDevice = {0xa4665c60, 0x2673, 0x11cf, {0xa3, 0x1a, 0x00, 0xaa, 0x00, 0xb9, 0x33, 0x56}};

// Render depth flags (D3DDEVICEDESC::dwDeviceRenderBitDepth).
#define DDBD_1 0x00004000l
#define DDBD_2 0x00002000l
#define DDBD_4 0x00001000l
#define DDBD_8 0x00000800l
#define DDBD_16 0x00000400l
#define DDBD_24 0x00000200l
#define DDBD_32 0x00000100l

// D3DFINDDEVICESEARCH::dwFlags.
#define D3DFDS_COLORMODEL 0x00000001l
#define D3DFDS_GUID 0x00000002l
#define D3DFDS_HARDWARE 0x00000004l
#define D3DFDS_TRIANGLES 0x00000008l
#define D3DFDS_LINES 0x00000010l
#define D3DFDS_MISCCAPS 0x00000020l
#define D3DFDS_RASTERCAPS 0x00000040l
#define D3DFDS_ZCMPCAPS 0x00000080l
#define D3DFDS_ALPHACMPCAPS 0x00000100l
#define D3DFDS_SRCBLENDCAPS 0x00000200l
#define D3DFDS_DSTBLENDCAPS 0x00000400l
#define D3DFDS_SHADECAPS 0x00000800l
#define D3DFDS_TEXTURECAPS 0x00001000l
#define D3DFDS_TEXTUREFILTERCAPS 0x00002000l
#define D3DFDS_TEXTUREBLENDCAPS 0x00004000l
#define D3DFDS_TEXTUREADDRESSCAPS 0x00008000l

// D3DDEVICEDESC::dwFlags: which members are valid.
#define D3DDD_COLORMODEL 0x00000001l
#define D3DDD_DEVCAPS 0x00000002l
#define D3DDD_TRANSFORMCAPS 0x00000004l
#define D3DDD_LIGHTINGCAPS 0x00000008l
#define D3DDD_BCLIPPING 0x00000010l
#define D3DDD_LINECAPS 0x00000020l
#define D3DDD_TRICAPS 0x00000040l
#define D3DDD_DEVICERENDERBITDEPTH 0x00000080l
#define D3DDD_DEVICEZBUFFERBITDEPTH 0x00000100l
#define D3DDD_MAXBUFFERSIZE 0x00000200l
#define D3DDD_MAXVERTEXCOUNT 0x00000400l

#define D3DPMISCCAPS_CULLNONE 0x00000010l
#define D3DPMISCCAPS_CULLCW 0x00000020l
#define D3DPMISCCAPS_CULLCCW 0x00000040l
#define D3DPSHADECAPS_COLORFLATRGB 0x00000008l
#define D3DPSHADECAPS_COLORGOURAUDRGB 0x00000200l
#define D3DPSHADECAPS_COLORPHONGRGB 0x00002000l
#define D3DPTFILTERCAPS_NEAREST 0x00000001l
#define D3DPTFILTERCAPS_LINEAR 0x00000002l
#define D3DPTFILTERCAPS_MIPNEAREST 0x00000004l
#define D3DPTFILTERCAPS_MIPLINEAR 0x00000008l
#define D3DPTFILTERCAPS_LINEARMIPNEAREST 0x00000010l
#define D3DPTFILTERCAPS_LINEARMIPLINEAR 0x00000020l

struct D3DPRIMCAPS {
    DWORD dwSize;
    DWORD dwMiscCaps;
    DWORD dwRasterCaps;
    DWORD dwZCmpCaps;
    DWORD dwSrcBlendCaps;
    DWORD dwDestBlendCaps;
    DWORD dwAlphaCmpCaps;
    DWORD dwShadeCaps;
    DWORD dwTextureCaps;
    DWORD dwTextureFilterCaps;
    DWORD dwTextureBlendCaps;
    DWORD dwTextureAddressCaps;
    DWORD dwStippleWidth;
    DWORD dwStippleHeight;
};

struct D3DTRANSFORMCAPS {
    DWORD dwSize;
    DWORD dwCaps;
};

struct D3DLIGHTINGCAPS {
    DWORD dwSize;
    DWORD dwCaps;
    DWORD dwLightingModel;
    DWORD dwNumLights;
};

// The layout of the first Direct3D releases (172 bytes), which callers size by dwSize.
struct D3DDEVICEDESC {
    DWORD dwSize;
    DWORD dwFlags;
    D3DCOLORMODEL dcmColorModel;
    DWORD dwDevCaps;
    D3DTRANSFORMCAPS dtcTransformCaps;
    BOOL bClipping;
    D3DLIGHTINGCAPS dlcLightingCaps;
    D3DPRIMCAPS dpcLineCaps;
    D3DPRIMCAPS dpcTriCaps;
    DWORD dwDeviceRenderBitDepth;
    DWORD dwDeviceZBufferBitDepth;
    DWORD dwMaxBufferSize;
    DWORD dwMaxVertexCount;
};

struct D3DFINDDEVICESEARCH {
    DWORD dwSize;
    DWORD dwFlags;
    BOOL bHardware;
    D3DCOLORMODEL dcmColorModel;
    GUID guid;
    DWORD dwCaps;
    D3DPRIMCAPS dpcPrimCaps;
};
typedef D3DFINDDEVICESEARCH* LPD3DFINDDEVICESEARCH;

struct D3DFINDDEVICERESULT {
    DWORD dwSize;
    GUID guid;
    D3DDEVICEDESC ddHwDesc;
    D3DDEVICEDESC ddSwDesc;
};
typedef D3DFINDDEVICERESULT* LPD3DFINDDEVICERESULT;

static_assert(sizeof(D3DFINDDEVICESEARCH) == 92);
static_assert(sizeof(D3DFINDDEVICERESULT) == 364);

struct IDirectDrawClipper : IUnknown {
    // flags must be 0; a null window unbinds.
    virtual HRESULT SetHWnd(DWORD flags, HWND hwnd) = 0;
    virtual HRESULT GetHWnd(HWND* hwnd) = 0;
};
typedef IDirectDrawClipper* LPDIRECTDRAWCLIPPER;

struct IDirect3D : IUnknown {
    virtual HRESULT FindDevice(LPD3DFINDDEVICESEARCH search, LPD3DFINDDEVICERESULT result) = 0;
};
typedef IDirect3D* LPDIRECT3D;

struct IDirectDraw : IUnknown {};
typedef IDirectDraw* LPDIRECTDRAW;

HRESULT DirectDrawCreateClipper(DWORD flags, LPDIRECTDRAWCLIPPER* clipper, IUnknown* outer);
// guid: null for the default driver (the only one).
HRESULT DirectDrawCreate(GUID* guid, LPDIRECTDRAW* ddraw, IUnknown* outer);

// Live DirectDraw objects in this process (tests check for leaks).
long ddrawLiveObjectCount();
