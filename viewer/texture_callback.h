// The texture callback handed to every model, frame and animation load.
#pragma once

#include "platform/rm/d3drm.h"

// Loads .bmp and .ppm textures (extension compared without regard to case) through
// IDirect3DRM::LoadTexture on the process-wide d3drm; refuses any other name with -1.
// With the picture-format switch on, every name goes to LoadTexture.
HRESULT loadTextureCallback(char* name, void* arg, IDirect3DRMTexture** texture);
// Whether the callback passes the name on to LoadTexture.
bool textureNameAccepted(const char* name);

// The opt-in switch (--any-texture, Scene > "Any picture format"): the callback takes
// every name and LoadTexture reads PNG, JPEG, GIF and TGA too. Off at start.
void setAnyPictureFormat(bool on);
bool anyPictureFormat();

// The last occurrence of c in text (the terminator itself for c == 0), or null when
// there is none or text is null.
const char* findLastChar(const char* text, char c);
char* findLastChar(char* text, char c);
