// The direction batch for any processor (GCC and clang lower its 256-bit
// vectors to the processor's own).
#define KV_DSP_LEVEL dsp_c
#include "dsp/direction_batch_tmpl.h"
