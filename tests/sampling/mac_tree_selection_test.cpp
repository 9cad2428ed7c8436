// The macOS table over the scripted kernel meets the tree-selection contract of every table source.
#include "fakes/fake_darwin_kernel.h"
#include "fakes/process_world.h"
#include "sampling/macos/mac_process_table.h"

namespace procsampler::testing {
namespace {

class MacKernelWorld final : public ProcessWorld {
 public:
  explicit MacKernelWorld(Clock& clock) : table_(kernel_, clock) {}

  void spawn(const WorldProcess& process) override {
    exit(process.pid);
    const std::string path = "/usr/bin/" + process.name;
    kernel_.processes.push_back({.pid = static_cast<std::int32_t>(process.pid),
                                 .bsd = {mac::STATUS_RUN, process.ppid, process.startSeconds},
                                 .path = path,
                                 .arguments = argumentArea(path, process.arguments)});
  }
  void exit(sampling::Pid pid) override { kernel_.exit(static_cast<std::int32_t>(pid)); }
  sampling::ProcessTable& table() override { return table_; }

 private:
  FakeDarwinKernel kernel_;
  sampling::macos::MacProcessTable table_;
};

INSTANTIATE_TEST_SUITE_P(MacKernel, TreeSelectionContract,
                         ::testing::Values(ProcessWorldFactory([](Clock& clock) {
                           return std::make_unique<MacKernelWorld>(clock);
                         })));

}  // namespace
}  // namespace procsampler::testing
