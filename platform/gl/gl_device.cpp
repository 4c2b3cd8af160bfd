#include "platform/gl/gl_device.h"

#include <epoxy/gl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "platform/gl/ddraw.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_renderer.h"
#include "platform/rm/render_backend.h"
#include "platform/rm/rm_internal.h"

namespace {

GlPictureReceiver pictureReceiver = nullptr;
GlRedrawStamp redrawStamp = nullptr;
unsigned long drawnFrames = 0;

unsigned long uploadCount = 0;

gl::Matrix4 toGl(const rm::Matrix& m) {
    gl::Matrix4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r[i * 4 + j] = m.m[i][j];
    return r;
}

gl::Vec3 colourOf(D3DCOLOR c) {
    return {RGB_GETRED(c) / 255.0f, RGB_GETGREEN(c) / 255.0f, RGB_GETBLUE(c) / 255.0f};
}

std::array<float, 4> colourRgba(D3DCOLOR c) {
    return {RGB_GETRED(c) / 255.0f, RGB_GETGREEN(c) / 255.0f, RGB_GETBLUE(c) / 255.0f, RGBA_GETALPHA(c) / 255.0f};
}

gl::Vec3 vec(const D3DVECTOR& v) { return {v.x, v.y, v.z}; }

gl::Vec3 normalised(const gl::Vec3& v) {
    const float l = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (!(l > 1e-20f)) return {0, 0, 0};
    return {v[0] / l, v[1] / l, v[2] / l};
}

// Lighting takes the length of a normal: a zero or non-finite one would turn the corner black.
bool usableNormal(const D3DVECTOR& n) {
    const float l = n.x * n.x + n.y * n.y + n.z * n.z;
    return l > 1e-20f && std::isfinite(l);
}

// Outward normal of a convex polygon whose corners run clockwise as seen from the front.
template <class PointAt>
gl::Vec3 polygonNormal(uint32_t count, PointAt point) {
    const gl::Vec3 p0 = point(0);
    gl::Vec3 sum{0, 0, 0};
    for (uint32_t i = 1; i + 1 < count; ++i) {
        const gl::Vec3 a = point(i), b = point(i + 1);
        const gl::Vec3 e1{a[0] - p0[0], a[1] - p0[1], a[2] - p0[2]};
        const gl::Vec3 e2{b[0] - p0[0], b[1] - p0[1], b[2] - p0[2]};
        sum[0] += e1[1] * e2[2] - e1[2] * e2[1];
        sum[1] += e1[2] * e2[0] - e1[0] * e2[2];
        sum[2] += e1[0] * e2[1] - e1[1] * e2[0];
    }
    return normalised(sum);
}

gl::Material materialOf(const rm::MaterialData& m) {
    gl::Material r;
    r.power = m.power;
    r.specular = {m.specular[0], m.specular[1], m.specular[2]};
    r.emissive = {m.emissive[0], m.emissive[1], m.emissive[2]};
    return r;
}

// ---------------------------------------------------------------- shared GPU objects

struct MeshEntry {
    uint64_t version = 0;
    uint64_t poseVersion = 0;  // 0: the builder's own (rest) geometry
    uint64_t textureStamp = 0;
    uint64_t lastUsed = 0;
    std::unique_ptr<gl::GpuMesh> mesh;
};

struct TextureEntry {
    uint64_t version = 0;
    uint64_t lastUsed = 0;
    std::shared_ptr<gl::GpuTexture> texture;
};

// Everything that lives in the one GL context and is shared by the devices.
struct Shared {
    std::unique_ptr<gl::Renderer> renderer;
    std::unordered_map<uint64_t, MeshEntry> meshes;
    std::unordered_map<uint64_t, TextureEntry> textures;
    uint64_t renderCount = 0;
};

Shared& shared() {
    static Shared s;
    return s;
}

// GPU copies not drawn for this many renders are dropped (their objects may be gone).
constexpr uint64_t kEvictAfter = 300;

void evictUnused() {
    Shared& s = shared();
    if (s.renderCount % 64 != 0) return;
    for (auto it = s.meshes.begin(); it != s.meshes.end();)
        it = it->second.lastUsed + kEvictAfter < s.renderCount ? s.meshes.erase(it) : std::next(it);
    for (auto it = s.textures.begin(); it != s.textures.end();)
        it = it->second.lastUsed + kEvictAfter < s.renderCount ? s.textures.erase(it) : std::next(it);
}

std::shared_ptr<gl::GpuTexture> gpuTexture(IDirect3DRMTexture* texture) {
    if (!texture) return nullptr;
    const rm::TextureData& data = rm::textureData(texture);
    if (data.width <= 0 || data.height <= 0 || data.rgba.size() < size_t(data.width) * size_t(data.height) * 4)
        return nullptr;
    Shared& s = shared();
    TextureEntry& e = s.textures[rm::objectSerial(texture)];
    e.lastUsed = s.renderCount;
    if (!e.texture || e.version != data.version) {
        e.texture = std::make_shared<gl::GpuTexture>(data.rgba.data(), data.width, data.height);
        e.version = data.version;
    }
    return e.texture;
}

uint64_t textureStamp(const std::vector<IDirect3DRMTexture*>& textures) {
    uint64_t stamp = 0;
    for (IDirect3DRMTexture* t : textures)
        if (t) stamp = stamp * 1000003u + rm::objectSerial(t) * 31u + rm::textureData(t).version;
    return stamp;
}

// Mesh builder -> GPU mesh: faces triangulated as fans, grouped by opacity, material and
// texture, corners shared where position, normal and colour are the same. A skinned
// builder's pose, when given, replaces its positions and normals.
gl::MeshData buildMesh(const rm::MeshBuilderData& b, const rm::SkinPose* pose) {
    gl::MeshData m;
    const uint32_t positions = uint32_t(b.positions.size());
    const uint32_t normals = uint32_t(b.normals.size());
    const bool posed = pose && pose->positions.size() == b.positions.size() &&
                       pose->cornerNormals.size() == b.corners.size();
    const std::vector<D3DVECTOR>& places = posed ? pose->positions : b.positions;
    const bool fromVertex = b.colorSource == D3DRMCOLOR_FROMVERTEX;
    auto opaque = [](D3DCOLOR c) { return RGBA_GETALPHA(c) == 255; };
    // Translucent faces are rare: mark them only when there are any.
    const bool anyTranslucent =
        !std::all_of(b.faces.begin(), b.faces.end(), [&](const rm::BuilderFace& f) { return opaque(f.color); }) ||
        (fromVertex && !std::all_of(b.vertexColors.begin(), b.vertexColors.end(), opaque));
    std::vector<bool> translucent;
    // Faces in drawing order: by opacity, material, then texture.
    std::vector<uint32_t> order;
    order.reserve(b.faces.size());
    for (uint32_t f = 0; f < b.faces.size(); ++f) {
        const rm::BuilderFace& face = b.faces[f];
        if (face.cornerCount < 3 || size_t(face.firstCorner) + face.cornerCount > b.corners.size()) continue;
        bool ok = true;
        for (uint32_t i = 0; i < face.cornerCount && ok; ++i) ok = b.corners[face.firstCorner + i].vertex < positions;
        if (ok) order.push_back(f);
    }
    if (anyTranslucent) {
        translucent.assign(b.faces.size(), false);
        for (uint32_t f : order) {
            const rm::BuilderFace& face = b.faces[f];
            bool see = !fromVertex && !opaque(face.color);
            for (uint32_t i = 0; i < face.cornerCount && fromVertex && !see; ++i) {
                const uint32_t v = b.corners[face.firstCorner + i].vertex;
                see = !opaque(v < b.vertexColors.size() ? b.vertexColors[v] : face.color);
            }
            translucent[f] = see;
        }
    }
    struct Key {
        bool translucent;
        uint32_t material, texture;
        auto operator<=>(const Key&) const = default;
    };
    auto key = [&](uint32_t f) {
        const rm::BuilderFace& face = b.faces[f];
        return Key{anyTranslucent && translucent[f], face.material < b.materials.size() ? face.material : 0,
                   face.texture < b.textures.size() ? face.texture : 0};
    };
    const auto byKey = [&](uint32_t a, uint32_t c) { return key(a) < key(c); };
    if (!std::is_sorted(order.begin(), order.end(), byKey)) std::stable_sort(order.begin(), order.end(), byKey);

    // A corner is shared by faces with the same position, normal and colour; the corners
    // made for each position are chained from it (usually just one).
    constexpr uint32_t kNone = 0xffffffffu;
    std::vector<uint32_t> firstAt(b.positions.size(), kNone);
    struct Made {
        uint32_t normal;
        D3DCOLOR colour;
        uint32_t next;
    };
    std::vector<Made> made;
    made.reserve(b.positions.size() + b.positions.size() / 4);
    uint32_t corner[64];
    std::vector<uint32_t> bigCorners;
    for (size_t i = 0; i < order.size(); ++i) {
        const rm::BuilderFace& face = b.faces[order[i]];
        const rm::FaceCorner* corners = &b.corners[face.firstCorner];
        const gl::Vec3 n = polygonNormal(face.cornerCount, [&](uint32_t k) { return vec(places[corners[k].vertex]); });
        auto cornerColour = [&](uint32_t v) {
            return fromVertex && v < b.vertexColors.size() ? b.vertexColors[v] : face.color;
        };
        uint32_t* idx = corner;
        if (face.cornerCount > 64) {
            bigCorners.resize(face.cornerCount);
            idx = bigCorners.data();
        }
        for (uint32_t k = 0; k < face.cornerCount; ++k) {
            const uint32_t v = corners[k].vertex;
            const rm::TexCoord uv = v < b.texCoords.size() ? b.texCoords[v] : rm::TexCoord{};
            const uint32_t ni = corners[k].normal;
            if (ni == rm::kNoNormal || ni >= normals || !usableNormal(b.normals[ni])) {
                idx[k] = m.addVertex(vec(places[v]), n, uv.u, uv.v, colourRgba(cornerColour(v)).data());
                continue;
            }
            const D3DCOLOR colour = cornerColour(v);
            uint32_t at = firstAt[v];
            while (at != kNone && (made[at].normal != ni || made[at].colour != colour)) at = made[at].next;
            if (at == kNone) {
                // A posed normal depends on the vertex and the normal only, like the pair.
                const D3DVECTOR& normal = posed ? pose->cornerNormals[face.firstCorner + k] : b.normals[ni];
                at = m.addVertex(vec(places[v]), vec(normal), uv.u, uv.v, colourRgba(colour).data());
                // Vertex indices and chain entries stay in step: corners without a normal
                // of their own get an entry too, never found (its normal is kNoNormal).
                made.resize(at + 1, Made{rm::kNoNormal, 0, kNone});
                made[at] = Made{ni, colour, firstAt[v]};
                firstAt[v] = at;
            }
            idx[k] = at;
        }
        // Flat faces show their first corner's colour.
        const auto first = colourRgba(cornerColour(corners[0].vertex));
        m.addPolygon(idx, face.cornerCount, n, first.data());
        for (uint32_t k = 0; k < face.cornerCount; ++k) m.addEdge(idx[k], idx[(k + 1) % face.cornerCount]);
        const bool last = i + 1 == order.size() || key(order[i + 1]) != key(order[i]);
        if (last) {
            const Key k = key(order[i]);
            const size_t before = m.groups.size();
            m.endGroup(materialOf(b.materials[k.material]), gpuTexture(b.textures[k.texture]));
            if (m.groups.size() > before) {
                m.groups.back().vertexColours = fromVertex;
                m.groups.back().translucent = k.translucent;
            }
        }
    }
    return m;
}

gl::MeshData buildMesh(const rm::MeshData& mesh) {
    gl::MeshData m;
    std::vector<uint32_t> polygon;
    for (const rm::MeshGroupData& g : mesh.groups) {
        const gl::Vec3 c = colourOf(g.color);
        const float rgba[4] = {c[0], c[1], c[2], RGBA_GETALPHA(g.color) / 255.0f};
        const uint32_t base = m.vertexCount();
        const uint32_t count = uint32_t(g.vertices.size());
        for (const D3DRMVERTEX& v : g.vertices) m.addVertex(vec(v.position), vec(v.normal), v.tu, v.tv, rgba);
        size_t at = 0;
        for (uint32_t size : g.faceSizes) {
            if (at + size > g.indices.size()) break;
            const uint32_t* f = &g.indices[at];
            at += size;
            bool ok = size >= 3;
            for (uint32_t k = 0; k < size && ok; ++k) ok = f[k] < count;
            if (!ok) continue;
            const gl::Vec3 n = polygonNormal(size, [&](uint32_t k) { return vec(g.vertices[f[k]].position); });
            polygon.resize(size);
            for (uint32_t k = 0; k < size; ++k) {
                const D3DRMVERTEX& v = g.vertices[f[k]];
                polygon[k] = usableNormal(v.normal) ? base + f[k] : m.addVertex(vec(v.position), n, v.tu, v.tv, rgba);
            }
            m.addPolygon(polygon.data(), size, n, rgba);
            for (uint32_t k = 0; k < size; ++k) m.addEdge(polygon[k], polygon[(k + 1) % size]);
        }
        // Keep one group per mesh group, even an empty one, so indices line up.
        m.endGroup(materialOf(g.material), gpuTexture(g.texture), true);
        m.groups.back().translucent = RGBA_GETALPHA(g.color) != 255;
    }
    return m;
}

gl::MeshData buildMesh(const rm::MeshData& mesh, const rm::SkinPose*) { return buildMesh(mesh); }

template <class Data>
const gl::GpuMesh* gpuMesh(IDirect3DRMVisual* visual, const Data& data, const std::vector<IDirect3DRMTexture*>& textures,
                           const rm::SkinPose* pose = nullptr) {
    Shared& s = shared();
    MeshEntry& e = s.meshes[rm::objectSerial(visual)];
    e.lastUsed = s.renderCount;
    const uint64_t stamp = textureStamp(textures);
    const uint64_t poseVersion = pose ? pose->version : 0;
    if (!e.mesh || e.version != data.version || e.textureStamp != stamp || e.poseVersion != poseVersion) {
        e.mesh.reset();
        e.mesh = std::make_unique<gl::GpuMesh>(buildMesh(data, pose));
        e.version = data.version;
        e.textureStamp = stamp;
        e.poseVersion = poseVersion;
        ++uploadCount;
    }
    return e.mesh.get();
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
                    const rm::MeshBuilderData* b = rm::meshBuilderData(visual);
                    if (!b) break;
                    const gl::GpuMesh* mesh = gpuMesh(visual, *b, b->textures, rm::meshBuilderPose(visual));
                    draw(*mesh, world, combine(device.quality, b->quality), -1);
                    break;
                }
                case rm::VisualKind::Mesh: {
                    const rm::MeshData* m = rm::meshData(visual);
                    if (!m) break;
                    textures_.clear();
                    for (const rm::MeshGroupData& g : m->groups) textures_.push_back(g.texture);
                    const gl::GpuMesh* mesh = gpuMesh(visual, *m, textures_);
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
    D3DCOLORMODEL model = D3DCOLOR_MONO;  // the default device is the ramp one
    if (request.guid) {
        if (*request.guid == IID_IDirect3DRGBDevice)
            model = D3DCOLOR_RGB;
        else if (!(*request.guid == IID_IDirect3DRampDevice)) {
            result.result = D3DRMERR_BADDEVICE;
            return result;
        }
    }
    HWND hwnd = nullptr;
    if (request.clipper && request.clipper->GetHWnd(&hwnd) != DD_OK) hwnd = nullptr;
    if (request.width <= 0 || request.height <= 0) {
        result.result = D3DRMERR_BADVALUE;
        return result;
    }
    if (!gl::ensureContext()) {
        std::fprintf(stderr, "OpenGL: %s\n", gl::lastContextError().c_str());
        result.result = D3DRMERR_BADDEVICE;
        return result;
    }
    auto device = std::make_unique<GlDevice>(hwnd, request.width, request.height);
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
    pictureReceiver = receiver;
    rm::setDeviceBackendFactory(createBackend);
}

bool glDeviceReadPicture(IDirect3DRMDevice* device, std::vector<unsigned char>& rgba, int& width, int& height) {
    if (!device) return false;
    auto& registry = deviceRegistry();
    auto it = registry.find(&rm::deviceData(device));
    if (it == registry.end()) return false;
    it->second->readPicture(rgba, width, height);
    return true;
}

unsigned long glGeometryUploadCount() { return uploadCount; }

void glSetRedrawStamp(GlRedrawStamp stamp) { redrawStamp = stamp; }
unsigned long glDrawnFrameCount() { return drawnFrames; }
