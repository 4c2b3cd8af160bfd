// The window in the Qt window module, loaded only when a window is about to open: runs
// without one (screenshots, thumbnails, conversion) never load Qt.
#pragma once

#include <filesystem>
#include <string>

// Where the module is looked for: beside the program (a build folder), else in the
// program's ../lib/solluxviewer (installed). Empty when built without a window system.
std::filesystem::path qtWindowModulePath(const std::filesystem::path& programFolder);

// Loads the module and makes Qt the window system for every window created from now on
// (winUseQt). Qt keeps argc and argv for the application's life. False with error set
// (a sentence naming the module and why) when it cannot be loaded or no display can be
// reached.
bool useQtWindowModule(int& argc, char** argv, int framesPerSecond, std::string& error);
