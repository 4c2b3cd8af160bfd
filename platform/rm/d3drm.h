// Retained-mode 3D API: the public contract the viewer is written against.
//
// Names, methods, constants and result codes follow the platform's documented
// interfaces. Every object is reference counted: create, query, clone and get
// operations return pointers that carry one reference, released with Release().
// Coordinates are left-handed with row vectors (v_parent = v_local x M).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// DWORD, BOOL, HDC and the other basic Win32 types.
#include "platform/win/win_types.h"

// The window-system layer has no COM types; these are ours.
typedef int32_t HRESULT;

#ifndef SOLLUX_GUID_DEFINED
#define SOLLUX_GUID_DEFINED
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID* LPGUID;
typedef const GUID& REFIID;
typedef const GUID& REFGUID;
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
#endif

#ifndef SOLLUX_IUNKNOWN_DEFINED
#define SOLLUX_IUNKNOWN_DEFINED
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    virtual ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
inline constexpr GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xc0, 0, 0, 0, 0, 0, 0, 0x46}};
#endif

// ---------------------------------------------------------------------------
// Result codes. MAKE_DDHRESULT(n) is the facility 0x876 failure code n.
#define SOLLUX_HR(x) (static_cast<HRESULT>(static_cast<uint32_t>(x)))
#ifndef MAKE_DDHRESULT
#define MAKE_DDHRESULT(code) SOLLUX_HR(0x88760000u + static_cast<uint32_t>(code))
#endif
#ifndef SUCCEEDED
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#endif
#ifndef FAILED
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#endif
#ifndef S_OK
#define S_OK SOLLUX_HR(0)
#endif
#ifndef S_FALSE
#define S_FALSE SOLLUX_HR(1)
#endif
#ifndef E_NOTIMPL
#define E_NOTIMPL SOLLUX_HR(0x80004001u)
#endif
#ifndef E_NOINTERFACE
#define E_NOINTERFACE SOLLUX_HR(0x80004002u)
#endif
#ifndef E_POINTER
#define E_POINTER SOLLUX_HR(0x80004003u)
#endif
#ifndef E_FAIL
#define E_FAIL SOLLUX_HR(0x80004005u)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY SOLLUX_HR(0x8007000Eu)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG SOLLUX_HR(0x80070057u)
#endif
#ifndef CLASS_E_NOAGGREGATION
#define CLASS_E_NOAGGREGATION SOLLUX_HR(0x80040110u)
#endif

#define D3DRM_OK S_OK
#define D3DRMERR_BADOBJECT MAKE_DDHRESULT(781)
#define D3DRMERR_BADTYPE MAKE_DDHRESULT(782)
#define D3DRMERR_BADALLOC MAKE_DDHRESULT(783)
#define D3DRMERR_FACEUSED MAKE_DDHRESULT(784)
#define D3DRMERR_NOTFOUND MAKE_DDHRESULT(785)
#define D3DRMERR_NOTDONEYET MAKE_DDHRESULT(786)
#define D3DRMERR_FILENOTFOUND MAKE_DDHRESULT(787)
#define D3DRMERR_BADFILE MAKE_DDHRESULT(788)
#define D3DRMERR_BADDEVICE MAKE_DDHRESULT(789)
#define D3DRMERR_BADVALUE MAKE_DDHRESULT(790)
#define D3DRMERR_BADMAJORVERSION MAKE_DDHRESULT(791)
#define D3DRMERR_BADMINORVERSION MAKE_DDHRESULT(792)
#define D3DRMERR_UNABLETOEXECUTE MAKE_DDHRESULT(793)

#define D3DERR_BADMAJORVERSION MAKE_DDHRESULT(700)
#define D3DERR_BADMINORVERSION MAKE_DDHRESULT(701)
#define D3DERR_EXECUTE_CREATE_FAILED MAKE_DDHRESULT(710)
#define D3DERR_EXECUTE_DESTROY_FAILED MAKE_DDHRESULT(711)
#define D3DERR_EXECUTE_LOCK_FAILED MAKE_DDHRESULT(712)
#define D3DERR_EXECUTE_UNLOCK_FAILED MAKE_DDHRESULT(713)
#define D3DERR_EXECUTE_LOCKED MAKE_DDHRESULT(714)
#define D3DERR_EXECUTE_NOT_LOCKED MAKE_DDHRESULT(715)
#define D3DERR_EXECUTE_FAILED MAKE_DDHRESULT(716)
#define D3DERR_EXECUTE_CLIPPED_FAILED MAKE_DDHRESULT(717)
#define D3DERR_TEXTURE_NO_SUPPORT MAKE_DDHRESULT(720)
#define D3DERR_TEXTURE_CREATE_FAILED MAKE_DDHRESULT(721)
#define D3DERR_TEXTURE_DESTROY_FAILED MAKE_DDHRESULT(722)
#define D3DERR_TEXTURE_LOCK_FAILED MAKE_DDHRESULT(723)
#define D3DERR_TEXTURE_UNLOCK_FAILED MAKE_DDHRESULT(724)
#define D3DERR_TEXTURE_LOAD_FAILED MAKE_DDHRESULT(725)
#define D3DERR_TEXTURELOCKED MAKE_DDHRESULT(727)
#define D3DERR_TEXTURE_NOT_LOCKED MAKE_DDHRESULT(728)
#define D3DERR_MATRIX_CREATE_FAILED MAKE_DDHRESULT(730)
#define D3DERR_MATRIX_DESTROY_FAILED MAKE_DDHRESULT(731)
#define D3DERR_MATRIX_SETDATA_FAILED MAKE_DDHRESULT(732)
#define D3DERR_SETVIEWPORTDATA_FAILED MAKE_DDHRESULT(734)
#define D3DERR_MATERIAL_CREATE_FAILED MAKE_DDHRESULT(740)
#define D3DERR_MATERIAL_DESTROY_FAILED MAKE_DDHRESULT(741)
#define D3DERR_MATERIAL_SETDATA_FAILED MAKE_DDHRESULT(742)
#define D3DERR_LIGHT_SET_FAILED MAKE_DDHRESULT(750)

#define DD_OK S_OK
#define DDERR_ALREADYINITIALIZED MAKE_DDHRESULT(5)
#define DDERR_CANNOTATTACHSURFACE MAKE_DDHRESULT(10)
#define DDERR_CANNOTDETACHSURFACE MAKE_DDHRESULT(20)
#define DDERR_CURRENTLYNOTAVAIL MAKE_DDHRESULT(40)
#define DDERR_EXCEPTION MAKE_DDHRESULT(55)
#define DDERR_GENERIC E_FAIL
#define DDERR_HEIGHTALIGN MAKE_DDHRESULT(90)
#define DDERR_INCOMPATIBLEPRIMARY MAKE_DDHRESULT(95)
#define DDERR_INVALIDCAPS MAKE_DDHRESULT(100)
#define DDERR_INVALIDCLIPLIST MAKE_DDHRESULT(110)
#define DDERR_INVALIDMODE MAKE_DDHRESULT(120)
#define DDERR_INVALIDOBJECT MAKE_DDHRESULT(130)
#define DDERR_INVALIDPARAMS E_INVALIDARG
#define DDERR_INVALIDPIXELFORMAT MAKE_DDHRESULT(145)
#define DDERR_INVALIDRECT MAKE_DDHRESULT(150)
#define DDERR_LOCKEDSURFACES MAKE_DDHRESULT(160)
#define DDERR_NO3D MAKE_DDHRESULT(170)
#define DDERR_NOALPHAHW MAKE_DDHRESULT(180)
#define DDERR_NOCLIPLIST MAKE_DDHRESULT(205)
#define DDERR_NOCOLORCONVHW MAKE_DDHRESULT(210)
#define DDERR_NOCOOPERATIVELEVELSET MAKE_DDHRESULT(212)
#define DDERR_NOCOLORKEY MAKE_DDHRESULT(215)
#define DDERR_NOCOLORKEYHW MAKE_DDHRESULT(220)
#define DDERR_NOEXCLUSIVEMODE MAKE_DDHRESULT(225)
#define DDERR_NOFLIPHW MAKE_DDHRESULT(230)
#define DDERR_NOGDI MAKE_DDHRESULT(240)
#define DDERR_NOMIRRORHW MAKE_DDHRESULT(250)
#define DDERR_NOTFOUND MAKE_DDHRESULT(255)
#define DDERR_NOOVERLAYHW MAKE_DDHRESULT(260)
#define DDERR_NORASTEROPHW MAKE_DDHRESULT(280)
#define DDERR_NOROTATIONHW MAKE_DDHRESULT(290)
#define DDERR_NOSTRETCHHW MAKE_DDHRESULT(310)
#define DDERR_NOT4BITCOLOR MAKE_DDHRESULT(316)
#define DDERR_NOT4BITCOLORINDEX MAKE_DDHRESULT(317)
#define DDERR_NOT8BITCOLOR MAKE_DDHRESULT(320)
#define DDERR_NOTEXTUREHW MAKE_DDHRESULT(330)
#define DDERR_NOVSYNCHW MAKE_DDHRESULT(335)
#define DDERR_NOZBUFFERHW MAKE_DDHRESULT(340)
#define DDERR_NOZOVERLAYHW MAKE_DDHRESULT(350)
#define DDERR_OUTOFCAPS MAKE_DDHRESULT(360)
#define DDERR_OUTOFMEMORY E_OUTOFMEMORY
#define DDERR_OUTOFVIDEOMEMORY MAKE_DDHRESULT(380)
#define DDERR_OVERLAYCANTCLIP MAKE_DDHRESULT(382)
#define DDERR_OVERLAYCOLORKEYONLYONEACTIVE MAKE_DDHRESULT(384)
#define DDERR_PALETTEBUSY MAKE_DDHRESULT(387)
#define DDERR_COLORKEYNOTSET MAKE_DDHRESULT(400)
#define DDERR_SURFACEALREADYATTACHED MAKE_DDHRESULT(410)
#define DDERR_SURFACEALREADYDEPENDENT MAKE_DDHRESULT(420)
#define DDERR_SURFACEBUSY MAKE_DDHRESULT(430)
#define DDERR_SURFACEISOBSCURED MAKE_DDHRESULT(440)
#define DDERR_SURFACELOST MAKE_DDHRESULT(450)
#define DDERR_SURFACENOTATTACHED MAKE_DDHRESULT(460)
#define DDERR_TOOBIGHEIGHT MAKE_DDHRESULT(470)
#define DDERR_TOOBIGSIZE MAKE_DDHRESULT(480)
#define DDERR_TOOBIGWIDTH MAKE_DDHRESULT(490)
#define DDERR_UNSUPPORTED E_NOTIMPL
#define DDERR_UNSUPPORTEDFORMAT MAKE_DDHRESULT(510)
#define DDERR_UNSUPPORTEDMASK MAKE_DDHRESULT(520)
#define DDERR_VERTICALBLANKINPROGRESS MAKE_DDHRESULT(537)
#define DDERR_WASSTILLDRAWING MAKE_DDHRESULT(540)
#define DDERR_XALIGN MAKE_DDHRESULT(560)
#define DDERR_INVALIDDIRECTDRAWGUID MAKE_DDHRESULT(561)
#define DDERR_DIRECTDRAWALREADYCREATED MAKE_DDHRESULT(562)
#define DDERR_NODIRECTDRAWHW MAKE_DDHRESULT(563)
#define DDERR_PRIMARYSURFACEALREADYEXISTS MAKE_DDHRESULT(564)
#define DDERR_NOEMULATION MAKE_DDHRESULT(565)
#define DDERR_REGIONTOOSMALL MAKE_DDHRESULT(566)
#define DDERR_CLIPPERISUSINGHWND MAKE_DDHRESULT(567)
#define DDERR_NOCLIPPERATTACHED MAKE_DDHRESULT(568)
#define DDERR_NOHWND MAKE_DDHRESULT(569)
#define DDERR_HWNDSUBCLASSED MAKE_DDHRESULT(570)
#define DDERR_HWNDALREADYSET MAKE_DDHRESULT(571)
#define DDERR_NOPALETTEATTACHED MAKE_DDHRESULT(572)
#define DDERR_NOPALETTEHW MAKE_DDHRESULT(573)
#define DDERR_BLTFASTCANTCLIP MAKE_DDHRESULT(574)
#define DDERR_NOBLTHW MAKE_DDHRESULT(575)
#define DDERR_NODDROPSHW MAKE_DDHRESULT(576)
#define DDERR_OVERLAYNOTVISIBLE MAKE_DDHRESULT(577)
#define DDERR_NOOVERLAYDEST MAKE_DDHRESULT(578)
#define DDERR_INVALIDPOSITION MAKE_DDHRESULT(579)
#define DDERR_NOTAOVERLAYSURFACE MAKE_DDHRESULT(580)
#define DDERR_EXCLUSIVEMODEALREADYSET MAKE_DDHRESULT(581)
#define DDERR_NOTFLIPPABLE MAKE_DDHRESULT(582)
#define DDERR_CANTDUPLICATE MAKE_DDHRESULT(583)
#define DDERR_NOTLOCKED MAKE_DDHRESULT(584)
#define DDERR_CANTCREATEDC MAKE_DDHRESULT(585)
#define DDERR_NODC MAKE_DDHRESULT(586)
#define DDERR_WRONGMODE MAKE_DDHRESULT(587)
#define DDERR_IMPLICITLYCREATED MAKE_DDHRESULT(588)
#define DDERR_NOTPALETTIZED MAKE_DDHRESULT(589)

// ---------------------------------------------------------------------------
// Values, vectors, colours, matrices.
typedef float D3DVALUE;
typedef D3DVALUE* LPD3DVALUE;
#define D3DVAL(val) (static_cast<D3DVALUE>(val))
#define D3DDivide(a, b) (static_cast<D3DVALUE>((double)(a) / (double)(b)))
#define D3DMultiply(a, b) ((a) * (b))

struct D3DVECTOR {
    D3DVALUE x;
    D3DVALUE y;
    D3DVALUE z;
};
typedef D3DVECTOR* LPD3DVECTOR;

struct D3DRMVECTOR4D {
    D3DVALUE x;
    D3DVALUE y;
    D3DVALUE z;
    D3DVALUE w;
};
typedef D3DRMVECTOR4D* LPD3DRMVECTOR4D;

// [row][column]; the translation is row 3.
typedef D3DVALUE D3DRMMATRIX4D[4][4];

struct D3DRMQUATERNION {
    D3DVALUE s;
    D3DVECTOR v;
};
typedef D3DRMQUATERNION* LPD3DRMQUATERNION;

struct D3DRMBOX {
    D3DVECTOR min;
    D3DVECTOR max;
};
typedef D3DRMBOX* LPD3DRMBOX;

// 0xAARRGGBB.
typedef DWORD D3DCOLOR;
typedef D3DCOLOR* LPD3DCOLOR;
#define RGB_MAKE(r, g, b) \
    (static_cast<D3DCOLOR>((0xffu << 24) | (((r)&0xffu) << 16) | (((g)&0xffu) << 8) | ((b)&0xffu)))
#define RGBA_MAKE(r, g, b, a)                                                                \
    (static_cast<D3DCOLOR>((((a)&0xffu) << 24) | (((r)&0xffu) << 16) | (((g)&0xffu) << 8) | \
                           ((b)&0xffu)))
#define RGB_GETRED(rgb) (((rgb) >> 16) & 0xffu)
#define RGB_GETGREEN(rgb) (((rgb) >> 8) & 0xffu)
#define RGB_GETBLUE(rgb) ((rgb)&0xffu)
#define RGBA_GETALPHA(rgb) ((rgb) >> 24)

typedef DWORD D3DCOLORMODEL;
#define D3DCOLOR_MONO 1
#define D3DCOLOR_RGB 2

struct D3DRMVERTEX {
    D3DVECTOR position;
    D3DVECTOR normal;
    D3DVALUE tu;
    D3DVALUE tv;
    D3DCOLOR color;
};

typedef LONG D3DRMGROUPINDEX;

struct D3DRMPICKDESC {
    ULONG ulFaceIdx;
    LONG lGroupIdx;
    D3DVECTOR vPosition;  // world coordinates of the hit
};
typedef D3DRMPICKDESC* LPD3DRMPICKDESC;

// Pixel images (textures). Our textures always hold 32-bit RGBA, rows top-down.
struct D3DRMPALETTEENTRY {
    unsigned char red;
    unsigned char green;
    unsigned char blue;
    unsigned char flags;
};
struct D3DRMIMAGE {
    int width;
    int height;
    int aspectx;
    int aspecty;
    int depth;
    int rgb;
    int bytes_per_line;
    void* buffer1;
    void* buffer2;
    unsigned long red_mask;
    unsigned long green_mask;
    unsigned long blue_mask;
    unsigned long alpha_mask;
    int palette_size;
    D3DRMPALETTEENTRY* palette;
};
typedef D3DRMIMAGE* LPD3DRMIMAGE;

// ---------------------------------------------------------------------------
// Enumerations.
typedef DWORD D3DRMSHADEMODE;
#define D3DRMSHADE_FLAT 0
#define D3DRMSHADE_GOURAUD 1
#define D3DRMSHADE_PHONG 2
#define D3DRMSHADE_MASK 7
#define D3DRMSHADE_MAX 8

typedef DWORD D3DRMLIGHTMODE;
#define D3DRMLIGHT_OFF (0 * D3DRMSHADE_MAX)
#define D3DRMLIGHT_ON (1 * D3DRMSHADE_MAX)
#define D3DRMLIGHT_MASK (7 * D3DRMSHADE_MAX)
#define D3DRMLIGHT_MAX (8 * D3DRMSHADE_MAX)

typedef DWORD D3DRMFILLMODE;
#define D3DRMFILL_POINTS (0 * D3DRMLIGHT_MAX)
#define D3DRMFILL_WIREFRAME (1 * D3DRMLIGHT_MAX)
#define D3DRMFILL_SOLID (2 * D3DRMLIGHT_MAX)
#define D3DRMFILL_MASK (7 * D3DRMLIGHT_MAX)
#define D3DRMFILL_MAX (8 * D3DRMLIGHT_MAX)

typedef DWORD D3DRMRENDERQUALITY;
#define D3DRMRENDER_WIREFRAME (D3DRMSHADE_FLAT | D3DRMLIGHT_OFF | D3DRMFILL_WIREFRAME)
#define D3DRMRENDER_UNLITFLAT (D3DRMSHADE_FLAT | D3DRMLIGHT_OFF | D3DRMFILL_SOLID)
#define D3DRMRENDER_FLAT (D3DRMSHADE_FLAT | D3DRMLIGHT_ON | D3DRMFILL_SOLID)
#define D3DRMRENDER_GOURAUD (D3DRMSHADE_GOURAUD | D3DRMLIGHT_ON | D3DRMFILL_SOLID)
#define D3DRMRENDER_PHONG (D3DRMSHADE_PHONG | D3DRMLIGHT_ON | D3DRMFILL_SOLID)

#define D3DRMWIREFRAME_CULL 1
#define D3DRMWIREFRAME_HIDDENLINE 2

enum D3DRMTEXTUREQUALITY {
    D3DRMTEXTURE_NEAREST,
    D3DRMTEXTURE_LINEAR,
    D3DRMTEXTURE_MIPNEAREST,
    D3DRMTEXTURE_MIPLINEAR,
    D3DRMTEXTURE_LINEARMIPNEAREST,
    D3DRMTEXTURE_LINEARMIPLINEAR
};

enum D3DRMCOMBINETYPE { D3DRMCOMBINE_REPLACE, D3DRMCOMBINE_BEFORE, D3DRMCOMBINE_AFTER };

enum D3DRMLIGHTTYPE {
    D3DRMLIGHT_AMBIENT,
    D3DRMLIGHT_POINT,
    D3DRMLIGHT_SPOT,
    D3DRMLIGHT_DIRECTIONAL,
    D3DRMLIGHT_PARALLELPOINT
};

enum D3DRMPROJECTIONTYPE {
    D3DRMPROJECT_PERSPECTIVE,
    D3DRMPROJECT_ORTHOGRAPHIC,
    D3DRMPROJECT_RIGHTHANDPERSPECTIVE,
    D3DRMPROJECT_RIGHTHANDORTHOGRAPHIC
};

enum D3DRMCOLORSOURCE { D3DRMCOLOR_FROMFACE, D3DRMCOLOR_FROMVERTEX };

enum D3DRMMATERIALMODE { D3DRMMATERIAL_FROMMESH, D3DRMMATERIAL_FROMPARENT, D3DRMMATERIAL_FROMFRAME };

enum D3DRMFRAMECONSTRAINT { D3DRMCONSTRAIN_Z, D3DRMCONSTRAIN_Y, D3DRMCONSTRAIN_X };

enum D3DRMXOFFORMAT { D3DRMXOF_BINARY, D3DRMXOF_COMPRESSED, D3DRMXOF_TEXT };

typedef DWORD D3DRMMAPPING;
#define D3DRMMAP_WRAPU 1
#define D3DRMMAP_WRAPV 2
#define D3DRMMAP_PERSPCORRECT 4

typedef DWORD D3DRMLOADOPTIONS;
#define D3DRMLOAD_FROMFILE 0x00
#define D3DRMLOAD_FROMRESOURCE 0x01
#define D3DRMLOAD_FROMMEMORY 0x02
#define D3DRMLOAD_FROMSTREAM 0x04
#define D3DRMLOAD_FROMURL 0x08
#define D3DRMLOAD_BYNAME 0x10
#define D3DRMLOAD_BYPOSITION 0x20
#define D3DRMLOAD_BYGUID 0x40
#define D3DRMLOAD_FIRST 0x80
#define D3DRMLOAD_INSTANCEBYREFERENCE 0x100
#define D3DRMLOAD_INSTANCEBYCOPYING 0x200

// Load from memory: pass a D3DRMLOADMEMORY* as the source with D3DRMLOAD_FROMMEMORY.
struct D3DRMLOADMEMORY {
    void* lpMemory;
    DWORD dSize;
};

typedef DWORD D3DRMANIMATIONOPTIONS;
#define D3DRMANIMATION_OPEN 0x01
#define D3DRMANIMATION_CLOSED 0x02
#define D3DRMANIMATION_LINEARPOSITION 0x04
#define D3DRMANIMATION_SPLINEPOSITION 0x08
#define D3DRMANIMATION_SCALEANDROTATION 0x10
#define D3DRMANIMATION_POSITION 0x20

// ---------------------------------------------------------------------------
// Interfaces.
struct IDirectDrawClipper;  // the drawing layer's (platform/rm/ddraw.h)
typedef IDirectDrawClipper* LPDIRECTDRAWCLIPPER;

struct IDirect3DRM;
struct IDirect3DRMObject;
struct IDirect3DRMVisual;
struct IDirect3DRMFrame;
struct IDirect3DRMMeshBuilder;
struct IDirect3DRMMesh;
struct IDirect3DRMFace;
struct IDirect3DRMLight;
struct IDirect3DRMTexture;
struct IDirect3DRMMaterial;
struct IDirect3DRMAnimation;
struct IDirect3DRMAnimationSet;
struct IDirect3DRMDevice;
struct IDirect3DRMWinDevice;
struct IDirect3DRMViewport;
struct IDirect3DRMFrameArray;
struct IDirect3DRMVisualArray;
struct IDirect3DRMLightArray;
struct IDirect3DRMFaceArray;
struct IDirect3DRMPickedArray;

typedef IDirect3DRM* LPDIRECT3DRM;
typedef IDirect3DRMObject* LPDIRECT3DRMOBJECT;
typedef IDirect3DRMVisual* LPDIRECT3DRMVISUAL;
typedef IDirect3DRMFrame* LPDIRECT3DRMFRAME;
typedef IDirect3DRMMeshBuilder* LPDIRECT3DRMMESHBUILDER;
typedef IDirect3DRMMesh* LPDIRECT3DRMMESH;
typedef IDirect3DRMFace* LPDIRECT3DRMFACE;
typedef IDirect3DRMLight* LPDIRECT3DRMLIGHT;
typedef IDirect3DRMTexture* LPDIRECT3DRMTEXTURE;
typedef IDirect3DRMMaterial* LPDIRECT3DRMMATERIAL;
typedef IDirect3DRMAnimation* LPDIRECT3DRMANIMATION;
typedef IDirect3DRMAnimationSet* LPDIRECT3DRMANIMATIONSET;
typedef IDirect3DRMDevice* LPDIRECT3DRMDEVICE;
typedef IDirect3DRMWinDevice* LPDIRECT3DRMWINDEVICE;
typedef IDirect3DRMViewport* LPDIRECT3DRMVIEWPORT;
typedef IDirect3DRMFrameArray* LPDIRECT3DRMFRAMEARRAY;
typedef IDirect3DRMVisualArray* LPDIRECT3DRMVISUALARRAY;
typedef IDirect3DRMLightArray* LPDIRECT3DRMLIGHTARRAY;
typedef IDirect3DRMFaceArray* LPDIRECT3DRMFACEARRAY;
typedef IDirect3DRMPickedArray* LPDIRECT3DRMPICKEDARRAY;

typedef void (*D3DRMOBJECTCALLBACK)(IDirect3DRMObject* obj, void* arg);
typedef void (*D3DRMFRAMEMOVECALLBACK)(IDirect3DRMFrame* obj, void* arg, D3DVALUE delta);
// Asked for every texture file a loaded file names; stores a texture carrying one
// reference in *tex (the loader takes its own reference and releases the caller's).
typedef HRESULT (*D3DRMLOADTEXTURECALLBACK)(char* tex_name, void* arg, IDirect3DRMTexture** tex);

// Interface identifiers.
#define SOLLUX_RM_IID(name, n) \
    inline constexpr GUID name = {0xeb16cb00u + (n), 0xd271, 0x11ce, {0xac, 0x48, 0x00, 0x00, 0xc0, 0x38, 0x25, 0xa1}}
SOLLUX_RM_IID(IID_IDirect3DRM, 0x08);
SOLLUX_RM_IID(IID_IDirect3DRMObject, 0x00);
SOLLUX_RM_IID(IID_IDirect3DRMVisual, 0x04);
SOLLUX_RM_IID(IID_IDirect3DRMFrame, 0x03);
SOLLUX_RM_IID(IID_IDirect3DRMMeshBuilder, 0x01);
SOLLUX_RM_IID(IID_IDirect3DRMMesh, 0x02);
SOLLUX_RM_IID(IID_IDirect3DRMFace, 0x07);
SOLLUX_RM_IID(IID_IDirect3DRMLight, 0x05);
SOLLUX_RM_IID(IID_IDirect3DRMTexture, 0x09);
SOLLUX_RM_IID(IID_IDirect3DRMMaterial, 0x0d);
SOLLUX_RM_IID(IID_IDirect3DRMAnimation, 0x0e);
SOLLUX_RM_IID(IID_IDirect3DRMAnimationSet, 0x0f);
SOLLUX_RM_IID(IID_IDirect3DRMDevice, 0x10);
SOLLUX_RM_IID(IID_IDirect3DRMWinDevice, 0x11);
SOLLUX_RM_IID(IID_IDirect3DRMViewport, 0x12);
SOLLUX_RM_IID(IID_IDirect3DRMFrameArray, 0x13);
SOLLUX_RM_IID(IID_IDirect3DRMVisualArray, 0x14);
SOLLUX_RM_IID(IID_IDirect3DRMLightArray, 0x15);
SOLLUX_RM_IID(IID_IDirect3DRMFaceArray, 0x16);
SOLLUX_RM_IID(IID_IDirect3DRMPickedArray, 0x17);
#undef SOLLUX_RM_IID

struct IDirect3DRMObject : IUnknown {
    // A copy of the object (see each interface for how deep); pUnkOuter must be null.
    virtual HRESULT Clone(IUnknown* pUnkOuter, REFIID riid, void** ppvObj) = 0;
    virtual HRESULT AddDestroyCallback(D3DRMOBJECTCALLBACK callback, void* arg) = 0;
    virtual HRESULT DeleteDestroyCallback(D3DRMOBJECTCALLBACK callback, void* arg) = 0;
    virtual HRESULT SetAppData(DWORD data) = 0;
    virtual DWORD GetAppData() = 0;
    virtual HRESULT SetName(const char* name) = 0;
    // *size in: buffer size, out: bytes needed including the terminator; name may be null.
    virtual HRESULT GetName(DWORD* size, char* name) = 0;
    virtual HRESULT GetClassName(DWORD* size, char* name) = 0;
};

struct IDirect3DRMVisual : IDirect3DRMObject {};

struct IDirect3DRMFrame : IDirect3DRMVisual {
    virtual HRESULT AddChild(IDirect3DRMFrame* child) = 0;
    virtual HRESULT AddLight(IDirect3DRMLight* light) = 0;
    virtual HRESULT AddMoveCallback(D3DRMFRAMEMOVECALLBACK func, void* arg) = 0;
    virtual HRESULT AddTransform(D3DRMCOMBINETYPE type, D3DRMMATRIX4D matrix) = 0;
    virtual HRESULT AddTranslation(D3DRMCOMBINETYPE type, D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT AddScale(D3DRMCOMBINETYPE type, D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) = 0;
    virtual HRESULT AddRotation(D3DRMCOMBINETYPE type, D3DVALUE x, D3DVALUE y, D3DVALUE z,
                                D3DVALUE theta) = 0;
    virtual HRESULT AddVisual(IDirect3DRMVisual* visual) = 0;
    virtual HRESULT GetChildren(IDirect3DRMFrameArray** children) = 0;
    virtual D3DCOLOR GetColor() = 0;
    virtual HRESULT GetLights(IDirect3DRMLightArray** lights) = 0;
    virtual D3DRMMATERIALMODE GetMaterialMode() = 0;
    // *parent is null (with D3DRM_OK) for a root frame.
    virtual HRESULT GetParent(IDirect3DRMFrame** parent) = 0;
    virtual HRESULT GetPosition(IDirect3DRMFrame* reference, D3DVECTOR* position) = 0;
    virtual HRESULT GetRotation(IDirect3DRMFrame* reference, D3DVECTOR* axis, D3DVALUE* theta) = 0;
    virtual HRESULT GetScene(IDirect3DRMFrame** scene) = 0;
    virtual HRESULT GetTransform(D3DRMMATRIX4D matrix) = 0;
    virtual HRESULT GetVelocity(IDirect3DRMFrame* reference, D3DVECTOR* velocity, BOOL with_rotation) = 0;
    virtual HRESULT GetOrientation(IDirect3DRMFrame* reference, D3DVECTOR* dir, D3DVECTOR* up) = 0;
    virtual HRESULT GetVisuals(IDirect3DRMVisualArray** visuals) = 0;
    // Local (model) coordinates of this frame -> world, and back.
    virtual HRESULT InverseTransform(D3DVECTOR* dst, D3DVECTOR* src) = 0;
    // Loads the first frame hierarchy of a .x file as a child of this frame.
    virtual HRESULT Load(void* filename, void* name, D3DRMLOADOPTIONS flags,
                         D3DRMLOADTEXTURECALLBACK callback, void* arg) = 0;
    virtual HRESULT LookAt(IDirect3DRMFrame* target, IDirect3DRMFrame* reference,
                           D3DRMFRAMECONSTRAINT constraint) = 0;
    virtual HRESULT Move(D3DVALUE delta) = 0;
    virtual HRESULT DeleteChild(IDirect3DRMFrame* child) = 0;
    virtual HRESULT DeleteLight(IDirect3DRMLight* light) = 0;
    virtual HRESULT DeleteMoveCallback(D3DRMFRAMEMOVECALLBACK func, void* arg) = 0;
    virtual HRESULT DeleteVisual(IDirect3DRMVisual* visual) = 0;
    virtual D3DCOLOR GetSceneBackground() = 0;
    virtual HRESULT SetSceneBackground(D3DCOLOR color) = 0;
    virtual HRESULT SetSceneBackgroundRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT SetColor(D3DCOLOR color) = 0;
    virtual HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT SetMaterialMode(D3DRMMATERIALMODE mode) = 0;
    // dir becomes the z axis and up the y axis, both given in reference's coordinates.
    virtual HRESULT SetOrientation(IDirect3DRMFrame* reference, D3DVALUE dx, D3DVALUE dy, D3DVALUE dz,
                                   D3DVALUE ux, D3DVALUE uy, D3DVALUE uz) = 0;
    virtual HRESULT SetPosition(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    // Turns the frame by theta about the axis (in reference's coordinates) on every Move(1).
    virtual HRESULT SetRotation(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z,
                                D3DVALUE theta) = 0;
    virtual HRESULT SetVelocity(IDirect3DRMFrame* reference, D3DVALUE x, D3DVALUE y, D3DVALUE z,
                                BOOL with_rotation) = 0;
    virtual HRESULT Transform(D3DVECTOR* dst, D3DVECTOR* src) = 0;
};

struct IDirect3DRMMeshBuilder : IDirect3DRMVisual {
    // Reads every mesh of a .x file (top level or inside frames, each placed by its
    // frames' transforms) into this builder, replacing what it held.
    virtual HRESULT Load(void* filename, void* name, D3DRMLOADOPTIONS flags,
                         D3DRMLOADTEXTURECALLBACK callback, void* arg) = 0;
    virtual HRESULT Scale(D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) = 0;
    virtual HRESULT Translate(D3DVALUE tx, D3DVALUE ty, D3DVALUE tz) = 0;
    virtual HRESULT SetColorSource(D3DRMCOLORSOURCE source) = 0;
    virtual HRESULT GetBox(D3DRMBOX* box) = 0;
    virtual HRESULT GenerateNormals() = 0;
    virtual D3DRMCOLORSOURCE GetColorSource() = 0;
    virtual HRESULT AddMesh(IDirect3DRMMesh* mesh) = 0;
    virtual HRESULT AddMeshBuilder(IDirect3DRMMeshBuilder* builder) = 0;
    // Adds the geometry below frame, in frame's own coordinates.
    virtual HRESULT AddFrame(IDirect3DRMFrame* frame) = 0;
    virtual HRESULT AddFace(IDirect3DRMFace* face) = 0;
    // data: per face a vertex count n then n vertex indices (or, with normals,
    // n pairs of vertex and normal index); ends with 0.
    virtual HRESULT AddFaces(DWORD vcount, D3DVECTOR* vertices, DWORD ncount, D3DVECTOR* normals,
                             DWORD* data, IDirect3DRMFaceArray** faces) = 0;
    virtual HRESULT ReserveSpace(DWORD vertex_count, DWORD normal_count, DWORD face_count) = 0;
    virtual HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT SetColor(D3DCOLOR color) = 0;
    virtual HRESULT SetTexture(IDirect3DRMTexture* texture) = 0;
    virtual HRESULT SetMaterial(IDirect3DRMMaterial* material) = 0;
    virtual HRESULT SetQuality(D3DRMRENDERQUALITY quality) = 0;
    virtual HRESULT SetPerspective(BOOL enable) = 0;
    virtual HRESULT SetVertex(DWORD index, D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT SetNormal(DWORD index, D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT SetTextureCoordinates(DWORD index, D3DVALUE u, D3DVALUE v) = 0;
    virtual HRESULT SetVertexColor(DWORD index, D3DCOLOR color) = 0;
    virtual HRESULT SetVertexColorRGB(DWORD index, D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT GetFaces(IDirect3DRMFaceArray** faces) = 0;
    // Counts always; arrays only where the pointers are not null (face_data_size in DWORDs).
    virtual HRESULT GetVertices(DWORD* vcount, D3DVECTOR* vertices, DWORD* ncount, D3DVECTOR* normals,
                                DWORD* face_data_size, DWORD* face_data) = 0;
    virtual HRESULT GetTextureCoordinates(DWORD index, D3DVALUE* u, D3DVALUE* v) = 0;
    virtual int AddVertex(D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual int AddNormal(D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT CreateFace(IDirect3DRMFace** face) = 0;
    virtual D3DRMRENDERQUALITY GetQuality() = 0;
    virtual BOOL GetPerspective() = 0;
    virtual int GetFaceCount() = 0;
    virtual int GetVertexCount() = 0;
    virtual D3DCOLOR GetVertexColor(DWORD index) = 0;
    virtual HRESULT CreateMesh(IDirect3DRMMesh** mesh) = 0;
};

struct IDirect3DRMMesh : IDirect3DRMVisual {
    virtual HRESULT Scale(D3DVALUE sx, D3DVALUE sy, D3DVALUE sz) = 0;
    virtual HRESULT Translate(D3DVALUE tx, D3DVALUE ty, D3DVALUE tz) = 0;
    virtual HRESULT GetBox(D3DRMBOX* box) = 0;
    // vertex_per_face 0: each face in data starts with its own vertex count.
    virtual HRESULT AddGroup(unsigned vertex_count, unsigned face_count, unsigned vertex_per_face,
                             unsigned* face_data, D3DRMGROUPINDEX* id) = 0;
    virtual HRESULT SetVertices(D3DRMGROUPINDEX id, unsigned start, unsigned count, D3DRMVERTEX* values) = 0;
    virtual HRESULT SetGroupColor(D3DRMGROUPINDEX id, D3DCOLOR color) = 0;
    virtual HRESULT SetGroupColorRGB(D3DRMGROUPINDEX id, D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT SetGroupMapping(D3DRMGROUPINDEX id, D3DRMMAPPING value) = 0;
    virtual HRESULT SetGroupQuality(D3DRMGROUPINDEX id, D3DRMRENDERQUALITY value) = 0;
    virtual HRESULT SetGroupMaterial(D3DRMGROUPINDEX id, IDirect3DRMMaterial* value) = 0;
    virtual HRESULT SetGroupTexture(D3DRMGROUPINDEX id, IDirect3DRMTexture* value) = 0;
    virtual unsigned GetGroupCount() = 0;
    virtual HRESULT GetGroup(D3DRMGROUPINDEX id, unsigned* vertex_count, unsigned* face_count,
                             unsigned* vertex_per_face, DWORD* face_data_size, unsigned* face_data) = 0;
    virtual HRESULT GetVertices(D3DRMGROUPINDEX id, DWORD start, DWORD count, D3DRMVERTEX* values) = 0;
    virtual D3DCOLOR GetGroupColor(D3DRMGROUPINDEX id) = 0;
    virtual D3DRMMAPPING GetGroupMapping(D3DRMGROUPINDEX id) = 0;
    virtual D3DRMRENDERQUALITY GetGroupQuality(D3DRMGROUPINDEX id) = 0;
    virtual HRESULT GetGroupMaterial(D3DRMGROUPINDEX id, IDirect3DRMMaterial** material) = 0;
    virtual HRESULT GetGroupTexture(D3DRMGROUPINDEX id, IDirect3DRMTexture** texture) = 0;
};

// A face of a mesh builder (or a free face from CreateFace, until added to one).
struct IDirect3DRMFace : IDirect3DRMObject {
    virtual HRESULT AddVertex(D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT AddVertexAndNormalIndexed(DWORD vertex, DWORD normal) = 0;
    virtual HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT SetColor(D3DCOLOR color) = 0;
    virtual HRESULT SetTexture(IDirect3DRMTexture* texture) = 0;
    virtual HRESULT SetTextureCoordinates(DWORD vertex, D3DVALUE u, D3DVALUE v) = 0;
    virtual HRESULT SetMaterial(IDirect3DRMMaterial* material) = 0;
    virtual HRESULT GetVertex(DWORD index, D3DVECTOR* vertex, D3DVECTOR* normal) = 0;
    virtual HRESULT GetVertices(DWORD* vertex_count, D3DVECTOR* coords, D3DVECTOR* normals) = 0;
    virtual HRESULT GetTextureCoordinates(DWORD vertex, D3DVALUE* u, D3DVALUE* v) = 0;
    virtual HRESULT GetNormal(D3DVECTOR* normal) = 0;
    virtual HRESULT GetTexture(IDirect3DRMTexture** texture) = 0;
    virtual HRESULT GetMaterial(IDirect3DRMMaterial** material) = 0;
    virtual int GetVertexCount() = 0;
    virtual int GetVertexIndex(DWORD which) = 0;
    virtual int GetTextureCoordinateIndex(DWORD which) = 0;
    virtual D3DCOLOR GetColor() = 0;
};

struct IDirect3DRMLight : IDirect3DRMObject {
    virtual HRESULT SetType(D3DRMLIGHTTYPE type) = 0;
    virtual HRESULT SetColor(D3DCOLOR color) = 0;
    virtual HRESULT SetColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue) = 0;
    virtual HRESULT SetRange(D3DVALUE range) = 0;
    virtual HRESULT SetUmbra(D3DVALUE angle) = 0;
    virtual HRESULT SetPenumbra(D3DVALUE angle) = 0;
    virtual HRESULT SetConstantAttenuation(D3DVALUE value) = 0;
    virtual HRESULT SetLinearAttenuation(D3DVALUE value) = 0;
    virtual HRESULT SetQuadraticAttenuation(D3DVALUE value) = 0;
    virtual D3DVALUE GetRange() = 0;
    virtual D3DVALUE GetUmbra() = 0;
    virtual D3DVALUE GetPenumbra() = 0;
    virtual D3DVALUE GetConstantAttenuation() = 0;
    virtual D3DVALUE GetLinearAttenuation() = 0;
    virtual D3DVALUE GetQuadraticAttenuation() = 0;
    virtual D3DCOLOR GetColor() = 0;
    virtual D3DRMLIGHTTYPE GetType() = 0;
    virtual HRESULT SetEnableFrame(IDirect3DRMFrame* frame) = 0;
    virtual HRESULT GetEnableFrame(IDirect3DRMFrame** frame) = 0;
};

struct IDirect3DRMTexture : IDirect3DRMVisual {
    virtual HRESULT SetShades(DWORD shades) = 0;
    virtual HRESULT SetColors(DWORD colors) = 0;
    virtual DWORD GetShades() = 0;
    virtual DWORD GetColors() = 0;
    // 32-bit RGBA, rows top-down; owned by the texture.
    virtual D3DRMIMAGE* GetImage() = 0;
    virtual HRESULT Changed(BOOL pixels, BOOL palette) = 0;
};

struct IDirect3DRMMaterial : IDirect3DRMObject {
    virtual HRESULT SetPower(D3DVALUE power) = 0;
    virtual HRESULT SetSpecular(D3DVALUE r, D3DVALUE g, D3DVALUE b) = 0;
    virtual HRESULT SetEmissive(D3DVALUE r, D3DVALUE g, D3DVALUE b) = 0;
    virtual D3DVALUE GetPower() = 0;
    virtual HRESULT GetSpecular(D3DVALUE* r, D3DVALUE* g, D3DVALUE* b) = 0;
    virtual HRESULT GetEmissive(D3DVALUE* r, D3DVALUE* g, D3DVALUE* b) = 0;
};

struct IDirect3DRMAnimation : IDirect3DRMObject {
    virtual HRESULT SetOptions(D3DRMANIMATIONOPTIONS flags) = 0;
    virtual HRESULT AddRotateKey(D3DVALUE time, D3DRMQUATERNION* q) = 0;
    virtual HRESULT AddPositionKey(D3DVALUE time, D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT AddScaleKey(D3DVALUE time, D3DVALUE x, D3DVALUE y, D3DVALUE z) = 0;
    virtual HRESULT DeleteKey(D3DVALUE time) = 0;
    virtual HRESULT SetFrame(IDirect3DRMFrame* frame) = 0;
    virtual HRESULT SetTime(D3DVALUE time) = 0;
    virtual D3DRMANIMATIONOPTIONS GetOptions() = 0;
};

struct IDirect3DRMAnimationSet : IDirect3DRMObject {
    virtual HRESULT AddAnimation(IDirect3DRMAnimation* animation) = 0;
    // Loads the first AnimationSet of a .x file; animated frames that have no parent
    // get parent_frame as their parent.
    virtual HRESULT Load(void* filename, void* name, D3DRMLOADOPTIONS flags,
                         D3DRMLOADTEXTURECALLBACK callback, void* arg, IDirect3DRMFrame* parent_frame) = 0;
    virtual HRESULT DeleteAnimation(IDirect3DRMAnimation* animation) = 0;
    virtual HRESULT SetTime(D3DVALUE time) = 0;
};

struct IDirect3DRMDevice : IDirect3DRMObject {
    virtual HRESULT Update() = 0;
    virtual HRESULT SetBufferCount(DWORD count) = 0;
    virtual DWORD GetBufferCount() = 0;
    virtual HRESULT SetDither(BOOL dither) = 0;
    virtual HRESULT SetShades(DWORD shades) = 0;
    virtual HRESULT SetQuality(D3DRMRENDERQUALITY quality) = 0;
    virtual HRESULT SetTextureQuality(D3DRMTEXTUREQUALITY quality) = 0;
    virtual BOOL GetDither() = 0;
    virtual DWORD GetShades() = 0;
    virtual DWORD GetHeight() = 0;
    virtual DWORD GetWidth() = 0;
    virtual DWORD GetTrianglesDrawn() = 0;
    virtual DWORD GetWireframeOptions() = 0;
    virtual D3DRMRENDERQUALITY GetQuality() = 0;
    virtual D3DCOLORMODEL GetColorModel() = 0;
    virtual D3DRMTEXTUREQUALITY GetTextureQuality() = 0;
};

struct IDirect3DRMWinDevice : IDirect3DRMObject {
    virtual HRESULT HandlePaint(HDC hdc) = 0;
    virtual HRESULT HandleActivate(WORD wparam) = 0;
};

struct IDirect3DRMViewport : IDirect3DRMObject {
    virtual HRESULT Clear() = 0;
    virtual HRESULT Render(IDirect3DRMFrame* frame) = 0;
    virtual HRESULT SetFront(D3DVALUE value) = 0;
    virtual HRESULT SetBack(D3DVALUE value) = 0;
    virtual HRESULT SetField(D3DVALUE value) = 0;
    virtual HRESULT SetUniformScaling(BOOL value) = 0;
    virtual HRESULT SetCamera(IDirect3DRMFrame* camera) = 0;
    virtual HRESULT SetProjection(D3DRMPROJECTIONTYPE type) = 0;
    // World -> screen: x and y are pixels from the viewport's top-left times w.
    virtual HRESULT Transform(D3DRMVECTOR4D* dst, D3DVECTOR* src) = 0;
    virtual HRESULT InverseTransform(D3DVECTOR* dst, D3DRMVECTOR4D* src) = 0;
    virtual HRESULT Configure(LONG x, LONG y, DWORD width, DWORD height) = 0;
    virtual HRESULT ForceUpdate(DWORD x1, DWORD y1, DWORD x2, DWORD y2) = 0;
    virtual HRESULT SetPlane(D3DVALUE left, D3DVALUE right, D3DVALUE bottom, D3DVALUE top) = 0;
    virtual HRESULT GetCamera(IDirect3DRMFrame** camera) = 0;
    virtual HRESULT GetDevice(IDirect3DRMDevice** device) = 0;
    virtual HRESULT GetPlane(D3DVALUE* left, D3DVALUE* right, D3DVALUE* bottom, D3DVALUE* top) = 0;
    // Visuals under the point (pixels from the viewport's top-left), nearest first.
    virtual HRESULT Pick(LONG x, LONG y, IDirect3DRMPickedArray** visuals) = 0;
    virtual BOOL GetUniformScaling() = 0;
    virtual LONG GetX() = 0;
    virtual LONG GetY() = 0;
    virtual DWORD GetWidth() = 0;
    virtual DWORD GetHeight() = 0;
    virtual D3DVALUE GetField() = 0;
    virtual D3DVALUE GetBack() = 0;
    virtual D3DVALUE GetFront() = 0;
    virtual D3DRMPROJECTIONTYPE GetProjection() = 0;
};

// Arrays are plain IUnknowns; GetElement returns an AddRef'd pointer.
struct IDirect3DRMFrameArray : IUnknown {
    virtual DWORD GetSize() = 0;
    virtual HRESULT GetElement(DWORD index, IDirect3DRMFrame** frame) = 0;
};
struct IDirect3DRMVisualArray : IUnknown {
    virtual DWORD GetSize() = 0;
    virtual HRESULT GetElement(DWORD index, IDirect3DRMVisual** visual) = 0;
};
struct IDirect3DRMLightArray : IUnknown {
    virtual DWORD GetSize() = 0;
    virtual HRESULT GetElement(DWORD index, IDirect3DRMLight** light) = 0;
};
struct IDirect3DRMFaceArray : IUnknown {
    virtual DWORD GetSize() = 0;
    virtual HRESULT GetElement(DWORD index, IDirect3DRMFace** face) = 0;
};
struct IDirect3DRMPickedArray : IUnknown {
    virtual DWORD GetSize() = 0;
    // The frame array is the path from the root down to the frame holding the visual.
    virtual HRESULT GetPick(DWORD index, IDirect3DRMVisual** visual, IDirect3DRMFrameArray** frames,
                            D3DRMPICKDESC* desc) = 0;
};

struct IDirect3DRM : IUnknown {
    virtual HRESULT CreateFrame(IDirect3DRMFrame* parent, IDirect3DRMFrame** frame) = 0;
    virtual HRESULT CreateMesh(IDirect3DRMMesh** mesh) = 0;
    virtual HRESULT CreateMeshBuilder(IDirect3DRMMeshBuilder** builder) = 0;
    virtual HRESULT CreateFace(IDirect3DRMFace** face) = 0;
    virtual HRESULT CreateAnimation(IDirect3DRMAnimation** animation) = 0;
    virtual HRESULT CreateAnimationSet(IDirect3DRMAnimationSet** set) = 0;
    // Copies the image (any depth the palette or masks describe) into a new texture.
    virtual HRESULT CreateTexture(D3DRMIMAGE* image, IDirect3DRMTexture** texture) = 0;
    virtual HRESULT CreateLight(D3DRMLIGHTTYPE type, D3DCOLOR color, IDirect3DRMLight** light) = 0;
    virtual HRESULT CreateLightRGB(D3DRMLIGHTTYPE type, D3DVALUE red, D3DVALUE green, D3DVALUE blue,
                                   IDirect3DRMLight** light) = 0;
    virtual HRESULT CreateMaterial(D3DVALUE power, IDirect3DRMMaterial** material) = 0;
    // A device bound to the clipper's window; the drawing layer supplies its backend.
    virtual HRESULT CreateDeviceFromClipper(IDirectDrawClipper* clipper, GUID* guid, int width, int height,
                                            IDirect3DRMDevice** device) = 0;
    virtual HRESULT CreateViewport(IDirect3DRMDevice* device, IDirect3DRMFrame* camera, DWORD x, DWORD y,
                                   DWORD width, DWORD height, IDirect3DRMViewport** viewport) = 0;
    // Reads a BMP or PPM file (see the lookup rule of the texture loader).
    virtual HRESULT LoadTexture(const char* filename, IDirect3DRMTexture** texture) = 0;
    virtual HRESULT SetSearchPath(const char* path) = 0;
    virtual HRESULT AddSearchPath(const char* path) = 0;
    virtual HRESULT GetSearchPath(DWORD* size, char* path) = 0;
    virtual HRESULT SetDefaultTextureColors(DWORD colors) = 0;
    virtual HRESULT SetDefaultTextureShades(DWORD shades) = 0;
    virtual HRESULT GetNamedObject(const char* name, IDirect3DRMObject** object) = 0;
    virtual HRESULT Tick(D3DVALUE delta) = 0;
};

HRESULT Direct3DRMCreate(IDirect3DRM** d3drm);

// ---------------------------------------------------------------------------
// Helper functions.
D3DCOLOR D3DRMCreateColorRGB(D3DVALUE red, D3DVALUE green, D3DVALUE blue);
D3DCOLOR D3DRMCreateColorRGBA(D3DVALUE red, D3DVALUE green, D3DVALUE blue, D3DVALUE alpha);
D3DVALUE D3DRMColorGetRed(D3DCOLOR color);
D3DVALUE D3DRMColorGetGreen(D3DCOLOR color);
D3DVALUE D3DRMColorGetBlue(D3DCOLOR color);
D3DVALUE D3DRMColorGetAlpha(D3DCOLOR color);
D3DVECTOR* D3DRMVectorAdd(D3DVECTOR* d, D3DVECTOR* s1, D3DVECTOR* s2);
D3DVECTOR* D3DRMVectorSubtract(D3DVECTOR* d, D3DVECTOR* s1, D3DVECTOR* s2);
D3DVECTOR* D3DRMVectorReflect(D3DVECTOR* d, D3DVECTOR* ray, D3DVECTOR* norm);
D3DVECTOR* D3DRMVectorCrossProduct(D3DVECTOR* d, D3DVECTOR* s1, D3DVECTOR* s2);
D3DVALUE D3DRMVectorDotProduct(D3DVECTOR* s1, D3DVECTOR* s2);
// Scales v to unit length; a zero vector becomes (1, 0, 0).
D3DVECTOR* D3DRMVectorNormalize(D3DVECTOR* v);
D3DVALUE D3DRMVectorModulus(D3DVECTOR* v);
D3DVECTOR* D3DRMVectorRotate(D3DVECTOR* r, D3DVECTOR* v, D3DVECTOR* axis, D3DVALUE theta);
D3DVECTOR* D3DRMVectorScale(D3DVECTOR* d, D3DVECTOR* s, D3DVALUE factor);
D3DVECTOR* D3DRMVectorRandom(D3DVECTOR* d);
D3DRMQUATERNION* D3DRMQuaternionFromRotation(D3DRMQUATERNION* quat, D3DVECTOR* v, D3DVALUE theta);
D3DRMQUATERNION* D3DRMQuaternionMultiply(D3DRMQUATERNION* q, D3DRMQUATERNION* a, D3DRMQUATERNION* b);
D3DRMQUATERNION* D3DRMQuaternionSlerp(D3DRMQUATERNION* q, D3DRMQUATERNION* a, D3DRMQUATERNION* b,
                                      D3DVALUE alpha);
void D3DRMMatrixFromQuaternion(D3DRMMATRIX4D m, D3DRMQUATERNION* q);

// Beyond the API: why the last Load of a .x file failed with D3DRMERR_BADFILE, as the
// reader found it ("... at byte 3603"); empty after a load that did not fail so.
const char* D3DRMLastLoadFailure();
