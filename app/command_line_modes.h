// The viewer's command lines: the window ([MODEL]), the screenshot without a display,
// and scripted or recorded sessions.
#pragma once

#include <string>
#include <vector>

struct ViewerOptions {
    std::string model;           // empty: none
    std::string screenshotPath;  // empty: open the window
    int width = 400;             // client size of the screenshot
    int height = 400;
    long frames = 2;             // frames drawn before the screenshot is taken
    std::string playPath;
    std::string recordPath;
    int framesPerSecond = -1;    // window pace: -1 the screen's refresh, 0 unpaced
};

// Reads the arguments after the program name. False with error set on a bad command line.
bool parseViewerOptions(const std::vector<std::string>& args, ViewerOptions& options, std::string& error);

// What the picture of the next frame depends on beyond the last one (glSetRedrawStamp):
// 0 while the scene moves by itself or a key or button is held, else a value that changes
// with every message the window procedures handle. The window draws only frames whose
// stamp changed; headless runs draw every frame.
unsigned long long viewerRedrawStamp();

// Runs the viewer as the options say and returns the exit code: 0 after a normal close,
// 1 after a reported failure, 2 for a bad command line or script.
int runViewer(const ViewerOptions& options);
int viewerMain(const std::vector<std::string>& args);
