// The scene the drawing benchmarks draw into: an RGB device of the given size with an
// ambient and a directional light, a camera at the origin looking along +z.
#pragma once

#include "platform/rm/ddraw.h"
#include "platform/gl/gl_device.h"
#include "platform/rm/d3drm.h"
#include "platform/win/picture.h"

struct BenchViewer {
    IDirect3DRM* d3drm = nullptr;
    IDirectDrawClipper* clipper = nullptr;
    IDirect3DRMDevice* device = nullptr;
    IDirect3DRMViewport* viewport = nullptr;
    IDirect3DRMFrame* scene = nullptr;
    IDirect3DRMFrame* camera = nullptr;

    bool open(int w, int h) {
        glRegisterDeviceBackend(winPresentPicture);
        if (Direct3DRMCreate(&d3drm) != D3DRM_OK || DirectDrawCreateClipper(0, &clipper, nullptr) != DD_OK) return false;
        if (d3drm->CreateDeviceFromClipper(clipper, const_cast<GUID*>(&IID_IDirect3DRGBDevice), w, h, &device) != D3DRM_OK)
            return false;
        d3drm->CreateFrame(nullptr, &scene);
        IDirect3DRMFrame* lightFrame = nullptr;
        d3drm->CreateFrame(scene, &lightFrame);
        lightFrame->SetPosition(scene, 2, 2, 5);
        lightFrame->SetOrientation(scene, -1, -1, 1, 0, 1, 0);
        IDirect3DRMLight* light = nullptr;
        d3drm->CreateLightRGB(D3DRMLIGHT_DIRECTIONAL, 1, 1, 1, &light);
        lightFrame->AddLight(light);
        light->Release();
        lightFrame->Release();
        d3drm->CreateLightRGB(D3DRMLIGHT_AMBIENT, 0.4f, 0.4f, 0.4f, &light);
        scene->AddLight(light);
        light->Release();
        d3drm->CreateFrame(scene, &camera);
        return d3drm->CreateViewport(device, camera, 0, 0, w, h, &viewport) == D3DRM_OK;
    }
    bool frame() {
        return viewport->Clear() == D3DRM_OK && viewport->Render(scene) == D3DRM_OK && device->Update() == D3DRM_OK;
    }
    void close() {
        if (viewport) viewport->Release();
        if (device) device->Release();
        if (camera) camera->Release();
        if (scene) scene->Release();
        if (clipper) clipper->Release();
        if (d3drm) d3drm->Release();
    }
};
