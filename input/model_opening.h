// Open dialogs that hand back a loadable path (converting Rokkaku files on the way) and
// the opening of a model into the scene of the current viewer.
#pragma once

#include "platform/rm/d3drm.h"
#include "platform/win/win32.h"

struct ViewerState;

// Each returns the path to load (the text of convertedPath), or null when the dialog was
// cancelled or the conversion failed (the conversion has then reported why).
const char* chooseXFile(HWND window, const char* title);
const char* chooseRokkakuFile(HWND window, const char* title);

// Converts `path` when it is a Rokkaku file, loads it into a new mesh builder and hangs
// that on a new frame 2 units in front of the camera; a model the camera cannot show
// comfortably from there is framed (frameIfUnseen). False without a current viewer
// (silently) or after reporting the failure.
bool openModel(const char* path);

// A new child frame of the viewer's scene holding `meshBuilder`, at (0, 0, 2) relative to
// the camera; `placed`, when given, receives the frame with a reference. Reports nothing.
bool placeMesh(IDirect3DRMMeshBuilder* meshBuilder, ViewerState* viewer, IDirect3DRMFrame** placed = nullptr);
