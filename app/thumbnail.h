// solluxviewer --thumbnail SIZE INPUT OUTPUT.png: the desktop thumbnailer's mode.
#pragma once

#include <string>
#include <vector>

// args: SIZE INPUT OUTPUT. Draws INPUT framed to fill a SIZE x SIZE picture on a
// transparent background and writes it to OUTPUT. A Rokkaku input is converted in a
// private temporary folder, so nothing is ever written beside INPUT. Returns 0, or 1 (with
// a message on standard error and no OUTPUT) when the input cannot be shown, 2 for a bad
// command line.
int runThumbnail(const std::vector<std::string>& args);
