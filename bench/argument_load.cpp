// The real sidecar's resident memory and collection time against processes with multi-megabyte
// argument lists, inside and outside the sampled tree, side by side with the same processes
// holding short ones. Each row starts a fresh sidecar whose root is a process with 60 children
// (61 in the tree) while another with 100 children (101) sits outside it; every process of a row
// carries the same arguments, shared by fork as a real program's would be. The sidecar takes 12
// snapshots, all of which its history keeps; the row shows its resident memory after them, its
// peak, and the median collection time. Rows: short arguments; 4 MiB of text; 4 MiB rewritten by
// the process to NUL bytes but for a short last argument (the most raw bytes for the fewest
// reported ones: the table reads only as far as a command can show, so the last one is not
// reported, and the row costs what the text row does).
// Exits 1 when a row's resident memory exceeds the short row's by more than its reported commands
// (16 KiB each, kept in every stored snapshot) plus 8 MiB, or the text row's collection time
// exceeds 3 × the short row's plus 5 ms.
// Usage: argument_load [path-to-procsampler]
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "proc_load.h"
#include "support/child_process.h"

namespace {

using procsampler::bench::statusMiB;

constexpr int INSIDE_CHILDREN = 60;
constexpr int OUTSIDE_CHILDREN = 100;
constexpr std::size_t ARGUMENT_BYTES = 128 * 1024 - 1;  // the kernel's limit for one argument
constexpr int LARGE_ARGUMENTS = 32;                     // 4 MiB in all
constexpr int SNAPSHOTS = 12;

enum class Shape { Short, Text, Nul };

// The holder: forks its children (which pause until their parent dies), says so on standard
// output, and pauses. With "nul" it first overwrites every argument after the fourth with NUL
// bytes, as a program that rewrites its title may.
[[noreturn]] void hold(int argc, char** argv) {
  const int children = std::atoi(argv[2]);
  if (std::strcmp(argv[3], "nul") == 0) {
    for (int i = 4; i + 1 < argc; ++i) std::memset(argv[i], 0, std::strlen(argv[i]));
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (int i = 0; i < children; ++i) {
    if (::fork() == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) ::pause();
    }
  }
  if (::write(1, "r", 1) != 1) ::_exit(1);
  for (;;) ::pause();
}

// Starts a holder with `children` children and the arguments of `shape`; returns its pid once
// all its children exist.
pid_t startHolder(int children, Shape shape) {
  static const std::string big(ARGUMENT_BYTES, 'a');
  std::vector<std::string> arguments{"/proc/self/exe", "--hold", std::to_string(children),
                                     shape == Shape::Nul ? "nul" : "text"};
  if (shape != Shape::Short) arguments.insert(arguments.end(), LARGE_ARGUMENTS, big);
  arguments.push_back("tail");
  int ready[2];
  if (::pipe(ready) != 0) std::exit(2);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Arguments may take a quarter of the stack limit.
    const rlimit stack{64 << 20, RLIM_INFINITY};
    ::setrlimit(RLIMIT_STACK, &stack);
    ::dup2(ready[1], 1);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    std::perror("exec");
    ::_exit(127);
  }
  ::close(ready[1]);
  char byte;
  if (::read(ready[0], &byte, 1) != 1) {
    std::fprintf(stderr, "holder did not start (stack hard limit too low?)\n");
    std::exit(2);
  }
  ::close(ready[0]);
  return pid;
}

double numberAfter(const std::string& line, const std::string& key) {
  const std::size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? -1.0 : std::stod(line.substr(at + key.size() + 3));
}

struct Row {
  double residentMiB = 0, peakMiB = 0, collectionMs = 0, records = 0;
  double commandMiB = 0;  // the longest command in a snapshot, times the records and snapshots
};

Row measure(const char* binary, Shape shape) {
  const pid_t inside = startHolder(INSIDE_CHILDREN, shape);
  const pid_t outside = startHolder(OUTSIDE_CHILDREN, shape);
  procsampler::testing::ChildProcess sidecar(binary);
  Row row;
  if (sidecar.readLine()) {
    sidecar.write(R"({"type":"configure","version":2,"rootPid":)" + std::to_string(inside) +
                  R"(,"sampleIntervalMs":0})"
                  "\n");
    std::vector<double> durations;
    for (int i = 0; i < SNAPSHOTS; ++i) {
      sidecar.write(R"({"type":"sampleNow","version":2,"requestId":"a"})"
                    "\n");
      const std::string snapshot = sidecar.readLine(60000).value_or("");
      durations.push_back(numberAfter(snapshot, "collectionDurationMicros") / 1000.0);
      row.records = numberAfter(snapshot, "retainedProcessCount");
    }
    const double command = shape == Shape::Text ? 16384 : 0;
    row.commandMiB = command * row.records * SNAPSHOTS / (1 << 20);
    std::sort(durations.begin(), durations.end());
    row.collectionMs = durations[durations.size() / 2];
    row.residentMiB = statusMiB(sidecar.pid(), "VmRSS");
    row.peakMiB = statusMiB(sidecar.pid(), "VmHWM");
  }
  sidecar.closeFd(0);
  sidecar.waitForExit();
  for (const pid_t holder : {inside, outside}) {
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
  }
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], "--hold") == 0) hold(argc, argv);
  const char* binary = argc > 1 ? argv[1] : PROCSAMPLER_BINARY;
  ::signal(SIGPIPE, SIG_IGN);

  const Row base = measure(binary, Shape::Short);
  const Row text = measure(binary, Shape::Text);
  const Row nul = measure(binary, Shape::Nul);
  std::printf("%d processes in the tree, %d outside it\n", INSIDE_CHILDREN + 1,
              OUTSIDE_CHILDREN + 1);
  std::printf(
      "arguments                  records  resident MiB  (commands kept)  peak MiB  collection "
      "ms\n");
  bool within = text.collectionMs <= 3 * base.collectionMs + 5;
  const std::pair<const char*, const Row*> rows[] = {
      {"short", &base}, {"4 MiB of text", &text}, {"4 MiB of NULs, short tail", &nul}};
  for (const auto& [name, row] : rows) {
    std::printf("%-26s %7.0f %13.1f %16.1f %9.1f %14.2f\n", name, row->records, row->residentMiB,
                row->commandMiB, row->peakMiB, row->collectionMs);
    within = within && row->records == INSIDE_CHILDREN + 1 &&
             row->residentMiB <= base.residentMiB + row->commandMiB + 8;
  }
  std::printf(
      "bounds: resident at most short + commands kept + 8 MiB; text collection at most "
      "3 x short + 5 ms: %s\n",
      within ? "met" : "NOT MET");
  return within ? 0 : 1;
}
