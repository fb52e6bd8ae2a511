// The plane's inverse lifting built for processors with AVX2 (src/CMakeLists.txt).
#define KV_DSP_LEVEL dsp_avx2
#include "dsp/lifting_tmpl.h"
