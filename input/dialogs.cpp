#include "input/dialogs.h"

#include <cstring>

#include "scene/selection.h"
#include "report/report_error.h"
#include "viewer/result_name.h"

namespace {

// Custom colours are not kept from one dialog to the next.
COLORREF customColors[16];

BYTE componentByte(D3DVALUE component) {
    return static_cast<BYTE>(static_cast<int>(component * 255.0) & 0xFF);
}

}  // namespace

int chooseColor(HWND window, D3DCOLOR* color) {
    for (COLORREF& custom : customColors) custom = RGB(255, 255, 255);

    // Scene to dialog truncates; the alpha is lost.
    const COLORREF initial = static_cast<COLORREF>(componentByte(D3DRMColorGetRed(*color))) |
                             static_cast<COLORREF>(componentByte(D3DRMColorGetGreen(*color))) << 8 |
                             static_cast<COLORREF>(componentByte(D3DRMColorGetBlue(*color))) << 16;

    CHOOSECOLORA chooser = {};
    chooser.lStructSize = 36;
    chooser.hwndOwner = window;
    chooser.hInstance = nullptr;
    chooser.rgbResult = initial;
    chooser.lpCustColors = customColors;
    chooser.Flags = CC_RGBINIT | CC_FULLOPEN;
    chooser.lCustData = 0;
    chooser.lpfnHook = nullptr;
    chooser.lpTemplateName = nullptr;
    if (ChooseColorA(&chooser) == 0) return 0;

    const float k = 1.0f / 255.0f;
    const COLORREF chosen = chooser.rgbResult;
    *color = D3DRMCreateColorRGB(static_cast<D3DVALUE>(chosen & 0xFF) * k,
                                 static_cast<D3DVALUE>((chosen >> 8) & 0xFF) * k,
                                 static_cast<D3DVALUE>((chosen >> 16) & 0xFF) * k);
    return 1;
}

void colorSelection(HWND window) {
    IDirect3DRMFrame* frame = getSelectedFrame();
    IDirect3DRMMeshBuilder* visual = getSelectedVisual();
    if (frame == nullptr || visual == nullptr) return;
    IDirect3DRMMeshBuilder* builder = nullptr;
    if (visual->QueryInterface(IID_IDirect3DRMMeshBuilder, reinterpret_cast<void**>(&builder)) <
            0 ||
        builder == nullptr)
        return;

    IDirect3DRMLight* light = getSelectedLight();
    if (light != nullptr) {
        // A light's model takes the light's colour; failures here are not shown.
        D3DCOLOR color = light->GetColor();
        if (chooseColor(window, &color) == 1) {
            builder->SetColor(color);
            light->SetColor(color);
        }
    } else {
        D3DCOLOR color = D3DRMCreateColorRGB(0.0f, 0.0f, 0.0f);
        if (builder->GetFaceCount() != 0) {
            IDirect3DRMFaceArray* faces = nullptr;
            if (builder->GetFaces(&faces) >= 0 && faces != nullptr) {
                IDirect3DRMFace* face = nullptr;
                if (faces->GetElement(0, &face) >= 0 && face != nullptr) {
                    color = face->GetColor();
                    face->Release();
                }
                faces->Release();
            }
        }
        if (chooseColor(window, &color) == 1) {
            const HRESULT result = builder->SetColor(color);
            if (result != D3DRM_OK)
                reportError("Failed to set the mesh's color.\n%s", resultName(result));
        }
    }
    builder->Release();
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            // Only OK (or Enter) closes the box; Esc and the close box send IDCANCEL.
            if (LOWORD(wParam) == IDOK) {
                EndDialog(dialog, 1);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

int showFileDialog(bool save, HWND window, const char* title, const char* filter, const char* defaultExtension,
                   DWORD flags, char* path, int pathSize) {
    path[0] = '\0';
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = window;
    ofn.lpstrFilter = filter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = path;
    ofn.nMaxFile = DWORD(pathSize);
    ofn.lpstrTitle = title;
    ofn.lpstrDefExt = defaultExtension;
    ofn.Flags = flags;
    if (!(save ? GetSaveFileNameA(&ofn) : GetOpenFileNameA(&ofn))) {
        if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL)
            reportError("The chosen file's path is longer than %d characters.\n", pathSize - 1);
        return 0;
    }
    return 1;
}

const char* chooseSavePath(HWND window, const char* title, const char* filter, const char* defaultExtension) {
    static char path[1024];
    // The current folder stays: the models' textures are found through it.
    return showFileDialog(true, window, title, filter, defaultExtension,
                          OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR, path, int(sizeof path))
               ? path
               : nullptr;
}
