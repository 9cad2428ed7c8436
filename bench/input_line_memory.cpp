// The real sidecar's resident memory after one huge input line, against its memory before it.
// Sends a line of 256 MiB (refused, as it holds no command), waits for the refusal and for the
// answer to a small command after it, and prints VmRSS before, at the peak and after, with the
// growth that stays against a bound of 16 MiB. Exits 1 over the bound.
// Usage: input_line_memory [path-to-procsampler] [MiB]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "proc_load.h"
#include "support/child_process.h"

using procsampler::bench::statusMiB;

int main(int argc, char** argv) {
  const char* binary = argc > 1 ? argv[1] : PROCSAMPLER_BINARY;
  const std::size_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
  procsampler::testing::ChildProcess sidecar(binary);
  if (!sidecar.readLine()) return 2;  // hello
  const std::string configure =
      R"({"type":"configure","version":2,"rootPid":1,"sampleIntervalMs":0})"
      "\n";
  if (!sidecar.write(configure)) return 2;
  const double before = statusMiB(sidecar.pid(), "VmRSS");

  // A member whose value is one long text: one line, refused only once it is all read.
  std::string line = R"({"x":")";
  line.append(mib << 20, ' ');
  line += "\"}\n";
  std::thread writer([&] { sidecar.write(line); });
  const std::string refusal = sidecar.readLine(60000).value_or("");
  writer.join();
  // Sent only now, so the reader has finished with the long line before it reads this one.
  sidecar.write(R"({"type":"sampleNow","version":2,"requestId":"after"})"
                "\n");
  const std::string answer = sidecar.readLine(60000).value_or("");
  const bool answered = refusal.find("missing field `type`") != std::string::npos &&
                        answer.find(R"("requestId":"after")") != std::string::npos;
  const double peak = statusMiB(sidecar.pid(), "VmHWM");
  const double after = statusMiB(sidecar.pid(), "VmRSS");
  sidecar.closeFd(0);
  sidecar.waitForExit();

  const double kept = after - before;
  std::printf(
      "one input line of %zu MiB: resident %.1f MiB before, %.1f MiB at the peak, "
      "%.1f MiB after\n",
      mib, before, peak, after);
  std::printf("kept after the line: %.1f MiB (bound: 16 MiB)%s\n", kept,
              answered ? "" : "; the sidecar did not answer as expected");
  return answered && kept <= 16.0 ? 0 : 1;
}
