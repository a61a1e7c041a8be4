// Definition of the engines' shared blending switch (see engine/blending.h).
#include "engine/blending.h"

int g_fDoSmartBlending1 = 1;
