// Devices that draw nothing, for tests of what the program does rather than what it shows.
//
// A null device is made, sized, rebuilt, cleared, rendered and updated as an OpenGL device
// is (same device GUIDs and colour models, same refusals of a bad size) and keeps all the
// state that platform/rm keeps for any device, but it needs no GL context, makes no
// picture and presents nothing to its window.
#pragma once

// Makes IDirect3DRM::CreateDeviceFromClipper create null devices, in place of whatever
// backend was registered (glRegisterDeviceBackend registers the OpenGL one again).
void registerNullDeviceBackend();
