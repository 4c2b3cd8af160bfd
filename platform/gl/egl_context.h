// Off-screen OpenGL 3.3 core context on EGL (Mesa surfaceless, EGL device or default
// display). Drawing always goes to framebuffer objects, so no window surface exists.
#pragma once

#include <string>

namespace gl {

// The process-wide drawing context, created on first use and kept for the life of the
// process (the program has one thread). Returns false when no context can be made;
// lastError() then says why.
bool ensureContext();
// Makes the shared context current again (another library may have switched contexts).
bool makeContextCurrent();
const std::string& lastContextError();
// For a run that draws a picture or two and ends: a software driver then rasterises on
// the calling thread (unless LP_NUM_THREADS says otherwise), which holds less memory and
// is no slower for so few frames. Call before the context is first made.
void drawOnCallingThread();
// Renderer string of the driver, e.g. for benchmarks ("llvmpipe ...").
std::string rendererName();

}  // namespace gl
