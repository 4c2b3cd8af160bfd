// Loading frame hierarchies and animation sets into the scene, fitted to 8 units at
// (0, 0, 15) (a scene saved by this viewer goes back where it was), and playing
// animations: one time unit per rendered frame, or, for a set whose file declares its
// ticks a second, at that rate (see currentFrameSeconds, viewer/frame_tick.h).
#pragma once

#include "platform/rm/d3drm.h"

struct ViewerState;

// One per loaded animation set; the argument of its move callback.
struct AnimationClock {
    IDirect3DRMAnimationSet* animationSet;  // owned
    double time;                            // the time to show next
    DWORD ticksPerSecond;                   // the file's declared rate; 0: a unit a frame
};

// Scene > "Animation one tick a frame": every set advances one unit a frame, whatever rate
// its file declares.
void setAnimationOneTickAFrame(bool on);
bool animationOneTickAFrame();

// Both return 1 on success, 0 at the first failing platform call (the caller reports).
int loadAnimationFile(const char* path, ViewerState* state);
int loadFrameFile(const char* path, ViewerState* state);
// Scales `frame` so that the largest extent of everything below it is 8 and puts it at
// (0, 0, 15) in scene coordinates. Geometry without extent keeps scale 1. Always 1.
int fitAndPlace(IDirect3DRMFrame* frame, ViewerState* state);
// Registers advanceAnimation on `frame` with a new clock for `animationSet` (which the
// clock then owns). 1 on success.
int attachAnimationClock(IDirect3DRMFrame* frame, IDirect3DRMAnimationSet* animationSet);
// Move callback: shows the clock's time, then advances it by delta units, or by delta times
// the frame's seconds of the set's declared ticks.
void advanceAnimation(IDirect3DRMFrame* frame, void* arg, D3DVALUE delta);
