// The Linux table joins the tree-selection contract that every table source meets, over
// scripted /proc files.
#include <memory>
#include <string>

#include "fakes/proc_fake_files.h"
#include "fakes/process_world.h"
#include "sampling/linux/proc_fs_table.h"

namespace procsampler::testing {
namespace {

class ProcFilesWorld final : public ProcessWorld {
 public:
  explicit ProcFilesWorld(Clock& clock) {
    auto files = std::make_unique<FakeProcFiles>();
    files_ = files.get();
    files_->setCpu(1000, 1, 0);  // booted at the epoch, so start ticks are start seconds × 100
    table_ = std::make_unique<sampling::procfs::ProcFsTable>(
        std::move(files), clock, sampling::procfs::ProcFsTableOptions{});
  }
  void spawn(const WorldProcess& process) override {
    std::string cmdline;
    for (const std::string& argument : process.arguments) cmdline += argument + '\0';
    files_->add({.pid = process.pid,
                 .comm = process.name,
                 .ppid = process.ppid,
                 .starttime = process.startSeconds * 100,
                 .cmdline = cmdline,
                 .exe = "/usr/bin/" + process.name});
  }
  void exit(sampling::Pid pid) override { files_->procs.erase(pid); }
  sampling::ProcessTable& table() override { return *table_; }

 private:
  FakeProcFiles* files_;
  std::unique_ptr<sampling::procfs::ProcFsTable> table_;
};

INSTANTIATE_TEST_SUITE_P(ProcFiles, TreeSelectionContract,
                         ::testing::Values(ProcessWorldFactory([](Clock& clock) {
                           return std::make_unique<ProcFilesWorld>(clock);
                         })));

}  // namespace
}  // namespace procsampler::testing
