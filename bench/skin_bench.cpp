// Frame time of a skinned character, animated and still, on whatever GL the machine has
// (run with LIBGL_ALWAYS_SOFTWARE=1 for software Mesa).
//
//   bench_skin [FACES]     a tube of about FACES triangles (default 5000) bound to a chain
//                          of 12 bones that sway, loaded as an animation set and drawn at
//                          800x600: milliseconds per frame while it plays, while it stands
//                          still, and for the same mesh without skin; the share of a played
//                          frame spent posing the vertices; geometry uploads per frame.
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "platform/rm/ddraw.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_device.h"
#include "platform/rm/d3drm.h"
#include "platform/rm/rm_internal.h"
#include "platform/win/picture.h"
#include "bench/bench_viewer.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

constexpr int kBones = 12;

// A closed tube along y from 0 to kBones, rings x segments quads as triangles, every
// vertex shared by the two bones nearest to it; each bone sways about z over 40 time units.
void writeCharacter(const std::string& path, int rings, int segments, bool skinned) {
    std::ofstream x(path);
    x << "xof 0303txt 0032\nFrame Body {\n";
    // The chain: Bone0 at the origin, each next one a unit higher.
    for (int b = 0; b < kBones; ++b)
        x << "Frame Bone" << b << " { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 0," << (b ? 1 : 0) << ",0,1;; }\n";
    for (int b = 0; b < kBones; ++b) x << "}\n";
    x << "Frame Skin { Mesh tube {\n" << (rings + 1) * segments << ";\n";
    for (int r = 0; r <= rings; ++r)
        for (int s = 0; s < segments; ++s) {
            const double a = 2 * M_PI * s / segments;
            x << 0.4 * std::cos(a) << ";" << double(kBones) * r / rings << ";" << 0.4 * std::sin(a) << ";"
              << (r == rings && s + 1 == segments ? ";\n" : ",\n");
        }
    x << rings * segments * 2 << ";\n";
    auto at = [&](int r, int s) { return r * segments + (s % segments); };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            const int a = at(r, s), b = at(r, s + 1), c = at(r + 1, s + 1), d = at(r + 1, s);
            x << "3;" << a << "," << d << "," << c << ";,\n3;" << a << "," << c << "," << b << ";"
              << (r + 1 == rings && s + 1 == segments ? ";\n" : ",\n");
        }
    x << "MeshMaterialList { 1; 1; 0;; Material { 0.8;0.6;0.4;1;; 0; 0;0;0;; 0;0;0;; } }\n";
    if (skinned) {
        for (int b = 0; b < kBones; ++b) {
            std::string vertices, weights;
            int n = 0;
            for (int r = 0; r <= rings; ++r) {
                // Bone b's middle is at b + 0.5; past the chain's ends the end bones hold all.
                const double y = double(kBones) * r / rings;
                double weight = 1 - std::fabs(y - (b + 0.5));
                if ((b == 0 && y <= 0.5) || (b == kBones - 1 && y >= kBones - 0.5)) weight = 1;
                if (weight <= 0) continue;
                for (int s = 0; s < segments; ++s) {
                    vertices += (n ? "," : "") + std::to_string(at(r, s));
                    weights += (n ? "," : "") + std::to_string(weight);
                    ++n;
                }
            }
            x << "SkinWeights { \"Bone" << b << "\"; " << n << "; " << vertices << "; " << weights
              << "; 1,0,0,0, 0,1,0,0, 0,0,1,0, 0," << -b << ",0,1;; }\n";
        }
    }
    x << "} } }\nAnimationSet Sway {\n";
    for (int b = 0; b < kBones; ++b) {
        const double half = 0.12 * std::sin(b * 0.7);  // a quarter of the sway, as a half angle
        x << "Animation { { Bone" << b << " } AnimationKey { 0; 3; 0;4;1,0,0,0;;, 20;4;" << std::cos(half) << ",0,0,"
          << std::sin(half) << ";;, 40;4;1,0,0,0;;; } }\n";
    }
    x << "}\n";
}


struct Figures {
    double wallMs = 0, threadMs = 0, poseMs = 0, uploads = 0;
};

// Draws `frames` frames; playing, the set's time advances one unit per frame, as the
// viewer's clock does.
Figures run(BenchViewer& viewer, IDirect3DRMAnimationSet* set, IDirect3DRMVisual* tube, bool playing, int frames) {
    Figures f;
    float time = 3;
    set->SetTime(time);
    viewer.frame();
    const unsigned long uploads = glGeometryUploadCount();
    double pose = 0;
    const auto start = Clock::now();
    const double thread0 = threadSeconds();
    for (int i = 0; i < frames; ++i) {
        if (playing) time += 1;
        set->SetTime(time);
        // Posing is what drawing would do first; timed on its own, then found ready.
        const double p0 = threadSeconds();
        rm::meshBuilderPose(tube);
        pose += threadSeconds() - p0;
        viewer.frame();
    }
    f.wallMs = secondsSince(start) * 1000 / frames;
    f.threadMs = (threadSeconds() - thread0) * 1000 / frames;
    f.poseMs = pose * 1000 / frames;
    f.uploads = double(glGeometryUploadCount() - uploads) / frames;
    return f;
}

IDirect3DRMVisual* firstBuilder(IDirect3DRMFrame* frame) {
    for (IDirect3DRMVisual* v : rm::frameVisuals(frame))
        if (rm::visualKind(v) == rm::VisualKind::MeshBuilder) return v;
    for (IDirect3DRMFrame* c : rm::frameChildren(frame))
        if (IDirect3DRMVisual* v = firstBuilder(c)) return v;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const long faces = argc > 1 ? std::max(200L, std::atol(argv[1])) : 5000;
    const int segments = 40;
    const int rings = int(std::max(1L, faces / (2 * segments)));
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("sollux_skin_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    BenchViewer viewer;
    if (!viewer.open(800, 600)) {
        std::printf("no device: %s\n", gl::lastContextError().c_str());
        return 1;
    }
    viewer.device->SetQuality(D3DRMRENDER_GOURAUD);
    std::printf("renderer: %s\n", gl::rendererName().c_str());
    std::printf("character: %d triangles, %d vertices, %d bones, 800x600, Gouraud\n", rings * segments * 2,
                (rings + 1) * segments, kBones);
    for (bool skinned : {true, false}) {
        const std::string path = (dir / (skinned ? "skinned.x" : "rigid.x")).string();
        writeCharacter(path, rings, segments, skinned);
        IDirect3DRMFrame* holder = nullptr;
        viewer.d3drm->CreateFrame(viewer.scene, &holder);
        holder->SetPosition(viewer.scene, 0, -6, 14);
        IDirect3DRMAnimationSet* set = nullptr;
        viewer.d3drm->CreateAnimationSet(&set);
        if (set->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr, holder) !=
            D3DRM_OK) {
            std::printf("cannot load %s\n", path.c_str());
            return 1;
        }
        IDirect3DRMVisual* tube = firstBuilder(holder);
        const int frames = 200;
        for (bool playing : {true, false}) {
            if (!skinned && playing) continue;  // without skin only the bones would move
            const Figures f = run(viewer, set, tube, playing, frames);
            std::printf("%-8s %-8s %6.2f ms per frame (%.2f ms cpu in the drawing thread, %.3f ms posing), "
                        "%.2f uploads per frame\n",
                        skinned ? "skinned" : "rigid", playing ? "playing" : "still", f.wallMs, f.threadMs, f.poseMs,
                        f.uploads);
        }
        set->Release();
        viewer.scene->DeleteChild(holder);
        holder->Release();
    }
    viewer.close();
    std::filesystem::remove_all(dir);
    return 0;
}
