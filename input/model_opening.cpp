#include "input/model_opening.h"

#include "conversion/x_conversion.h"
#include "input/dialogs.h"
#include "input/view_navigation.h"
#include "report/report_error.h"
#include "viewer/result_name.h"
#include "viewer/texture_callback.h"
#include "viewer/viewer_state.h"

namespace {

constexpr int kDialogPathSize = 256;

// The filter lists are pairs of description and pattern, ended by an empty string.
constexpr char kXFilter[] = "X files (*.x)\0*.x\0All Files (*.*)\0*.*\0";
constexpr char kRokkakuFilter[] = "*.rok;*.x\0*.rok;*.x\0All Files (*.*)\0*.*\0";

const char* chooseFile(HWND window, const char* title, const char* filter, const char* defaultExtension,
                       char* pathBuffer) {
    // Without OFN_NOCHANGEDIR the chosen file's folder becomes the current folder, where
    // the textures named in the file are then found.
    if (!showFileDialog(false, window, title, filter, defaultExtension,
                        OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_SHOWHELP, pathBuffer, kDialogPathSize))
        return nullptr;
    return convertToXFile(pathBuffer);
}

// Shows the wait cursor for as long as it lives.
class WaitCursor {
public:
    WaitCursor() {
        HCURSOR wait = LoadCursorA(nullptr, IDC_WAIT);
        if (wait) {
            previous_ = SetCursor(wait);
            remembered_ = true;
        }
    }
    ~WaitCursor() {
        if (remembered_) SetCursor(previous_);
    }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_ = nullptr;
    bool remembered_ = false;
};

}  // namespace

const char* chooseXFile(HWND window, const char* title) {
    static char path[kDialogPathSize];
    return chooseFile(window, title, kXFilter, "x", path);
}

const char* chooseRokkakuFile(HWND window, const char* title) {
    static char path[kDialogPathSize];
    return chooseFile(window, title, kRokkakuFilter, "rok", path);
}

bool openModel(const char* path) {
    if (!currentState) return false;
    WaitCursor waitCursor;

    const char* xPath = convertToXFile(path);
    if (!xPath) return false;

    IDirect3DRMMeshBuilder* builder = nullptr;
    if (d3drm->CreateMeshBuilder(&builder) != D3DRM_OK || !builder) {
        reportError("Failed the create a builder for the new mesh.\n");
        return false;
    }
    HRESULT result = builder->Load(const_cast<char*>(xPath), nullptr, D3DRMLOAD_FROMFILE,
                                   loadTextureCallback, nullptr);
    if (result != D3DRM_OK) {
        // The reader's reason, which a desktop launch would never show on standard error.
        winSetNextMessageBoxDetail(D3DRMLastLoadFailure());
        reportError("Loading %s failed.\n%s", xPath, resultName(result));
        builder->Release();
        return false;
    }
    IDirect3DRMFrame* frame = nullptr;
    if (!placeMesh(builder, currentState, &frame)) {
        reportError("Placing the mesh in the scene failed.\n");
        builder->Release();
        return false;
    }
    builder->Release();
    // A model too large, too small or too far off to be seen where it was placed.
    frameIfUnseen(currentState, frame);
    frame->Release();
    return true;
}

bool placeMesh(IDirect3DRMMeshBuilder* meshBuilder, ViewerState* viewer, IDirect3DRMFrame** placed) {
    IDirect3DRMFrame* frame = nullptr;
    if (d3drm->CreateFrame(viewer->scene, &frame) != D3DRM_OK || !frame) return false;
    bool ok = frame->AddVisual(meshBuilder) == D3DRM_OK &&
              frame->SetPosition(viewer->camera, D3DVAL(0), D3DVAL(0), D3DVAL(2.0)) == D3DRM_OK;
    if (ok && placed)
        *placed = frame;
    else
        frame->Release();
    return ok;
}
