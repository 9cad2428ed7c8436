// What snapshots cost now that the table walks the trees, against the bare /proc passes, all
// measured side by side in one run because this machine is shared and noisy. It runs in a pid
// namespace of its own, with a /proc of its own (it needs root), so the machine is exactly the
// processes it starts: a tree of 10 sleepers, and sleepers besides.
//  1. With M processes on the machine, M from 200 to 5000, each round times in CPU time, in
//     rotating order: (a) the bare full pass: open and read stat, statm, cmdline and io, and read
//     the exe link, of every pid; (l) a bare getdents64 listing of /proc opened for it, and (L)
//     of /proc kept open (the kernel makes the first dearer); (k) a bare pass over kept-open stat
//     descriptors (one pread each); snapshots of the 10-process tree by the table as shipped (s:
//     the listing diff) and by the scan (f: no pidfds nor kept descriptors, which reads every
//     stat). Rounds are 200 ms apart, as snapshots are.
//     Prints the medians and ratios: at 2000, (s)/(a) at most 0.06; from 200 to 5000, (s) grows
//     no faster than (l) and (L).
//  2. At 2000: the real sidecar streaming the whole machine (root pid 1) every 500 ms; its CPU
//     per sample (its threads' schedstat) against (a), at most 0.35, and against (k); and the
//     kernel's memory (Slab of /proc/meminfo) before and while it streams, and the unreclaimable
//     part (SUnreclaim) it gives back when it ends, per streamed process: what its kept
//     descriptors held.
//  3. At 2000: the sidecar configured with sampleIntervalMs 0, streaming off, idle for some
//     minutes while processes it watches exit; its threads' context switches per minute, at most
//     1.
//  0. First, snapshots of a tree of 61 processes that wake every 50 ms, in CPU time: with short
//     arguments, and with a 5 MiB argument area blanked to NULs but for its first argument, as a
//     program that sets its title leaves it; the second at most 10 times the first.
// Usage: walk_costs [streaming seconds, 30] [idle minutes, 3]
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "proc_load.h"
#include "sampling/linux/proc_fs_table.h"
#include "sampling/sampler.h"
#include "support/child_process.h"

namespace {

using namespace procsampler;
using namespace std::chrono_literals;

constexpr std::size_t kMachines[] = {200, 500, 1000, 2000, 5000};
constexpr std::size_t kMain = 2000;
constexpr int kRounds = 24;  // each of the 6 measures in each place twice, once each way

double threadCpuUs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// Sums a per-thread figure of a process over its threads.
double overThreads(pid_t pid, const std::function<double(const std::string& taskDir)>& figure) {
  double sum = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) sum += figure(task.path());
  return sum;
}
double cpuUs(pid_t pid) {  // schedstat: nanoseconds on the CPU, first field
  return overThreads(pid, [](const std::string& dir) {
    double ns = 0;
    std::ifstream(dir + "/schedstat") >> ns;
    return ns / 1e3;
  });
}
double contextSwitches(pid_t pid) {
  return overThreads(pid, [](const std::string& dir) {
    double switches = 0;
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        switches += std::stod(line.substr(line.find(':') + 1));
      }
    }
    return switches;
  });
}

// A line of /proc/meminfo ("Slab:", "SUnreclaim:"), in MiB.
double meminfoMiB(const std::string& wanted) {
  std::ifstream meminfo("/proc/meminfo");
  for (std::string key; meminfo >> key;) {
    double kib = 0;
    meminfo >> kib;
    if (key == wanted) return kib / 1024;
    meminfo.ignore(64, '\n');
  }
  return 0;
}

// The holder of an argument area: with "nul", blanks every argument after the third to NULs, as
// setproctitle does; then forks 60 children into its process group, and it and they wake every
// 50 ms until it is killed.
[[noreturn]] void holdArguments(char** argv) {
  ::setpgid(0, 0);
  if (std::strcmp(argv[2], "nul") == 0) {
    for (char** argument = argv + 3; *argument != nullptr; ++argument) {
      std::memset(*argument, 0, std::strlen(*argument));
    }
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (int i = 0; i < 60; ++i) {
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      break;
    }
  }
  for (;;) ::usleep(50'000);
}

pid_t startHolder(bool nul) {
  constexpr std::size_t ARGUMENT_BYTES = 128 * 1024 - 1;  // the kernel's limit for one argument
  static std::string big(ARGUMENT_BYTES, 'a');
  std::vector<std::string> arguments{"/proc/self/exe", "--hold", nul ? "nul" : "short"};
  if (nul) arguments.insert(arguments.end(), 40, big);  // 5 MiB
  const pid_t pid = ::fork();
  if (pid == 0) {
    const rlimit stack{64 << 20, RLIM_INFINITY};  // arguments may take a quarter of it
    ::setrlimit(RLIMIT_STACK, &stack);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    ::_exit(127);
  }
  std::this_thread::sleep_for(1s);  // its children forked
  return pid;
}

// The median CPU time of a snapshot of the holder's tree, by a table configured on the machine.
double snapshotWork(pid_t holder, std::size_t& records) {
  SystemClock clock;
  sampling::Sampler sampler(sampling::newPlatformTable(clock), clock);
  sampling::refreshTable(sampler);
  std::vector<double> times;
  for (int i = 0; i < 15; ++i) {
    const double start = threadCpuUs();
    records = collectSnapshot(sampler, static_cast<sampling::Pid>(holder), {}, {}).processes.size();
    times.push_back(threadCpuUs() - start);
  }
  return median(times);
}

void argumentAreas() {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  double work[2] = {};
  std::size_t records[2] = {};
  for (const bool nul : {false, true}) {
    const pid_t holder = startHolder(nul);
    work[nul] = snapshotWork(holder, records[nul]);
    // Its children come to this process (a subreaper, or the namespace's init), which reaps them
    // all: zombies left behind would be read at every later snapshot.
    ::kill(-holder, SIGKILL);
    while (::waitpid(-holder, nullptr, 0) > 0) continue;
  }
  std::printf(
      "a tree of %zu and %zu processes waking every 50 ms: a snapshot %.0f us with short "
      "arguments, %.0f us with 5 MiB blanked to NULs: x%.2f (target: at most 10)\n\n",
      records[0], records[1], work[0], work[1], work[1] / work[0]);
}

struct Row {
  std::size_t machine = 0;
  double bare = 0, listing = 0, keptListing = 0, kept = 0, walk = 0, scan = 0;
};

sampling::Sampler configured(std::unique_ptr<sampling::ProcessTable> table, Clock& clock) {
  sampling::Sampler sampler(std::move(table), clock);
  sampling::refreshTable(sampler);
  return sampler;
}

Row measure(pid_t treeRoot) {
  bench::KeptStatFiles kept;
  kept.open();
  SystemClock clock;
  sampling::procfs::ProcFsTableOptions scan = sampling::procfs::liveOptions();
  scan.descriptorBudget = 0;
  std::vector<sampling::Sampler> samplers;
  samplers.push_back(configured(sampling::newPlatformTable(clock), clock));
  samplers.push_back(configured(std::make_unique<sampling::procfs::ProcFsTable>(
                                    sampling::procfs::makeLiveProcFiles(), clock, scan),
                                clock));
  std::this_thread::sleep_for(200ms);
  const auto root = static_cast<sampling::Pid>(treeRoot);
  std::size_t records[2] = {};
  const int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const std::function<void()> ops[] = {
      [] { bench::barePass(); },
      [] { bench::bareListing(); },
      [&] { bench::bareListing(procFd); },
      [&] { kept.pass(); },
      [&] { records[0] = collectSnapshot(samplers[0], root, {}, {}).processes.size(); },
      [&] { records[1] = collectSnapshot(samplers[1], root, {}, {}).processes.size(); }};
  constexpr std::size_t n = std::size(ops);
  std::vector<double> times[n];
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t step = round % 2 == 0 ? i : n - 1 - i;
      const std::size_t which = (static_cast<std::size_t>(round / 2) + step) % n;
      const double start = threadCpuUs();
      ops[which]();
      times[which].push_back(threadCpuUs() - start);
    }
    std::this_thread::sleep_for(200ms);
  }
  ::close(procFd);
  if (records[0] != 10 || records[1] != 10) {
    std::printf("a snapshot of the tree held %zu, %zu records, not 10\n", records[0], records[1]);
  }
  return {bench::bareListing(), median(times[0]), median(times[1]), median(times[2]),
          median(times[3]),     median(times[4]), median(times[5])};
}

// Reads the sidecar's events on a thread of its own, as a host must, counting snapshots.
struct Host {
  explicit Host(const char* binary) : sidecar(binary) {
    reader = std::thread([this] {
      while (auto line = sidecar.readLine(60'000)) {
        if (line->starts_with(R"({"version":2,"type":"snapshot")")) ++snapshots;
      }
    });
  }
  ~Host() {
    sidecar.write(R"({"type":"shutdown","version":2})"
                  "\n");
    sidecar.waitForExit();
    reader.join();
  }
  testing::ChildProcess sidecar;
  std::atomic<int> snapshots{0};
  std::thread reader;
};

void streaming(const char* binary, int seconds, const Row& row) {
  const double slabBefore = meminfoMiB("Slab:");
  auto owned = std::make_unique<Host>(binary);
  Host& host = *owned;
  host.sidecar.write(R"({"type":"setStreaming","version":2,"enabled":true})"
                     "\n");
  host.sidecar.write(R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":500})"
                     "\n");
  while (host.snapshots < 2) std::this_thread::sleep_for(10ms);
  bench::KeptStatFiles kept;
  kept.open();
  const int firstSample = host.snapshots;
  const double firstCpu = cpuUs(host.sidecar.pid());
  std::vector<double> bare, keptPass;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
       std::chrono::steady_clock::now() < end;) {
    double start = threadCpuUs();
    bench::barePass();
    bare.push_back(threadCpuUs() - start);
    std::this_thread::sleep_for(250ms);
    start = threadCpuUs();
    kept.pass();
    keptPass.push_back(threadCpuUs() - start);
    std::this_thread::sleep_for(250ms);
  }
  const double perSample = (cpuUs(host.sidecar.pid()) - firstCpu) / (host.snapshots - firstSample);
  const double slabWhile = meminfoMiB("Slab:"), unreclaimableWhile = meminfoMiB("SUnreclaim:");
  const int samples = host.snapshots - firstSample;
  // What the sidecar's descriptors pinned is given back when it ends: its files' buffers and its
  // pidfds are not reclaimable, unlike the cached /proc entries any reader leaves behind.
  owned.reset();
  std::this_thread::sleep_for(2s);
  const double unreclaimableAfter = meminfoMiB("SUnreclaim:");
  std::printf(
      "\nstreaming the whole machine (%zu processes) every 500 ms for %d s: %d samples\n"
      "  sidecar CPU per sample %.0f us; (a) bare full pass %.0f us; (k) kept-open stat pass "
      "%.0f us\n"
      "  per sample / (a) = %.3f (target: at most 0.35); (k) / (a) = %.3f; per sample / (k) = "
      "%.2f\n"
      "  kernel memory (Slab): %.1f MiB before, %.1f MiB while streaming (%+.1f MiB, the machine's "
      "other work included); unreclaimable (SUnreclaim) %.1f MiB given back when the sidecar "
      "ended: %.2f KiB per streamed process\n",
      row.machine, seconds, samples, perSample, median(bare), median(keptPass),
      perSample / median(bare), median(keptPass) / median(bare), perSample / median(keptPass),
      slabBefore, slabWhile, slabWhile - slabBefore, unreclaimableWhile - unreclaimableAfter,
      (unreclaimableWhile - unreclaimableAfter) * 1024 / static_cast<double>(row.machine));
}

void idle(const char* binary, int minutes) {
  // Processes the sidecar watches from configure's refresh on, ended one by one while it idles.
  std::vector<pid_t> doomed;
  for (int i = 0; i < minutes * 20; ++i) {
    if (const pid_t pid = ::fork(); pid == 0) {
      for (;;) ::pause();
    } else {
      doomed.push_back(pid);
    }
  }
  Host host(binary);
  host.sidecar.write(R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0})"
                     "\n");
  std::this_thread::sleep_for(2s);
  const double before = contextSwitches(host.sidecar.pid());
  for (const pid_t pid : doomed) {
    std::this_thread::sleep_for(3s);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  const double wakeUps = contextSwitches(host.sidecar.pid()) - before;
  std::printf(
      "\nidle (sampleIntervalMs 0, streaming off) for %d min while %zu watched processes exit:\n"
      "  %.0f context switches over the sidecar's threads, %.2f per minute (target: at most 1)\n"
      "  an hour: %.0f, as the only timer is the main loop's 60 s idle wait and exits are only\n"
      "  drained at a refresh, so the count grows linearly with time\n",
      minutes, doomed.size(), wakeUps, wakeUps / minutes, wakeUps / minutes * 60);
}

int run(int streamingSeconds, int idleMinutes, bool namespaced) {
  ::signal(SIGPIPE, SIG_IGN);
  argumentAreas();
  bench::SmallTree tree;
  std::vector<std::unique_ptr<bench::SleepingChildren>> crowd;
  std::vector<Row> rows;
  for (const std::size_t machine : kMachines) {
    if (!namespaced && machine != kMain) continue;
    const std::size_t now = bench::bareListing();
    const std::size_t wanted = namespaced ? machine : now + machine;
    if (wanted > now) {
      crowd.push_back(std::make_unique<bench::SleepingChildren>(static_cast<int>(wanted - now)));
    }
    rows.push_back(measure(tree.root()));
    const Row& row = rows.back();
    std::printf(
        "%5zu processes: (a) %6.0f us (l) %4.0f (L) %4.0f (k) %5.0f (s) %4.0f (f) %5.0f  "
        "/(a): (l) %.3f (L) %.3f (k) %.3f (s) %.3f (f) %.3f\n",
        row.machine, row.bare, row.listing, row.keptListing, row.kept, row.walk, row.scan,
        row.listing / row.bare, row.keptListing / row.bare, row.kept / row.bare,
        row.walk / row.bare, row.scan / row.bare);
    std::fflush(stdout);
    if (machine == kMain) {
      std::printf("a snapshot of the 10-process tree: (s)/(a) = %.3f (target: at most 0.06)\n",
                  row.walk / row.bare);
      streaming(PROCSAMPLER_BINARY, streamingSeconds, row);
      idle(PROCSAMPLER_BINARY, idleMinutes);
      std::fflush(stdout);
    }
  }
  if (rows.size() > 1) {
    std::printf("\ngrowth from %zu processes: the snapshot (s) against the bare listings\n",
                rows.front().machine);
    for (const Row& row : rows) {
      std::printf("%5zu processes: (s) x%5.2f  (l) x%5.2f  (L) x%5.2f\n", row.machine,
                  row.walk / rows.front().walk, row.listing / rows.front().listing,
                  row.keptListing / rows.front().keptListing);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--hold") == 0) holdArguments(argv);
  const int streamingSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const int idleMinutes = argc > 2 ? std::atoi(argv[2]) : 3;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
    std::perror(
        "no pid namespace of its own (unshare), so no curve; on this machine, with 2000 "
        "sleepers added");
    return run(streamingSeconds, idleMinutes, false);
  }
  // The first child is pid 1 of the new namespace: the machine the rest sees through its /proc.
  const pid_t init = ::fork();
  if (init == 0) {
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
      std::perror("mount /proc");
      return 1;
    }
    return run(streamingSeconds, idleMinutes, true);
  }
  int status = 0;
  ::waitpid(init, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
