// PushInput + PullOutput per input block, against the block's real-time period.
// One iteration = one captured block pushed plus every playback block that falls due in
// the same span of (simulated) time, as the two device threads would do it.
// The counter rt_fraction is the measured time per iteration divided by the input block's
// period (512 frames at 44100 Hz: 11.61 ms); 0.01 means one percent of real time.
// The pass-through case (48000 -> 48000, fixed ratio: conversion to float and the FIFO,
// no filter) is the baseline of the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "engine/AsyncResampler.h"
#include "engine/MmClock.h"

namespace {

std::atomic<uint32_t> g_nowMs{1000};
uint32_t BenchClock() { return g_nowMs.load(std::memory_order_relaxed); }

void RunBridge(benchmark::State& state, double inRate, double outRate, bool variable) {
  const int channels = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  MmClockFunction previous = SetMmClock(&BenchClock);
  AsyncResampler r;
  ResamplerConfig c;
  c.channels = channels;
  c.maxBlock = 2 * frames;
  c.fifoSamples = 8 * frames;
  c.variableRatio = variable ? 1 : 0;
  c.inputRate = inRate;
  c.outputRate = outRate;
  r.Init(c);
  std::vector<std::vector<int32_t>> in(channels, std::vector<int32_t>(frames)), out(channels, std::vector<int32_t>(frames));
  std::vector<const int32_t*> inPtr;
  std::vector<int32_t*> outPtr;
  for (int ch = 0; ch < channels; ++ch) {
    for (int i = 0; i < frames; ++i) in[ch][i] = static_cast<int32_t>(12000 * std::sin(0.05 * i + ch));
    inPtr.push_back(in[ch].data());
    outPtr.push_back(out[ch].data());
  }
  const double inPeriodMs = frames * 1000.0 / inRate, outPeriodMs = frames * 1000.0 / outRate;
  double tIn = 0, tOut = 0;
  auto step = [&] {
    r.PushInput(inPtr.data(), frames);
    tIn += inPeriodMs;
    while (tOut < tIn) {
      g_nowMs.store(1000 + static_cast<uint32_t>(tOut));
      r.PullOutput(outPtr.data(), frames);
      tOut += outPeriodMs;
    }
    g_nowMs.store(1000 + static_cast<uint32_t>(tIn));
  };
  // Past the start: FIFO primed, estimates settled.
  for (int i = 0; i < 3000; ++i) step();
  for (auto _ : state) {
    step();
    benchmark::DoNotOptimize(out[0][0]);
  }
  state.counters["rt_fraction"] =
      benchmark::Counter(inPeriodMs * 1e-3, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["underruns"] = r.UnderrunCount();
  SetMmClock(previous);
}

void BM_Bridge_44100_to_48000(benchmark::State& state) { RunBridge(state, 44100, 48000, true); }
void BM_Bridge_PassThrough_48000(benchmark::State& state) { RunBridge(state, 48000, 48000, false); }
void BM_Bridge_44100_to_192000(benchmark::State& state) { RunBridge(state, 44100, 192000, true); }

}  // namespace

BENCHMARK(BM_Bridge_PassThrough_48000)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});
BENCHMARK(BM_Bridge_44100_to_48000)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512})->Args({2, 128})->Args({8, 128});
BENCHMARK(BM_Bridge_44100_to_192000)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});

BENCHMARK_MAIN();
