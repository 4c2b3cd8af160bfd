// Whole-conversion throughput: generates a large valid Rokkaku file (about 100 MB, a
// 900 x 850 grid of points with its edges and quad and triangle faces), converts it a few
// times and prints MB/s of input and the peak memory of the process.
//
//   bench_convert                 generate into a temporary folder, convert, clean up
//   bench_convert FILE.rok        convert an existing file
//   bench_convert --generate FILE.rok [COLUMNS ROWS]   only write the file
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "conversion/rokkaku_reader.h"
#include "conversion/x_conversion.h"
#include "platform/win/headless.h"

namespace {

class Writer {
public:
    explicit Writer(std::FILE* f) : f_(f) {}
    ~Writer() { flush(); }
    void line(const char* s) { put(s, std::strlen(s)); }
    void line(long v) {
        char b[24];
        put(b, std::to_chars(b, b + sizeof b, v).ptr - b);
    }
    void coordinate(double v) {
        char b[48];
        put(b, std::to_chars(b, b + sizeof b, v, std::chars_format::fixed, 6).ptr - b);
    }

private:
    void put(const char* s, size_t n) {
        if (buf_.size() > (1 << 20)) flush();
        buf_.append(s, n);
        buf_ += "\r\n";
    }
    void flush() {
        std::fwrite(buf_.data(), 1, buf_.size(), f_);
        buf_.clear();
    }
    std::FILE* f_;
    std::string buf_;
};

// Points on a gently curved sheet; horizontal and vertical edges; each cell one quad, or two
// triangles along a diagonal on every fourth cell.
bool generate(const std::string& path, long columns, long rows) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    {
        Writer w(f);
        w.line("ROKU4 generated grid");
        w.line("POINT");
        long n = 0;
        for (long r = 0; r < rows; ++r) {
            for (long c = 0; c < columns; ++c) {
                w.line(++n);
                w.line("0");
                w.line("1");
                w.line("0");
                w.line("0");
                const double x = c * 0.125 - columns / 16.0, z = r * 0.125 - rows / 16.0;
                w.coordinate(x);
                w.coordinate(-std::sin(x * 0.05) * std::cos(z * 0.07) * 4.0);
                w.coordinate(z);
            }
        }
        auto point = [&](long r, long c) { return r * columns + c + 1; };
        w.line("LINE0");
        long edges = 0;
        auto edge = [&](long a, long b) {
            w.line(a);
            w.line(b);
            w.line("0");
            w.line("1");
            return ++edges;
        };
        std::vector<long> horizontal(rows * (columns - 1)), vertical((rows - 1) * columns), diagonal;
        for (long r = 0; r < rows; ++r)
            for (long c = 0; c + 1 < columns; ++c) horizontal[r * (columns - 1) + c] = edge(point(r, c), point(r, c + 1));
        for (long r = 0; r + 1 < rows; ++r)
            for (long c = 0; c < columns; ++c) vertical[r * columns + c] = edge(point(r, c), point(r + 1, c));
        diagonal.assign((rows - 1) * (columns - 1), 0);
        for (long r = 0; r + 1 < rows; ++r)
            for (long c = 0; c + 1 < columns; ++c)
                if ((r + c) % 4 == 0) diagonal[r * (columns - 1) + c] = edge(point(r, c), point(r + 1, c + 1));
        w.line("FACE0");
        auto face = [&](std::initializer_list<long> e, long colour) {
            w.line(static_cast<long>(e.size()));
            w.line(colour);
            w.line("1");
            for (long x : e) w.line(x);
        };
        for (long r = 0; r + 1 < rows; ++r) {
            for (long c = 0; c + 1 < columns; ++c) {
                const long top = horizontal[r * (columns - 1) + c], bottom = horizontal[(r + 1) * (columns - 1) + c];
                const long left = vertical[r * columns + c], right = vertical[r * columns + c + 1];
                const long colour = (r / 16 + c / 16) % 13;
                if (const long d = diagonal[r * (columns - 1) + c]) {
                    face({top, right, d}, colour);
                    face({d, bottom, left}, colour);
                } else {
                    face({top, right, bottom, left}, colour);
                }
            }
        }
        w.line("END00");
        w.line("PALC0");
        w.line("13");
        w.line("palette");
        for (int i = 0; i < 13; ++i) {
            w.line(defaultPalette[i].red);
            w.line(defaultPalette[i].green);
            w.line(defaultPalette[i].blue);
            for (int k = 0; k < 4; ++k) w.line("0");
        }
        for (const char* s : {"ENDP0", "BAKC0", "0", "0", "0", "ENDB0", "LIT00", "ENDL0", "VIEW0", "ENDV0", "LINE2", "ENDL2"})
            w.line(s);
    }
    return std::fclose(f) == 0;
}

// Processor time of the whole process, user and system.
double cpuTime() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

double peakMegabytes() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
    winUseHeadless();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--generate") {
        if (args.size() < 2) return 2;
        long columns = args.size() > 3 ? std::atol(args[2].c_str()) : 900;
        long rows = args.size() > 3 ? std::atol(args[3].c_str()) : 850;
        return generate(args[1], std::max(columns, 2L), std::max(rows, 2L)) ? 0 : 1;
    }

    if (args.empty()) {
        // Generate, then measure in a fresh process so that the peak memory is the
        // conversion's own.
        char pattern[] = "/tmp/sollux-bench-XXXXXX";
        if (!mkdtemp(pattern)) return 1;
        const std::filesystem::path folder = pattern;
        const std::string file = (folder / "grid.rok").string();
        auto start = std::chrono::steady_clock::now();
        if (!generate(file, 900, 850)) return 1;
        std::printf("generated        %s in %.2f s\n", file.c_str(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::fflush(stdout);
        int status = 1;
        if (pid_t child = fork(); child == 0) {
            execl("/proc/self/exe", argv[0], file.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        } else if (child > 0) {
            waitpid(child, &status, 0);
        }
        std::filesystem::remove_all(folder);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    const std::string source = args[0];
    const double inputMB = std::filesystem::file_size(source) / 1e6;
    const double baseMB = peakMegabytes();

    // Keep the trace and the palette dump out of the figures.
    std::fflush(stdout);
    int savedOut = dup(1), savedErr = dup(2);
    std::FILE* sink = std::fopen("/dev/null", "w");
    dup2(fileno(sink), 1);
    dup2(fileno(sink), 2);
    std::vector<double> seconds, cpuSeconds;
    std::string output;
    for (int run = 0; run < 3; ++run) {
        auto start = std::chrono::steady_clock::now();
        const double cpuStart = cpuTime();
        const char* result = convertToXFile(source.c_str());
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpuSeconds.push_back(cpuTime() - cpuStart);
        if (!result) break;
        output = result;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    std::fclose(sink);
    if (output.empty()) {
        std::fprintf(stderr, "conversion failed\n");
        return 1;
    }

    const double best = *std::min_element(seconds.begin(), seconds.end());
    double mean = 0;
    for (double s : seconds) mean += s / seconds.size();
    std::printf("input            %.1f MB (%s)\n", inputMB, source.c_str());
    std::printf("output           %.1f MB\n", std::filesystem::file_size(output) / 1e6);
    std::printf("conversion       best %.3f s, mean %.3f s over %zu runs\n", best, mean, seconds.size());
    const double bestCpu = *std::min_element(cpuSeconds.begin(), cpuSeconds.end());
    std::printf("throughput       %.0f MB/s of input (best wall), %.0f MB/s (mean wall), %.0f MB/s (best CPU)\n",
                inputMB / best, inputMB / mean, inputMB / bestCpu);
    std::printf("peak memory      %.1f MB (%.1f MB before converting)\n", peakMegabytes(), baseMB);
    std::printf("output written   %s\n", output.c_str());
    return 0;
}
