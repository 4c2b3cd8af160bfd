// Picking speed on a scene of about 1 000 000 faces.
//
//   bench_pick [FACES]
//
// Two scenes: one mesh builder holding every face (a wavy grid facing the camera, so
// the bounding box never spares a pick), and the same faces split over 400 builders in
// a 20 x 20 block of frames (most boxes miss). Prints milliseconds per pick.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/rm/d3drm.h"
#include "platform/rm/render_backend.h"

namespace {

class NullBackend : public rm::DeviceBackend {
public:
    HRESULT clear(const rm::DeviceData&, const rm::ViewportData&, D3DCOLOR) override { return D3DRM_OK; }
    HRESULT render(const rm::DeviceData&, const rm::ViewportData&, IDirect3DRMFrame*) override { return D3DRM_OK; }
    HRESULT update(const rm::DeviceData&) override { return D3DRM_OK; }
};

// A side x side grid of quads split into triangles, spanning `size` units in x and y.
void addGrid(IDirect3DRMMeshBuilder* mb, unsigned side, float size) {
    std::vector<D3DVECTOR> v;
    v.reserve(size_t(side + 1) * (side + 1));
    for (unsigned y = 0; y <= side; ++y)
        for (unsigned x = 0; x <= side; ++x) {
            float fx = size * x / side - size / 2, fy = size * y / side - size / 2;
            v.push_back({fx, fy, 0.05f * std::sin(fx * 7) * std::cos(fy * 5)});
        }
    std::vector<DWORD> data;
    data.reserve(size_t(side) * side * 8 + 1);
    for (unsigned y = 0; y < side; ++y)
        for (unsigned x = 0; x < side; ++x) {
            DWORD a = y * (side + 1) + x, b = a + 1, c = a + side + 1, d = c + 1;
            data.insert(data.end(), {3, a, c, d, 3, a, d, b});
        }
    data.push_back(0);
    mb->AddFaces(DWORD(v.size()), v.data(), 0, nullptr, data.data(), nullptr);
}

double timePicks(IDirect3DRMViewport* viewport, int picks, DWORD& hits) {
    hits = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < picks; ++i) {
        IDirect3DRMPickedArray* picked = nullptr;
        viewport->Pick(40 + (i * 37) % 320, 40 + (i * 53) % 320, &picked);
        hits += picked->GetSize();
        picked->Release();
    }
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    return took.count() / picks;
}

}  // namespace

int main(int argc, char** argv) {
    long faces = argc > 1 ? std::atol(argv[1]) : 1000000;
    unsigned side = unsigned(std::sqrt(faces / 2.0));
    rm::setDeviceBackendFactory([](const rm::DeviceBackendRequest& r) {
        rm::DeviceBackendResult result;
        result.result = D3DRM_OK;
        result.backend = std::make_unique<NullBackend>();
        result.width = DWORD(r.width);
        result.height = DWORD(r.height);
        return result;
    });
    IDirect3DRM* d3drm = nullptr;
    Direct3DRMCreate(&d3drm);
    IDirect3DRMDevice* device = nullptr;
    d3drm->CreateDeviceFromClipper(nullptr, nullptr, 400, 400, &device);

    // Scene 1: one builder with every face.
    {
        IDirect3DRMFrame *scene, *camera, *holder;
        d3drm->CreateFrame(nullptr, &scene);
        d3drm->CreateFrame(scene, &camera);
        d3drm->CreateFrame(scene, &holder);
        holder->SetPosition(scene, 0, 0, 10);
        IDirect3DRMMeshBuilder* mb = nullptr;
        d3drm->CreateMeshBuilder(&mb);
        addGrid(mb, side, 10);
        holder->AddVisual(mb);
        IDirect3DRMViewport* viewport = nullptr;
        d3drm->CreateViewport(device, camera, 0, 0, 400, 400, &viewport);
        DWORD hits;
        double ms = timePicks(viewport, 50, hits);
        std::printf("one builder, %d faces: %.2f ms per pick (%u hits in 50 picks)\n", mb->GetFaceCount(), ms,
                    unsigned(hits));
        viewport->Release();
        mb->Release();
        holder->Release();
        camera->Release();
        scene->Release();
    }
    // Scene 2: 400 builders in a block of frames.
    {
        IDirect3DRMFrame *scene, *camera;
        d3drm->CreateFrame(nullptr, &scene);
        d3drm->CreateFrame(scene, &camera);
        unsigned part = side / 20;
        int total = 0;
        for (int i = 0; i < 400; ++i) {
            IDirect3DRMFrame* holder = nullptr;
            d3drm->CreateFrame(scene, &holder);
            holder->SetPosition(scene, float(i % 20) - 9.5f, float(i / 20) - 9.5f, 20);
            IDirect3DRMMeshBuilder* mb = nullptr;
            d3drm->CreateMeshBuilder(&mb);
            addGrid(mb, part, 0.9f);
            total += mb->GetFaceCount();
            holder->AddVisual(mb);
            mb->Release();
            holder->Release();
        }
        IDirect3DRMViewport* viewport = nullptr;
        d3drm->CreateViewport(device, camera, 0, 0, 400, 400, &viewport);
        DWORD hits;
        double ms = timePicks(viewport, 200, hits);
        std::printf("400 builders, %d faces: %.3f ms per pick (%u hits in 200 picks)\n", total, ms, unsigned(hits));
        viewport->Release();
        camera->Release();
        scene->Release();
    }
    device->Release();
    d3drm->Release();
    rm::setDeviceBackendFactory({});
    return 0;
}
