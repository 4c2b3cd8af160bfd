#include "platform/gl/egl_context.h"

#include <epoxy/egl.h>
#include <epoxy/gl.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace gl {
namespace {

struct ContextState {
    bool tried = false;
    bool ok = false;
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
    std::string error;
};

ContextState& state() {
    static ContextState s;
    return s;
}

bool hasExtension(const char* list, const char* name) {
    if (!list) return false;
    const size_t n = std::strlen(name);
    for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += n) {
        const bool startOk = p == list || p[-1] == ' ';
        const bool endOk = p[n] == ' ' || p[n] == '\0';
        if (startOk && endOk) return true;
    }
    return false;
}

// Tries the display kinds that need no window system, best first.
std::vector<EGLDisplay> candidateDisplays() {
    std::vector<EGLDisplay> out;
    const char* clientExts = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    if (hasExtension(clientExts, "EGL_EXT_platform_base")) {
        if (hasExtension(clientExts, "EGL_MESA_platform_surfaceless")) {
            EGLDisplay d = eglGetPlatformDisplayEXT(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
            if (d != EGL_NO_DISPLAY) out.push_back(d);
        }
        if (hasExtension(clientExts, "EGL_EXT_platform_device") && hasExtension(clientExts, "EGL_EXT_device_enumeration")) {
            EGLDeviceEXT devices[8];
            EGLint count = 0;
            if (eglQueryDevicesEXT(8, devices, &count)) {
                for (EGLint i = 0; i < count; ++i) {
                    EGLDisplay d = eglGetPlatformDisplayEXT(EGL_PLATFORM_DEVICE_EXT, devices[i], nullptr);
                    if (d != EGL_NO_DISPLAY) out.push_back(d);
                }
            }
        }
    }
    EGLDisplay d = eglGetDisplay(EGL_DEFAULT_DISPLAY);
    if (d != EGL_NO_DISPLAY) out.push_back(d);
    return out;
}

bool tryDisplay(ContextState& s, EGLDisplay display) {
    EGLint major = 0, minor = 0;
    if (!eglInitialize(display, &major, &minor)) return false;
    if (!eglBindAPI(EGL_OPENGL_API)) {
        eglTerminate(display);
        return false;
    }
    const char* exts = eglQueryString(display, EGL_EXTENSIONS);
    EGLConfig config = nullptr;
    if (!hasExtension(exts, "EGL_KHR_no_config_context") && !hasExtension(exts, "EGL_MESA_configless_context")) {
        const EGLint attribs[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
        EGLint n = 0;
        if (!eglChooseConfig(display, attribs, &config, 1, &n) || n < 1) {
            eglTerminate(display);
            return false;
        }
    }
    const EGLint ctxAttribs[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 3,
                                 EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    EGLContext ctx = eglCreateContext(display, config, EGL_NO_CONTEXT, ctxAttribs);
    if (ctx == EGL_NO_CONTEXT) {
        eglTerminate(display);
        return false;
    }
    if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, ctx)) {
        eglDestroyContext(display, ctx);
        eglTerminate(display);
        return false;
    }
    s.display = display;
    s.context = ctx;
    return true;
}

}  // namespace

void drawOnCallingThread() { setenv("LP_NUM_THREADS", "0", 0); }

bool ensureContext() {
    ContextState& s = state();
    if (s.tried) return s.ok && makeContextCurrent();
    s.tried = true;
    for (EGLDisplay d : candidateDisplays()) {
        if (tryDisplay(s, d)) {
            s.ok = true;
            return true;
        }
    }
    s.error = "no EGL display offers an OpenGL 3.3 core context without a surface";
    return false;
}

bool makeContextCurrent() {
    ContextState& s = state();
    if (!s.ok) return false;
    if (eglGetCurrentContext() == s.context) return true;
    return eglMakeCurrent(s.display, EGL_NO_SURFACE, EGL_NO_SURFACE, s.context) == EGL_TRUE;
}

const std::string& lastContextError() { return state().error; }

std::string rendererName() {
    if (!ensureContext()) return {};
    const GLubyte* r = glGetString(GL_RENDERER);
    return r ? reinterpret_cast<const char*>(r) : "";
}

}  // namespace gl
