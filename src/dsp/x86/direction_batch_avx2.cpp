// The direction batch built for processors with AVX2 (src/CMakeLists.txt).
#define KV_DSP_LEVEL dsp_avx2
#include "dsp/direction_batch_tmpl.h"
