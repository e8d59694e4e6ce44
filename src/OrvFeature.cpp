// OrvFeature is a plain record; everything lives in its header.
#include "OrvFeature.h"
