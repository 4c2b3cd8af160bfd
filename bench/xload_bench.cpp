// Loading speed and memory of the .x reader on a large generated mesh.
//
//   bench_xload [FACES] [--dir DIR] [--keep]
//
// Writes a grid mesh of about FACES triangles (default 1 000 000) as a text .x file in the
// form our converter writes and as its binary twin, then loads each several times and
// prints MB/s, faces per second and the memory held per face.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/rm/xfile.h"

namespace {

struct Grid {
    uint32_t side;  // vertices per row
    uint32_t vertices() const { return side * side; }
    uint32_t faces() const { return 2 * (side - 1) * (side - 1); }
    std::array<float, 3> vertex(uint32_t i) const {
        float x = float(i % side), y = float(i / side);
        return {x * 0.01f, std::sin(x * 0.05f) * std::cos(y * 0.05f), -y * 0.01f};
    }
    std::array<uint32_t, 3> face(uint32_t f) const {
        uint32_t cell = f / 2, r = cell / (side - 1), c = cell % (side - 1);
        uint32_t a = r * side + c, b = a + 1, d = a + side, e = d + 1;
        return (f & 1) ? std::array<uint32_t, 3>{b, e, d} : std::array<uint32_t, 3>{a, b, d};
    }
};

class Out {
public:
    explicit Out(const std::string& path) : fp_(std::fopen(path.c_str(), "wb")) {}
    ~Out() {
        flush();
        if (fp_) std::fclose(fp_);
    }
    bool ok() const { return fp_ != nullptr; }
    void text(const char* s) { bytes(s, std::strlen(s)); }
    void bytes(const void* p, size_t n) {
        if (buf_.size() + n > (1u << 20)) flush();
        buf_.insert(buf_.end(), static_cast<const char*>(p), static_cast<const char*>(p) + n);
    }
    void fixed8(float v) {  // "%8.8f"
        char tmp[64];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, double(v), std::chars_format::fixed, 8);
        bytes(tmp, size_t(r.ptr - tmp));
    }
    void integer(uint64_t v) {
        char tmp[32];
        auto r = std::to_chars(tmp, tmp + sizeof tmp, v);
        bytes(tmp, size_t(r.ptr - tmp));
    }
    void u16(uint16_t v) { bytes(&v, 2); }
    void u32(uint32_t v) { bytes(&v, 4); }
    void f32(float v) { bytes(&v, 4); }

private:
    void flush() {
        if (fp_ && !buf_.empty()) std::fwrite(buf_.data(), 1, buf_.size(), fp_);
        buf_.clear();
    }
    std::FILE* fp_;
    std::vector<char> buf_;
};

bool writeText(const Grid& g, const std::string& path) {
    Out o(path);
    if (!o.ok()) return false;
    o.text("xof 0302txt 0064\nHeader{\n1;\n0;\n1;\n}\nMesh{\n");
    o.integer(g.vertices());
    o.text(";\n");
    for (uint32_t i = 0; i < g.vertices(); ++i) {
        auto v = g.vertex(i);
        for (int k = 0; k < 3; ++k) {
            o.fixed8(v[k]);
            o.text(";");
        }
        o.text(i + 1 == g.vertices() ? ";\n" : ",\n");
    }
    o.text("\n");
    o.integer(g.faces());
    o.text(";\n");
    for (uint32_t f = 0; f < g.faces(); ++f) {
        auto t = g.face(f);
        o.text("3;");
        for (uint32_t i : t) {
            o.integer(i);
            o.text(";");
        }
        o.text(f + 1 == g.faces() ? ";\n" : ",\n");
    }
    o.text("\nMeshMaterialList{\n2;\n");
    o.integer(g.faces());
    o.text(";\n");
    for (uint32_t f = 0; f < g.faces(); ++f) o.text(f + 1 == g.faces() ? ((f & 1) ? "1;\n" : "0;\n") : ((f & 1) ? "1,\n" : "0,\n"));
    o.text("Material{\n0.913725;0.913725;0.913725;1.0;;\n15.0;\n1.0;1.0;1.0;;\n0.0;0.0;0.0;;\n}\n");
    o.text("Material{\n0.564706;1.000000;1.000000;1.0;;\n15.0;\n1.0;1.0;1.0;;\n0.0;0.0;0.0;;\n}\n");
    o.text("}\n}\n");
    return true;
}

bool writeBinary(const Grid& g, const std::string& path) {
    Out o(path);
    if (!o.ok()) return false;
    o.text("xof 0302bin 0032");
    auto name = [&](const char* s) {
        o.u16(1);
        o.u32(uint32_t(std::strlen(s)));
        o.text(s);
    };
    name("Mesh");
    o.u16(10);
    o.u16(6);
    o.u32(1);
    o.u32(g.vertices());
    o.u16(7);
    o.u32(3 * g.vertices());
    for (uint32_t i = 0; i < g.vertices(); ++i)
        for (float c : g.vertex(i)) o.f32(c);
    o.u16(6);
    o.u32(1 + 4 * g.faces());
    o.u32(g.faces());
    for (uint32_t f = 0; f < g.faces(); ++f) {
        o.u32(3);
        for (uint32_t i : g.face(f)) o.u32(i);
    }
    name("MeshMaterialList");
    o.u16(10);
    o.u16(6);
    o.u32(2 + g.faces());
    o.u32(2);
    o.u32(g.faces());
    for (uint32_t f = 0; f < g.faces(); ++f) o.u32(f & 1);
    for (int m = 0; m < 2; ++m) {
        name("Material");
        o.u16(10);
        o.u16(7);
        o.u32(11);
        const float v[11] = {m ? 0.564706f : 0.913725f, m ? 1.f : 0.913725f, m ? 1.f : 0.913725f, 1, 15, 1, 1, 1, 0, 0, 0};
        for (float x : v) o.f32(x);
        o.u16(11);
    }
    o.u16(11);
    o.u16(11);
    return true;
}

long peakRssKb() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}
long currentRssKb() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

size_t heldBytes(const xfile::Mesh& m) {
    return m.vertices.capacity() * sizeof(m.vertices[0]) + m.faces.indices.capacity() * 4 +
           m.faces.offsets.capacity() * 4 + m.faceMaterials.capacity() * 4 + m.normals.capacity() * 12 +
           m.faceNormals.indices.capacity() * 4 + m.faceNormals.offsets.capacity() * 4;
}

struct Result {
    double seconds = 1e30;     // wall clock
    double cpuSeconds = 1e30;  // this process's CPU time: steadier on a busy machine
    size_t faces = 0, held = 0;
    long peakDeltaKb = 0;
};

Result measure(const std::string& path, int runs) {
    Result r;
    for (int i = 0; i < runs; ++i) {
        long before = currentRssKb();
        long peakBefore = peakRssKb();
        auto t0 = std::chrono::steady_clock::now();
        std::clock_t c0 = std::clock();
        xfile::File f;
        std::string error;
        if (xfile::loadFile(path, f, &error) != xfile::Status::Ok) {
            std::fprintf(stderr, "load of %s failed: %s\n", path.c_str(), error.c_str());
            std::exit(1);
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        r.seconds = std::min(r.seconds, s);
        r.cpuSeconds = std::min(r.cpuSeconds, double(std::clock() - c0) / CLOCKS_PER_SEC);
        r.faces = f.meshes.at(0).faces.size();
        r.held = heldBytes(f.meshes[0]);
        // The first run sets a new peak; later runs reuse freed memory.
        if (i == 0 && peakRssKb() > peakBefore) r.peakDeltaKb = peakRssKb() - before;
    }
    return r;
}

// Each measurement runs in its own process so that its peak memory is its own.
Result measureInChild(const std::string& path, int runs) {
    int fds[2];
    if (pipe(fds) != 0) return measure(path, runs);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result r = measure(path, runs);
        ssize_t w = write(fds[1], &r, sizeof r);
        _exit(w == ssize_t(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    Result r;
    ssize_t got = read(fds[0], &r, sizeof r);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != ssize_t(sizeof r)) std::exit(1);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t wanted = 1000000;
    std::string dir = std::filesystem::temp_directory_path().string();
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--dir") && i + 1 < argc) dir = argv[++i];
        else if (!std::strcmp(argv[i], "--keep")) keep = true;
        else wanted = std::strtoull(argv[i], nullptr, 10);
    }
    Grid g{uint32_t(std::ceil(std::sqrt(double(wanted) / 2.0))) + 1};
    const std::string text = dir + "/xload_bench_text.x", binary = dir + "/xload_bench_binary.x";
    if (!writeText(g, text) || !writeBinary(g, binary)) {
        std::fprintf(stderr, "cannot write the generated files in %s\n", dir.c_str());
        return 1;
    }
    std::printf("mesh: %u vertices, %u faces\n", g.vertices(), g.faces());
    double textSeconds = 0, textCpu = 0;
    for (const auto& [label, path] : {std::pair{"text", text}, std::pair{"binary", binary}}) {
        const double mb = double(std::filesystem::file_size(path)) / 1e6;
        Result r = measureInChild(path, 3);
        std::printf("%-6s: %6.1f MB | wall %6.3f s %7.1f MB/s %6.2f M faces/s | cpu %6.3f s %7.1f MB/s %6.2f M faces/s"
                    " | peak +%.1f MB (%.1f bytes/face), held %.1f bytes/face\n",
                    label, mb, r.seconds, mb / r.seconds, double(r.faces) / r.seconds / 1e6, r.cpuSeconds,
                    mb / r.cpuSeconds, double(r.faces) / r.cpuSeconds / 1e6, r.peakDeltaKb / 1024.0,
                    r.peakDeltaKb * 1024.0 / double(r.faces), double(r.held) / double(r.faces));
        if (std::strcmp(label, "text") == 0) {
            textSeconds = r.seconds;
            textCpu = r.cpuSeconds;
        } else {
            std::printf("binary load is %.1fx faster than text (wall), %.1fx (cpu)\n", textSeconds / r.seconds,
                        textCpu / r.cpuSeconds);
        }
    }
    if (!keep) {
        std::filesystem::remove(text);
        std::filesystem::remove(binary);
    }
    return 0;
}
