// Shared helpers of the drawing tests: simple meshes, pixel access, PNG output.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/gl/gl_renderer.h"

namespace gltest {

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgba;
    const unsigned char* at(int x, int y) const { return rgba.data() + (size_t(y) * width + x) * 4; }
    bool isBlack(int x, int y) const { return at(x, y)[0] == 0 && at(x, y)[1] == 0 && at(x, y)[2] == 0; }
    int countNonBlack() const;
    int distinctColours() const;
};

// Axis-aligned box centred at c with half-size h; faces clockwise as seen from outside.
// With flatNormals, each face has its own vertices and face normals as vertex normals;
// otherwise the corners are shared and carry averaged normals (a smooth box).
gl::MeshData boxMesh(const gl::Vec3& c, float h, const float rgba[4], bool flatNormals = true);
// The same box added to m's current group.
void addBox(gl::MeshData& m, const gl::Vec3& c, float h, const float rgba[4], bool flatNormals = true);
// A square in the z = 0 plane facing -z, from (-h,-h) to (h,h), with uvs (0,0) at top-left.
gl::MeshData quadMesh(float h, const float rgba[4], std::shared_ptr<gl::GpuTexture> texture = nullptr);

gl::FrameSetup cameraSetup(int w, int h);

// Writes a PNG beside the test binary (for looking at); returns its path.
std::string savePng(const Picture& p, const std::string& name);

}  // namespace gltest
