#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "engine/CFifo.h"
#include "engine/LogPrintf.h"

namespace {

std::vector<uint8_t> Bytes(int n, int first = 0) {
  std::vector<uint8_t> v(static_cast<size_t>(n));
  std::iota(v.begin(), v.end(), static_cast<uint8_t>(first));
  return v;
}

FifoHeader* Writable(CFifo& fifo) { return const_cast<FifoHeader*>(fifo.Header()); }

}  // namespace

TEST(CFifo, SizesCountsAndNonOverwritingOverrun) {
  CFifo fifo;
  ASSERT_TRUE(fifo.Create(1024, 7, kFifoLocal, 0));
  EXPECT_EQ(fifo.Size(), 1024);
  EXPECT_EQ(fifo.Free(), 1024);
  EXPECT_EQ(fifo.Header()->capacity, 1025);
  EXPECT_EQ(fifo.Header()->end, 1025);
  EXPECT_EQ(fifo.Header()->tag, 7);
  auto data = Bytes(1024);
  EXPECT_EQ(fifo.Put(data.data(), 1024, false), 1024);
  EXPECT_EQ(fifo.Free(), 0);
  EXPECT_EQ(fifo.Used(), 1024);
  EXPECT_EQ(fifo.Put(data.data(), 4, false), 0);
  EXPECT_EQ(fifo.OverrunCount(), 1);
  EXPECT_EQ(fifo.LostBytes(), 4);
  // A partial fit stores the head of the data and drops its tail.
  std::vector<uint8_t> out(1024);
  EXPECT_EQ(fifo.Get(out.data(), 10, false), 10);
  EXPECT_EQ(fifo.Put(data.data() + 100, 16, false), 10);
  EXPECT_EQ(fifo.LostBytes(), 10);
  EXPECT_EQ(fifo.Get(out.data(), 1024, false), 1024);
  EXPECT_EQ(out[1014], 100);
  EXPECT_EQ(out[1023], 109);
  EXPECT_EQ(fifo.PutTotal(), 1034u);
  EXPECT_EQ(fifo.GetTotal(), 1034u);
  fifo.Reset();
  EXPECT_EQ(fifo.OverrunCount(), 0);
  EXPECT_EQ(fifo.PutTotal(), 0u);
}

TEST(CFifo, WrapSplitsCopiesAndOverwriteDropsOldest) {
  CFifo fifo;
  ASSERT_TRUE(fifo.Create(32, 0, kFifoLocal, 0));
  auto data = Bytes(64);
  std::vector<uint8_t> out(64);
  ASSERT_EQ(fifo.Put(data.data(), 30, false), 30);
  ASSERT_EQ(fifo.Get(out.data(), 30, false), 30);
  // 3 bytes left before the end of a 33-byte ring: this put wraps.
  ASSERT_EQ(fifo.Put(data.data(), 20, false), 20);
  EXPECT_EQ(fifo.Header()->writePos, 17);
  ASSERT_EQ(fifo.Get(out.data(), 20, false), 20);
  EXPECT_EQ(std::memcmp(out.data(), data.data(), 20), 0);
  EXPECT_EQ(fifo.Header()->readPos, 17);
  // Overwrite: 16 bytes into a FIFO with 8 free drop the 8 oldest first.
  ASSERT_EQ(fifo.Put(data.data(), 24, false), 24);
  EXPECT_EQ(fifo.Free(), 8);
  EXPECT_EQ(fifo.Put(data.data() + 40, 16, true), 16);
  EXPECT_EQ(fifo.OverrunCount(), 1);
  EXPECT_EQ(fifo.LostBytes(), 8);
  ASSERT_EQ(fifo.Get(out.data(), 32, false), 32);
  EXPECT_EQ(out[0], 8);    // bytes 0..7 were dropped
  EXPECT_EQ(out[16], 40);  // then the new data
  EXPECT_EQ(out[31], 55);
}

TEST(CFifo, RewindRedeliversLastBytesAndNullPointers) {
  CFifo fifo;
  ASSERT_TRUE(fifo.Create(64, 0, kFifoLocal, 0));
  auto data = Bytes(20, 1);
  std::vector<uint8_t> out(64, 0xEE);
  fifo.Put(data.data(), 20, false);
  fifo.Get(out.data(), 16, false);  // delivered 1..16, 17..20 remain
  EXPECT_EQ(fifo.Get(out.data(), 12, true), 12);
  const uint8_t expected[12] = {9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  EXPECT_EQ(std::memcmp(out.data(), expected, 12), 0);
  EXPECT_EQ(fifo.LostBytes(), -8);
  EXPECT_EQ(fifo.OverrunCount(), 1);
  // A rewind longer than the ring re-delivers at most the ring's size.
  EXPECT_EQ(fifo.Get(out.data(), 64, true), 64);
  EXPECT_EQ(fifo.Used(), 0);
  EXPECT_EQ(fifo.Get(nullptr, 200, true), 64);
  // Null source stores zeros; null destination consumes without copying.
  EXPECT_EQ(fifo.Put(nullptr, 10, false), 10);
  EXPECT_EQ(fifo.Get(nullptr, 4, false), 4);
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_EQ(fifo.Get(out.data(), 10, false), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], 0);
  EXPECT_EQ(out[6], 0xEE);
  // Discard drops the oldest bytes only as far as there are any.
  fifo.Put(data.data(), 10, false);
  fifo.Discard(4);
  EXPECT_EQ(fifo.Used(), 6);
  fifo.Discard(100);
  EXPECT_EQ(fifo.Used(), 0);
  EXPECT_EQ(fifo.Header()->pendingDiscard, 94);
}

TEST(CFifo, WithoutStorageEverythingIsInert) {
  CFifo fifo;
  uint8_t b[4] = {};
  EXPECT_EQ(fifo.Put(b, 4, false), 0);
  EXPECT_EQ(fifo.Get(b, 4, true), 0);
  fifo.Discard(4);
  fifo.Reset();
  EXPECT_EQ(fifo.Used() + fifo.Free() + fifo.Size(), 0);
  EXPECT_FALSE(fifo.Create(-5, 0, kFifoLocal, 0));
  EXPECT_FALSE(fifo.HasStorage());
#if !defined(_WIN32)
  EXPECT_FALSE(fifo.Create(64, 0, kFifoSharedCreator, 1));  // local mode only here
#endif
}

TEST(CFifo, CorruptHeaderNeverMovesCopiesOutsideTheDataArea) {
  CFifo fifo;
  ASSERT_TRUE(fifo.Create(64, 0, kFifoLocal, 0));
  auto data = Bytes(32);
  std::vector<uint8_t> out(64);
  fifo.Put(data.data(), 32, false);
  FifoHeader* h = Writable(fifo);
  const FifoHeader good = *h;
  // Each of these would make an unchecked copy run outside the ring (ASan would see it).
  const std::vector<std::pair<const char*, void (*)(FifoHeader*)>> corruptions = {
      {"writePos past end", [](FifoHeader* x) { x->writePos = 5000; }},
      {"readPos negative", [](FifoHeader* x) { x->readPos = -40; }},
      {"capacity grown", [](FifoHeader* x) { x->capacity = 1 << 20; x->end = 1 << 20; }},
      {"end moved", [](FifoHeader* x) { x->end = 4000; }},
      {"start moved", [](FifoHeader* x) { x->start = 100; }},
      {"reserve negative", [](FifoHeader* x) { x->reserve = -100000; }},
  };
  for (const auto& [what, corrupt] : corruptions) {
    corrupt(h);
    EXPECT_EQ(fifo.Put(data.data(), 32, true), 0) << what;
    EXPECT_EQ(fifo.Get(out.data(), 64, true), 0) << what;
    fifo.Discard(10);
    EXPECT_EQ(fifo.Used(), 0) << what;
    EXPECT_EQ(fifo.Free(), 0) << what;
    std::memcpy(static_cast<void*>(h), &good, sizeof(good));
  }
  // Restored, the FIFO works again with its data intact.
  EXPECT_EQ(fifo.Get(out.data(), 64, false), 32);
  EXPECT_EQ(std::memcmp(out.data(), data.data(), 32), 0);
}

TEST(CFifoGroup, NamesChannelsAndLogsOverrunsOnlyWhenNamed) {
  std::string logged;
  LogSetFunction([](const char* text, void* c) { *static_cast<std::string*>(c) += text; }, &logged);
  CFifoGroup group;
  group.Create(2, 16, "AsyncResamplerFifo");
  ASSERT_EQ(group.Count(), 2);
  EXPECT_STREQ(group.At(0)->Name(), "AsyncResamplerFifo 1/2");
  EXPECT_STREQ(group.At(1)->Name(), "AsyncResamplerFifo 2/2");
  uint8_t a[20] = {1}, b[20] = {2};
  const void* src[2] = {a, b};
  EXPECT_EQ(group.PutAll(src, 20, false, false), 16);
  EXPECT_NE(logged.find("OVERRUN 4 'AsyncResamplerFifo 1/2'- "), std::string::npos);
  EXPECT_NE(logged.find("OVERRUN 4 'AsyncResamplerFifo 2/2'- "), std::string::npos);
  uint8_t x[16], y[16];
  void* dst[2] = {x, y};
  EXPECT_EQ(group.GetAll(dst, 16, false, true), 16);
  EXPECT_EQ(x[0], 1);
  EXPECT_EQ(y[0], 2);
  group.ZeroAll(dst, 16);
  EXPECT_EQ(y[0], 0);
  logged.clear();
  group.Create(3, 8, "");
  EXPECT_EQ(group.Size(), 8);
  uint8_t z[12] = {};
  const void* src3[3] = {z, z, z};
  EXPECT_EQ(group.PutAll(src3, 12, false, false), 8);
  EXPECT_TRUE(logged.empty());
  group.Clear();
  EXPECT_EQ(group.PutAll(src3, 12, false, false), 0);
  EXPECT_EQ(group.Used(), 0);
  LogResetSinks();
}
