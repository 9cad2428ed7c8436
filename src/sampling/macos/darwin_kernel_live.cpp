// The real kernel behind DarwinKernel, and this platform's process table. The only file that
// includes libproc, sysctl and Mach headers; it is built for Apple targets alone. Each function
// makes exactly one call and copies the fields the table reads out of Apple's structure.
#include <libproc.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <mach/processor_info.h>
#include <sys/event.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sampling/macos/darwin_kernel.h"
#include "sampling/macos/mac_process_table.h"

namespace procsampler::sampling {
namespace macos {
namespace {

static_assert(sizeof(proc_taskallinfo) == TASK_ALL_INFO_SIZE);
static_assert(sizeof(proc_threadinfo) == THREAD_INFO_SIZE);
static_assert(sizeof(proc_bsdinfo) == BSD_INFO_SIZE);
static_assert(sizeof(kinfo_proc) == KINFO_PROC_SIZE);
static_assert(PROC_PIDLISTTHREADS_SIZE == THREAD_HANDLE_SIZE && sizeof(std::uint64_t) == 8);
static_assert(CPU_STATE_MAX == CPU_STATE_COUNT);
static_assert(CPU_STATE_USER == 0 && CPU_STATE_SYSTEM == 1 && CPU_STATE_IDLE == 2 &&
              CPU_STATE_NICE == 3);
static_assert(SIDL == STATUS_IDLE && SRUN == STATUS_RUN && SSLEEP == STATUS_SLEEP &&
              SSTOP == STATUS_STOP && SZOMB == STATUS_ZOMBIE);
static_assert(TH_STATE_RUNNING == RUN_STATE_RUNNING && TH_STATE_STOPPED == RUN_STATE_STOPPED &&
              TH_STATE_WAITING == RUN_STATE_WAITING &&
              TH_STATE_UNINTERRUPTIBLE == RUN_STATE_UNINTERRUPTIBLE &&
              TH_STATE_HALTED == RUN_STATE_HALTED);
static_assert(KERN_SUCCESS == KERN_SUCCESS_CODE);
static_assert(PROC_PIDPATHINFO_MAXSIZE == 4096);
static_assert(sizeof(pid_t) == sizeof(std::int32_t));

// Byte sizes handed to libproc are ints; no structure here comes near the limit.
template <typename T>
constexpr int byteSize() {
  static_assert(sizeof(T) <= INT_MAX);
  return static_cast<int>(sizeof(T));
}

// A name field of a kernel structure, which ends at its first NUL or at its end.
template <std::size_t N>
std::string nameField(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

KinfoProc fieldsOf(const kinfo_proc& info) {
  const extern_proc& proc = info.kp_proc;
  return {proc.p_pid,
          static_cast<std::uint64_t>(proc.p_starttime.tv_sec),
          static_cast<std::uint64_t>(proc.p_starttime.tv_usec),
          static_cast<std::uint32_t>(proc.p_stat),
          nameField(proc.p_comm),
          static_cast<std::uint32_t>(info.kp_eproc.e_ppid),
          info.kp_eproc.e_ucred.cr_uid};
}

class LiveDarwinKernel final : public DarwinKernel {
 public:
  std::uint32_t machHostSelf() override { return mach_host_self(); }

  long sysconf(SysconfName name) override {
    return ::sysconf(name == SysconfName::PageSize ? _SC_PAGESIZE : _SC_CLK_TCK);
  }

  TimebaseReply machTimebaseInfo() override {
    mach_timebase_info_data_t timebase{};
    const kern_return_t result = mach_timebase_info(&timebase);
    return {result, timebase.numer, timebase.denom};
  }

  CpuLoadReply hostProcessorInfo(std::uint32_t hostPort) override {
    natural_t cpuCount = 0;
    processor_info_array_t info = nullptr;
    mach_msg_type_number_t infoCount = 0;
    CpuLoadReply reply;
    reply.kern_return =
        host_processor_info(hostPort, PROCESSOR_CPU_LOAD_INFO, &cpuCount, &info, &infoCount);
    if (reply.kern_return != KERN_SUCCESS) return reply;
    reply.cpu_count = cpuCount;
    if (info != nullptr) {
      const std::size_t counters = std::min(static_cast<std::size_t>(cpuCount) * CPU_STATE_MAX,
                                            static_cast<std::size_t>(infoCount));
      reply.ticks.reserve(counters);
      // The counters are unsigned ticks stored in the array's integer_t slots.
      for (std::size_t i = 0; i < counters; ++i) {
        reply.ticks.push_back(static_cast<std::uint32_t>(info[i]));
      }
      // The kernel mapped the array into our address space; it is ours to release.
      vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(info),
                    static_cast<vm_size_t>(infoCount) * sizeof(integer_t));
    }
    return reply;
  }

  VmStatisticsReply hostStatistics64(std::uint32_t hostPort) override {
    vm_statistics64_data_t stats{};
    mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
    VmStatisticsReply reply;
    reply.kern_return = host_statistics64(hostPort, HOST_VM_INFO64,
                                          reinterpret_cast<host_info64_t>(&stats), &count);
    if (reply.kern_return != KERN_SUCCESS) return reply;
    reply.free_count = stats.free_count;
    reply.speculative_count = stats.speculative_count;
    reply.external_page_count = stats.external_page_count;
    reply.purgeable_count = stats.purgeable_count;
    return reply;
  }

  SysctlNumberReply memsize() override {
    int name[2] = {CTL_HW, HW_MEMSIZE};
    std::uint64_t value = 0;
    std::size_t length = sizeof value;
    if (sysctl(name, 2, &value, &length, nullptr, 0) != 0 || length != sizeof value) return {};
    return {0, value};
  }

  BoottimeReply boottime() override {
    int name[2] = {CTL_KERN, KERN_BOOTTIME};
    timeval value{};
    std::size_t length = sizeof value;
    if (sysctl(name, 2, &value, &length, nullptr, 0) != 0 || length != sizeof value ||
        value.tv_sec < 0 || value.tv_usec < 0) {
      return {};
    }
    return {0, static_cast<std::uint64_t>(value.tv_sec), static_cast<std::uint64_t>(value.tv_usec)};
  }

  std::uint64_t machAbsoluteTime() override { return mach_absolute_time(); }

  std::uint32_t effectiveUid() override { return geteuid(); }

  int argMax() override {
    int name[2] = {CTL_KERN, KERN_ARGMAX};
    int value = 0;
    std::size_t length = sizeof value;
    if (sysctl(name, 2, &value, &length, nullptr, 0) != 0 || length != sizeof value) return -1;
    return value;
  }

  int listAllPids(std::span<std::int32_t> buffer) override {
    const std::size_t bytes = std::min(buffer.size_bytes(), static_cast<std::size_t>(INT_MAX));
    return proc_listallpids(buffer.empty() ? nullptr : buffer.data(), static_cast<int>(bytes));
  }

  int listChildPids(std::int32_t ppid, std::span<std::int32_t> buffer) override {
    if (buffer.empty()) return -1;  // without a buffer, libproc counts the whole machine
    const std::size_t bytes = std::min(buffer.size_bytes(), static_cast<std::size_t>(INT_MAX));
    // proc_listpids answers 0 for a refusal as for a process without children; errno tells.
    errno = 0;
    const int listed = proc_listchildpids(ppid, buffer.data(), static_cast<int>(bytes));
    return listed == 0 && errno != 0 ? -1 : listed;
  }

  PidInfoReply<TaskAllInfo> pidTaskAllInfo(std::int32_t pid) override {
    proc_taskallinfo info{};
    PidInfoReply<TaskAllInfo> reply;
    reply.bytes = proc_pidinfo(pid, PROC_PIDTASKALLINFO, 0, &info, byteSize<proc_taskallinfo>());
    const proc_bsdinfo& bsd = info.pbsd;
    reply.info.pbsd = {bsd.pbi_status,          bsd.pbi_ppid,        bsd.pbi_uid,
                       nameField(bsd.pbi_comm), bsd.pbi_start_tvsec, bsd.pbi_start_tvusec};
    const proc_taskinfo& task = info.ptinfo;
    reply.info.ptinfo = {task.pti_virtual_size, task.pti_resident_size, task.pti_total_user,
                         task.pti_total_system, task.pti_threadnum,     task.pti_numrunning};
    return reply;
  }

  PidInfoReply<BsdInfo> pidBsdInfo(std::int32_t pid) override {
    proc_bsdinfo info{};
    PidInfoReply<BsdInfo> reply;
    // A non-zero argument lets the kernel look among the zombies too.
    reply.bytes = proc_pidinfo(pid, PROC_PIDTBSDINFO, 1, &info, byteSize<proc_bsdinfo>());
    reply.info = {info.pbi_status,          info.pbi_ppid,        info.pbi_uid,
                  nameField(info.pbi_comm), info.pbi_start_tvsec, info.pbi_start_tvusec};
    return reply;
  }

  int pidListThreads(std::int32_t pid, std::span<std::uint64_t> handles) override {
    const std::size_t bytes = std::min(handles.size_bytes(), static_cast<std::size_t>(INT_MAX));
    return proc_pidinfo(pid, PROC_PIDLISTTHREADS, 0, handles.data(), static_cast<int>(bytes));
  }

  PidInfoReply<ThreadInfo> pidThreadInfo(std::int32_t pid, std::uint64_t handle) override {
    proc_threadinfo info{};
    PidInfoReply<ThreadInfo> reply;
    reply.bytes = proc_pidinfo(pid, PROC_PIDTHREADINFO, handle, &info, byteSize<proc_threadinfo>());
    reply.info.pth_run_state = info.pth_run_state;
    return reply;
  }

  KinfoReply kinfoProc(std::int32_t pid) override {
    int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    kinfo_proc info{};
    std::size_t length = sizeof info;
    KinfoReply reply;
    reply.result = sysctl(name, 4, &info, &length, nullptr, 0);
    reply.length = length;
    reply.info = fieldsOf(info);
    return reply;
  }

  KinfoListReply kinfoProcAll(std::span<KinfoProc> buffer) override {
    int name[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    KinfoListReply reply;
    if (buffer.empty()) {
      std::size_t needed = 0;
      reply.result = sysctl(name, 3, nullptr, &needed, nullptr, 0);
      reply.count = needed / sizeof(kinfo_proc);
      return reply;
    }
    // Kept between calls: the array is as large as the machine's process list.
    all_.resize(buffer.size());
    std::size_t length = all_.size() * sizeof(kinfo_proc);
    reply.result = sysctl(name, 3, all_.data(), &length, nullptr, 0);
    // A failure (ENOMEM: more processes than records) leaves the records written unknown.
    reply.count = reply.result == 0 ? std::min(length / sizeof(kinfo_proc), buffer.size()) : 0;
    for (std::size_t i = 0; i < reply.count; ++i) buffer[i] = fieldsOf(all_[i]);
    return reply;
  }

  RusageReply pidRusage(std::int32_t pid) override {
    rusage_info_v2 info{};
    RusageReply reply;
    reply.result = proc_pid_rusage(pid, RUSAGE_INFO_V2, reinterpret_cast<rusage_info_t*>(&info));
    reply.info.ri_diskio_bytesread = info.ri_diskio_bytesread;
    reply.info.ri_diskio_byteswritten = info.ri_diskio_byteswritten;
    reply.info.ri_phys_footprint = info.ri_phys_footprint;
    return reply;
  }

  PathReply pidPath(std::int32_t pid) override {
    char buffer[PROC_PIDPATHINFO_MAXSIZE] = {};
    PathReply reply;
    reply.result = proc_pidpath(pid, buffer, sizeof buffer);
    if (reply.result > 0) reply.path.assign(buffer, strnlen(buffer, sizeof buffer));
    return reply;
  }

  SysctlReply procArgs2(std::int32_t pid, std::span<std::byte> buffer) override {
    int name[3] = {CTL_KERN, KERN_PROCARGS2, pid};
    std::size_t length = buffer.size();
    SysctlReply reply;
    reply.result = sysctl(name, 3, buffer.empty() ? nullptr : buffer.data(), &length, nullptr, 0);
    reply.length = length;
    return reply;
  }

  int kqueue() override { return ::kqueue(); }

  int watchProcess(int queue, std::int32_t pid) override {
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD, NOTE_EXIT | NOTE_FORK, 0,
           nullptr);
    int result;
    do {
      result = ::kevent(queue, &change, 1, nullptr, 0, nullptr);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : 0;
  }

  void takeNotes(int queue, std::vector<ProcNote>& out) override {
    struct kevent events[64];
    const timespec none{0, 0};
    int n;
    do {
      n = ::kevent(queue, nullptr, 0, events, 64, &none);
      for (int i = 0; i < n; ++i) {
        out.push_back({static_cast<std::int32_t>(events[i].ident),
                       (events[i].fflags & NOTE_EXIT) != 0, (events[i].fflags & NOTE_FORK) != 0});
      }
    } while (n == 64 || (n < 0 && errno == EINTR));
  }

  void closeQueue(int queue) override { ::close(queue); }

 private:
  std::vector<kinfo_proc> all_;
};

}  // namespace
}  // namespace macos

std::unique_ptr<ProcessTable> newPlatformTable(Clock& clock, const TableLimits& limits) {
  return std::make_unique<macos::MacProcessTable>(std::make_unique<macos::LiveDarwinKernel>(),
                                                  clock, std::nullopt, limits);
}

}  // namespace procsampler::sampling
