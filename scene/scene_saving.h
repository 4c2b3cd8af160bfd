// Saving the scene as it is shown: every model, hierarchy and animation set with the
// edits made, as a .x text file (what Open Frame and Open Animation read back) or as
// glTF 2.0 (the camera and the lights too).
#pragma once

struct ViewerState;

// The format follows the name's ending (.x, .glb, .gltf). 1 on success; 0 after
// reporting why the file could not be written (an earlier file of that name is kept).
int saveScene(const char* path, ViewerState* state);
