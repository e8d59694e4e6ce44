// OrvExperimentInfo is a plain record; everything lives in its header.
#include "OrvExperimentInfo.h"
