// driftsim: runs the drift simulation over a grid of rates, clock offsets, jitter and
// block geometries and prints, per case, one table row for each law of the ratio control
// (the delay-locked control and the original level law), side by side.
//   driftsim [--minutes M] [--quick] [--geometry 8|2|256|128|480] [--rates in out]
//            [--law both|delay|level] [--no-spread] [--seed n] [--trace]
//            [--case in out ppm jitterMs frames count] [--tick ms] [--prefill blocks]
//            [--out-pause at seconds] [--in-stall at seconds] [--replay trace-file]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DriftSim.h"

namespace {

struct Geometry {
  int32_t inFrames, inCount, outFrames, outCount;
};

void PrintHeader() {
  std::printf("%-12s %5s %4s %5s %9s %5s | %6s %6s %7s %8s | %8s %8s | %5s %5s %5s | %6s %5s | %4s %4s\n", "rates",
              "ppm", "jit", "kind", "geometry", "law", "settle", "set10", "rms60", "errWorst", "glitch/m",
              "g/m>60s", "fMin", "fMean", "fMax", "delay", "fifo", "lim", "loss");
}

void PrintRow(const driftsim::Case& c, const char* kind, const driftsim::Result& r) {
  char rates[32], geometry[32], settle[16], settle10[16];
  std::snprintf(rates, sizeof(rates), "%.0f>%.0f", c.in.nominalRate, c.out.nominalRate);
  if (c.in.blockFrames == c.out.blockFrames)
    std::snprintf(geometry, sizeof(geometry), "%dx%d", c.in.blockFrames, c.in.bufferCount);
  else
    std::snprintf(geometry, sizeof(geometry), "%d/%dx%d", c.in.blockFrames, c.out.blockFrames, c.in.bufferCount);
  if (r.settleSec >= 0)
    std::snprintf(settle, sizeof(settle), "%.0f", r.settleSec);
  else
    std::snprintf(settle, sizeof(settle), "never");
  if (r.settle10Sec >= 0)
    std::snprintf(settle10, sizeof(settle10), "%.0f", r.settle10Sec);
  else
    std::snprintf(settle10, sizeof(settle10), "never");
  std::printf("%-12s %+5.0f %4.1f %5s %9s %5s | %6s %6s %7.2f %8.1f | %8.2f %8.2f | %4.0f%% %4.0f%% %4.0f%% | %6.0f %5d | %4d %4d\n",
              rates, c.in.ppm, c.in.jitterMs, kind, geometry, c.ratioControl == kRatioControlLevel ? "level" : "delay",
              settle, settle10, r.steadyRmsPpm, r.ratioErrWorstPpm, r.glitchesPerMinuteAfterGrace,
              r.glitchesPerMinuteAfterFirst, r.fifoMin * 100, r.fifoMean * 100, r.fifoMax * 100, r.srcDelayMean,
              r.fifoCapacityEnd, r.factorLimits, r.trackLosses);
  std::fflush(stdout);
}

void RunBoth(driftsim::Case c, const char* kind, const std::string& law) {
  if (law != "level") {
    c.ratioControl = kRatioControlDelay;
    PrintRow(c, kind, driftsim::Run(c));
  }
  if (law != "delay") {
    c.ratioControl = kRatioControlLevel;
    PrintRow(c, kind, driftsim::Run(c));
  }
}

void PrintSeconds(const driftsim::Case& one, double minutes) {
  // One line per simulated second of the delay law: for tuning and for plots.
  std::vector<std::vector<double>> rows(static_cast<size_t>(minutes * 60) + 2);
  const driftsim::Result r = driftsim::Run(one, [&](double t, AsyncResampler& a) {
    if (static_cast<size_t>(t) >= rows.size()) return;
    auto& row = rows[static_cast<size_t>(t)];
    row = {a.LoopBandwidthHz(), a.ControlDelaySamples(), a.SetPointSamples(), a.MeasuredRatio(),
           static_cast<double>(a.FifoCapacitySamples()), static_cast<double>(a.FifoShifts())};
  });
  const double nominal = one.out.nominalRate / one.in.nominalRate;
  for (size_t i = 0; i < r.seconds.size() && i < rows.size(); ++i) {
    const driftsim::Second& s = r.seconds[i];
    if (s.samples == 0 || rows[i].empty()) continue;
    std::printf("%4zu err %+9.2f max %8.2f  bw %.4f  delay %8.1f set %8.1f  measured %+8.2f ppm  fifo %5.0f  xr %d/%d  shifts %.0f\n",
                i, s.ratioErrSumPpm / s.samples, s.ratioErrMaxPpm, rows[i][0], rows[i][1], rows[i][2],
                (rows[i][3] / nominal - 1) * 1e6, rows[i][4], s.underruns, s.overruns, rows[i][5]);
  }
  std::printf("per-second mean error from 10 s: %.2f ppm rms\n", r.secondMeanRms10Ppm);
}

// Replays the callback timing of recorded runs (VELORAND_TIMING_TRACE) through both laws.
int Replay(const char* path, const std::string& law, bool trace) {
  std::vector<driftsim::ReplayRun> runs;
  if (!driftsim::ReadTrace(path, &runs)) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  std::printf("replay of %s: %zu runs; per run and law: flutter = rms of the ratio about its mean within each second, pitch3 / pitch10 = rms of the 1 s mean ratio error from 3 s / 10 s on (ppm)\n",
              path, runs.size());
  for (size_t k = 0; k < runs.size(); ++k) {
    const driftsim::ReplayRun& run = runs[k];
    if (run.blocks.empty()) continue;
    driftsim::Case c = driftsim::ReplayCase(run);
    std::printf("run %zu: %.0f -> %.0f, %d/%d frames, fifo %d, %.1f s\n", k, run.inRate, run.outRate,
                c.in.blockFrames, c.out.blockFrames, run.fifo, run.blocks.back().tSec);
    for (int32_t l : {kRatioControlDelay, kRatioControlLevel}) {
      if ((law == "delay" && l != kRatioControlDelay) || (law == "level" && l != kRatioControlLevel)) continue;
      c.ratioControl = l;
      if (trace) {
        PrintSeconds(c, c.minutes);
        continue;
      }
      const driftsim::Result r = driftsim::Run(c);
      std::printf("  %-5s flutter %7.2f  pitch3 %8.2f pitch10 %8.2f ppm  worst %8.1f ppm  glitches after grace %lld+%lld  fifo end %d  recentres %d shifts %d\n",
                  l == kRatioControlLevel ? "level" : "delay", driftsim::FlutterPpm(r, 3),
                  r.secondMeanRms3Ppm, r.secondMeanRms10Ppm, r.ratioErrWorstPpm,
                  static_cast<long long>(r.underrunsAfterGrace), static_cast<long long>(r.overrunsAfterGrace),
                  r.fifoCapacityEnd, r.recentres, r.shifts);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 5.0;
  bool quick = false;
  bool single = false;
  int onlyFrames = 0;
  std::string law = "both";
  bool trace = false;
  double onlyIn = 0, onlyOut = 0;
  driftsim::Case one;
  const char* replayPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--minutes") && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--geometry") && i + 1 < argc) {
      onlyFrames = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--law") && i + 1 < argc) {
      law = argv[++i];
    } else if (!std::strcmp(argv[i], "--rates") && i + 2 < argc) {
      onlyIn = std::atof(argv[++i]);
      onlyOut = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) {
      one.seed = static_cast<uint64_t>(std::atoll(argv[++i]));
    } else if (!std::strcmp(argv[i], "--tick") && i + 1 < argc) {
      one.in.tickMs = one.out.tickMs = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--out-pause") && i + 2 < argc) {
      const double at = std::atof(argv[++i]), length = std::atof(argv[++i]);
      one.out.stalls.push_back({at, length, true});
    } else if (!std::strcmp(argv[i], "--in-stall") && i + 2 < argc) {
      const double at = std::atof(argv[++i]), length = std::atof(argv[++i]);
      one.in.stalls.push_back({at, length, false});
    } else if (!std::strcmp(argv[i], "--prefill") && i + 1 < argc) {
      one.out.prefillBlocks = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--replay") && i + 1 < argc) {
      replayPath = argv[++i];
    } else if (!std::strcmp(argv[i], "--trace")) {
      trace = true;
    } else if (!std::strcmp(argv[i], "--no-spread")) {
      one.spreadMeters = false;
    } else if (!std::strcmp(argv[i], "--quick")) {
      quick = true;
    } else if (!std::strcmp(argv[i], "--case") && i + 6 < argc) {
      single = true;
      one.in.nominalRate = std::atof(argv[++i]);
      one.out.nominalRate = std::atof(argv[++i]);
      one.in.ppm = std::atof(argv[++i]);
      one.in.jitterMs = one.out.jitterMs = std::atof(argv[++i]);
      one.in.blockFrames = one.out.blockFrames = std::atoi(argv[++i]);
      one.in.bufferCount = one.out.bufferCount = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--minutes M] [--quick] [--geometry 8|2|256|128|480] [--rates in out]\n"
                   "          [--law both|delay|level] [--no-spread] [--seed n] [--trace]\n"
                   "          [--case in out ppm jitterMs frames count] [--tick ms] [--prefill blocks]\n"
                   "          [--out-pause at seconds] [--in-stall at seconds] [--replay trace-file]\n", argv[0]);
      return 2;
    }
  }
  std::printf("Drift simulation, %.0f simulated minutes per case; input clock offset in ppm, output exact;\n"
              "jitter +-ms on both sides (bursty: one callback in ten up to 8 ms late on both sides).\n"
              "settle: seconds until the 1 s mean ratio error stays within 50 ppm; set10: within 10 ppm\n"
              "(never: not within the first four fifths). rms60: CurrentRatio against the true clock ratio,\n"
              "rms from the first minute on, ppm; errWorst: worst after settling. glitch/m: underruns and\n"
              "overruns per minute after the grace period; g/m>60s: after the first minute. f*: FIFO level\n"
              "as share of capacity after settling. delay: mean SrcDelay, samples; fifo: capacity at the end\n"
              "(the delay law grows it after 3 glitches in 10 s). lim: factors limited by the output-room\n"
              "test. loss: losing-track resets.\n\n",
              minutes);
  if (replayPath) return Replay(replayPath, law, trace);
  PrintHeader();
  if (single && trace) {
    one.minutes = minutes;
    one.ratioControl = law == "level" ? kRatioControlLevel : kRatioControlDelay;
    PrintSeconds(one, minutes);
    return 0;
  }
  if (single) {
    one.minutes = minutes;
    RunBoth(one, "plain", law);
    return 0;
  }
  const double rates[][2] = {{44100, 48000}, {48000, 44100}, {48000, 48000}, {96000, 44100}, {44100, 192000}};
  const double offsets[] = {0, 500, -500};
  const double jitters[] = {0, 2, 10};
  const Geometry geometries[] = {{512, 8, 512, 8}, {512, 8, 480, 8}, {512, 2, 512, 2}, {256, 4, 256, 4}, {128, 4, 128, 4}};
  for (const Geometry& g : geometries) {
    if (onlyFrames && !(g.inFrames == onlyFrames || (onlyFrames == 2 && g.inCount == 2) ||
                        (onlyFrames == 8 && g.inCount == 8) || (onlyFrames == 480 && g.outFrames == 480)))
      continue;
    for (const auto& r : rates) {
      if (g.outFrames != g.inFrames && r[0] != 44100) continue;  // unequal blocks: one pair of rates
      if (onlyIn != 0 && (r[0] != onlyIn || r[1] != onlyOut)) continue;
      for (double ppm : offsets) {
        if (quick && ppm == 0) continue;
        for (double jitter : jitters) {
          driftsim::Case c;
          c.minutes = minutes;
          c.in.nominalRate = r[0];
          c.out.nominalRate = r[1];
          c.in.ppm = ppm;
          c.in.jitterMs = c.out.jitterMs = jitter;
          c.in.blockFrames = g.inFrames;
          c.out.blockFrames = g.outFrames;
          c.in.bufferCount = g.inCount;
          c.out.bufferCount = g.outCount;
          RunBoth(c, "plain", law);
        }
        // Bursty: callbacks mostly on time, one in ten up to 8 ms late.
        driftsim::Case c;
        c.minutes = minutes;
        c.in.nominalRate = r[0];
        c.out.nominalRate = r[1];
        c.in.ppm = ppm;
        c.in.jitterMs = c.out.jitterMs = 0.2;
        c.in.lateShare = c.out.lateShare = 0.1;
        c.in.lateMaxMs = c.out.lateMaxMs = 8.0;
        c.in.blockFrames = g.inFrames;
        c.out.blockFrames = g.outFrames;
        c.in.bufferCount = g.inCount;
        c.out.bufferCount = g.outCount;
        RunBoth(c, "burst", law);
      }
    }
  }
  return 0;
}
