// PushInput + PullOutput per input block, against the block's real-time period.
// One iteration = one captured block pushed plus every playback block that falls due in
// the same span of (simulated) time, as the two device threads would do it.
// The counter rt_fraction is the measured time per iteration divided by the input block's
// period (512 frames at 44100 Hz: 11.61 ms); 0.01 means one percent of real time.
// The pass-through case (48000 -> 48000, fixed ratio: conversion to float and the FIFO,
// no filter) is the baseline of the same run.
// The same with the kernel's SSE2 loops (_Portable), and the downward 192000 -> 44100.
// The controller's cost: 44100 -> 48000 with the ratio held fixed (same kernel, no steering)
// against the delay-locked control (the default) and the level law; the ratio of their
// times is the share the control adds to push + pull. A fixed ratio other than 1 still works
// out the level law's target on every pull (nothing reads it there), so the baseline is not
// free of control: a profile of the delay case (the clock loops, DelayRatioForPush and
// NoteDelayNoise) gives the controller's own share.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <vector>

#include "engine/AsyncResampler.h"
#include "engine/MmClock.h"
#include "polyphase/PolyphaseVariant.h"
#include "polyphase/ResamplePolyphase.h"

namespace {

// Simulated time; the fine clock drives the millisecond readings as well.
std::atomic<int64_t> g_nowNs{1000000000};
int64_t BenchFineClock() { return g_nowNs.load(std::memory_order_relaxed); }

enum class Control { Fixed, Delay, Level };

// portable: the kernel's SSE2 loops, what a processor without AVX2 runs (the conversions
// are SSE2 on every x86-64 processor).
void RunBridge(benchmark::State& state, double inRate, double outRate, Control control, bool portable = false) {
  ippsSelectVariant();
  const PolyphaseVariant selected = PolyphaseCurrentVariant();
  if (portable) PolyphaseUseVariant(PolyphaseVariant::Portable);
  const int channels = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  FineClockFunction previousFine = SetFineClock(&BenchFineClock);
  AsyncResampler r;
  ResamplerConfig c;
  c.channels = channels;
  c.maxBlock = 2 * frames;
  c.fifoSamples = 8 * frames;
  c.variableRatio = control == Control::Fixed ? 0 : 1;
  c.ratioControl = control == Control::Level ? kRatioControlLevel : kRatioControlDelay;
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
      g_nowNs.store(1000000000 + static_cast<int64_t>(tOut * 1e6));
      r.PullOutput(outPtr.data(), frames);
      tOut += outPeriodMs;
    }
    g_nowNs.store(1000000000 + static_cast<int64_t>(tIn * 1e6));
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
  SetFineClock(previousFine);
  PolyphaseUseVariant(selected);
}

void BM_Bridge_44100_to_48000(benchmark::State& state) { RunBridge(state, 44100, 48000, Control::Delay); }
void BM_Bridge_44100_to_48000_Portable(benchmark::State& state) {
  RunBridge(state, 44100, 48000, Control::Delay, true);
}
void BM_Bridge_192000_to_44100(benchmark::State& state) { RunBridge(state, 192000, 44100, Control::Delay); }
void BM_Bridge_192000_to_44100_Portable(benchmark::State& state) {
  RunBridge(state, 192000, 44100, Control::Delay, true);
}
void BM_Bridge_44100_to_48000_Level(benchmark::State& state) { RunBridge(state, 44100, 48000, Control::Level); }
void BM_Bridge_44100_to_48000_Fixed(benchmark::State& state) { RunBridge(state, 44100, 48000, Control::Fixed); }
void BM_Bridge_PassThrough_48000(benchmark::State& state) { RunBridge(state, 48000, 48000, Control::Fixed); }
void BM_Bridge_44100_to_192000(benchmark::State& state) { RunBridge(state, 44100, 192000, Control::Delay); }

}  // namespace

BENCHMARK(BM_Bridge_PassThrough_48000)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});
BENCHMARK(BM_Bridge_44100_to_48000)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512})->Args({2, 128})->Args({8, 128});
BENCHMARK(BM_Bridge_44100_to_48000_Portable)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});
BENCHMARK(BM_Bridge_44100_to_48000_Fixed)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({2, 128});
BENCHMARK(BM_Bridge_44100_to_48000_Level)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({2, 128});
BENCHMARK(BM_Bridge_44100_to_192000)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});
BENCHMARK(BM_Bridge_192000_to_44100)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});
BENCHMARK(BM_Bridge_192000_to_44100_Portable)->ArgNames({"ch", "frames"})->Args({2, 512})->Args({8, 512});

BENCHMARK_MAIN();
