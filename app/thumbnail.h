// solluxviewer --thumbnail SIZE INPUT OUTPUT.png: the desktop thumbnailer's mode.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// args: SIZE INPUT OUTPUT. Draws INPUT framed to fill a SIZE x SIZE picture on a
// transparent background and writes it to OUTPUT. A Rokkaku input is converted in a
// private temporary folder, so nothing is ever written beside INPUT. Returns 0, or 1 (with
// a message on standard error and no OUTPUT) when the input cannot be shown, 2 for a bad
// command line.
int runThumbnail(const std::vector<std::string>& args);

// A folder of our own under TMPDIR, removed with everything in it (empty path when none
// could be made), even when this process is killed.
class PrivateFolder {
public:
    PrivateFolder();
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::string& path() const { return path_; }
    void remove();

private:
    std::string path_;
    pid_t watcherId_ = -1;
    int watcher_ = -1;  // closed (by any end of this process), it lets the watcher go
};

// The .x file to load for `input`: the input itself when it is a DirectX file, else its
// conversion made in `folder`, so that nothing is written beside the input. Empty after a
// failure, which is already told on standard error.
std::string privatelyConvertedModel(const std::string& input, PrivateFolder& folder);
