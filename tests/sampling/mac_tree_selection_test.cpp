// The macOS table joins the tree-selection contract that every table source meets, over the
// scripted kernel.
#include <memory>
#include <string>

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
    FakeMacProcess& spawned = kernel_.spawn({.pid = static_cast<std::int32_t>(process.pid)});
    spawned.bsd = {.pbi_status = mac::STATUS_RUN,
                   .pbi_ppid = process.ppid,
                   .pbi_start_tvsec = process.startSeconds};
    spawned.path = path;
    spawned.arguments = argumentArea(static_cast<std::int32_t>(process.arguments.size()), path,
                                     process.arguments, {"HOME=/Users/test"});
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
