// Not written yet.
#include "salvage/salvage.h"
