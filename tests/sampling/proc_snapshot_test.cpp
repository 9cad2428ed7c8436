// Snapshots over the Linux table read a process's details only when it is new, has exec'd or is
// reported, yet must report exactly what a table that reads every file at every refresh would.
// Two tables look at twin scripted /proc worlds; one of them completes every pid at each refresh.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/proc_fake_files.h"
#include "sampling/linux/proc_fs_table.h"
#include "sampling/sampler.h"

namespace procsampler::sampling::procfs {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using testing::FakeClock;
using testing::FakeProc;
using testing::FakeProcFiles;

// A table that reads everything at every refresh, as the reference a lazy table must match.
class FullReadTable final : public ProcessTable {
 public:
  explicit FullReadTable(std::unique_ptr<ProcessTable> table) : table_(std::move(table)) {}
  std::size_t refresh_processes_specifics() override {
    std::size_t examined = table_->refresh_processes_specifics();
    std::vector<Pid> pids;
    table_->forEachProcess([&](const Process& p) { pids.push_back(p.pid); });
    table_->completeProcesses(pids);
    return examined;
  }
  void completeProcesses(std::span<const Pid> pids) override { table_->completeProcesses(pids); }
  std::size_t processCount() const override { return table_->processCount(); }
  const Process* find(Pid pid) const override { return table_->find(pid); }
  void forEachProcess(const std::function<void(const Process&)>& visit) const override {
    table_->forEachProcess(visit);
  }

 private:
  std::unique_ptr<ProcessTable> table_;
};

std::string describe(const Snapshot& snapshot) {
  std::string text = "scanned " + std::to_string(snapshot.scannedProcessCount) + " inaccessible " +
                     std::to_string(snapshot.inaccessibleProcessCount) + "\n";
  for (const ProcessSample& r : snapshot.processes) {
    text += std::to_string(r.pid) + " ppid " + std::to_string(r.ppid) + " [" + r.name + "] [" +
            r.command + "] " + r.status + " cpu " + std::to_string(r.cpuPercent) + " " +
            std::to_string(r.cpuTimeMs) + " io " + std::to_string(r.ioReadBytes) + "/" +
            std::to_string(r.ioWriteBytes) + " start " + std::to_string(r.startTimeMs) + "\n";
  }
  return text;
}

struct Twin {
  explicit Twin(bool fullRead) {
    auto owned = std::make_unique<FakeProcFiles>();
    files = owned.get();
    files->setCpu(elapsed, 1);
    std::unique_ptr<ProcessTable> table =
        std::make_unique<ProcFsTable>(std::move(owned), clock, ProcFsTableOptions{100, 4096});
    if (fullRead) table = std::make_unique<FullReadTable>(std::move(table));
    sampler = std::make_unique<Sampler>(std::move(table), clock);
  }
  FakeClock clock;
  std::uint64_t elapsed = 1'000'000;
  FakeProcFiles* files;
  std::unique_ptr<Sampler> sampler;
};

class LazyAgainstFullRead : public ::testing::Test {
 protected:
  // The same change to both worlds.
  void edit(const std::function<void(FakeProcFiles&)>& change) {
    change(*lazy_.files);
    change(*full_.files);
  }
  void add(const FakeProc& proc) {
    edit([&](FakeProcFiles& files) { files.add(proc); });
  }
  // A second passes, then both collect; the snapshots must be equal in every field.
  Snapshot collectBoth(Pid root, const ExternalProcessMap& externals = {}) {
    for (Twin* twin : {&lazy_, &full_}) {
      twin->clock.advance(1s);
      twin->elapsed += 100;
      twin->files->setCpu(twin->elapsed, 1);
    }
    Snapshot lazy = collectSnapshot(*lazy_.sampler, root, externals, std::nullopt);
    Snapshot full = collectSnapshot(*full_.sampler, root, externals, std::nullopt);
    EXPECT_TRUE(lazy == full) << "lazy:\n" << describe(lazy) << "full:\n" << describe(full);
    return lazy;
  }

  Twin lazy_{false};
  Twin full_{true};
};

TEST_F(LazyAgainstFullRead, ReportsWhatAFullReadWouldThroughExecsExitsAndPidReuse) {
  add({.pid = 1, .comm = "init", .ppid = 0, .cmdline = "/sbin/init\0"s, .exe = "/sbin/init"});
  add({.pid = 100, .comm = "sh", .starttime = 50, .cmdline = "sh\0-c\0run\0"s, .exe = "/bin/dash"});
  add({.pid = 101,
       .comm = "worker",
       .ppid = 100,
       .starttime = 60,
       .cmdline = "worker\0-n\0"s,
       .exe = "/opt/worker",
       .readBytes = 10});
  add({.pid = 102,
       .comm = "short",
       .ppid = 100,
       .starttime = 60,
       .cmdline = "short\0"s,
       .exe = "/opt/short-lived"});
  add({.pid = 200,
       .comm = "daemon",
       .starttime = 10,
       .cmdline = "daemon\0"s,
       .exe = "/sbin/daemond"});
  add({.pid = 201,
       .comm = "helper",
       .ppid = 200,
       .starttime = 20,
       .cmdline = "helper\0-x\0"s,
       .exe = "/usr/lib/helper-bin",
       .writeBytes = 7});
  for (Twin* twin : {&lazy_, &full_}) refreshTable(*twin->sampler);  // configure's refresh

  // 102 exits before its first report: a zombie has no exe link and an empty command line, so
  // only what was read when it was first seen can name it.
  edit([](FakeProcFiles& files) {
    files.at(102).state = 'Z';
    files.at(102).cmdline.clear();
    files.at(102).exeStatus = FakeProcFiles::ReadStatus::Gone;
  });
  Snapshot snapshot = collectBoth(100);
  ASSERT_EQ(snapshot.processes.size(), 3u);
  EXPECT_EQ(snapshot.processes[2].command, "short");
  EXPECT_EQ(snapshot.processes[2].name, "short-lived");

  // The reported worker works and retitles itself; the unreported daemon and its helper exec,
  // and the helper writes.
  edit([](FakeProcFiles& files) {
    files.at(101).utime += 50;
    files.at(101).readBytes += 4096;
    files.at(101).cmdline = "worker: busy\0"s;
    files.at(200).comm = "daemon2";
    files.at(200).exe = "/sbin/daemond2";
    files.at(200).cmdline = "daemon2\0--fg\0"s;
    files.at(201).comm = "helper2";
    files.at(201).exe = "/usr/lib/helper2-bin";
    files.at(201).cmdline = "helper2\0"s;
    files.at(201).writeBytes += 8192;
  });
  collectBoth(100);
  EXPECT_EQ(lazy_.files->count("cmdline 200"), 2u);  // first sight and exec: never reported yet

  // 102 is reaped and its pid reused under the root; the new helper exits unreaped; the daemon's
  // tree is reported for the first time.
  edit([](FakeProcFiles& files) {
    files.procs.erase(102);
    files.add({.pid = 102,
               .comm = "again",
               .ppid = 100,
               .starttime = 500,
               .cmdline = "again\0"s,
               .exe = "/opt/again"});
    files.at(201).state = 'Z';
    files.at(201).cmdline.clear();
    files.at(201).exeStatus = FakeProcFiles::ReadStatus::Gone;
  });
  snapshot = collectBoth(100, {{200, std::nullopt}});
  EXPECT_EQ(snapshot.processes.size(), 5u);

  // The worker's io turns unreadable; the whole machine is reported.
  edit([](FakeProcFiles& files) {
    files.at(101).ioStatus = FakeProcFiles::ReadStatus::Unreadable;
    files.at(101).readBytes += 1;
  });
  snapshot = collectBoth(1);
  EXPECT_EQ(snapshot.processes.size(), 6u);
}

}  // namespace
}  // namespace procsampler::sampling::procfs
