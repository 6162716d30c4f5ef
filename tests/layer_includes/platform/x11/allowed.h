// X11 and the libraries it composes.
#include <xcb/xcb.h>

#include "platform/atspi/accessibility.h"
#include "platform/freedesktop/opening.h"
