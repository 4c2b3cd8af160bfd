#include "viewer/viewer_state.h"

IDirect3DRM* d3drm = nullptr;
IDirectDrawClipper* clipper = nullptr;
ViewerState* currentState = nullptr;
int32_t renderingStopped = 0;
uint32_t frameCount = 0;
uint32_t rateStartTick = 0;
uint32_t framesPerSecond = 0;
char commandLine[kCommandLineSize] = {};
D3DFINDDEVICERESULT deviceSearchResult;
