// The GLSL sources in platform/gl/shaders, built into the library as text by
// scripts/embed_text.cmake. Each stage is compiled as the renderer's #define lines, then
// the common part, then the stage.
#pragma once

namespace gl::shaders {

extern const char kCommonGlsl[];  // uniforms and the lighting both stages use
extern const char kMeshVert[];
extern const char kMeshFrag[];

}  // namespace gl::shaders
