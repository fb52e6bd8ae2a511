#include "bin_model.h"

namespace kv {

void halve_bin_model(BinModel& model) {
  int16_t* sum = model.sum;
  int16_t previous = 0;  // the old sum[s]
  for (int s = 0; s < kBinSymbols; ++s) {
    const int16_t next = sum[s + 1];
    sum[s + 1] = static_cast<int16_t>(sum[s] + ((next - previous + 1) >> 1));
    previous = next;
  }
}

}  // namespace kv
