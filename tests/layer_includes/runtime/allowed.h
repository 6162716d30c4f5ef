// Only what the layer may use.
#include <vector>

#include "core/json.h"
#include "runtime/event_loop.h"
