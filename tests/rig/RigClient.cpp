// Rig client: background sh jobs with pid/status files, polled from the test.
#include "rig/RigClient.h"

#include <cmath>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace rig {
namespace {
std::atomic<int> g_counter{0};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

int ProcessId() {
#ifdef _WIN32
  return static_cast<int>(GetCurrentProcessId());
#else
  return static_cast<int>(getpid());
#endif
}

bool ReadFile(const std::string& linuxPath, std::string* text) {
  std::ifstream in(HostPath(linuxPath), std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

// Starts `/bin/sh script` detached. Under Wine the returned handle is no real process, so
// nothing waits on it; the script reports through its files.
bool LaunchScript(const std::string& scriptLinuxPath) {
#ifdef _WIN32
  std::string cmd = "/bin/sh " + scriptLinuxPath;
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  if (pi.hThread != nullptr) CloseHandle(pi.hThread);
  if (pi.hProcess != nullptr) CloseHandle(pi.hProcess);
  return true;
#else
  std::string cmd = "/bin/sh " + Quote(scriptLinuxPath) + " >/dev/null 2>&1 &";
  return std::system(cmd.c_str()) == 0;
#endif
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

std::string Dir() { return Env("VELORAND_RIG_DIR"); }

std::string Unavailable() {
  std::string dir = Dir();
  if (dir.empty()) return "no PulseAudio rig: VELORAND_RIG_DIR is not set (run through CTest or pulse-rig.sh)";
  std::string reason;
  if (ReadFile(dir + "/unavailable", &reason)) {
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return "PulseAudio rig unavailable: " + reason;
  }
  if (Env("XDG_RUNTIME_DIR").empty()) return "no PulseAudio rig: XDG_RUNTIME_DIR is not set";
  return "";
}

std::string TempPath(const std::string& stem) {
  // Windows process ids under Wine repeat from run to run, so a time stamp keeps the
  // names of one run from meeting files another run left behind.
  static const long long stamp = static_cast<long long>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count() %
      100000000000LL);
  const std::string tmpDir = Dir() + "/tmp";
#ifdef _WIN32
  CreateDirectoryA(HostPath(tmpDir).c_str(), nullptr);
#else
  std::system(("mkdir -p " + Quote(tmpDir)).c_str());
#endif
  return Dir() + "/tmp/" + stem + "-" + std::to_string(ProcessId()) + "-" + std::to_string(stamp) + "-" +
         std::to_string(g_counter.fetch_add(1));
}

std::string HostPath(const std::string& linuxPath) {
#ifdef _WIN32
  // Wine maps drive Z: to the Linux root.
  if (!linuxPath.empty() && linuxPath[0] == '/') return "Z:" + linuxPath;
#endif
  return linuxPath;
}

std::string Quote(const std::string& word) {
  std::string q = "'";
  for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Job::~Job() {
  if (Started() && !Finished()) Stop(3000);
}

Job::Job(Job&& other) noexcept : base_(std::move(other.base_)) { other.base_.clear(); }

Job& Job::operator=(Job&& other) noexcept {
  if (this != &other) {
    if (Started() && !Finished()) Stop(3000);
    base_ = std::move(other.base_);
    other.base_.clear();
  }
  return *this;
}

Job Job::Start(const std::string& command) {
  Job job;
  if (Dir().empty()) return job;
  std::string base = TempPath("job");
  for (const char* ext : {".rc", ".pid", ".out"}) std::remove(HostPath(base + ext).c_str());
  std::ofstream script(HostPath(base + ".sh"), std::ios::binary);
  if (!script) return job;
  // The command runs in the background of this script so its pid can be recorded for
  // Stop; the exit status appears atomically (written, then renamed).
  script << "cd " << Quote(Dir()) << " || exit 1\n"
         << "( " << command << " ) >" << Quote(base + ".out") << " 2>&1 &\n"
         << "echo $! >" << Quote(base + ".pid.tmp") << "; mv " << Quote(base + ".pid.tmp") << " " << Quote(base + ".pid") << "\n"
         << "wait $!\n"
         << "echo $? >" << Quote(base + ".rc.tmp") << "; mv " << Quote(base + ".rc.tmp") << " " << Quote(base + ".rc") << "\n";
  script.close();
  if (!script || !LaunchScript(base + ".sh")) return job;
  job.base_ = base;
  return job;
}

bool Job::Finished(int* status) const {
  if (!Started()) return true;
  std::string text;
  if (!ReadFile(base_ + ".rc", &text) || text.empty()) return false;
  if (status != nullptr) *status = std::atoi(text.c_str());
  return true;
}

bool Job::Wait(int timeoutMs, int* status) const {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Finished(status)) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(20);
  }
  return true;
}

bool Job::Stop(int timeoutMs) {
  if (!Started() || Finished()) return true;
  std::string pid;
  for (int i = 0; i < 100 && !ReadFile(base_ + ".pid", &pid); ++i) Sleep(20);
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == '\r')) pid.pop_back();
  if (pid.empty()) return false;
  // The job's pid is the subshell running the command; signal its whole process list.
  auto signal = [&](const char* sig) {
    std::string cmd = "pkill -" + std::string(sig) + " -P " + pid + "; kill -" + sig + " " + pid;
    Job killer = Start(cmd);
    killer.Wait(5000);
  };
  signal("INT");
  if (Wait(timeoutMs)) return true;
  signal("KILL");
  return Wait(3000);
}

std::string Job::Output() const {
  std::string text;
  if (Started()) ReadFile(base_ + ".out", &text);
  return text;
}

std::string RaiseAudioPriority(int nice, int rtPriority) {
  // Find this process's Unix pid. Under Wine the Windows process id is not the Unix one
  // and /proc/self, read through Wine, can name the wineserver; so look for the process
  // whose command name is this executable's (the kernel keeps 15 characters) and that
  // carries this rig's directory in its environment.
  std::string find;
#ifdef _WIN32
  char module[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  std::string comm = module;
  size_t slash = comm.find_last_of("\\/");
  if (slash != std::string::npos) comm = comm.substr(slash + 1);
  comm = comm.substr(0, 15);
  find = "p=; for q in /proc/[0-9]*; do [ \"$(cat $q/comm 2>/dev/null)\" = " + Quote(comm) +
         " ] || continue; env $q | grep -qxF " + Quote("VELORAND_RIG_DIR=" + Dir()) +
         " || continue; p=${q#/proc/}; break; done\n";
#else
  find = "p=" + std::to_string(static_cast<long>(getpid())) + "\n";
#endif
  const std::string script =
      "n=" + std::to_string(nice) + "; rt=" + std::to_string(rtPriority) + "\n"
      "env() { tr '\\0' '\\n' < \"$1/environ\" 2>/dev/null; }\n" + find +
      "[ -n \"$p\" ] && [ \"$p\" -gt 1 ] || { echo 'test process not found'; exit 3; }\n"
      "env /proc/$p | grep -q '^VELORAND_RIG_DIR=' || { echo 'not the test process'; exit 3; }\n"
      "raise() { renice -n $n -p $1 >/dev/null 2>&1 || return 1; [ $rt -le 0 ] || chrt -r -p $rt $1 >/dev/null 2>&1; }\n"
      "prefix=$(env /proc/$p | sed -n 's/^WINEPREFIX=//p')\n"
      "c=0; for t in /proc/$p/task/*; do raise ${t##*/} && c=$((c+1)); done\n"
      "s=0; if [ -n \"$prefix\" ]; then for q in /proc/[0-9]*; do\n"
      "  case \"$(cat $q/comm 2>/dev/null)\" in wineserver*) ;; *) continue ;; esac\n"
      "  env $q | grep -qxF \"WINEPREFIX=$prefix\" || continue\n"
      "  for t in $q/task/*; do raise ${t##*/} && s=$((s+1)); done\n"
      "done; fi\n"
      "[ $c -gt 0 ] || { echo 'renice refused'; exit 1; }\n"
      "pol=$(chrt -p $p 2>/dev/null | sed -n 's/.*policy: *//p' | head -1)\n"
      "echo \"nice $n, policy ${pol:-unknown}: $c threads of process $p ($(cat /proc/$p/comm)), $s wineserver threads\"\n";
  std::string out;
  int rc = Shell(script, 10000, &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return rc == 0 ? out : "priority unchanged: " + out;
}

int Shell(const std::string& command, int timeoutMs, std::string* output) {
  Job job = Job::Start(command);
  if (!job.Started()) return -1;
  int status = -1;
  bool done = job.Wait(timeoutMs, &status);
  if (!done) {
    job.Stop(1000);
    status = -1;
  }
  if (output != nullptr) *output = job.Output();
  return done ? status : -1;
}

bool OutputHeld(double outRate, double nominalRate, int64_t longestCallUs, int32_t blockFrames) {
  return outRate > 0.25 * nominalRate && std::fabs(outRate / nominalRate - 1.0) > 0.01 &&
         longestCallUs * 1e-6 < 0.5 * blockFrames / nominalRate;
}

}  // namespace rig
