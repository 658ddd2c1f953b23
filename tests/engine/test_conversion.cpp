// The vector conversions against the plain readings of the formulas, bit for bit, on
// inputs chosen to sit on every edge the shortcuts test (range limits, saturation, NaN)
// and at every count and misalignment the loops split differently.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/SampleConversion.h"

namespace {

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Device-scale inputs around every limit, then random ones of several magnitudes.
std::vector<int32_t> EdgeInputs() {
  std::vector<int32_t> v;
  for (int32_t edge : {0, 32767, 32768, 65535, 65536, 131071, 131072, 1 << 24, INT32_MAX})
    for (int32_t d = -2; d <= 2; ++d) {
      const int64_t a = int64_t(edge) + d;
      if (a <= INT32_MAX) v.push_back(int32_t(a));
      if (-a >= INT32_MIN) v.push_back(int32_t(-a));
    }
  v.push_back(INT32_MIN);
  std::mt19937 gen(17);
  for (int32_t range : {40000, 32768, 200000})
    for (int i = 0; i < 400; ++i) v.push_back(std::uniform_int_distribution<int32_t>(-range, range)(gen));
  return v;
}

template <typename Convert, typename Plain>
void ExpectInputMatches(Convert convert, Plain plain) {
  const std::vector<int32_t> all = EdgeInputs();
  // One clean run of in-range samples, then the mixed ones; counts 0..40 at every offset
  // of an 8-sample group, several seeds.
  std::vector<int32_t> clean(64);
  for (size_t i = 0; i < clean.size(); ++i) clean[i] = int32_t(i * 977 % 65535) - 32767;
  const std::vector<int32_t>* inputs[] = {&clean, &all};
  for (const std::vector<int32_t>* input : inputs)
    for (uint32_t seed : {0u, 1u, 12345u, 32767u})
      for (int32_t offset = 0; offset < 8; ++offset)
        for (int32_t count = 0; count <= 40 && offset + count <= int32_t(input->size()); ++count) {
          std::vector<float> got(size_t(count) + 1, -7.0f);
          convert(input->data() + offset, got.data(), count, seed);
          uint32_t x = seed;
          for (int32_t i = 0; i < count; ++i, x = DitherStep(x))
            ASSERT_EQ(Bits(got[i]), Bits(plain(input->at(offset + i), x)))
                << "input " << input->at(offset + i) << " at " << i << " of " << count << ", seed " << seed;
          EXPECT_EQ(got[count], -7.0f) << "wrote past the block";
        }
  // A long block of everything: the generator stays in step over many groups.
  std::vector<float> got(all.size());
  convert(all.data(), got.data(), int32_t(all.size()), 987u);
  uint32_t x = 987u;
  for (size_t i = 0; i < all.size(); ++i, x = DitherStep(x)) ASSERT_EQ(Bits(got[i]), Bits(plain(all[i], x))) << i;
}

}  // namespace

TEST(SampleConversion, InputConversionsMatchThePlainReading) {
  ExpectInputMatches(ConvertInputPassThrough, [](int32_t in, uint32_t x) {
    return static_cast<float>(static_cast<long double>(in) * 0x1p-15L + (x % 32768u) * 0x1p-29L);
  });
  ExpectInputMatches(ConvertInputResampling, [](int32_t in, uint32_t x) {
    return static_cast<float>(static_cast<long double>(in) * 0x1p-15L +
                              (static_cast<int32_t>(x % 65536u) - 32768) * 0x1p-31L);
  });
}

TEST(SampleConversion, OutputTruncatesTheExactProductAndSaturates) {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> in = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1e-40f, -1e-40f, inf, -inf,
                           std::numeric_limits<float>::quiet_NaN(), 65537.0f, -65537.0f, 65538.0f, -65538.0f,
                           3e38f, -3e38f, 65536.0f, -65536.0f};
  // Products just below and above integers, where a float product would round across.
  std::mt19937 gen(5);
  for (int i = 0; i < 2000; ++i) {
    const float f = std::uniform_real_distribution<float>(-1.2f, 1.2f)(gen);
    in.push_back(f);
    in.push_back(std::nextafter(f, 2.0f));
    in.push_back(std::nextafter(float(std::round(f * 32767.0) / 32767.0), 0.0f));
  }
  for (int32_t offset = 0; offset < 4; ++offset)
    for (int32_t count : {0, 1, 3, 4, 5, 7, 8, 17, int32_t(in.size()) - offset}) {
      std::vector<int32_t> got(size_t(count) + 1, 123);
      ConvertOutput(in.data() + offset, got.data(), count);
      for (int32_t i = 0; i < count; ++i) {
        const double v = double(in[offset + i]) * 32767.0;
        const int32_t want = std::isnan(v) ? 0 : v >= 2147483647.0 ? INT32_MAX : v <= -2147483648.0 ? INT32_MIN
                                                                                                    : int32_t(v);
        ASSERT_EQ(got[i], want) << "input " << in[offset + i];
      }
      EXPECT_EQ(got[count], 123) << "wrote past the block";
    }
}
