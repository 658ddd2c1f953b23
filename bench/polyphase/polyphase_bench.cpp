// Speed of the resampling run fed in blocks of 512 input samples with a carried time, as
// the engine feeds it, at windows 15, 23 and 31 and the engine's typical factors; items/s
// are output samples per second. Peer resamplers found at configure time run the same job
// in the same process, and a closing table prints our speed as ratios against theirs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Resamplers.h"
#include "polyphase/PolyphaseVariant.h"

using namespace polyphase_bench;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// A few seconds of a busy signal (two tones and noise), cycled block by block.
const std::vector<float>& Signal() {
  static const std::vector<float> s = [] {
    std::vector<float> v(kBlock * 64);
    uint32_t x = 12345;
    for (std::size_t i = 0; i < v.size(); ++i) {
      x = x * 196314165u + 907633515u;
      const double noise = (double(x >> 8) / double(1u << 24) - 0.5) * 0.1;
      v[i] = float(0.4 * std::sin(kTwoPi * 0.0226 * double(i)) + 0.3 * std::sin(kTwoPi * 0.31 * double(i)) + noise);
    }
    return v;
  }();
  return s;
}

// The engine's factor follows the measured clocks: a slow wobble of ±30 ppm here.
double FactorForBlock(double nominal, int64_t block) {
  return nominal * (1.0 + 30e-6 * std::sin(kTwoPi * double(block) / 200.0));
}

void RunBlocks(benchmark::State& state, BlockResampler* r, double nominal) {
  const std::vector<float>& sig = Signal();
  std::vector<float> out(kOutRoom);
  const int64_t blocks = int64_t(sig.size()) / kBlock;
  int64_t b = 0, produced = 0;
  for (auto _ : state) {
    const float* in = sig.data() + (b % blocks) * kBlock;
    const int n = r->Process(in, kBlock, out.data(), FactorForBlock(nominal, b));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    produced += n;
    ++b;
  }
  state.SetItemsProcessed(produced);
}

struct Result {
  double itemsPerSecond = 0.0;
};
std::map<std::string, Result>& Results() {
  static std::map<std::string, Result> results;
  return results;
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) Results()[run.benchmark_name()].itemsPerSecond = double(it->second);
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

std::string Key(const std::string& who, const RatePair& rp) { return who + " @ " + rp.label; }
std::string OursName(float window) { return "velorand w" + std::to_string(int(window)); }

// variant: the kernel variant to force for our own entries; peers ignore it.
void Register(const std::string& who, const RatePair& rp, std::shared_ptr<BlockResampler> r,
              PolyphaseVariant variant) {
  const double nominal = rp.factor();
  benchmark::RegisterBenchmark(Key(who, rp).c_str(), [r, nominal, variant](benchmark::State& st) {
    PolyphaseUseVariant(variant);
    RunBlocks(st, r.get(), nominal);
  })->Unit(benchmark::kMicrosecond);
}

// A comparison interleaved: rounds of 100 blocks alternate between the
// resamplers, so a neighbour's load on this shared machine hits both alike; the best round
// of each counts. Returns output samples per second (wall clock) of a and of b (0 for a
// missing b: then a alone is measured the same way, as in builds without peers).
std::pair<double, double> Interleaved(BlockResampler& a, PolyphaseVariant va, BlockResampler* b, double nominal) {
  const std::vector<float>& sig = Signal();
  std::vector<float> out(kOutRoom);
  const int64_t blocks = int64_t(sig.size()) / kBlock;
  double best[2] = {0.0, 0.0};
  int64_t block[2] = {0, 0};
  for (int round = 0; round < 40; ++round) {
    for (int who = 0; who < (b != nullptr ? 2 : 1); ++who) {
      BlockResampler& r = who == 0 ? a : *b;
      if (who == 0) PolyphaseUseVariant(va);
      int64_t produced = 0;
      const auto start = std::chrono::steady_clock::now();
      for (int k = 0; k < 100; ++k, ++block[who])
        produced += r.Process(sig.data() + (block[who] % blocks) * kBlock, kBlock, out.data(),
                              FactorForBlock(nominal, block[who]));
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      benchmark::DoNotOptimize(out.data());
      best[who] = std::max(best[who], double(produced) / seconds);
    }
  }
  return {best[0], best[1]};
}

// The same for a job of `channels` channels: our multichannel run against VResampler set
// up for that many channels (ours alone in builds without it). Returns output frames per
// second of ours and of zita (0 without it).
std::pair<double, double> InterleavedChannels(int channels, PolyphaseVariant va, double nominal) {
  const std::vector<float>& sig = Signal();
  const int64_t blocks = int64_t(sig.size()) / kBlock;
  PolyphaseChannelsFeeder ours(15.0f, channels);
#ifdef VELORAND_PEER_ZITA
  ZitaChannelsFeeder zita(nominal, channels, 16);
  constexpr int kWho = 2;
#else
  constexpr int kWho = 1;
#endif
  std::vector<std::vector<float>> outs(static_cast<std::size_t>(channels), std::vector<float>(kOutRoom));
  std::vector<float*> outPtr;
  for (auto& o : outs) outPtr.push_back(o.data());
  // Channel c reads the signal c blocks further on, so the channels differ.
  std::vector<float> interleavedIn(std::size_t(kBlock) * channels), interleavedOut(std::size_t(kOutRoom) * channels);
  double best[2] = {0.0, 0.0};
  int64_t block[2] = {0, 0};
  for (int round = 0; round < 40; ++round) {
    for (int who = 0; who < kWho; ++who) {
      if (who == 0) PolyphaseUseVariant(va);
      int64_t produced = 0;
      const auto start = std::chrono::steady_clock::now();
      for (int k = 0; k < 100; ++k, ++block[who]) {
        const double factor = FactorForBlock(nominal, block[who]);
        if (who == 0) {
          const float* in[16];
          for (int c = 0; c < channels; ++c) in[c] = sig.data() + ((block[who] + c) % blocks) * kBlock;
          produced += ours.Process(in, kBlock, outPtr.data(), factor);
        } else {
#ifdef VELORAND_PEER_ZITA
          // zita takes interleaved frames: built here, as the engine would have to build
          // them from its planar blocks (a copy, cheap next to the filter); taking its
          // output apart again is not counted.
          for (int c = 0; c < channels; ++c) {
            const float* in = sig.data() + ((block[who] + c) % blocks) * kBlock;
            for (int i = 0; i < kBlock; ++i) interleavedIn[std::size_t(i) * channels + c] = in[i];
          }
          produced += zita.Process(interleavedIn.data(), kBlock, interleavedOut.data(), factor);
#endif
        }
      }
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      benchmark::DoNotOptimize(outs[0].data());
      benchmark::DoNotOptimize(interleavedOut.data());
      best[who] = std::max(best[who], double(produced) / seconds);
    }
  }
  return {best[0], best[1]};
}

// The interleaved tables, mono and 8 channels, w15, for the selected variant and the
// portable one; without zita our figures alone, measured the same way.
void PrintRounds(PolyphaseVariant best) {
#ifdef VELORAND_PEER_ZITA
  std::printf("\n\nInterleaved rounds against zita VResampler hlen 16 (best of 40 rounds of 100 blocks each,"
              " wall clock; >1 = ours faster):\n");
#else
  std::printf("\n\nBest of 40 rounds of 100 blocks (wall clock), ours only: no peer in this build; compare with"
              " a native run's zita figures:\n");
#endif
  std::printf("%-22s %11s %11s %9s\n", "rate pair", "ours M/s", "zita M/s", "ratio");
  for (const RatePair& rp : RatePairs()) {
    for (PolyphaseVariant v : {best, PolyphaseVariant::Portable}) {
      PolyphaseFeeder ours15(15.0f);
#ifdef VELORAND_PEER_ZITA
      ZitaFeeder zita16(rp.factor(), 16);
      const auto [a, b] = Interleaved(ours15, v, &zita16, rp.factor());
#else
      const auto [a, b] = Interleaved(ours15, v, nullptr, rp.factor());
#endif
      const std::string label = std::string(rp.label) + (v == PolyphaseVariant::Portable ? " portable" : "");
      if (b > 0.0)
        std::printf("w15 %-18s %11.1f %11.1f %8.2fx\n", label.c_str(), a / 1e6, b / 1e6, a / b);
      else
        std::printf("w15 %-18s %11.1f %11s %9s\n", label.c_str(), a / 1e6, "-", "-");
      if (best == PolyphaseVariant::Portable) break;
    }
  }
  std::printf("\n8 channels per block (ours: one multichannel run over planar channels; zita: VResampler for 8"
              " channels on interleaved frames, input interleaving included), w15 vs hlen 16, frames/s:\n");
  std::printf("%-22s %11s %11s %9s\n", "rate pair", "ours Mf/s", "zita Mf/s", "ratio");
  for (const RatePair& rp : RatePairs()) {
    for (PolyphaseVariant v : {best, PolyphaseVariant::Portable}) {
      const auto [a, b] = InterleavedChannels(8, v, rp.factor());
      const std::string label = std::string(rp.label) + (v == PolyphaseVariant::Portable ? " portable" : "");
      if (b > 0.0)
        std::printf("w15 8ch %-14s %11.2f %11.2f %8.2fx\n", label.c_str(), a / 1e6, b / 1e6, a / b);
      else
        std::printf("w15 8ch %-14s %11.2f %11s %9s\n", label.c_str(), a / 1e6, "-", "-");
      if (best == PolyphaseVariant::Portable) break;
    }
  }
  PolyphaseUseVariant(best);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // The engine asks for the processor variant at every initialisation; so does this.
  ippsSelectVariant();
  const PolyphaseVariant best = PolyphaseCurrentVariant();
  const bool alsoPortable = best != PolyphaseVariant::Portable;
  const float windows[] = {15.0f, 23.0f, 31.0f};
  std::vector<std::string> ours;
  for (float w : windows) ours.push_back(OursName(w));
  if (alsoPortable)
    for (float w : windows) ours.push_back(OursName(w) + " portable");

  std::vector<std::string> peerNames;
  std::vector<std::string> registered;
  for (const RatePair& rp : RatePairs()) {
    for (float w : windows) {
      auto feeder = std::make_shared<PolyphaseFeeder>(w);
      if (!feeder->ok()) {
        std::fprintf(stderr, "cannot create the filter bank for window %g\n", double(w));
        return 1;
      }
      Register(OursName(w), rp, feeder, best);
    }
    if (alsoPortable)
      for (float w : windows)
        Register(OursName(w) + " portable", rp, std::make_shared<PolyphaseFeeder>(w), PolyphaseVariant::Portable);
    // zita's half length follows our window; the other peers have one setting each.
    for (float w : windows) {
      for (auto& p : MakePeers(w, rp)) {
        const std::string name = p->Name();
        const std::string key = Key(name, rp);
        bool done = false;
        for (const auto& k : registered) done = done || k == key;
        if (done) continue;
        registered.push_back(key);
        Register(name, rp, std::shared_ptr<BlockResampler>(std::move(p)), best);
        bool known = false;
        for (const auto& n : peerNames) known = known || n == name;
        if (!known) peerNames.push_back(name);
      }
    }
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nKernel variant selected for this processor: %s\n",
              best == PolyphaseVariant::Avx2Fma ? "AVX2+FMA (\"portable\" rows: the SSE2 baseline)" : "portable");
  if (peerNames.empty()) {
    std::printf("No peer resamplers were found at configure time; no ratios to print.\n");
    PrintRounds(best);
    return 0;
  }
  std::printf("\nSpeed of our run as a ratio against each peer (output samples/s, same run; >1 = ours faster)\n");
  std::printf("%-46s", "ours vs peer");
  for (const RatePair& rp : RatePairs()) std::printf(" %11s", rp.label);
  std::printf("\n");
  for (const auto& peer : peerNames) {
    const bool zita = peer.rfind("zita", 0) == 0;
    for (const auto& mine : ours) {
      // Every variant against zita (the goal's peer); the selected one against the rest.
      if (!zita && mine.find("portable") != std::string::npos) continue;
      std::printf("%-46s", (mine.substr(std::string("velorand ").size()) + " vs " + peer).c_str());
      for (const RatePair& rp : RatePairs()) {
        const double a = Results()[Key(mine, rp)].itemsPerSecond;
        const double b = Results()[Key(peer, rp)].itemsPerSecond;
        if (a > 0.0 && b > 0.0)
          std::printf(" %11.2f", a / b);
        else
          std::printf(" %11s", "-");
      }
      std::printf("\n");
    }
  }
  const RatePair& goal = RatePairs()[0];
  const double zitaRate = Results()[Key("zita VResampler hlen 16", goal)].itemsPerSecond;
  for (const auto& mine : {OursName(15.0f), OursName(15.0f) + " portable"}) {
    const double a = Results()[Key(mine, goal)].itemsPerSecond;
    if (a > 0.0 && zitaRate > 0.0)
      std::printf("\nGoal: %s at %s vs zita VResampler hlen 16: %.2fx (goal >= 2x)", mine.c_str(), goal.label,
                  a / zitaRate);
  }
  // The comparisons with zita's VResampler hlen 16 once more, interleaved round by round
  // (see Interleaved) at every rate pair, for both variants: on a machine shared with
  // other work these are the figures to quote.
  PrintRounds(best);
  std::printf("\nsoxr and speexdsp run at the fixed nominal ratio (they do not follow the per-block factor).\n");
  return 0;
}
