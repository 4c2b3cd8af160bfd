// The command line: picks a mode from the first argument and hands over the rest.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conversion/x_conversion.h"
#include "platform/win/headless.h"
#include "app/command_line_modes.h"
#include "app/info_command.h"
#include "app/export_command.h"
#include "app/thumbnail.h"
#include "input/keys_help.h"
#include "viewer/texture_callback.h"

namespace {

using Args = std::vector<std::string>;

const char kVersion[] = "SolluxViewer 0.91";

const char kUsage[] =
    "Usage: solluxviewer [--fps N] [--play SCRIPT | --record SCRIPT] [MODEL]\n"
    "       solluxviewer --screenshot OUT.png [--size WxH] [--frames N] [--play SCRIPT] [MODEL]\n"
    "       solluxviewer --convert FILE...\n"
    "       solluxviewer --info FILE...\n"
    "       solluxviewer --thumbnail SIZE INPUT OUTPUT.png\n"
    "       solluxviewer --export OUT.glb|OUT.gltf|OUT.x MODEL\n"
    "       solluxviewer --help | --version\n"
    "\n"
    "  MODEL              a Rokkaku (.rok) or DirectX (.x) model to open in the viewer;\n"
    "                     a Rokkaku model is converted to the .x file beside it first\n"
    "  --screenshot OUT   no display needed: draw N frames (default 2) at WxH (default\n"
    "                     400x400) and write the window's client area as a PNG file\n"
    "  --play SCRIPT      feed the viewer the input events of SCRIPT (see the README)\n"
    "  --record SCRIPT    write the input of this session in the window to SCRIPT\n"
    "  --fps N            draw at most N frames a second in the window (0: as fast as\n"
    "                     it can; default: the screen's refresh rate)\n"
    "  --convert FILE...  convert each Rokkaku file to the .x text file beside it, without\n"
    "                     a window; exit status 0 when every file converted, 1 otherwise\n"
    "  --info FILE...     print what the loaders find in each .x file (a Rokkaku file is\n"
    "                     converted first); exit status 1 when a file cannot be loaded\n"
    "  --thumbnail SIZE INPUT OUTPUT\n"
    "                     draw INPUT framed in a SIZE x SIZE picture with a transparent\n"
    "                     background, as a desktop thumbnailer does; nothing is written\n"
    "                     beside INPUT; exit status 1 and no OUTPUT when it cannot be read\n"
    "  --export OUT MODEL save MODEL whole (frames, meshes, skins, animation sets) as glTF\n"
    "                     2.0 (.glb, or .gltf with its .bin) or as .x text; nothing is\n"
    "                     written beside MODEL; exit status 1 and no OUT on failure\n"
    "  --any-texture      textures in PNG, JPEG, GIF and TGA pictures too, not only\n"
    "                     .bmp and .ppm\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "  --                 end of options: the rest of the line is the model path\n";

int runHelp(const Args&) {
    std::fputs(kUsage, stdout);
    std::printf("\nIn the window (Help > Keys and mouse, F1, shows the same):\n\n%s", keysAndMouseText(true).c_str());
    return 0;
}

int runVersion(const Args&) {
    std::printf("%s\n", kVersion);
    return 0;
}

// No window: the progress trace goes to standard output, the palette dump and every report
// to standard error.
int runConvert(const Args& files) {
    if (files.empty()) {
        std::fputs("solluxviewer: --convert needs at least one file\n", stderr);
        return 1;
    }
    winUseHeadless();
    int status = 0;
    for (const std::string& file : files) {
        if (!convertToXFile(file.c_str())) status = 1;
    }
    return status;
}

// The viewer itself, in the window or (with --screenshot) without a display.
int runViewerWindow(const Args& args) { return viewerMain(args); }

struct Mode {
    const char* option;
    int (*run)(const Args& rest);
};

const Mode kModes[] = {
    {"--help", runHelp},
    {"--version", runVersion},
    {"--convert", runConvert},
    {"--info", runInfo},
    {"--thumbnail", runThumbnail},
    {"--export", runExport},
};

}  // namespace

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    // Options every mode takes, wherever they stand before "--".
    for (auto it = args.begin(); it != args.end() && *it != "--";) {
        if (*it == "--any-texture") {
            setAnyPictureFormat(true);
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    if (!args.empty()) {
        const std::string& first = args.front();
        for (const Mode& mode : kModes) {
            if (first == mode.option) return mode.run(Args(args.begin() + 1, args.end()));
        }
    }
    return runViewerWindow(args);
}
