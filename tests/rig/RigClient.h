// What a test program needs of the private PulseAudio rig (pulse-rig.sh) from inside the
// process, in the Windows tree under Wine as in the native tree: whether the rig is up,
// running Linux tools (pactl, pacat, parec) and reading what they wrote.
//
// Usage in a test marked with velorand_rig_test() in CMake:
//   std::string why = rig::Unavailable(); if (!why.empty()) GTEST_SKIP() << why;
//   rig::Shell("pactl list short sinks", 10000, &out);                  // wait for result
//   rig::Job rec = rig::Job::Start("parec -d cableB.monitor --raw ... > " + rig::Quote(f));
//   (pacat/parec need stdin/stdout: given a file name they play or record silence;
//   pacat needs --latency-msec=50 or so, else a play shorter than 2 s is dropped.)
//   ... rec.Stop(5000);                                                  // SIGINT, wait
//   sigan::ReadRaw16(rig::HostPath(f), &samples);                        // open from here
//
// Under Wine a Linux program can be started but not waited for (its handle is no process
// handle), so every command runs inside a small sh script that records its pid and exit
// status in files of the rig directory; the test polls those files. Paths handed to the
// tools are Linux paths; HostPath turns one into a path this process can open (Z: under
// Wine). Window/test thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace rig {

// Empty when the rig is usable; otherwise why not (no rig directory in the environment,
// or the rig could not start PulseAudio and said why).
std::string Unavailable();
// The rig directory (Linux path), from VELORAND_RIG_DIR.
std::string Dir();
// A fresh Linux path inside the rig directory for a temporary file (its folder exists).
std::string TempPath(const std::string& stem);
// A Linux path as this process opens it.
std::string HostPath(const std::string& linuxPath);
// Single-quotes a word for sh.
std::string Quote(const std::string& word);

// Runs `command` with /bin/sh in the rig's environment and waits up to timeoutMs. Returns
// its exit status, or -1 when it could not start or did not finish in time (it is then
// sent SIGKILL). stdout and stderr go to *output when given.
int Shell(const std::string& command, int timeoutMs, std::string* output = nullptr);

// Gives this process's threads (and those it creates later, which inherit it) the Unix
// niceness `nice`, and the same to the wineserver of this process's Wine prefix: on a
// loaded machine Wine's own audio threads (winmm's device thread, the PulseAudio back
// end's timer) and the server every Wine event goes through are ordinary nice-0 threads
// and get starved, which a real Windows system prevents by giving audio threads priority.
// Only this process (found by its command name and the rig directory in its environment)
// and its prefix's wineserver are touched.
// With rtPriority > 0 they also get round-robin real-time scheduling at that priority
// (the kernel's real-time throttling still leaves the rest of the machine 5 %).
// Returns a one-line description of what was done (or why not).
std::string RaiseAudioPriority(int nice, int rtPriority = 0);

// The longest an audio callback of the test's bridge took (any thread): Note(begin) at
// the callback's end.
struct LongestCall {
  std::atomic<int64_t> us{0};
  void Note(std::chrono::steady_clock::time_point begin) {
    const int64_t took =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count();
    if (took > us.load(std::memory_order_relaxed)) us.store(took, std::memory_order_relaxed);
  }
};

// Wine's output on a starved machine falls several percent (or tens of percent) behind its
// rate, and the sink then under-runs whatever the bridge does. A run is held back, not the
// bridge's fault, when the output ran (above a quarter of its rate: one that hardly ran is
// no slow machine) but more than 1 % off it, while the bridge's output callback never took
// even half a block (so it was not what held Wine back).
bool OutputHeld(double outRate, double nominalRate, int64_t longestCallUs, int32_t blockFrames);

// A tool running in the background (a recorder, a player).
class Job {
 public:
  Job() = default;
  ~Job();  // stops a job still running (SIGINT, then SIGKILL)
  Job(Job&& other) noexcept;
  Job& operator=(Job&& other) noexcept;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  static Job Start(const std::string& command);
  bool Started() const { return !base_.empty(); }
  // True once the command has ended; *status gets its exit status.
  bool Finished(int* status = nullptr) const;
  // Waits up to timeoutMs for the end; false on time-out.
  bool Wait(int timeoutMs, int* status = nullptr) const;
  // SIGINT (recorders then close their files), waits up to timeoutMs, SIGKILL if needed.
  // True when the job has ended.
  bool Stop(int timeoutMs);
  std::string Output() const;

 private:
  std::string base_;  // Linux path prefix of the job's files
};

}  // namespace rig
