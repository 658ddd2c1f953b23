// driftsim: runs the drift simulation over a grid of rates, clock offsets, jitter and
// block geometries and prints one table row per case.
//   driftsim [--minutes M] [--quick] [--geometry 8|2|256|128] [--no-spread] [--case ...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "DriftSim.h"

namespace {

struct Geometry {
  int32_t frames, count;
};

void PrintHeader() {
  std::printf("%-14s %6s %5s %8s | %6s %8s %7s %8s | %5s %5s %5s | %6s | %6s %6s %8s | %8s %3s %4s\n", "rates",
              "ppm", "jit", "geometry", "settle", "errMean", "errRms", "errWorst", "fMin", "fMean", "fMax", "delay",
              "underG", "overG", "glitch/m", "settledG", "lim", "loss");
}

void PrintRow(const driftsim::Case& c, const driftsim::Result& r) {
  char rates[32], geometry[32];
  std::snprintf(rates, sizeof(rates), "%.0f>%.0f", c.in.nominalRate, c.out.nominalRate);
  std::snprintf(geometry, sizeof(geometry), "%dx%d", c.in.blockFrames, c.in.bufferCount);
  char settle[16], settled[16];
  if (r.settleSec >= 0) {
    std::snprintf(settle, sizeof(settle), "%.0f", r.settleSec);
    std::snprintf(settled, sizeof(settled), "%.2f", r.glitchesPerMinute);
  } else {
    std::snprintf(settle, sizeof(settle), "never");
    std::snprintf(settled, sizeof(settled), "-");
  }
  std::printf("%-14s %+6.0f %5.1f %8s | %6s %+8.1f %7.1f %8.1f | %4.0f%% %4.0f%% %4.0f%% | %6.0f | %6lld %6lld %8.1f | %8s %3d %4d\n",
              rates, c.in.ppm, c.in.jitterMs, geometry, settle, r.ratioErrMeanPpm, r.ratioErrRmsPpm,
              r.ratioErrWorstPpm, r.fifoMin * 100, r.fifoMean * 100, r.fifoMax * 100, r.srcDelayMean,
              static_cast<long long>(r.underrunsAfterGrace), static_cast<long long>(r.overrunsAfterGrace),
              r.glitchesPerMinuteAfterGrace, settled, r.factorLimits, r.trackLosses);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10.0;
  bool quick = false;
  bool single = false;
  int onlyFrames = 0;
  driftsim::Case one;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--minutes") && i + 1 < argc) {
      minutes = std::atof(argv[++i]);
    } else if (!std::strcmp(argv[i], "--geometry") && i + 1 < argc) {
      onlyFrames = std::atoi(argv[++i]);
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
      std::fprintf(stderr, "usage: %s [--minutes M] [--quick] [--geometry 8|2|256|128] [--no-spread]\n"
                   "          [--case in out ppm jitterMs frames count]\n", argv[0]);
      return 2;
    }
  }
  std::printf("Drift simulation, %.0f simulated minutes per case; input clock offset in ppm, output exact;\n"
              "jitter +-ms on both sides. settle: seconds until the 1 s mean ratio error stays within 50 ppm\n"
              "(never: not settled within the first four fifths; later figures then cover the second half).\n"
              "err*: CurrentRatio against the true clock ratio after settling, ppm. f*: FIFO level as share\n"
              "of capacity after settling. delay: mean SrcDelay, samples. underG/overG and glitch/m: after the\n"
              "grace period; settledG: glitches per minute after settling. lim: factors limited by the\n"
              "output-room test. loss: losing-track resets.\n\n",
              minutes);
  PrintHeader();
  if (single) {
    one.minutes = minutes;
    PrintRow(one, driftsim::Run(one));
    return 0;
  }
  const double rates[][2] = {{44100, 48000}, {48000, 44100}, {48000, 48000}, {96000, 44100}, {44100, 192000}};
  const double offsets[] = {0, 100, -100, 500, -500};
  const double jitters[] = {0, 2, 10};
  const Geometry geometries[] = {{512, 8}, {512, 2}, {256, 4}, {128, 4}};
  for (const Geometry& g : geometries) {
    if (onlyFrames && !(g.frames == onlyFrames || (onlyFrames == 2 && g.count == 2) || (onlyFrames == 8 && g.count == 8)))
      continue;
    for (const auto& r : rates) {
      for (double ppm : offsets) {
        if (quick && ppm != 500 && ppm != -500) continue;
        for (double jitter : jitters) {
          driftsim::Case c;
          c.minutes = minutes;
          c.in.nominalRate = r[0];
          c.out.nominalRate = r[1];
          c.in.ppm = ppm;
          c.in.jitterMs = c.out.jitterMs = jitter;
          c.in.blockFrames = c.out.blockFrames = g.frames;
          c.in.bufferCount = c.out.bufferCount = g.count;
          PrintRow(c, driftsim::Run(c));
        }
      }
    }
  }
  return 0;
}
