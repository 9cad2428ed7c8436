// The real kernel behind DarwinKernel, and this platform's process table. The only file that
// includes libproc, sysctl and Mach headers; it is built for Apple targets alone. Each function
// makes exactly one call and copies the fields the table reads out of Apple's structure.
#include <libproc.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <mach/processor_info.h>
#include <sys/proc.h>
#include <sys/proc_info.h>
#include <sys/resource.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "sampling/macos/darwin_kernel.h"
#include "sampling/macos/mac_process_table.h"

namespace procsampler::sampling {
namespace macos {
namespace {

static_assert(sizeof(proc_bsdinfo) == BSD_INFO_SIZE);
static_assert(sizeof(proc_taskinfo) == TASK_INFO_SIZE);
static_assert(sizeof(proc_threadinfo) == THREAD_INFO_SIZE);
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

  std::uint64_t machAbsoluteTime() override { return mach_absolute_time(); }

  int listAllPids(std::span<std::int32_t> buffer) override {
    const std::size_t bytes = std::min(buffer.size_bytes(), static_cast<std::size_t>(INT_MAX));
    return proc_listallpids(buffer.empty() ? nullptr : buffer.data(), static_cast<int>(bytes));
  }

  PidInfoReply<BsdInfo> pidBsdInfo(std::int32_t pid) override {
    proc_bsdinfo info{};
    PidInfoReply<BsdInfo> reply;
    reply.bytes = proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, byteSize<proc_bsdinfo>());
    reply.info.pbi_status = info.pbi_status;
    reply.info.pbi_ppid = info.pbi_ppid;
    reply.info.pbi_start_tvsec = info.pbi_start_tvsec;
    return reply;
  }

  PidInfoReply<TaskInfo> pidTaskInfo(std::int32_t pid) override {
    proc_taskinfo info{};
    PidInfoReply<TaskInfo> reply;
    reply.bytes = proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &info, byteSize<proc_taskinfo>());
    reply.info.pti_virtual_size = info.pti_virtual_size;
    reply.info.pti_resident_size = info.pti_resident_size;
    reply.info.pti_total_user = info.pti_total_user;
    reply.info.pti_total_system = info.pti_total_system;
    return reply;
  }

  PidInfoReply<ThreadInfo> pidThreadInfo(std::int32_t pid) override {
    proc_threadinfo info{};
    PidInfoReply<ThreadInfo> reply;
    reply.bytes = proc_pidinfo(pid, PROC_PIDTHREADINFO, 0, &info, byteSize<proc_threadinfo>());
    reply.info.pth_user_time = info.pth_user_time;
    reply.info.pth_system_time = info.pth_system_time;
    reply.info.pth_run_state = info.pth_run_state;
    return reply;
  }

  RusageReply pidRusage(std::int32_t pid) override {
    rusage_info_v2 info{};
    RusageReply reply;
    reply.result = proc_pid_rusage(pid, RUSAGE_INFO_V2, reinterpret_cast<rusage_info_t*>(&info));
    reply.info.ri_diskio_bytesread = info.ri_diskio_bytesread;
    reply.info.ri_diskio_byteswritten = info.ri_diskio_byteswritten;
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
};

}  // namespace
}  // namespace macos

std::unique_ptr<ProcessTable> new_with_specifics(Clock& clock) {
  return std::make_unique<macos::MacProcessTable>(std::make_unique<macos::LiveDarwinKernel>(),
                                                  clock);
}

}  // namespace procsampler::sampling
