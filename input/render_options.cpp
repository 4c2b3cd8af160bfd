#include "input/render_options.h"

#include <initializer_list>

#include "report/report_error.h"
#include "viewer/resize.h"
#include "viewer/result_name.h"
#include "viewer/viewer_state.h"

namespace {

constexpr DWORD kShadeMask = 0x007;
constexpr DWORD kLightMask = 0x038;
constexpr DWORD kFillMask = 0x1C0;
constexpr DWORD kLightOn = 0x008;
constexpr DWORD kLightOff = 0x000;

HMENU renderMenu(HWND window) { return GetSubMenu(GetMenu(window), kRenderMenuPosition); }

UINT checkFlag(bool on) { return MF_BYPOSITION | (on ? MF_CHECKED : MF_UNCHECKED); }

// Replaces one bit field of the device's quality; moves the check mark from the old
// value's item to the new one's first.
int setQualityField(HWND window, ViewerState* state, DWORD mask, DWORD value,
                    int (*menuPosition)(DWORD), const char* failure) {
    const D3DRMRENDERQUALITY q = state->device->GetQuality();
    HMENU submenu = renderMenu(window);
    CheckMenuItem(submenu, static_cast<UINT>(menuPosition(q & mask)), checkFlag(false));
    CheckMenuItem(submenu, static_cast<UINT>(menuPosition(value)), checkFlag(true));
    const HRESULT result = state->device->SetQuality((q & ~mask) | value);
    if (result != D3DRM_OK) {
        reportError(failure, resultName(result));
        return 0;
    }
    return 1;
}

}  // namespace

void showRenderSettings(HWND window, const ViewerState* state) {
    if (state == nullptr || state->device == nullptr) return;
    HMENU submenu = renderMenu(window);
    const D3DRMRENDERQUALITY q = state->device->GetQuality();
    CheckMenuItem(submenu, kMenuLighting, checkFlag((q & kLightMask) == kLightOn));
    for (DWORD fill : {D3DRMFILL_POINTS, D3DRMFILL_WIREFRAME, D3DRMFILL_SOLID})
        CheckMenuItem(submenu, static_cast<UINT>(fillModeMenuPosition(fill)),
                      checkFlag((q & kFillMask) == fill));
    for (DWORD shade : {D3DRMSHADE_FLAT, D3DRMSHADE_GOURAUD, D3DRMSHADE_PHONG})
        CheckMenuItem(submenu, static_cast<UINT>(shadeModeMenuPosition(shade)),
                      checkFlag((q & kShadeMask) == shade));
    CheckMenuItem(submenu, kMenuColorModelBase + 1, checkFlag(state->colorModel == 1));
    CheckMenuItem(submenu, kMenuColorModelBase + 2, checkFlag(state->colorModel != 1));
    CheckMenuItem(submenu, kMenuDithering, checkFlag(state->device->GetDither() != FALSE));
    CheckMenuItem(submenu, kMenuTextureFiltering,
                  checkFlag(state->device->GetTextureQuality() == D3DRMTEXTURE_LINEAR));
}

int fillModeMenuPosition(DWORD fill) {
    switch (fill) {
        case D3DRMFILL_POINTS:
            return menuItemPosition(kCommandPoints);
        case D3DRMFILL_WIREFRAME:
            return menuItemPosition(kCommandWireframe);
        case D3DRMFILL_SOLID:
            return menuItemPosition(kCommandSolid);
        default:
            return -1;
    }
}

int shadeModeMenuPosition(DWORD shade) {
    switch (shade) {
        case D3DRMSHADE_FLAT:
            return menuItemPosition(kCommandFlat);
        case D3DRMSHADE_GOURAUD:
            return menuItemPosition(kCommandGouraud);
        case D3DRMSHADE_PHONG:
            return menuItemPosition(kCommandPhong);
        default:
            return -1;
    }
}

int toggleLighting(HWND window, ViewerState* state) {
    if (state == nullptr || state->device == nullptr) return 0;
    const D3DRMRENDERQUALITY q = state->device->GetQuality();
    // Any value other than "on" in the light field counts as off.
    const DWORD light = (q & kLightMask) == kLightOn ? kLightOff : kLightOn;
    CheckMenuItem(renderMenu(window), kMenuLighting, checkFlag(light == kLightOn));
    const HRESULT result = state->device->SetQuality((q & ~kLightMask) | light);
    if (result != D3DRM_OK) {
        reportError("Setting the render quality while toggling lighting failed.\n%s",
                    resultName(result));
        return 0;
    }
    return 1;
}

int setFillMode(HWND window, ViewerState* state, DWORD fill) {
    if (state == nullptr || state->device == nullptr) return 0;
    return setQualityField(window, state, kFillMask, fill, fillModeMenuPosition,
                           "Setting the render quality while changing the fill mode failed.\n%s");
}

int setShadeMode(HWND window, ViewerState* state, DWORD shade) {
    if (state == nullptr || state->device == nullptr) return 0;
    return setQualityField(window, state, kShadeMask, shade, shadeModeMenuPosition,
                           "Setting the render quality while changing the shade mode failed.\n%s");
}

int setColorModel(HWND window, ViewerState* state, int model) {
    // After a failed rebuild, either model tries again at the size that failed.
    int width = 0, height = 0;
    const bool owed = rebuildOwed(state, &width, &height);
    if (state == nullptr || (state->device == nullptr && !owed)) return 0;
    const int old = state->colorModel;
    if (model == old && !owed) return 1;
    state->colorModel = model;
    // The colour model cannot change in place: a new device of the same size is made.
    if (!owed) {
        width = static_cast<int>(state->device->GetWidth());
        height = static_cast<int>(state->device->GetHeight());
    }
    if (!rebuildDevice(window, state, width, height)) return 0;
    showRenderSettings(window, state);
    HMENU submenu = renderMenu(window);
    CheckMenuItem(submenu, static_cast<UINT>(old + kMenuColorModelBase), checkFlag(false));
    CheckMenuItem(submenu, static_cast<UINT>(model + kMenuColorModelBase), checkFlag(true));
    return 1;
}

int toggleDithering(HWND window, ViewerState* state) {
    if (state == nullptr || state->device == nullptr) return 0;
    const BOOL dither = state->device->GetDither() == FALSE ? TRUE : FALSE;
    if (state->device->SetDither(dither) < 0) {
        reportError("Toggling dithering failed.\n");
        return 0;
    }
    CheckMenuItem(renderMenu(window), kMenuDithering, checkFlag(dither == TRUE));
    return 1;
}

int toggleTextureQuality(HWND window, ViewerState* state) {
    if (state == nullptr || state->device == nullptr) return 0;
    // Mipmap qualities count as "not nearest" and go back to nearest.
    const D3DRMTEXTUREQUALITY quality = state->device->GetTextureQuality() == D3DRMTEXTURE_NEAREST
                                            ? D3DRMTEXTURE_LINEAR
                                            : D3DRMTEXTURE_NEAREST;
    if (state->device->SetTextureQuality(quality) < 0) {
        reportError("Setting texture quality failed.\n");
        return 0;
    }
    CheckMenuItem(renderMenu(window), kMenuTextureFiltering,
                  checkFlag(quality == D3DRMTEXTURE_LINEAR));
    return 1;
}
