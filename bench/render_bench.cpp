// Drawing speed of the OpenGL devices on whatever GL the machine has (software Mesa on
// a machine without a GPU: run with LIBGL_ALWAYS_SOFTWARE=1 to be sure).
//
//   bench_render [TRIANGLES]      frames per second at 800x600, flat and Gouraud
//                                 (default 1000000 triangles), and the time to the
//                                 first finished frame of a 100000-face .x model
//   bench_render --model FILE.x   frames per second of that model, turning, and the memory
//                                 it holds per face once loaded and once drawn
//   Environment: SOLLUX_BENCH_F3D=1 also times f3d (under xvfb-run) rendering the same
//   100000-face mesh written as .ply, and our --screenshot of the .x when the viewer
//   binary sits beside this one.
//
// Each frame is Clear, Render and Update (which reads the picture back), as the viewer
// draws it.
#include <time.h>

#include <atomic>
#include <chrono>
#include <new>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/rm/ddraw.h"
#include "platform/gl/egl_context.h"
#include "platform/gl/gl_device.h"
#include "platform/win/picture.h"
#include "platform/rm/d3drm.h"
#include "bench/bench_viewer.h"

// Counts heap allocations, to show that a frame of a still scene allocates nothing.
static std::atomic<unsigned long> allocations{0};
void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The process's resident memory now.
double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    double kb = 0;
    while (status >> key)
        if (key == "VmRSS:" && status >> kb) break;
    return kb * 1024 / 1e6;
}

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// A sphere of rings x segments quads (two triangles each), faces clockwise from outside.
void sphere(int rings, int segments, std::vector<D3DVECTOR>& v, std::vector<DWORD>& faces) {
    v.clear();
    faces.clear();
    for (int r = 0; r <= rings; ++r) {
        const double phi = M_PI * r / rings;
        for (int s = 0; s < segments; ++s) {
            const double theta = 2 * M_PI * s / segments;
            v.push_back({float(std::sin(phi) * std::cos(theta)), float(std::cos(phi)), float(std::sin(phi) * std::sin(theta))});
        }
    }
    auto at = [&](int r, int s) { return DWORD(r * segments + (s % segments)); };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            // Seen from outside, going round with theta and down with phi.
            const DWORD a = at(r, s), b = at(r, s + 1), c = at(r + 1, s + 1), d = at(r + 1, s);
            faces.insert(faces.end(), {3, a, b, c, 3, a, c, d});
        }
    faces.push_back(0);
}


// Frames per second of a turning model: a sphere of about `triangles` triangles, or the
// model in `path` (placed 2 units ahead, as the viewer opens it).
void framesPerSecond(long triangles, const std::string& path) {
    BenchViewer viewer;
    const int w = std::getenv("SOLLUX_BENCH_WIDTH") ? std::atoi(std::getenv("SOLLUX_BENCH_WIDTH")) : 800;
    const int h = w * 3 / 4;
    if (!viewer.open(w, h)) {
        std::printf("no device: %s\n", gl::lastContextError().c_str());
        return;
    }
    std::printf("renderer: %s\n", gl::rendererName().c_str());
    const double rssBefore = residentMegabytes();
    IDirect3DRMMeshBuilder* builder = nullptr;
    viewer.d3drm->CreateMeshBuilder(&builder);
    IDirect3DRMFrame* frame = nullptr;
    viewer.d3drm->CreateFrame(viewer.scene, &frame);
    if (path.empty()) {
        const int segments = int(std::sqrt(double(triangles) / 2.0) * 1.4);
        const int rings = std::max(2, int(triangles / 2 / segments));
        std::vector<D3DVECTOR> v;
        std::vector<DWORD> faces;
        sphere(rings, segments, v, faces);
        builder->AddFaces(DWORD(v.size()), v.data(), 0, nullptr, faces.data(), nullptr);
        frame->SetPosition(viewer.scene, 0, 0, 2.6f);
    } else if (builder->Load(const_cast<char*>(path.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr) !=
               D3DRM_OK) {
        std::printf("cannot load %s\n", path.c_str());
        return;
    } else {
        frame->SetPosition(viewer.scene, 0, 0, 2);
    }
    frame->AddVisual(builder);
    frame->SetRotation(viewer.scene, 0, 1, 0, 0.01f);  // turning, as a user would look at it
    const double rssLoaded = residentMegabytes();

    const auto first = Clock::now();
    viewer.frame();
    const int faces = builder->GetFaceCount();
    std::printf("model: %d faces, %d vertices; first frame (upload) %.1f ms\n", faces, builder->GetVertexCount(),
                secondsSince(first) * 1000);
    const double rssDrawn = residentMegabytes();
    std::printf("memory held (resident): %.1f MB before loading, %.1f MB after (%.0f bytes a face), "
                "%.1f MB after the first frame (%.0f bytes a face)\n",
                rssBefore, rssLoaded, (rssLoaded - rssBefore) * 1e6 / std::max(faces, 1), rssDrawn,
                (rssDrawn - rssBefore) * 1e6 / std::max(faces, 1));
    {
        // A still scene: nothing moves between these frames.
        viewer.frame();
        const unsigned long before = allocations.load();
        for (int i = 0; i < 3; ++i) viewer.frame();
        std::printf("C++ heap allocations per frame of a still scene: %.1f\n", (allocations.load() - before) / 3.0);
    }
    for (auto [name, quality] : {std::pair{"flat", D3DRMRENDER_FLAT}, std::pair{"gouraud", D3DRMRENDER_GOURAUD}}) {
        viewer.device->SetQuality(quality);
        viewer.frame();
        const unsigned long uploads = glGeometryUploadCount();
        int frames = 0;
        const auto start = Clock::now();
        const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID), thread0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        while (secondsSince(start) < 3.0 || frames < 3) {
            viewer.scene->Move(1.0f);
            viewer.frame();
            ++frames;
        }
        const double s = secondsSince(start);
        const double process = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0) / frames;
        const double thread = (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - thread0) / frames;
        std::printf("%dx%d %-8s %6.1f frames per second (%d frames, %.1f ms each, %lu uploads while drawing)\n", w, h, name,
                    frames / s, frames, s * 1000 / frames, glGeometryUploadCount() - uploads);
        // On a busy machine the wall clock mostly measures the other processes. The CPU
        // time per frame (all threads, and the drawing thread alone) gives what an idle
        // machine with this many cores would reach.
        const double idle = std::max(thread, process / std::max(1u, std::thread::hardware_concurrency()));
        std::printf("         cpu per frame: %.1f ms in all threads, %.1f ms in the drawing thread; "
                    "idle-machine estimate %.1f frames per second on %u cores\n",
                    process * 1000, thread * 1000, 1.0 / idle, std::thread::hardware_concurrency());
    }
    frame->Release();
    builder->Release();
    viewer.close();
}

// Writes the same sphere as a .x text file and as a binary .ply; returns the face count.
long writeModels(const std::string& xPath, const std::string& plyPath, int rings, int segments) {
    std::vector<D3DVECTOR> v;
    std::vector<DWORD> faces;
    sphere(rings, segments, v, faces);
    const long faceCount = long(rings) * segments * 2;
    {
        std::ofstream x(xPath);
        x << "xof 0302txt 0064\nMesh sphere {\n" << v.size() << ";\n";
        char line[96];
        for (size_t i = 0; i < v.size(); ++i) {
            std::snprintf(line, sizeof line, "%.6f;%.6f;%.6f;%s\n", v[i].x, v[i].y, v[i].z, i + 1 == v.size() ? ";" : ",");
            x << line;
        }
        x << faceCount << ";\n";
        long written = 0;
        for (size_t i = 0; faces[i] != 0; i += 4) {
            ++written;
            x << "3;" << faces[i + 1] << "," << faces[i + 2] << "," << faces[i + 3] << ";" << (written == faceCount ? ";" : ",")
              << "\n";
        }
        x << "}\n";
    }
    {
        std::ofstream ply(plyPath, std::ios::binary);
        ply << "ply\nformat binary_little_endian 1.0\nelement vertex " << v.size()
            << "\nproperty float x\nproperty float y\nproperty float z\nelement face " << faceCount
            << "\nproperty list uchar int vertex_indices\nend_header\n";
        for (const D3DVECTOR& p : v) ply.write(reinterpret_cast<const char*>(&p), 12);
        for (size_t i = 0; faces[i] != 0; i += 4) {
            const unsigned char n = 3;
            // .ply faces are counter-clockwise from outside.
            const int idx[3] = {int(faces[i + 1]), int(faces[i + 3]), int(faces[i + 2])};
            ply.write(reinterpret_cast<const char*>(&n), 1);
            ply.write(reinterpret_cast<const char*>(idx), 12);
        }
    }
    return faceCount;
}

void timeToFirstFrame(const std::string& xPath, long faces) {
    const auto start = Clock::now();
    BenchViewer viewer;
    if (!viewer.open(800, 600)) return;
    const double contextMs = secondsSince(start) * 1000;
    IDirect3DRMMeshBuilder* builder = nullptr;
    viewer.d3drm->CreateMeshBuilder(&builder);
    const auto loadStart = Clock::now();
    const HRESULT hr = builder->Load(const_cast<char*>(xPath.c_str()), nullptr, D3DRMLOAD_FROMFILE, nullptr, nullptr);
    const double loadMs = secondsSince(loadStart) * 1000;
    if (hr != D3DRM_OK) {
        std::printf("loading %s failed (0x%08x)\n", xPath.c_str(), unsigned(hr));
        builder->Release();
        viewer.close();
        return;
    }
    IDirect3DRMFrame* frame = nullptr;
    viewer.d3drm->CreateFrame(viewer.scene, &frame);
    frame->SetPosition(viewer.scene, 0, 0, 2.6f);
    frame->AddVisual(builder);
    viewer.frame();
    std::printf("%ld-face .x: first finished frame %.1f ms after start (device %.1f ms, load %.1f ms)\n", faces,
                secondsSince(start) * 1000, contextMs, loadMs);
    frame->Release();
    builder->Release();
    viewer.close();
}

double timeCommand(const std::string& command) {
    const auto start = Clock::now();
    const int rc = std::system(command.c_str());
    const double s = secondsSince(start);
    return rc == 0 ? s : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool model = argc > 2 && std::string(argv[1]) == "--model";
    const long triangles = argc > 1 && !model ? std::atol(argv[1]) : 1000000;
    framesPerSecond(triangles, model ? argv[2] : "");
    if (model) return 0;

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "sollux_render_bench";
    std::filesystem::create_directories(dir);
    const std::string xPath = (dir / "sphere100k.x").string(), plyPath = (dir / "sphere100k.ply").string();
    const long faces = writeModels(xPath, plyPath, 200, 250);
    timeToFirstFrame(xPath, faces);

    if (std::getenv("SOLLUX_BENCH_F3D")) {
        const std::string out = (dir / "f3d.png").string();
        const double f3d = timeCommand("xvfb-run -a f3d --output " + out + " --resolution 800,600 " + plyPath + " >/dev/null 2>&1");
        std::printf("f3d --output of the .ply under xvfb-run: %s\n",
                    f3d < 0 ? "failed" : (std::to_string(int(f3d * 1000)) + " ms whole process").c_str());
        const std::filesystem::path viewer = std::filesystem::path(argv[0]).parent_path().parent_path() / "solluxviewer";
        if (std::filesystem::exists(viewer)) {
            const std::string shot = (dir / "ours.png").string();
            const double ours = timeCommand(viewer.string() + " --screenshot " + shot + " --size 800x600 " + xPath +
                                            " >/dev/null 2>&1");
            std::printf("solluxviewer --screenshot of the .x: %s\n",
                        ours < 0 ? "failed" : (std::to_string(int(ours * 1000)) + " ms whole process").c_str());
        } else {
            std::printf("solluxviewer not built beside the benchmarks; only the in-process time above\n");
        }
    }
    return 0;
}
