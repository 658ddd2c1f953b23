// Speed of the resampling run fed in blocks of 512 input samples with a carried time, as
// the engine feeds it, at windows 15, 23 and 31 and the engine's typical factors; items/s
// are output samples per second. Peer resamplers found at configure time run the same job
// in the same process, and a closing table prints our speed as ratios against theirs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Resamplers.h"

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

void Register(const std::string& who, const RatePair& rp, std::shared_ptr<BlockResampler> r) {
  const double nominal = rp.factor();
  benchmark::RegisterBenchmark(Key(who, rp).c_str(), [r, nominal](benchmark::State& st) {
    RunBlocks(st, r.get(), nominal);
  })->Unit(benchmark::kMicrosecond);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const float windows[] = {15.0f, 23.0f, 31.0f};
  std::vector<std::string> peerNames;
  std::vector<std::string> registered;
  for (const RatePair& rp : RatePairs()) {
    for (float w : windows) {
      auto ours = std::make_shared<PolyphaseFeeder>(w);
      if (!ours->ok()) {
        std::fprintf(stderr, "cannot create the filter bank for window %g\n", double(w));
        return 1;
      }
      Register(ours->Name(), rp, ours);
    }
    // zita's half length follows our window; the other peers have one setting each.
    for (float w : windows) {
      for (auto& p : MakePeers(w, rp)) {
        const std::string name = p->Name();
        const std::string key = Key(name, rp);
        bool done = false;
        for (const auto& k : registered) done = done || k == key;
        if (done) continue;
        registered.push_back(key);
        std::shared_ptr<BlockResampler> shared(std::move(p));
        Register(name, rp, shared);
        bool known = false;
        for (const auto& n : peerNames) known = known || n == name;
        if (!known) peerNames.push_back(name);
      }
    }
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  if (peerNames.empty()) {
    std::printf("\nNo peer resamplers were found at configure time; no ratios to print.\n");
    return 0;
  }
  std::printf("\nSpeed of our run as a ratio against each peer (output samples/s, same run; >1 = ours faster)\n");
  std::printf("%-34s", "peer");
  for (const RatePair& rp : RatePairs()) std::printf(" %12s", rp.label);
  std::printf("\n");
  for (const auto& peer : peerNames) {
    for (float w : windows) {
      std::printf("%-34s", (("w" + std::to_string(int(w))) + " vs " + peer).c_str());
      for (const RatePair& rp : RatePairs()) {
        const double ours = Results()[Key(OursName(w), rp)].itemsPerSecond;
        const double theirs = Results()[Key(peer, rp)].itemsPerSecond;
        if (ours > 0.0 && theirs > 0.0)
          std::printf(" %12.2f", ours / theirs);
        else
          std::printf(" %12s", "-");
      }
      std::printf("\n");
    }
  }
  const RatePair& goal = RatePairs()[0];
  const double ours = Results()[Key("velorand w15", goal)].itemsPerSecond;
  const double zita = Results()[Key("zita VResampler hlen 16", goal)].itemsPerSecond;
  if (ours > 0.0 && zita > 0.0)
    std::printf("\nGoal: window 15 at %s vs zita VResampler hlen 16: %.2fx (goal >= 2x)\n", goal.label, ours / zita);
  std::printf("soxr and speexdsp run at the fixed nominal ratio (they do not follow the per-block factor).\n");
  return 0;
}
