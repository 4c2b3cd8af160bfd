// The command line: picks a mode from the first argument and hands over the rest.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conversion/x_conversion.h"
#include "platform/win/headless.h"

namespace {

using Args = std::vector<std::string>;

const char kVersion[] = "SolluxViewer 0.91";

const char kUsage[] =
    "Usage: solluxviewer [MODEL]\n"
    "       solluxviewer --convert FILE...\n"
    "       solluxviewer --help | --version\n"
    "\n"
    "  MODEL              a Rokkaku (.rok) or DirectX (.x) model to open in the viewer;\n"
    "                     a Rokkaku model is converted to the .x file beside it first\n"
    "  --convert FILE...  convert each Rokkaku file to the .x text file beside it, without\n"
    "                     a window; exit status 0 when every file converted, 1 otherwise\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "  --                 end of options: the rest of the line is the model path\n";

int runHelp(const Args&) {
    std::fputs(kUsage, stdout);
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

// The viewer itself: the rest of the command line is one model path, as the shell split it.
int runViewerWindow(const Args& args) {
    std::string model;
    for (const std::string& arg : args) model += (model.empty() ? "" : " ") + arg;
    if (!model.empty()) {
        winUseHeadless();
        const char* path = convertToXFile(model.c_str());
        if (!path) return 1;
        std::fprintf(stderr, "solluxviewer: the viewer is not built yet; the model to open is %s\n", path);
    } else {
        std::fputs("solluxviewer: the viewer is not built yet\n", stderr);
    }
    return 2;
}

struct Mode {
    const char* option;
    int (*run)(const Args& rest);
};

const Mode kModes[] = {
    {"--help", runHelp},
    {"--version", runVersion},
    {"--convert", runConvert},
};

}  // namespace

int main(int argc, char** argv) {
    Args args(argv + 1, argv + argc);
    if (!args.empty()) {
        const std::string& first = args.front();
        if (first == "--") return runViewerWindow(Args(args.begin() + 1, args.end()));
        for (const Mode& mode : kModes) {
            if (first == mode.option) return mode.run(Args(args.begin() + 1, args.end()));
        }
        if (first.starts_with("--")) {
            std::fprintf(stderr, "solluxviewer: unknown option '%s' (see --help)\n", first.c_str());
            return 2;
        }
    }
    return runViewerWindow(args);
}
