#include "app/window_module.h"

#include <dlfcn.h>

#include "platform/win/qt/qt_module.h"

std::filesystem::path qtWindowModulePath(const std::filesystem::path& programFolder) {
#ifdef SOLLUX_QT_MODULE_FILE
    std::error_code error;
    const std::filesystem::path beside = programFolder / SOLLUX_QT_MODULE_FILE;
    if (std::filesystem::exists(beside, error)) return beside;
    return (programFolder / ".." / SOLLUX_QT_MODULE_DIR / SOLLUX_QT_MODULE_FILE).lexically_normal();
#else
    (void)programFolder;
    return {};
#endif
}

bool useQtWindowModule(int& argc, char** argv, int framesPerSecond, std::string& error) {
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    const std::filesystem::path path = qtWindowModulePath(ec ? std::filesystem::path() : program.parent_path());
    if (path.empty()) {
        error = "built without a window system";
        return false;
    }
    const std::string file = path.string();
    // Every symbol bound now: a module that does not fit this program fails here, with a
    // reason, rather than in the middle of a session.
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto entry = module ? reinterpret_cast<SolluxUseQtWindows>(dlsym(module, SOLLUX_QT_MODULE_ENTRY)) : nullptr;
    if (entry == nullptr) {
        const char* why = dlerror();
        std::string reason = why ? why : "no entry point " SOLLUX_QT_MODULE_ENTRY;
        // dlerror names the file itself first; it is named once, below.
        if (reason.starts_with(file + ": ")) reason.erase(0, file.size() + 2);
        error = "cannot load the window module " + file + ": " + reason;
        if (module) dlclose(module);
        return false;
    }
    // The module stays loaded: Qt lives until the process ends.
    if (entry(&argc, argv, framesPerSecond) == 0) {
        error = "cannot open the window on this display";
        return false;
    }
    return true;
}
