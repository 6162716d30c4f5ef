// Speaks X11 itself.
#include <string>
#include <X11/Xlib.h>
