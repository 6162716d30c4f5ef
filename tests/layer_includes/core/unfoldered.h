// Names a header without its folder, which would be found beside this file.
#include "json.h"
