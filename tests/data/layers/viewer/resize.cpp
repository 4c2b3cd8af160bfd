// A file of the viewer that reaches up into input/.
#include "input/render_options.h"
