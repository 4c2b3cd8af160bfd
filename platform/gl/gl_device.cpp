#include "platform/gl/gl_device.h"

#include <epoxy/gl.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <unordered_map>

#include "platform/rm/ddraw.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_gpu_cache.h"
#include "platform/gl/gl_renderer.h"
#include "platform/rm/render_backend.h"
#include "platform/rm/rm_internal.h"

namespace {

using namespace gldevice;

GlPictureReceiver pictureReceiver = nullptr;
GlRedrawStamp redrawStamp = nullptr;
unsigned long drawnFrames = 0;

gl::Matrix4 toGl(const rm::Matrix& m) {
    gl::Matrix4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r[i * 4 + j] = m.m[i][j];
    return r;
}

gl::Vec3 colourOf(D3DCOLOR c) {
    return {RGB_GETRED(c) / 255.0f, RGB_GETGREEN(c) / 255.0f, RGB_GETBLUE(c) / 255.0f};
}

gl::Quality fromQuality(D3DRMRENDERQUALITY q) {
    gl::Quality r;
    const DWORD shade = q & D3DRMSHADE_MASK;
    r.shade = shade == D3DRMSHADE_FLAT ? gl::ShadeMode::Flat
              : shade == D3DRMSHADE_GOURAUD ? gl::ShadeMode::Gouraud
                                            : gl::ShadeMode::Phong;
    r.lighting = (q & D3DRMLIGHT_MASK) != D3DRMLIGHT_OFF;
    const DWORD fill = q & D3DRMFILL_MASK;
    r.fill = fill == D3DRMFILL_POINTS ? gl::FillMode::Points
             : fill == D3DRMFILL_WIREFRAME ? gl::FillMode::Wireframe
                                           : gl::FillMode::Solid;
    return r;
}

// The lower of the two settings in each field.
gl::Quality combine(D3DRMRENDERQUALITY device, D3DRMRENDERQUALITY object) {
    const DWORD shade = std::min(device & D3DRMSHADE_MASK, object & D3DRMSHADE_MASK);
    const DWORD light = std::min(device & D3DRMLIGHT_MASK, object & D3DRMLIGHT_MASK);
    const DWORD fill = std::min(device & D3DRMFILL_MASK, object & D3DRMFILL_MASK);
    return fromQuality(shade | light | fill);
}

class GlDevice;

std::unordered_map<const rm::DeviceData*, GlDevice*>& deviceRegistry() {
    static std::unordered_map<const rm::DeviceData*, GlDevice*> r;
    return r;
}

class GlDevice final : public rm::DeviceBackend {
public:
    GlDevice(HWND hwnd, int width, int height) : hwnd_(hwnd), framebuffer_(width, height) {
        if (!framebuffer_.valid()) return;  // too large for the driver: creation fails
        picture_.assign(size_t(width) * size_t(height) * 4, 0);
        for (size_t i = 3; i < picture_.size(); i += 4) picture_[i] = 255;
    }
    ~GlDevice() override {
        if (data_) deviceRegistry().erase(data_);
    }
    bool valid() const { return framebuffer_.valid(); }

    HRESULT clear(const rm::DeviceData& device, const rm::ViewportData& viewport, D3DCOLOR background) override {
        track(device);
        if (startFrame()) return D3DRM_OK;
        if (!gl::makeContextCurrent()) return D3DRMERR_BADDEVICE;
        int x, y, w, h;
        if (!rect(viewport, x, y, w, h)) return D3DRM_OK;
        const gl::Vec3 c = colourOf(background);
        framebuffer_.clear(x, y, w, h, c[0], c[1], c[2]);
        return D3DRM_OK;
    }

    HRESULT render(const rm::DeviceData& device, const rm::ViewportData& viewport, IDirect3DRMFrame* scene) override {
        track(device);
        if (!scene || !viewport.camera) return D3DRMERR_BADOBJECT;
        if (startFrame()) return D3DRM_OK;
        if (!gl::makeContextCurrent()) return D3DRMERR_BADDEVICE;
        Shared& s = shared();
        ++s.renderCount;
        if (!s.renderer) s.renderer = std::make_unique<gl::Renderer>();
        int x, y, w, h;
        if (!rect(viewport, x, y, w, h)) return D3DRM_OK;

        setup_.deviceWidth = framebuffer_.width();
        setup_.deviceHeight = framebuffer_.height();
        setup_.x = x;
        setup_.y = y;
        setup_.width = w;
        setup_.height = h;
        setup_.view = toGl(rm::viewMatrix(viewport));
        // The viewport's depth runs 0..1; GL clips -w..w.
        gl::Matrix4 depth = gl::identityMatrix();
        depth[10] = 2.0f;
        depth[14] = -1.0f;
        setup_.projection = gl::multiply(toGl(rm::projectionMatrix(viewport)), depth);
        const rm::Matrix cameraWorld = rm::frameWorldMatrix(viewport.camera);
        setup_.eye = {cameraWorld.m[3][0], cameraWorld.m[3][1], cameraWorld.m[3][2]};
        setup_.ramp = device.colorModel == D3DCOLOR_MONO;
        setup_.shades = int(std::clamp<DWORD>(device.shades, 1, 65536));
        setup_.dither = device.dither != FALSE;
        setup_.filter = gl::TextureFilter(std::clamp(int(device.textureQuality), 0, 5));
        setup_.lights.clear();
        const gl::Matrix4 sceneWorld = toGl(rm::frameWorldMatrix(scene));
        collectLights(scene, sceneWorld, 0);

        s.renderer->begin(framebuffer_, setup_);
        triangles_ = 0;
        translucent_.clear();
        drawFrame(device, scene, sceneWorld, 0);
        drawTranslucent();
        s.renderer->end();
        // The device object is not const; only its backend counters change here.
        const_cast<rm::DeviceData&>(device).trianglesDrawn = triangles_;
        evictUnused();
        return D3DRM_OK;
    }

    HRESULT update(const rm::DeviceData& device) override {
        track(device);
        const bool again = startFrame();
        frameStarted_ = false;
        if (!again) {
            if (!gl::makeContextCurrent()) return D3DRMERR_BADDEVICE;
            framebuffer_.read(picture_);
            pictureDrawn_ = true;
            ++drawnFrames;
        }
        present();
        return D3DRM_OK;
    }

    HRESULT handlePaint(const rm::DeviceData& device, HDC) override {
        track(device);
        present();
        return D3DRM_OK;
    }

    void readCovered(std::vector<unsigned char>& covered, int& width, int& height) const {
        if (gl::makeContextCurrent())
            framebuffer_.readCovered(covered);
        else
            covered.assign(size_t(framebuffer_.width()) * size_t(framebuffer_.height()), 0);
        width = framebuffer_.width();
        height = framebuffer_.height();
    }

    void readPicture(std::vector<unsigned char>& rgba, int& width, int& height) const {
        rgba = picture_;
        width = framebuffer_.width();
        height = framebuffer_.height();
    }

private:
    void track(const rm::DeviceData& device) {
        if (data_ == &device) return;
        if (data_) deviceRegistry().erase(data_);
        data_ = &device;
        deviceRegistry()[data_] = this;
    }

    // Decides at the frame's first call whether it presents the last picture again.
    bool startFrame() {
        if (frameStarted_) return reusing_;
        frameStarted_ = true;
        const unsigned long long stamp = redrawStamp ? redrawStamp() : 0;
        reusing_ = stamp != 0 && stamp == drawnStamp_ && pictureDrawn_;
        drawnStamp_ = stamp;
        return reusing_;
    }

    void present() {
        if (hwnd_ && pictureReceiver) pictureReceiver(hwnd_, picture_.data(), framebuffer_.width(), framebuffer_.height());
    }

    // The viewport's rectangle, cut to the device; false when nothing of it is left.
    bool rect(const rm::ViewportData& v, int& x, int& y, int& w, int& h) const {
        if (!framebuffer_.valid()) return false;
        const long x0 = std::max<long>(v.x, 0), y0 = std::max<long>(v.y, 0);
        const long x1 = std::min<long>(long(v.x) + long(v.width), framebuffer_.width());
        const long y1 = std::min<long>(long(v.y) + long(v.height), framebuffer_.height());
        if (x1 <= x0 || y1 <= y0) return false;
        x = int(x0);
        y = int(y0);
        w = int(x1 - x0);
        h = int(y1 - y0);
        return true;
    }

    static constexpr int kMaxDepth = 64;  // frames used as visuals may nest (or loop)

    void collectLights(IDirect3DRMFrame* frame, const gl::Matrix4& world, int depth) {
        if (depth > kMaxDepth) return;
        for (IDirect3DRMLight* light : rm::frameLights(frame)) {
            const rm::LightData& d = rm::lightData(light);
            gl::LightInfo l;
            switch (d.type) {
                case D3DRMLIGHT_AMBIENT: l.kind = gl::LightKind::Ambient; break;
                case D3DRMLIGHT_POINT: l.kind = gl::LightKind::Point; break;
                case D3DRMLIGHT_SPOT: l.kind = gl::LightKind::Spot; break;
                case D3DRMLIGHT_DIRECTIONAL: l.kind = gl::LightKind::Directional; break;
                case D3DRMLIGHT_PARALLELPOINT: l.kind = gl::LightKind::ParallelPoint; break;
                default: continue;
            }
            l.colour = colourOf(d.color);
            l.position = {world[12], world[13], world[14]};
            l.direction = normalised({world[8], world[9], world[10]});
            l.constant = d.constantAttenuation;
            l.linear = d.linearAttenuation;
            l.quadratic = d.quadraticAttenuation;
            l.range = d.range;
            l.umbra = d.umbra;
            l.penumbra = d.penumbra;
            l.scope = d.enableFrame;
            setup_.lights.push_back(l);
        }
        for (IDirect3DRMFrame* child : rm::frameChildren(frame))
            collectLights(child, gl::multiply(toGl(rm::frameLocalMatrix(child)), world), depth + 1);
    }

    void drawFrame(const rm::DeviceData& device, IDirect3DRMFrame* frame, const gl::Matrix4& world, int depth) {
        if (depth > kMaxDepth) return;
        path_.push_back(frame);
        drawFrameContents(device, frame, world, depth);
        path_.pop_back();
    }

    void drawFrameContents(const rm::DeviceData& device, IDirect3DRMFrame* frame, const gl::Matrix4& world, int depth) {
        for (IDirect3DRMVisual* visual : rm::frameVisuals(frame)) {
            switch (rm::visualKind(visual)) {
                case rm::VisualKind::MeshBuilder: {
                    const rm::MeshBuilderData* b = rm::meshBuilderShape(visual);
                    if (!b) break;
                    const gl::Quality quality = combine(device.quality, b->quality);
                    const rm::SkinPose* pose = rm::meshBuilderPose(visual);
                    Extras extras{quality.fill == gl::FillMode::Wireframe, false,
                                  quality.lighting && quality.shade != gl::ShadeMode::Flat};
                    // Only smooth shading reads the normals: they are made when it first does.
                    if (extras.normals) b = rm::meshBuilderData(visual);
                    for (const rm::MaterialData& m : b->materials)
                        extras.records = extras.records || shared().renderer->needsRecords(quality, materialOf(m));
                    const gl::GpuMesh* mesh = gpuMesh(visual, *b, b->textures, extras, pose);
                    if (mesh) draw(*mesh, world, quality, -1);
                    break;
                }
                case rm::VisualKind::Mesh: {
                    const rm::MeshData* m = rm::meshData(visual);
                    if (!m) break;
                    textures_.clear();
                    for (const rm::MeshGroupData& g : m->groups) textures_.push_back(g.texture);
                    const bool wire = std::any_of(m->groups.begin(), m->groups.end(), [](const rm::MeshGroupData& g) {
                        return fromQuality(g.quality).fill == gl::FillMode::Wireframe;
                    });
                    Extras extras{wire, false, true};
                    for (const rm::MeshGroupData& g : m->groups)
                        extras.records = extras.records || shared().renderer->needsRecords(fromQuality(g.quality),
                                                                                            materialOf(g.material));
                    const gl::GpuMesh* mesh = gpuMesh(visual, *m, textures_, extras);
                    if (!mesh) break;
                    // Meshes ignore the device's quality.
                    for (size_t g = 0; g < m->groups.size(); ++g) draw(*mesh, world, fromQuality(m->groups[g].quality), int(g));
                    break;
                }
                case rm::VisualKind::Frame: {
                    IDirect3DRMFrame* f = rm::visualAsFrame(visual);
                    // A frame shown inside itself would never end.
                    if (f && std::find(path_.begin(), path_.end(), static_cast<const void*>(f)) == path_.end())
                        drawFrame(device, f, gl::multiply(toGl(rm::frameLocalMatrix(f)), world), depth + 1);
                    break;
                }
                default: break;
            }
        }
        for (IDirect3DRMFrame* child : rm::frameChildren(frame))
            drawFrame(device, child, gl::multiply(toGl(rm::frameLocalMatrix(child)), world), depth + 1);
    }

    std::span<const void* const> path() const { return path_; }

    // Opaque groups now; translucent ones once everything opaque is drawn.
    void draw(const gl::GpuMesh& mesh, const gl::Matrix4& world, const gl::Quality& quality, int group) {
        triangles_ += shared().renderer->draw(mesh, world, quality, group, path(), gl::Renderer::Groups::Opaque);
        if (mesh.hasTranslucent()) {
            const gl::Vec3 c = gl::transformPoint(gl::transformPoint(mesh.centre(), world), setup_.view);
            translucent_.push_back({&mesh, world, quality, group, path_, c[2]});
        }
    }

    // Farthest first, so that nearer faces blend over farther ones.
    void drawTranslucent() {
        std::stable_sort(translucent_.begin(), translucent_.end(),
                         [](const Deferred& a, const Deferred& b) { return a.depth > b.depth; });
        for (const Deferred& d : translucent_)
            triangles_ += shared().renderer->draw(*d.mesh, d.world, d.quality, d.group, d.path,
                                                  gl::Renderer::Groups::Translucent);
        translucent_.clear();
    }

    HWND hwnd_;
    gl::Framebuffer framebuffer_;
    std::vector<unsigned char> picture_;
    gl::FrameSetup setup_;
    std::vector<IDirect3DRMTexture*> textures_;
    std::vector<const void*> path_;  // frames being drawn, outermost first
    struct Deferred {
        const gl::GpuMesh* mesh;
        gl::Matrix4 world;
        gl::Quality quality;
        int group;
        std::vector<const void*> path;
        float depth;  // of the mesh's centre, from the camera
    };
    std::vector<Deferred> translucent_;
    const rm::DeviceData* data_ = nullptr;
    DWORD triangles_ = 0;
    bool frameStarted_ = false;  // a Clear or Render came since the last Update
    bool reusing_ = false;       // this frame presents the last picture again
    bool pictureDrawn_ = false;  // picture_ holds a drawn frame
    unsigned long long drawnStamp_ = 0;
};

rm::DeviceBackendResult createBackend(const rm::DeviceBackendRequest& request) {
    rm::DeviceBackendResult result;
    D3DCOLORMODEL model;
    result.result = rm::checkDeviceRequest(request, &model);
    if (result.result != D3DRM_OK) return result;
    HWND hwnd = nullptr;
    if (request.clipper && request.clipper->GetHWnd(&hwnd) != DD_OK) hwnd = nullptr;
    if (!gl::ensureContext()) {
        std::fprintf(stderr, "OpenGL: %s\n", gl::lastContextError().c_str());
        result.result = D3DRMERR_BADDEVICE;
        return result;
    }
    std::unique_ptr<GlDevice> device;
    try {
        device = std::make_unique<GlDevice>(hwnd, request.width, request.height);
    } catch (const std::bad_alloc&) {
        result.result = DDERR_OUTOFMEMORY;  // no memory for its picture
        return result;
    }
    if (!device->valid()) {
        result.result = D3DRMERR_BADDEVICE;  // larger than the driver can draw
        return result;
    }
    result.result = D3DRM_OK;
    result.backend = std::move(device);
    result.colorModel = model;
    result.width = DWORD(request.width);
    result.height = DWORD(request.height);
    return result;
}

}  // namespace

void glRegisterDeviceBackend(GlPictureReceiver receiver) {
    // Every frame the driver takes and frees about the same memory: keep it rather than
    // hand it back and have it faulted in again the next frame (what big loads free goes
    // back explicitly).
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    pictureReceiver = receiver;
    rm::setDeviceBackendFactory(createBackend);
}

namespace {

// The drawing side of an OpenGL device; null for another device or none.
GlDevice* glDeviceOf(IDirect3DRMDevice* device) {
    if (!device) return nullptr;
    const auto& registry = deviceRegistry();
    const auto it = registry.find(&rm::deviceData(device));
    return it == registry.end() ? nullptr : it->second;
}

}  // namespace

bool glDeviceReadPicture(IDirect3DRMDevice* device, std::vector<unsigned char>& rgba, int& width, int& height) {
    GlDevice* gl = glDeviceOf(device);
    if (gl) gl->readPicture(rgba, width, height);
    return gl != nullptr;
}

bool glDeviceReadCovered(IDirect3DRMDevice* device, std::vector<unsigned char>& covered, int& width, int& height) {
    GlDevice* gl = glDeviceOf(device);
    if (gl) gl->readCovered(covered, width, height);
    return gl != nullptr;
}


void glSetRedrawStamp(GlRedrawStamp stamp) { redrawStamp = stamp; }
unsigned long glDrawnFrameCount() { return drawnFrames; }
