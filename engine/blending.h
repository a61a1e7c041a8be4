// The program's one blending switch, read by both engines when they start a render:
// non-zero (the default) blends photos smartly (seam search and gradient averaging in
// the Horizontal/Vertical engine, weighted blending in the tiled engine's
// AddImageToPano); zero blends half and half. Nothing in the program changes it.
#pragma once

extern int g_fDoSmartBlending1;
