// Reaches into the X11 library.
#include "platform/dbus/dbus.h"
#include "platform/x11/x_server.h"
