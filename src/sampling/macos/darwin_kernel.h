// The platform seam of the macOS process table: every libproc, sysctl and Mach call it makes, one
// function per call, as plain data and without Apple's headers. darwin_kernel_live.cpp forwards
// to the real calls; tests script a model of xnu. Results keep the real calls' conventions (byte
// counts, -1, kern_return_t) because the table's rules are written in terms of them.
// Used by the one thread that owns the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace procsampler::sampling::macos {

// Sizes of the kernel's proc_taskallinfo, proc_bsdinfo, proc_threadinfo and kinfo_proc: a call
// that returns fewer bytes did not fill the structure. PROC_PIDLISTTHREADS hands out 8-byte thread
// handles.
inline constexpr int TASK_ALL_INFO_SIZE = 232;
inline constexpr int BSD_INFO_SIZE = 136;
inline constexpr int THREAD_INFO_SIZE = 112;
inline constexpr std::size_t KINFO_PROC_SIZE = 648;
inline constexpr int THREAD_HANDLE_SIZE = 8;

// The 0 that Mach calls return on success.
inline constexpr int KERN_SUCCESS_CODE = 0;

// p_stat values (SIDL..SZOMB in sys/proc.h) and pth_run_state values (TH_STATE_* in
// mach/thread_info.h), renamed so they cannot clash with those macros.
inline constexpr std::uint32_t STATUS_IDLE = 1;
inline constexpr std::uint32_t STATUS_RUN = 2;
inline constexpr std::uint32_t STATUS_SLEEP = 3;
inline constexpr std::uint32_t STATUS_STOP = 4;
inline constexpr std::uint32_t STATUS_ZOMBIE = 5;
inline constexpr std::int32_t RUN_STATE_RUNNING = 1;
inline constexpr std::int32_t RUN_STATE_STOPPED = 2;
inline constexpr std::int32_t RUN_STATE_WAITING = 3;
inline constexpr std::int32_t RUN_STATE_UNINTERRUPTIBLE = 4;
inline constexpr std::int32_t RUN_STATE_HALTED = 5;

// The fields of proc_bsdinfo the table reads. pbi_comm is the program's name as exec'd, at most
// 15 bytes.
struct BsdInfo {
  std::uint32_t pbi_status = 0;
  std::uint32_t pbi_ppid = 0;
  std::uint32_t pbi_uid = 0;
  std::string pbi_comm;
  std::uint64_t pbi_start_tvsec = 0;
  std::uint64_t pbi_start_tvusec = 0;
};

// The fields of proc_taskinfo the table reads; times in Mach absolute-time units.
struct TaskInfo {
  std::uint64_t pti_virtual_size = 0;
  std::uint64_t pti_resident_size = 0;
  std::uint64_t pti_total_user = 0;
  std::uint64_t pti_total_system = 0;
  std::int32_t pti_threadnum = 0;
  std::int32_t pti_numrunning = 0;  // threads whose state has TH_RUN
};

struct TaskAllInfo {
  BsdInfo pbsd;
  TaskInfo ptinfo;
};

// The field of proc_threadinfo the table reads.
struct ThreadInfo {
  std::int32_t pth_run_state = 0;
};

// The fields of kinfo_proc the table reads: kp_proc's pid, start time, state and name (at most 16
// bytes), kp_eproc's parent and effective uid.
struct KinfoProc {
  std::int32_t p_pid = 0;
  std::uint64_t p_starttime_sec = 0;
  std::uint64_t p_starttime_usec = 0;
  std::uint32_t p_stat = 0;
  std::string p_comm;
  std::uint32_t e_ppid = 0;
  std::uint32_t cr_uid = 0;
};

// The fields of rusage_info_v2 the table reads.
struct RusageInfo {
  std::uint64_t ri_diskio_bytesread = 0;
  std::uint64_t ri_diskio_byteswritten = 0;
  std::uint64_t ri_phys_footprint = 0;  // what Activity Monitor shows as a process's memory
};

// What proc_pidinfo returned (bytes filled, 0 or less when refused) and the structure it filled,
// zero where it did not.
template <typename Info>
struct PidInfoReply {
  int bytes = 0;
  Info info;
};

struct RusageReply {
  int result = -1;  // negative when refused
  RusageInfo info;
};

struct TimebaseReply {
  int kern_return = KERN_SUCCESS_CODE;
  std::uint32_t numer = 0;
  std::uint32_t denom = 0;
};

// host_processor_info with PROCESSOR_CPU_LOAD_INFO, copied out of the kernel's array (which the
// live layer releases at once). ticks holds four counters per CPU: user, system, idle, nice; it is
// empty when the kernel returned no array.
struct CpuLoadReply {
  int kern_return = KERN_SUCCESS_CODE;
  std::uint32_t cpu_count = 0;
  std::vector<std::uint32_t> ticks;
};
inline constexpr std::size_t CPU_STATE_COUNT = 4;
inline constexpr std::size_t CPU_STATE_IDLE_INDEX = 2;

struct SysctlReply {
  int result = -1;         // 0 on success, -1 on failure
  std::size_t length = 0;  // the size needed (probe) or the bytes written
};

// sysctl {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid}: length is KINFO_PROC_SIZE when the pid has a
// process (a zombie too), 0 when it has none.
struct KinfoReply {
  int result = -1;
  std::size_t length = 0;
  KinfoProc info;
};

// sysctl {CTL_KERN, KERN_PROC, KERN_PROC_ALL}: the records written (with an empty buffer, the
// records the kernel asks room for), and -1 in result when the call failed or some did not fit.
struct KinfoListReply {
  int result = -1;
  std::size_t count = 0;
};

struct PathReply {
  int result = 0;  // the path's length; below 1 on failure
  std::string path;
};

// host_statistics64 with HOST_VM_INFO64: the page counts of vm_statistics64 the table reads.
struct VmStatisticsReply {
  int kern_return = KERN_SUCCESS_CODE;
  std::uint64_t free_count = 0;           // free and speculative pages (vm_stats, host.c)
  std::uint64_t speculative_count = 0;    // read ahead of use, counted as external too
  std::uint64_t external_page_count = 0;  // pageable file-backed pages, speculative ones included
  std::uint64_t purgeable_count = 0;      // pages of volatile purgeable objects
};

// A sysctl whose value is one 64-bit number (hw.memsize), or a timeval (kern.boottime, seconds
// then microseconds): result 0 on success, -1 on failure.
struct SysctlNumberReply {
  int result = -1;
  std::uint64_t value = 0;
};
struct BoottimeReply {
  int result = -1;
  std::uint64_t tv_sec = 0;
  std::uint64_t tv_usec = 0;
};

// What an EVFILT_PROC event on a watched pid said: the process exited, or forked (spawned) a child.
struct ProcNote {
  std::int32_t pid = 0;
  bool exited = false;
  bool forked = false;
};

enum class SysconfName { PageSize, ClockTicks };

class DarwinKernel {
 public:
  virtual ~DarwinKernel() = default;

  virtual std::uint32_t machHostSelf() = 0;
  // sysconf: the value, or -1 when it is unknown.
  virtual long sysconf(SysconfName name) = 0;
  virtual TimebaseReply machTimebaseInfo() = 0;
  virtual CpuLoadReply hostProcessorInfo(std::uint32_t hostPort) = 0;
  virtual VmStatisticsReply hostStatistics64(std::uint32_t hostPort) = 0;
  // sysctl {CTL_HW, HW_MEMSIZE}: the physical memory in bytes.
  virtual SysctlNumberReply memsize() = 0;
  // sysctl {CTL_KERN, KERN_BOOTTIME}: the wall-clock instant of boot, moved with every setting of
  // the wall clock.
  virtual BoottimeReply boottime() = 0;
  virtual std::uint64_t machAbsoluteTime() = 0;
  // geteuid: the uid the kernel compares with a process's own before it lets this one read it.
  virtual std::uint32_t effectiveUid() = 0;
  // sysctl {CTL_KERN, KERN_ARGMAX}: the most a KERN_PROCARGS2 copy may ask for; -1 on failure.
  virtual int argMax() = 0;

  // proc_listallpids: with an empty buffer, the number of pids; otherwise the number of pids
  // written into it (the buffer is full when that reaches its size). Below 1 on failure.
  virtual int listAllPids(std::span<std::int32_t> buffer) = 0;
  // proc_listchildpids: the pids whose parent is ppid, as many as fit into the buffer. The number
  // written (when it reaches the buffer's size, some may be missing), -1 on failure.
  virtual int listChildPids(std::int32_t ppid, std::span<std::int32_t> buffer) = 0;
  // proc_pidinfo with PROC_PIDTASKALLINFO, argument 0.
  virtual PidInfoReply<TaskAllInfo> pidTaskAllInfo(std::int32_t pid) = 0;
  // proc_pidinfo with PROC_PIDTBSDINFO, argument 1: a zombie's too.
  virtual PidInfoReply<BsdInfo> pidBsdInfo(std::int32_t pid) = 0;
  // proc_pidinfo with PROC_PIDLISTTHREADS into the buffer: the bytes of handles written.
  virtual int pidListThreads(std::int32_t pid, std::span<std::uint64_t> handles) = 0;
  // proc_pidinfo with PROC_PIDTHREADINFO for the thread with this handle.
  virtual PidInfoReply<ThreadInfo> pidThreadInfo(std::int32_t pid, std::uint64_t handle) = 0;
  // sysctl {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid}.
  virtual KinfoReply kinfoProc(std::int32_t pid) = 0;
  // sysctl {CTL_KERN, KERN_PROC, KERN_PROC_ALL}: with an empty buffer, probes how many records to
  // make room for; otherwise fills the buffer.
  virtual KinfoListReply kinfoProcAll(std::span<KinfoProc> buffer) = 0;
  // proc_pid_rusage with RUSAGE_INFO_V2.
  virtual RusageReply pidRusage(std::int32_t pid) = 0;
  // proc_pidpath into a 4096-byte buffer.
  virtual PathReply pidPath(std::int32_t pid) = 0;
  // sysctl {CTL_KERN, KERN_PROCARGS2, pid}: with an empty buffer, probes the size; otherwise
  // copies into the buffer.
  virtual SysctlReply procArgs2(std::int32_t pid, std::span<std::byte> buffer) = 0;

  // kqueue: a new event queue's descriptor, readable (poll) while an event waits in it; -1 on
  // failure.
  virtual int kqueue() = 0;
  // kevent adding {pid, EVFILT_PROC, EV_ADD, NOTE_EXIT | NOTE_FORK} to the queue: 0, or -1 when
  // refused (no such process, or one already exiting).
  virtual int watchProcess(int queue, std::int32_t pid) = 0;
  // kevent with a zero timeout: appends a note per watched pid whose NOTE_EXIT or NOTE_FORK fired
  // since the last call, and leaves the queue empty. Forks between two calls make one note.
  virtual void takeNotes(int queue, std::vector<ProcNote>& out) = 0;
  // close of the queue.
  virtual void closeQueue(int queue) = 0;
};

}  // namespace procsampler::sampling::macos
