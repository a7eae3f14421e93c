// Not written yet.
#include "archive/archive.h"
