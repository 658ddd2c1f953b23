#include "polyphase/ResamplePolyphase.h"

int32_t ippsMove_32f(const float* src, float* dst, int32_t length) {
  if (src == nullptr || dst == nullptr) return ippStsNullPtrErr;
  if (length <= 0) return ippStsSizeErr;
  if (src > dst) {
    for (int32_t i = 0; i < length; ++i) dst[i] = src[i];
  } else if (src < dst) {
    for (int32_t i = length; i-- > 0;) dst[i] = src[i];
  }
  return ippStsNoErr;
}

void ippsSelectVariant() {}
