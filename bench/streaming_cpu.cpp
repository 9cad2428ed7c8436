// The sidecar's own CPU time per periodic sample while it streams, against the bare /proc pass.
// Gives the machine 2000+ processes, starts the real sidecar, streams the whole machine (root pid
// 1) at 1 s for 30 s and reads the sidecar's CPU time from /proc/PID/stat before and after. The
// bare pass is timed in CPU time too, between samples, so the ratio compares like with like.
// Usage: streaming_cpu [path-to-procsampler] [seconds]
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proc_load.h"

namespace {

double threadCpuMs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// utime + stime of a process, in milliseconds.
double processCpuMs(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
    if (index == 15) break;
  }
  return ticks * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Sidecar {
  pid_t pid = -1;
  int input = -1;   // the sidecar's standard input
  int output = -1;  // the sidecar's standard output
};

Sidecar start(const char* binary) {
  int toChild[2];
  int fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::exit(2);
  Sidecar sidecar;
  sidecar.pid = ::fork();
  if (sidecar.pid == 0) {
    ::dup2(toChild[0], 0);
    ::dup2(fromChild[1], 1);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    ::execl(binary, binary, static_cast<char*>(nullptr));
    std::perror("exec");
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  sidecar.input = toChild[1];
  sidecar.output = fromChild[0];
  return sidecar;
}

void send(const Sidecar& sidecar, const std::string& line) {
  const std::string framed = line + "\n";
  if (::write(sidecar.input, framed.data(), framed.size()) < 0) std::perror("write");
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const char* binary = argc > 1 ? argv[1] : PROCSAMPLER_BINARY;
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
  ::signal(SIGPIPE, SIG_IGN);

  procsampler::bench::SleepingChildren children(2000);
  Sidecar sidecar = start(binary);

  // Counts snapshot lines as they stream; the host side must keep reading or the sidecar blocks.
  std::atomic<int> snapshots{0};
  std::atomic<std::size_t> lastRecords{0};
  std::thread reader([&] {
    std::string pending;
    char buffer[1 << 16];
    ssize_t got;
    while ((got = ::read(sidecar.output, buffer, sizeof buffer)) > 0) {
      pending.append(buffer, static_cast<std::size_t>(got));
      std::size_t newline;
      while ((newline = pending.find('\n')) != std::string::npos) {
        if (pending.compare(0, 30, "{\"version\":2,\"type\":\"snapshot\"") == 0) {
          std::size_t records = 0;
          for (std::size_t at = 0; (at = pending.find("\"pid\":", at)) < newline; ++at) ++records;
          lastRecords = records;
          ++snapshots;
        }
        pending.erase(0, newline + 1);
      }
    }
  });

  send(sidecar, R"({"type":"setStreaming","version":2,"enabled":true})");
  send(sidecar, R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":1000})");
  while (snapshots < 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const int firstCount = snapshots;
  const double firstCpu = processCpuMs(sidecar.pid);
  std::vector<double> bare;
  std::size_t pids = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const double before = threadCpuMs();
    pids = procsampler::bench::barePass();
    bare.push_back(threadCpuMs() - before);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  const double cpu = processCpuMs(sidecar.pid) - firstCpu;
  const int samples = snapshots - firstCount;

  send(sidecar, R"({"type":"shutdown","version":2})");
  ::close(sidecar.input);
  int status = 0;
  ::waitpid(sidecar.pid, &status, 0);
  reader.join();

  const double perSample = samples > 0 ? cpu / samples : 0.0;
  const double barePassMs = median(bare);
  std::printf("processes on the machine: %zu, records per snapshot: %zu\n", pids,
              lastRecords.load());
  std::printf("%d periodic samples in %d s; sidecar CPU %.0f ms, %.1f ms per sample\n", samples,
              seconds, cpu, perSample);
  std::printf("(a) bare pass: median %.1f ms of CPU over %zu passes\n", barePassMs, bare.size());
  std::printf("CPU per sample / (a) = %.2f  (target: at most 1.3)\n", perSample / barePassMs);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
