// The texture callback handed to every model, frame and animation load.
#pragma once

#include "platform/rm/d3drm.h"

// Loads .bmp and .ppm textures (extension compared without regard to case) through
// IDirect3DRM::LoadTexture on the process-wide d3drm; refuses any other name with -1.
HRESULT loadTextureCallback(char* name, void* arg, IDirect3DRMTexture** texture);

// The last occurrence of c in text (the terminator itself for c == 0), or null when
// there is none or text is null.
const char* findLastChar(const char* text, char c);
char* findLastChar(char* text, char c);
