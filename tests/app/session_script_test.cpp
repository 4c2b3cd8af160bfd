// Scripted sessions (--play), recorded ones (--record) and the screenshot mode.
#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/gl/gl_device.h"
#include "tests/viewer/viewer_harness.h"
#include "app/command_line_modes.h"
#include "app/session_script.h"
#include "app/window_module.h"

using namespace harness;

namespace {

bool parse(const std::string& text, std::vector<ScriptEvent>& events, std::string& error) {
    std::istringstream in(text);
    return parseScript(in, "s.txt", events, error);
}

struct Png {
    std::vector<unsigned char> rgba;
    int width = 0, height = 0;
    bool dark(int x, int y) const {
        const unsigned char* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
        return p[0] < 16 && p[1] < 16 && p[2] < 16;
    }
    bool white(int x, int y) const {
        const unsigned char* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
        return p[0] == 255 && p[1] == 255 && p[2] == 255;
    }
    int leftmostLit(int y) const {
        for (int x = 0; x < width; ++x)
            if (!dark(x, y)) return x;
        return -1;
    }
};

Png readPng(const std::string& path) {
    Png png;
    int channels = 0;
    unsigned char* data = stbi_load(path.c_str(), &png.width, &png.height, &channels, 4);
    if (data) {
        png.rgba.assign(data, data + static_cast<size_t>(png.width) * png.height * 4);
        stbi_image_free(data);
    }
    return png;
}

// The whole viewer command line in this process, from a clean window system.
int runInProcess(const ViewerOptions& options) {
    winUseHeadless();
    winReset();
    return runViewer(options);
}

// A played script, its screenshot taken as the session ends.
int playInProcess(const std::string& script, const std::string& screenshot) {
    ViewerOptions options;
    options.playPath = script;
    options.screenshotPath = screenshot;
    return runInProcess(options);
}

std::string viewerBinary() { return std::string(SOLLUX_BINARY_DIR) + "/solluxviewer"; }

int runProcess(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ScriptParsing, EveryEventKindReadsAndWritesBack) {
    const char* lines[] = {
        "key down VK_LEFT", "key up T", "ctrl key down O", "ctrl shift key up VK_DELETE", "command 7",
        "mouse move 10 -20", "mouse ldown 5 6 shift", "mouse rup 0 0", "mouse mdown 3 4", "mouse mup 3 4 shift",
        "mouse wheel 7 8 -2", "mouse wheel 7 8 0.125", "answer open cancel", "answer save cancel",
        "answer colour 255 0 16", "answer colour cancel", "answer about ok", "frames 12", "size 640 480",
        "minimize", "restore", "quit",
    };
    std::string text = "# a comment\n\n";
    for (const char* line : lines) text += std::string(line) + "\r\n";
    std::vector<ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(parse(text, events, error)) << error;
    ASSERT_EQ(events.size(), std::size(lines));
    for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(formatScriptEvent(events[i]), lines[i]);
    EXPECT_EQ(events[0].line, 3);
    EXPECT_EQ(events[0].virtualKey, static_cast<UINT>(VK_LEFT));
    EXPECT_TRUE(events[2].ctrl);
    EXPECT_EQ(events[5].y, -20);
}

TEST(ScriptParsing, KeysByNameLetterOrNumber) {
    EXPECT_EQ(virtualKeyFromName("VK_ADD"), static_cast<UINT>(VK_ADD));
    EXPECT_EQ(virtualKeyFromName("t"), static_cast<UINT>('T'));
    EXPECT_EQ(virtualKeyFromName("7"), static_cast<UINT>('7'));
    EXPECT_EQ(virtualKeyFromName("37"), static_cast<UINT>(VK_LEFT));
    EXPECT_EQ(virtualKeyFromName("0x6B"), static_cast<UINT>(VK_ADD));
    EXPECT_FALSE(virtualKeyFromName("VK_NOPE"));
    EXPECT_EQ(virtualKeyFromName("0"), static_cast<UINT>('0'));  // the digit key, not code 0
    EXPECT_FALSE(virtualKeyFromName("0x0"));
    EXPECT_FALSE(virtualKeyFromName("256"));
    EXPECT_FALSE(virtualKeyFromName(""));
}

TEST(ScriptParsing, PathsKeepTheirBlanksAndBecomeAbsolute) {
    std::vector<ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(parse("answer open  /tmp/my model.rok  \nshot out dir/a b.png\n", events, error)) << error;
    EXPECT_EQ(*events[0].path, "/tmp/my model.rok");
    ASSERT_TRUE(events[1].path);
    EXPECT_EQ(events[1].path->front(), '/');
    EXPECT_NE(events[1].path->find("out dir/a b.png"), std::string::npos);
    // Any blank separates the words before a path, as it does between other words.
    ASSERT_TRUE(parse("answer open\f/tmp/m.rok\vshot\t/tmp/s.png\n", events, error)) << error;
    ASSERT_EQ(events.size(), 1u);
    ASSERT_TRUE(parse("answer\vopen\f/tmp/m.rok\nshot\f/tmp/s.png\n", events, error)) << error;
    EXPECT_EQ(*events[0].path, "/tmp/m.rok");
    EXPECT_EQ(*events[1].path, "/tmp/s.png");
}

TEST(ScriptParsing, BadLinesAreErrorsNamingTheLine) {
    const char* bad[] = {
        "jump 3",           "key sideways A",      "key down VK_NOPE", "ctrl command 5", "command -1",
        "command 70000",    "mouse drag 1 2",      "mouse move 1",     "mouse move 1 2 ctrl",
        "mouse move 1 99999", "answer colour 256 0 0", "answer colour 1 2", "answer about cancel",
        "answer print x",    "frames",              "frames -2",        "frames 1x", "shot", "quit now", "ctrl",
        "mouse wheel 1 2",  "mouse wheel 1 2 shift", "mouse wheel 1 2 1e2", "mouse wheel 1 2 300", "mouse wheel 1 2 nan",
        "size 0 10",        "size 10",             "size 9000 10",     "minimize now",
    };
    for (const char* line : bad) {
        std::vector<ScriptEvent> events;
        std::string error;
        EXPECT_FALSE(parse(std::string("frames 1\n") + line + "\n", events, error)) << line;
        EXPECT_EQ(error.rfind("s.txt:2: ", 0), 0u) << error;
        EXPECT_NE(error.find(line), std::string::npos) << error;
    }
}

TEST(ViewerOptions, CommandLineForms) {
    ViewerOptions o;
    std::string error;
    ASSERT_TRUE(parseViewerOptions({"--screenshot", "a.png", "--size", "640x480", "--frames", "5", "my", "model.rok"},
                                   o, error));
    EXPECT_EQ(o.screenshotPath, "a.png");
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 480);
    EXPECT_EQ(o.frames, 5);
    EXPECT_EQ(o.model, "my model.rok");

    ViewerOptions p;
    ASSERT_TRUE(parseViewerOptions({"--play", "s.txt", "--", "--odd name.x"}, p, error));
    EXPECT_EQ(p.playPath, "s.txt");
    EXPECT_EQ(p.model, "--odd name.x");
    EXPECT_EQ(p.framesPerSecond, -1);  // the screen's refresh rate
    ASSERT_TRUE(parseViewerOptions({"--fps", "0", "m.x"}, p, error));
    EXPECT_EQ(p.framesPerSecond, 0);

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--size", "640x480"},
             {"--screenshot"},
             {"--screenshot", "a.png", "--size", "0x10"},
             {"--screenshot", "a.png", "--size", "big"},
             {"--screenshot", "a.png", "--frames", "0"},
             {"--screenshot", "a.png", "--record", "r.txt"},
             {"--fps", "-1"},
             {"--fps", "fast"},
             {"--fps"},
             {"--bogus"}}) {
        ViewerOptions q;
        EXPECT_FALSE(parseViewerOptions(bad, q, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(Play, OpenThroughCtrlOThenTheCameraMovesTheModelBetweenShots) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "played.rok");
    std::string script = folder.write("session.txt", "answer open " + rok +
                                                         "\n"
                                                         "ctrl key down O\n"
                                                         "key up O\n"
                                                         "frames 2\n"
                                                         "shot " + folder.file("a.png") +
                                                         "\n"
                                                         "key down VK_RIGHT\n"
                                                         "frames 3\n"
                                                         "key up VK_RIGHT\n"
                                                         "frames 2\n"
                                                         "shot " + folder.file("b.png") +
                                                         "\n"
                                                         "quit\n");
    EXPECT_EQ(playInProcess(script, folder.file("end.png")), 0);
    Png a = readPng(folder.file("a.png"));
    Png b = readPng(folder.file("b.png"));
    ASSERT_EQ(a.width, 400);
    ASSERT_EQ(b.width, 400);
    // The triangle's corner at the model's origin sits at the centre column; row 250 is
    // a quarter unit along its left edge.
    EXPECT_NEAR(a.leftmostLit(250), 200, 2);
    // Four steps of 0.0625 to the right (the pressing frame and three more) at a depth of
    // 2 with field 0.5 over 200 pixels: the model moves 50 pixels left.
    EXPECT_NEAR(b.leftmostLit(250), 150, 2);
    EXPECT_TRUE(std::filesystem::exists(folder.file("played.x")));
    // quit ends the session; the screenshot is taken as it closes.
    Png end = readPng(folder.file("end.png"));
    EXPECT_EQ(end.rgba, b.rgba);
}

TEST(Play, SizeMinimizeAndRestoreReachTheViewerAsWmSize) {
    std::vector<ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(parse("size 300 200\nminimize\nrestore\nsize 500 420\n", events, error)) << error;
    ScriptPlayer player(events);
    auto next = [&] { player.pass(window()); };
    runViewer({next,
               [&] {
                   EXPECT_EQ(state()->viewport->GetWidth(), 300u);
                   EXPECT_EQ(state()->viewport->GetHeight(), 200u);
                   next();
               },
               [&] {
                   EXPECT_EQ(state()->minimized, 1);
                   next();
               },
               [&] {
                   EXPECT_EQ(state()->minimized, 0);
                   EXPECT_EQ(state()->viewport->GetWidth(), 300u);
                   next();
               },
               [&] {
                   // Larger than the device: a new one of that size.
                   EXPECT_EQ(state()->device->GetWidth(), 500u);
                   EXPECT_TRUE(player.finished());
               }});
    EXPECT_TRUE(reportTexts().empty());
}

TEST(Play, ModifiersTheScriptHoldsAreLetGoOnceItEnds) {
    std::vector<ScriptEvent> events;
    std::string error;
    ASSERT_TRUE(parse("mouse move 10 10 shift\n", events, error)) << error;
    ScriptPlayer player(events);
    runViewer({[&] {
        player.pass(window());
        EXPECT_TRUE(GetAsyncKeyState(VK_SHIFT) & 0x8000);  // while its move is handled
        EXPECT_TRUE(player.finished());
        player.releaseKeys();
        EXPECT_FALSE(GetAsyncKeyState(VK_SHIFT) & 0x8000);
    }});
}

TEST(Play, FileExitEndsTheSessionAsQuitDoes) {
    TempFolder folder;
    std::string script = folder.write("exit.txt", "frames 1\nsize 300 200\nframes 1\ncommand 5\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(playInProcess(script, folder.file("end.png")), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    Png end = readPng(folder.file("end.png"));
    EXPECT_EQ(end.width, 300);
    EXPECT_EQ(end.height, 200);
}

// Frames that could only repeat the last picture are not drawn again; a session must show the
// same pictures as when every frame is drawn.
TEST(Play, FramesNotDrawnAgainShowTheSamePictures) {
    TempFolder folder;
    std::string rok = folder.copy(std::string(SOLLUX_SOURCE_DIR) + "/resources/sample.rok", "sample.rok");
    std::string text = "answer open " + rok + "\nctrl key down O\nkey up O\nframes 10\nshot SHOT1\n"
                       "key down VK_RIGHT\nframes 3\nkey up VK_RIGHT\nframes 2\nshot SHOT2\n"
                       "mouse mdown 200 200\nmouse move 240 190\nmouse mup 240 190\nmouse wheel 1 1 2\n"
                       "command 400\nframes 3\nshot SHOT3\n"
                       "mouse ldown 200 200\nmouse move 230 200 shift\nmouse lup 230 200 shift\nmouse move 230 200\nframes 3\nshot SHOT4\n"
                       "answer open " + testData("scene/slide.x") + "\ncommand 3\nframes 4\nshot SHOT5\nquit\n";
    std::vector<std::vector<Png>> runs;
    std::vector<unsigned long> drawn;
    for (bool skip : {false, true}) {
        std::string script = text;
        const std::string tag = skip ? "skip" : "all";
        for (int i = 1; i <= 5; ++i) {
            const std::string name = "SHOT" + std::to_string(i);
            script.replace(script.find(name), name.size(), folder.file(tag + std::to_string(i) + ".png"));
        }
        ViewerOptions options;
        options.playPath = folder.write(tag + ".txt", script);
        options.screenshotPath = folder.file(tag + "-end.png");
        options.drawStillFrames = !skip;
        winUseHeadless();
        winReset();
        winSetTickCount(0);  // the overlay's figure stays 0
        const unsigned long before = glDrawnFrameCount();
        EXPECT_EQ(runViewer(options), 0);
        drawn.push_back(glDrawnFrameCount() - before);
        runs.emplace_back();
        for (int i = 1; i <= 5; ++i) runs.back().push_back(readPng(folder.file(tag + std::to_string(i) + ".png")));
    }
    for (size_t i = 0; i < runs[0].size(); ++i) {
        ASSERT_GT(runs[0][i].width, 0);
        EXPECT_EQ(runs[0][i].rgba, runs[1][i].rgba) << "shot " << i + 1;
    }
    // The still stretches (waiting for frames with nothing moving) were not drawn again.
    EXPECT_LT(drawn[1] + 5, drawn[0]);
}

TEST(Play, UnreadableScriptIsRefusedBeforeTheViewerStarts) {
    TempFolder folder;
    std::string script = folder.write("bad.txt", "frames 1\nfly away\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(playInProcess(script, folder.file("never.png")), 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("bad.txt:2: unknown event 'fly': fly away"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(folder.file("never.png")));
}

TEST(Screenshot, SampleModelIsDrawnWithTheOverlayInTheCorner) {
    TempFolder folder;
    std::string rok = folder.copy(std::string(SOLLUX_SOURCE_DIR) + "/resources/sample.rok", "sample.rok");
    ViewerOptions options;
    options.model = rok;
    options.screenshotPath = folder.file("shot.png");
    options.width = 320;
    options.height = 240;
    EXPECT_EQ(runInProcess(options), 0);
    Png png = readPng(options.screenshotPath);
    ASSERT_EQ(png.width, 320);
    ASSERT_EQ(png.height, 240);
    int lit = 0;
    for (int y = 80; y < 160; ++y)
        for (int x = 110; x < 210; ++x) lit += !png.dark(x, y);
    EXPECT_GT(lit, 400) << "the model is not in the middle of the picture";
    int white = 0, whiteElsewhere = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 320; ++x) (x < 60 ? white : whiteElsewhere) += png.white(x, y);
    EXPECT_GT(white, 10) << "no frame-rate text in the top-left corner";
    EXPECT_EQ(objectsLeftAlive(), 0);
}

// No work wasted at start-up: the first paint's device rebuild does not send the model to
// the GPU again, and the second of the two frames, which could only repeat the first, is
// not drawn.
TEST(Screenshot, TheModelIsUploadedOnceAndDrawnOnce) {
    TempFolder folder;
    ViewerOptions options;
    options.model = folder.copy(std::string(SOLLUX_SOURCE_DIR) + "/resources/sample.rok", "sample.rok");
    options.screenshotPath = folder.file("shot.png");
    const unsigned long uploads = glGeometryUploadCount(), drawn = glDrawnFrameCount();
    EXPECT_EQ(runInProcess(options), 0);
    EXPECT_EQ(glGeometryUploadCount() - uploads, 1u);
    EXPECT_EQ(glDrawnFrameCount() - drawn, 1u);
}

TEST(Screenshot, ReportedFailureGivesExitOneButStillWritesThePicture) {
    TempFolder folder;
    ViewerOptions options;
    options.model = folder.file("nothing here.x");
    options.screenshotPath = folder.file("shot.png");
    options.frames = 5;
    EXPECT_EQ(runInProcess(options), 1);
    EXPECT_TRUE(std::filesystem::exists(options.screenshotPath));
    // Exactly the frames asked for were drawn before the picture was taken.
    EXPECT_EQ(renderedFrameCount(), 5u);
    ASSERT_EQ(winRecordedMessageBoxes().size(), 1u);
}

TEST(Record, SessionInTheWindowBecomesAScriptThatReadsBack) {
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "rec.rok");
    SessionRecorder recorder;
    runViewer({[&] {
                   recorder.start();
                   winScriptOpenFile(rok);
                   winSetKeyDown(VK_CONTROL, true);
                   winPostKey(window(), 'O', true);
               },
               [] {
                   winPostKey(window(), 'O', false);
                   winSetKeyDown(VK_CONTROL, false);
               },
               [] {}, [] {},
               [] {
                   winPostMouse(window(), WM_LBUTTONDOWN, 200, 150, 0);
                   winPostMouse(window(), WM_MOUSEMOVE, 210, 150, MK_SHIFT);
                   winPostMouse(window(), WM_MBUTTONDOWN, 20, 30, 0);
                   winPostMouseWheel(window(), 20, 30, -WHEEL_DELTA / 2, 0);
                   PostMessageA(window(), WM_COMMAND, 1, 0);
               },
               [&] {
                   recorder.pass(window());
                   winSetClientSize(window(), 300, 200);
                   recorder.pass(window());
                   winSetClientSize(window(), 0, 0);
                   recorder.pass(window());
                   ShowWindow(window(), SW_RESTORE);
                   recorder.pass(window());
                   recorder.stop();
               }});
    std::vector<std::string> expected = {
        "answer open " + rok,
        "ctrl key down O",
        "key up O",
        "frames 2",
        "mouse ldown 200 150",
        "mouse move 210 150 shift",
        "mouse mdown 20 30",
        "mouse wheel 20 30 -0.5",
        "answer about ok",
        "command 1",
        "size 300 200",
        "minimize",
        "restore",
    };
    EXPECT_EQ(recorder.lines(), expected);
    ASSERT_TRUE(recorder.save(folder.file("rec.txt")));
    std::vector<ScriptEvent> events;
    std::string error;
    EXPECT_TRUE(parseScriptFile(folder.file("rec.txt"), events, error)) << error;
    EXPECT_EQ(events.size(), expected.size() + 1);  // and quit
}

TEST(Process, ScreenshotModeWritesThePngAndExitsZero) {
    if (!std::filesystem::exists(viewerBinary())) GTEST_SKIP() << "solluxviewer is not built";
    TempFolder folder;
    std::string rok = folder.copy(triangleRokkaku(), "p.rok");
    EXPECT_EQ(runProcess(viewerBinary() + " --screenshot " + folder.file("p.png") + " --size 200x100 " + rok), 0);
    Png png = readPng(folder.file("p.png"));
    EXPECT_EQ(png.width, 200);
    EXPECT_EQ(png.height, 100);
    EXPECT_EQ(runProcess(viewerBinary() + " --screenshot " + folder.file("q.png") + " --size 1x1"), 2);
}

TEST(Process, WindowModuleThatCannotBeLoadedIsNamedWithItsReason) {
    if (!std::filesystem::exists(viewerBinary())) GTEST_SKIP() << "solluxviewer is not built";
    const std::filesystem::path buildFolder = SOLLUX_BINARY_DIR;
    const std::filesystem::path beside = qtWindowModulePath(buildFolder);
    if (beside.empty()) GTEST_SKIP() << "built without a window system";
    EXPECT_EQ(beside.parent_path(), buildFolder);
    // Installed: bin/solluxviewer looks in lib/solluxviewer/.
    TempFolder folder;
    std::filesystem::create_directories(folder.file("bin"));
    const std::string program = folder.copy(viewerBinary(), "bin/solluxviewer");
    const std::filesystem::path installed = qtWindowModulePath(folder.file("bin"));
    EXPECT_EQ(installed, folder.file("lib/solluxviewer/") + beside.filename().string());
    // First no module at all, then an empty file in its place.
    for (const std::string reason : {"No such file", "file too short"}) {
        SCOPED_TRACE(reason);
        if (reason == "file too short") {
            std::filesystem::create_directories(installed.parent_path());
            std::ofstream{installed};
        }
        const std::string err = folder.file("err.txt");
        EXPECT_EQ(runProcess("(env -u WAYLAND_DISPLAY DISPLAY=:99 " + program + " 2>" + err + ")"), 1);
        std::stringstream text;
        text << std::ifstream(err).rdbuf();
        EXPECT_NE(text.str().find("cannot load the window module " + installed.string() + ": "), std::string::npos)
            << text.str();
        EXPECT_NE(text.str().find(reason), std::string::npos) << text.str();
    }
    // The module loads, but the display named cannot be reached: a message, not an abort.
    const std::string err = folder.file("err.txt");
    EXPECT_EQ(runProcess("(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4093 " + viewerBinary() + " 2>" + err +
                         ")"),
              1);
    std::stringstream text;
    text << std::ifstream(err).rdbuf();
    EXPECT_NE(text.str().find("solluxviewer: cannot open the window on this display"), std::string::npos)
        << text.str();
}

TEST(Process, QtWindowUnderXvfbDrawsAndQuitsOnExit) {
    if (!std::filesystem::exists(viewerBinary())) GTEST_SKIP() << "solluxviewer is not built";
    if (runProcess("command -v xvfb-run") != 0) GTEST_SKIP() << "xvfb-run is not installed";
    TempFolder folder;
    std::string rok = folder.copy(std::string(SOLLUX_SOURCE_DIR) + "/resources/sample.rok", "sample.rok");
    std::string shot = folder.file("window.png");
    std::string script = folder.write("exit.txt", "frames 10\nshot " + shot + "\ncommand 5\n");
    // Under the sanitizers, the desktop libraries Qt loads (D-Bus, fontconfig) keep a few
    // allocations to the end; those are not ours to find.
    std::string command = "env -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb ASAN_OPTIONS=detect_leaks=0 "
                          "xvfb-run -a -s '-screen 0 800x600x24' " +
                          viewerBinary() + " --play " + script + " " + rok;
    EXPECT_EQ(runProcess(command), 0);
    Png png = readPng(shot);
    ASSERT_GT(png.width, 0);
    int lit = 0;
    for (int y = png.height / 3; y < png.height * 2 / 3; ++y)
        for (int x = png.width / 3; x < png.width * 2 / 3; ++x) lit += !png.dark(x, y);
    EXPECT_GT(lit, 100);
}
