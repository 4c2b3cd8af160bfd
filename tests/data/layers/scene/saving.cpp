// Scene code reading the objects' internals.
#include "platform/rm/rm_internal.h"
#include "viewer/viewer_state.h"
