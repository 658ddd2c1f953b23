// Real threads: one pushing, one pulling, one reading statistics, at device-like pace
// for a few seconds. Run under ThreadSanitizer by the test command.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "engine/AsyncResampler.h"

TEST(AsyncResamplerThreads, PushPullAndStatisticsAtOnce) {
  using Clock = std::chrono::steady_clock;
  AsyncResampler r;
  ResamplerConfig c;
  c.channels = 2;
  c.maxBlock = 512;
  c.fifoSamples = 2048;
  c.variableRatio = 1;
  c.inputRate = 48000;
  c.outputRate = 44100;
  ASSERT_TRUE(r.Init(c));
  std::atomic<bool> stop{false};
  std::atomic<int64_t> nonZero{0};
  const auto runFor = std::chrono::milliseconds(3000);
  const auto start = Clock::now();

  std::thread input([&] {
    std::vector<int32_t> a(256), b(256);
    const int32_t* ch[2] = {a.data(), b.data()};
    auto next = start;
    for (int block = 0; !stop.load(); ++block) {
      for (int i = 0; i < 256; ++i) a[i] = b[i] = ((block * 256 + i) % 96 < 48) ? 8000 : -8000;
      r.PushInput(ch, 256);
      next += std::chrono::microseconds(256 * 1000000 / 48000);
      std::this_thread::sleep_until(next);
    }
  });
  std::thread output([&] {
    std::vector<int32_t> a(256), b(256);
    int32_t* ch[2] = {a.data(), b.data()};
    auto next = start;
    while (!stop.load()) {
      r.PullOutput(ch, 256);
      for (int32_t v : a) nonZero += v != 0;
      next += std::chrono::microseconds(256 * 1000000 / 44100);
      std::this_thread::sleep_until(next);
    }
  });
  std::thread window([&] {
    BlockTimingHistory h;
    double sink = 0;
    while (!stop.load()) {
      sink += r.InputRate() + r.OutputRate() + r.CurrentRatio() + r.InputJitter() + r.OutputJitter();
      sink += r.UnderrunCount() + r.OverrunCount() + r.SrcDelay();
      r.CopyBlockHistory(false, &h);
      r.CopyBlockHistory(true, &h);
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    EXPECT_TRUE(std::isfinite(sink));
  });
  std::this_thread::sleep_until(start + runFor);
  stop = true;
  input.join();
  output.join();
  window.join();
  EXPECT_GT(nonZero.load(), 0) << "audio came through";
  EXPECT_GT(r.CurrentRatio(), 0.8);
  EXPECT_LT(r.CurrentRatio(), 1.0);
}
