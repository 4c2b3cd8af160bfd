// Retained-mode devices drawn with OpenGL.
//
// Every device draws off screen into its own framebuffer in the process-wide EGL
// context, whether or not a display exists; Update reads the finished picture back and
// hands it, with the window that the device's clipper names, to the receiver registered
// with the backend (the window layer's winPresentPicture). A device whose clipper has no
// window keeps its picture for glDeviceReadPicture only.
//
// GPU copies of mesh builders, meshes and textures are shared by all devices and made
// again only when the object's version changes.
#pragma once

#include <vector>

#include "platform/rm/d3drm.h"

// Receives each finished picture: RGBA8 rows top-down, width x height.
using GlPictureReceiver = void (*)(HWND window, const unsigned char* rgba, int width, int height);

// Makes IDirect3DRM::CreateDeviceFromClipper create OpenGL devices whose finished pictures
// go to receiver (null: kept for glDeviceReadPicture only). The program calls it once at
// start-up, before the first device is made; calling it again is harmless.
void glRegisterDeviceBackend(GlPictureReceiver receiver);

// Lets devices present their last picture again instead of drawing a frame that could
// not differ from it. `stamp` is asked once a frame (at its first Clear or Render): it
// returns a value that changes whenever something the picture depends on may have
// changed, or 0 when the frame must be drawn. A device whose stamp is the one of the last
// frame it drew skips the drawing and the read-back and presents that picture again.
// Null (the default) draws every frame.
using GlRedrawStamp = unsigned long long (*)();
void glSetRedrawStamp(GlRedrawStamp stamp);

// Frames drawn (not presented again) by every device since the process started.
unsigned long glDrawnFrameCount();

// The device's last finished picture (the one Update presented), RGBA8 rows top-down,
// device width x height. False for a device that is not an OpenGL device.
bool glDeviceReadPicture(IDirect3DRMDevice* device, std::vector<unsigned char>& rgba, int& width, int& height);

// Which pixels of the device's last drawn frame hold something opaque (see
// gl::Framebuffer::readCovered), read while nothing has been drawn since its Update.
// False for a device that is not an OpenGL device.
bool glDeviceReadCovered(IDirect3DRMDevice* device, std::vector<unsigned char>& covered, int& width, int& height);

// Vertex and index uploads since the process started; lets tests and benchmarks see
// that a still scene uploads nothing.
unsigned long glGeometryUploadCount();
