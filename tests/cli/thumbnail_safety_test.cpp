// The thumbnailer runs on every file a person downloads: what such a download plants
// (links where its output goes, texture names that lead out of its folder) changes
// nothing outside the model's folder, and a thumbnail killed part-way leaves nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "tests/cli/cli_test_util.h"

namespace fs = std::filesystem;

namespace {

using cli_test::readAll;

class ThumbnailSafety : public testing::Test {
protected:
    void SetUp() override {
        dir_ = cli_test::makeTempFolder("thumb");
        ASSERT_FALSE(dir_.empty());
        for (const char* d : {"dl", "outside", "tmp"}) fs::create_directories(dir_ / d);
        victim_ = put("outside/victim.txt", "keep me");
        model_ = put("dl/m.x", readAll(fs::path(SOLLUX_TEST_DATA) / "conversion/triangle.x"));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string put(const std::string& name, const std::string& content) {
        std::ofstream(dir_ / name, std::ios::binary) << content;
        return (dir_ / name).string();
    }
    // Starts the viewer with TMPDIR in our folder; before(pid) runs before it starts. With
    // ownGroup it leads a process group of its own, as a file manager starts it.
    pid_t start(const std::vector<std::string>& args, const std::function<void(pid_t)>& before = {},
                bool ownGroup = false) {
        int gate[2];
        EXPECT_EQ(pipe(gate), 0);
        const std::string tmp = "TMPDIR=" + (dir_ / "tmp").string();
        const pid_t pid = fork();
        if (pid == 0) {
            if (ownGroup) setpgid(0, 0);
            close(gate[1]);
            char byte;
            if (read(gate[0], &byte, 1) != 1) _exit(127);
            std::vector<char*> argv{const_cast<char*>(SOLLUXVIEWER)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            putenv(const_cast<char*>(tmp.c_str()));
            freopen("/dev/null", "w", stdout);
            freopen("/dev/null", "w", stderr);
            execv(SOLLUXVIEWER, argv.data());
            _exit(127);
        }
        close(gate[0]);
        if (before) before(pid);
        EXPECT_EQ(write(gate[1], "x", 1), 1);
        close(gate[1]);
        return pid;
    }
    int finish(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir_;
    std::string victim_, model_;
};

}  // namespace

TEST_F(ThumbnailSafety, OutputNeverReplacesTheModelNorGoesThroughAPlantedLink) {
    const std::string model = readAll(model_);
    fs::create_symlink(model_, dir_ / "dl/alias.png");
    for (const std::string& out : {model_, (dir_ / "dl/alias.png").string()}) {
        EXPECT_EQ(finish(start({"--thumbnail", "64", model_, out})), 1) << out;
        EXPECT_EQ(readAll(model_), model) << out;
    }
    // Links under every name the picture was ever written to before its rename.
    const std::string png = (dir_ / "dl/thumb.png").string();
    const pid_t pid = start({"--thumbnail", "64", model_, png}, [&](pid_t pid) {
        for (const char* tail : {"", "-0", "-1"})
            fs::create_symlink(victim_, png + ".part-" + std::to_string(pid) + tail);
    });
    EXPECT_EQ(finish(pid), 0);
    EXPECT_EQ(readAll(victim_), "keep me");
    EXPECT_EQ(readAll(png).substr(1, 3), "PNG");
}

// A texture named outside the model's folder (by an absolute path, a way up, or a link)
// is not drawn: the thumbnail is the untextured one.
TEST_F(ThumbnailSafety, TexturesComeFromTheModelsFolderOnly) {
    const std::string red("P6 1 1 255 \xff\x00\x00", 14);
    put("outside/red.ppm", red);
    fs::create_symlink("../outside/red.ppm", dir_ / "dl/link.ppm");
    auto thumbnail = [&](const std::string& texture) {
        std::string mesh =
            "xof 0302txt 0032\nMesh { 3; -1;-1;0;, 1;-1;0;, 0;1;0;; 2; 3;0,1,2;, 3;2,1,0;;\n"
            "MeshTextureCoords { 3; 0;0;, 1;0;, 0;1;; }\n"
            "MeshMaterialList { 1; 2; 0, 0;; Material { 1;1;1;1;; 0; 0;0;0;; 0;0;0;; TextureFilename { \"" +
            texture + "\"; } } } }\n";
        const std::string x = put("dl/t.x", mesh), png = (dir_ / "dl/t.png").string();
        fs::remove(png);
        EXPECT_EQ(finish(start({"--thumbnail", "32", x, png})), 0) << texture;
        return readAll(png);
    };
    const std::string untextured = thumbnail("none.ppm");
    put("dl/red.ppm", red);
    EXPECT_NE(thumbnail("red.ppm"), untextured);
    for (const std::string& name : {std::string("../outside/red.ppm"), (dir_ / "outside/red.ppm").string(), std::string("link.ppm")})
        EXPECT_EQ(thumbnail(name), untextured) << name;
}

// Killed as soon as its private folder appears, at any point after, alone or with its
// whole process group, the thumbnail of a Rokkaku file leaves nothing behind; by then it
// runs under its own resource limits.
TEST_F(ThumbnailSafety, AKilledRokkakuThumbnailLeavesNothing) {
    const std::string rok = put("dl/tri.rok", readAll(fs::path(SOLLUX_TEST_DATA) / "conversion/triangle_crlf.rok"));
    for (const bool group : {false, true}) {
        for (int delayMs : {0, 20, 80}) {
            const pid_t pid = start({"--thumbnail", "64", rok, (dir_ / "dl/tri.png").string()}, {}, group);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (fs::is_empty(dir_ / "tmp") && std::chrono::steady_clock::now() < deadline &&
                   waitpid(pid, nullptr, WNOHANG) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            // By then the thumbnailer has set its own limits.
            const std::string limits = readAll("/proc/" + std::to_string(pid) + "/limits");
            if (!limits.empty()) {
                EXPECT_NE(limits.find("Max cpu time              10  "), std::string::npos) << limits;
#ifndef SOLLUX_SANITIZED  // the sanitizer needs the address space: only the time is limited there
                EXPECT_NE(limits.find("Max data size             1073741824"), std::string::npos) << limits;
#endif
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            kill(group ? -pid : pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            for (int i = 0; i < 100 && !fs::is_empty(dir_ / "tmp"); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << delayMs << (group ? " ms, the whole group" : " ms");
            EXPECT_FALSE(fs::exists(dir_ / "dl/tri.x"));
        }
    }
}
