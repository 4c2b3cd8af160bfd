// Retained-mode geometry made into GPU meshes for the OpenGL devices: mesh builders and
// meshes triangulated, their corners shared, their faces grouped and ordered for drawing.
#pragma once

#include <memory>

#include "platform/gl/gl_renderer.h"
#include "platform/rm/rm_internal.h"

namespace gldevice {

// What a GPU mesh holds beyond what every drawing needs.
struct Extras {
    bool edges = false;    // outlines, for wireframe
    bool records = false;  // flat records (see gl::GpuMesh)
    bool normals = false;  // vertex normals, which only smooth shading reads
};

// Mesh builder -> GPU mesh. A skinned builder's pose, when given, replaces its positions
// and normals. Null when it would hold more than the GPU buffers can index.
std::unique_ptr<gl::GpuMesh> buildMesh(const rm::MeshBuilderData& b, const rm::SkinPose* pose, Extras extras);
// Mesh -> GPU mesh, one group for each of the mesh's groups (pose unused).
std::unique_ptr<gl::GpuMesh> buildMesh(const rm::MeshData& mesh, const rm::SkinPose*, Extras extras);

// The unit vector along v; zero for a zero or non-finite one.
gl::Vec3 normalised(const gl::Vec3& v);
gl::Material materialOf(const rm::MaterialData& m);

}  // namespace gldevice
