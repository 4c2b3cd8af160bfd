#include "input/window_proc.h"

#include <string>
#include <vector>

#include "input/model_opening.h"
#include "input/dialogs.h"
#include "input/mouse.h"
#include "input/render_options.h"
#include "input/keys_help.h"
#include "input/view_navigation.h"
#include "platform/rm/d3drm.h"
#include "scene/clipboard.h"
#include "scene/frame_loading.h"
#include "scene/lights.h"
#include "scene/scene_saving.h"
#include "scene/selection.h"
#include "report/report_error.h"
#include "viewer/resize.h"
#include "viewer/texture_callback.h"
#include "viewer/viewer_creation.h"
#include "viewer/viewer_state.h"

namespace {

// The Scene menu's check marks follow the picture-format and animation-clock switches.
void showSceneSwitches(HWND window) {
    CheckMenuItem(GetMenu(window), kCommandAnyPictureFormat,
                  MF_BYCOMMAND | (anyPictureFormat() ? MF_CHECKED : MF_UNCHECKED));
    CheckMenuItem(GetMenu(window), kCommandOneTickAFrame,
                  MF_BYCOMMAND | (animationOneTickAFrame() ? MF_CHECKED : MF_UNCHECKED));
}

void firstPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    DrawTextA(dc, "Initializing Direct3D...", -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    EndPaint(window, &paint);

    if (!createViewer(window)) {
        PostQuitMessage(0);
    } else {
        showRenderSettings(window, currentState);
        showSceneSwitches(window);
        if (commandLine[0] != '\0') openModel(commandLine);
    }
    // The WM_SIZE this brings fits viewport and device to the real client area.
    RECT frame;
    GetWindowRect(window, &frame);
    SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left + 1, frame.bottom - frame.top + 1, SWP_NOMOVE);
}

void handleSize(HWND window, ViewerState* state, LPARAM lParam) {
    // A record whose creation stopped part-way is left alone; one whose last rebuild
    // failed tries again at the new size.
    const bool owed = rebuildOwed(state, nullptr, nullptr);
    if ((!state->device || !state->viewport || !state->camera) && !owed) return;
    int width = LOWORD(lParam);
    int height = HIWORD(lParam);
    if (width == 0 || height == 0) {
        state->minimized = 1;
        return;
    }
    const ResizeResult resized =
        owed ? retryRebuild(window, state, width, height) : resizeViewport(window, state, width, height);
    if (resized == kDeviceRebuilt) showRenderSettings(window, state);
    if (resized != kResizeFailed)
        state->minimized = 0;
    else
        renderingStopped = 1;
}

IDirect3DRMWinDevice* winDevice(ViewerState* state) {
    IDirect3DRMWinDevice* device = nullptr;
    if (!state->device ||
        state->device->QueryInterface(IID_IDirect3DRMWinDevice, reinterpret_cast<void**>(&device)) < 0)
        return nullptr;
    return device;
}

void handleActivate(ViewerState* state, WPARAM wParam) {
    if (!state->device) return;
    IDirect3DRMWinDevice* device = winDevice(state);
    if (!device) {
        reportError("Failed to create Windows device to handle WM_ACTIVATE.\n");
        return;
    }
    if (device->HandleActivate(static_cast<WORD>(wParam)) < 0) reportError("Failed to handle WM_ACTIVATE.\n");
    device->Release();
}

LRESULT handlePaint(HWND window, ViewerState* state, UINT message, WPARAM wParam, LPARAM lParam) {
    RECT update;
    if (state->device && GetUpdateRect(window, &update, FALSE)) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        IDirect3DRMWinDevice* device = winDevice(state);
        if (!device) {
            reportError("Failed to create Windows device to handle WM_PAINT.\n");
        } else {
            if (device->HandlePaint(dc) < 0) reportError("Failed to handle WM_PAINT.\n");
            device->Release();
        }
        EndPaint(window, &paint);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void openWithChooser(HWND window, const char* title, int (*load)(const char*, ViewerState*), ViewerState* state) {
    const char* path = chooseXFile(window, title);
    if (!path) return;
    if (load(path, state)) return;
    winSetNextMessageBoxDetail(D3DRMLastLoadFailure());
    reportError("Loading and placing of %s failed.\n", path);
}

void setVelocity(IDirect3DRMFrame* frame, IDirect3DRMFrame* scene, const D3DVECTOR& v) {
    frame->SetVelocity(scene, v.x, v.y, v.z, FALSE);
}

D3DVECTOR scaled(const D3DVECTOR& v, float s) { return D3DVECTOR{v.x * s, v.y * s, v.z * s}; }

}  // namespace

void handleCommand(HWND window, ViewerState* state, int id) {
    // Commands need the scene; the rendering options need the device as well.
    if (!state->scene || !state->camera) {
        if (id == kCommandExit) PostQuitMessage(0);
        return;
    }
    // A colour model may also be chosen to try a failed rebuild again.
    const bool colourModel = id == kCommandRamp || id == kCommandRgb;
    if (id >= kCommandLighting && id <= kCommandTextureQuality && !state->device &&
        !(colourModel && rebuildOwed(state, nullptr, nullptr)))
        return;
    switch (id) {
        case kCommandAbout: {
            auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE));
            DialogBoxParamA(instance, "AboutBox", window, aboutDialogProc, 0);
            break;
        }
        case kCommandKeysAndMouse: showKeysAndMouse(window); break;
        case kCommandOpenMesh:
            if (const char* path = chooseXFile(window, "Open a Mesh file")) openModel(path);
            break;
        case kCommandOpenAnimation: openWithChooser(window, "Open Animation ...", loadAnimationFile, state); break;
        case kCommandOpenFrame: openWithChooser(window, "Open Frame ...", loadFrameFile, state); break;
        case kCommandExit: PostQuitMessage(0); break;
        case kCommandSaveScene:
            if (const char* path = chooseSavePath(window, "Save Scene As", "DirectX files (*.x)\0*.x\0", "x"))
                saveScene(path, state);
            break;
        case kCommandExportGltf:
            if (const char* path = chooseSavePath(window, "Export Scene as glTF", "glTF binary (*.glb)\0*.glb\0", "glb"))
                saveScene(path, state);
            break;
        case kCommandOpenRokkaku:
            if (const char* path = chooseRokkakuFile(window, "Open a Rokkaku file")) openModel(path);
            break;
        case kCommandCut: cutSelection(); break;
        case kCommandCopy: copySelection(); break;
        case kCommandPaste: pasteClipboard(state->scene); break;
        case kCommandDelete: deleteSelection(); break;
        case kCommandColor: colorSelection(window); break;
        case kCommandShowBoxes: {
            int on = toggleShowBoxes();
            // By command, so the mark finds the item in whichever menu holds it.
            CheckMenuItem(GetMenu(window), kCommandShowBoxes, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
            break;
        }
        case kCommandLighting: toggleLighting(window, state); break;
        case kCommandPoints: setFillMode(window, state, D3DRMFILL_POINTS); break;
        case kCommandWireframe: setFillMode(window, state, D3DRMFILL_WIREFRAME); break;
        case kCommandSolid: setFillMode(window, state, D3DRMFILL_SOLID); break;
        case kCommandFlat: setShadeMode(window, state, D3DRMSHADE_FLAT); break;
        case kCommandGouraud: setShadeMode(window, state, D3DRMSHADE_GOURAUD); break;
        case kCommandPhong: setShadeMode(window, state, D3DRMSHADE_PHONG); break;
        case kCommandRamp: setColorModel(window, state, D3DCOLOR_MONO); break;
        case kCommandRgb: setColorModel(window, state, D3DCOLOR_RGB); break;
        case kCommandDither: toggleDithering(window, state); break;
        case kCommandTextureQuality: toggleTextureQuality(window, state); break;
        case kCommandDirectionalLight: createLight(D3DRMLIGHT_DIRECTIONAL, state); break;
        case kCommandParallelPointLight: createLight(D3DRMLIGHT_PARALLELPOINT, state); break;
        case kCommandPointLight: createLight(D3DRMLIGHT_POINT, state); break;
        case kCommandSpotLight: createLight(D3DRMLIGHT_SPOT, state); break;
        case kCommandFrameAll: frameAll(state); break;
        case kCommandFrameSelection: frameSelection(state); break;
        case kCommandResetCamera: resetCamera(state); break;
        case kCommandAnyPictureFormat:
            setAnyPictureFormat(!anyPictureFormat());
            showSceneSwitches(window);
            break;
        case kCommandOneTickAFrame:
            setAnimationOneTickAFrame(!animationOneTickAFrame());
            showSceneSwitches(window);
            break;
        default: break;
    }
}

void handleKey(ViewerState* state, UINT message, WPARAM key, IDirect3DRMFrame* entryFrame,
               IDirect3DRMMeshBuilder* entryVisual) {
    IDirect3DRMFrame* scene = state->scene;
    IDirect3DRMFrame* camera = state->camera;
    if (!scene || !camera) return;
    const bool down = message == WM_KEYDOWN;
    const D3DVECTOR zero{0, 0, 0};
    if (!down) {
        switch (key) {
            case VK_LEFT:
            case VK_RIGHT:
            case VK_UP:
            case VK_DOWN:
            case 'T':
            case 'R': setVelocity(camera, scene, zero); break;
            case 'X':
            case 'Z':
                if (entryFrame) setVelocity(entryFrame, scene, zero);
                break;
            default: break;
        }
        return;
    }

    D3DVECTOR dir, up, right;
    camera->GetOrientation(scene, &dir, &up);
    D3DRMVectorCrossProduct(&right, &up, &dir);
    up = scaled(up, kSideStep);
    right = scaled(right, kSideStep);
    switch (key) {
        case VK_LEFT: setVelocity(camera, scene, scaled(right, -1)); break;
        case VK_RIGHT: setVelocity(camera, scene, right); break;
        case VK_UP: setVelocity(camera, scene, up); break;
        case VK_DOWN: setVelocity(camera, scene, scaled(up, -1)); break;
        case 'T': setVelocity(camera, scene, dir); break;
        case 'R': setVelocity(camera, scene, scaled(dir, -1)); break;
        case 'E': setVelocity(camera, scene, scaled(dir, kFastForward)); break;
        case 'Y': setVelocity(camera, scene, scaled(dir, -kFastForward)); break;
        case 'X':
            if (entryFrame) setVelocity(entryFrame, scene, dir);
            break;
        case 'Z':
            if (entryFrame) setVelocity(entryFrame, scene, scaled(dir, -1));
            break;
        case VK_ADD:
        case VK_SUBTRACT:
            // The mesh builder itself changes, so every frame showing it grows or shrinks.
            if (entryFrame && entryVisual) {
                D3DVALUE factor = key == VK_ADD ? 1.1f : 0.9f;
                entryVisual->Scale(factor, factor, factor);
                selectVisual(entryVisual, entryFrame);
            }
            break;
        default: break;
    }
}

void handleDroppedFiles(HDROP drop) {
    UINT count = DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0);
    std::vector<std::string> paths;
    for (UINT i = 0; i < count; ++i) {
        UINT length = DragQueryFileA(drop, i, nullptr, 0);
        std::string path(length + 1, '\0');
        DragQueryFileA(drop, i, path.data(), length + 1);
        path.resize(length);
        paths.push_back(std::move(path));
    }
    DragFinish(drop);
    for (const std::string& path : paths) openModel(path.c_str());
}

LRESULT CALLBACK viewerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<ViewerState*>(GetWindowLongPtrA(window, 0));
    currentState = state;
    if (state) state->window = window;
    // Handlers see the selection as it was on entry, even after they change it.
    IDirect3DRMFrame* entryFrame = getSelectedFrame();
    IDirect3DRMMeshBuilder* entryVisual = getSelectedVisual();

    // The mouse handlers pick through the viewport, so they see no record without one.
    ViewerState* mouseState = state && state->viewport && state->scene && state->camera ? state : nullptr;
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            renderingStopped = 1;
            return 0;
        case WM_SIZE:
            if (state) handleSize(window, state, lParam);
            return 0;
        case WM_ACTIVATE:
            if (state) handleActivate(state, wParam);
            return 0;
        case WM_PAINT:
            if (!state) {
                firstPaint(window);
                return 0;
            }
            return handlePaint(window, state, message, wParam, lParam);
        case WM_COMMAND:
            if (state) handleCommand(window, state, LOWORD(wParam));
            return 0;
        case WM_KEYDOWN:
        case WM_KEYUP:
            if (state) handleKey(state, message, wParam, entryFrame, entryVisual);
            return 0;
        case WM_MOUSEMOVE:
            handleMouseMove(window, mouseState, wParam, lParam);
            return handleOrbitMove(window, mouseState, wParam, lParam);
        case WM_LBUTTONDOWN: return handleLeftButtonDown(window, mouseState, wParam, lParam), 0;
        case WM_LBUTTONUP: return handleLeftButtonUp(window, mouseState, wParam, lParam), 0;
        case WM_RBUTTONDOWN: return handleRightButtonDown(window, mouseState, wParam, lParam), 0;
        case WM_RBUTTONUP: return handleRightButtonUp(window, mouseState, wParam, lParam), 0;
        case WM_MBUTTONDOWN: return handleMiddleButtonDown(window, mouseState, lParam);
        case WM_MBUTTONUP: return handleMiddleButtonUp(mouseState);
        case WM_MOUSEWHEEL: return handleMouseWheel(mouseState, wParam);
        case WM_DROPFILES:
            handleDroppedFiles(reinterpret_cast<HDROP>(wParam));
            return 0;
        default: return DefWindowProcA(window, message, wParam, lParam);
    }
}
