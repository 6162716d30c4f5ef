// Reaches a backend past the desktop interface.
#include "desktop/desktop.h"
#include "platform/sim/sim_desktop.h"
