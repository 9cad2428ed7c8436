// The platform seam of the Windows process table: every NT and Win32 call it makes, one function
// per call, as plain data and without Windows' headers. nt_kernel_live.cpp forwards to the real
// calls; tests script a model of the NT kernel (tests/fakes/fake_nt_kernel.h). Results keep the
// real calls' conventions (NTSTATUS, Win32 error codes, 100 ns units) because the table's rules
// are written in terms of them; texts arrive as UTF-8, converted from UTF-16 here at the seam.
// Used by the one thread that owns the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace procsampler::sampling::windows {

// NTSTATUS values the table tells apart, renamed so they cannot clash with Windows' macros.
inline constexpr std::int32_t NT_SUCCESS_CODE = 0;
inline constexpr std::int32_t NT_INFO_LENGTH_MISMATCH = static_cast<std::int32_t>(0xC0000004);
inline constexpr std::int32_t NT_ACCESS_DENIED = static_cast<std::int32_t>(0xC0000022);
inline constexpr std::int32_t NT_INVALID_INFO_CLASS = static_cast<std::int32_t>(0xC0000003);

// Win32 errors OpenProcess gives: no process has the pid, or it may not be opened.
inline constexpr std::uint32_t WIN_ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t WIN_ERROR_INVALID_PARAMETER = 87;

// KTHREAD_STATE (SYSTEM_THREAD_INFORMATION.ThreadState) and the KWAIT_REASON of a suspended thread.
inline constexpr std::uint32_t THREAD_INITIALIZED = 0;
inline constexpr std::uint32_t THREAD_READY = 1;
inline constexpr std::uint32_t THREAD_RUNNING = 2;
inline constexpr std::uint32_t THREAD_STANDBY = 3;
inline constexpr std::uint32_t THREAD_TERMINATED = 4;
inline constexpr std::uint32_t THREAD_WAITING = 5;
inline constexpr std::uint32_t THREAD_TRANSITION = 6;
inline constexpr std::uint32_t THREAD_DEFERRED_READY = 7;
inline constexpr std::uint32_t WAIT_REASON_SUSPENDED = 5;

// FILETIME of the Unix epoch: 100 ns intervals from 1601-01-01 to 1970-01-01.
inline constexpr std::uint64_t UNIX_EPOCH_FILETIME = 116'444'736'000'000'000;
inline constexpr double FILETIME_UNITS_PER_SECOND = 1e7;

// The fields of SYSTEM_THREAD_INFORMATION the table reads.
struct ThreadRecord {
  std::uint32_t state = THREAD_WAITING;  // ThreadState
  std::uint32_t wait_reason = 0;         // WaitReason, meaningful when waiting
};

// The fields of one SYSTEM_PROCESS_INFORMATION entry the table reads; times in 100 ns units,
// create_time since 1601 (0 for the idle and system processes).
struct ProcessRecord {
  std::uint32_t pid = 0;         // UniqueProcessId
  std::uint32_t parent_pid = 0;  // InheritedFromUniqueProcessId: the creator, possibly gone
  std::uint64_t create_time = 0;
  std::uint64_t user_time = 0;
  std::uint64_t kernel_time = 0;
  std::string image_name;            // ImageName: the executable's file name (empty for pid 0)
  std::uint64_t working_set = 0;     // WorkingSetSize
  std::uint64_t private_bytes = 0;   // PrivatePageCount: the commit charge, in bytes
  std::uint64_t virtual_size = 0;    // VirtualSize
  std::uint64_t read_transfer = 0;   // ReadTransferCount: bytes of every read, not storage only
  std::uint64_t write_transfer = 0;  // WriteTransferCount
  std::uint32_t thread_count = 0;    // NumberOfThreads
  std::vector<ThreadRecord> threads;
};

// NtQuerySystemInformation(SystemProcessInformation) into a buffer of the given size: the status,
// the bytes written or, on NT_INFO_LENGTH_MISMATCH, the bytes the list needed at that moment, and
// the decoded list when it fitted.
struct ProcessListReply {
  std::int32_t status = NT_SUCCESS_CODE;
  std::size_t return_length = 0;
  std::vector<ProcessRecord> processes;
};

// GetSystemTimes: idle, kernel (idle included) and user time summed over every processor.
struct SystemTimes {
  std::uint64_t idle = 0;
  std::uint64_t kernel = 0;
  std::uint64_t user = 0;
};

// GlobalMemoryStatusEx: the physical memory and what of it is available (free, zeroed and standby
// pages: the cache the memory manager hands out without writing anything).
struct MemoryStatus {
  std::uint64_t total_phys = 0;  // ullTotalPhys
  std::uint64_t avail_phys = 0;  // ullAvailPhys
};

// OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, falling back to the first
// alone): a handle (not 0), or 0 and GetLastError.
struct OpenReply {
  std::uint64_t handle = 0;
  std::uint32_t error = 0;
};

// A command line as NtQueryInformationProcess(ProcessCommandLineInformation) gives it.
struct CommandLineReply {
  std::int32_t status = NT_SUCCESS_CODE;
  std::string text;
};

class NtKernel {
 public:
  virtual ~NtKernel() = default;

  // GetActiveProcessorMask's count: the processors the system times are summed over.
  virtual std::uint32_t processorCount() = 0;
  // GetSystemTimes; nothing when it fails.
  virtual std::optional<SystemTimes> systemTimes() = 0;
  // GlobalMemoryStatusEx; nothing when it fails.
  virtual std::optional<MemoryStatus> memoryStatus() = 0;
  // GetTickCount64: milliseconds since boot, sleep and hibernation included.
  virtual std::uint64_t tickCount64() = 0;
  // NtQuerySystemInformation(SystemProcessInformation, buffer of bufferBytes).
  virtual ProcessListReply querySystemProcesses(std::size_t bufferBytes) = 0;
  virtual OpenReply openProcess(std::uint32_t pid) = 0;
  virtual void closeHandle(std::uint64_t handle) = 0;
  // WaitForSingleObject(handle, 0) == WAIT_OBJECT_0: the process has exited.
  virtual bool hasExited(std::uint64_t handle) = 0;
  // NtQueryInformationProcess(ProcessCommandLineInformation, class 60; Windows 8.1 and later).
  virtual CommandLineReply commandLineInformation(std::uint64_t handle) = 0;
  // The PEB's ProcessParameters->CommandLine, read with ReadProcessMemory (needs PROCESS_VM_READ);
  // nothing when a read fails.
  virtual std::optional<std::string> pebCommandLine(std::uint64_t handle) = 0;
};

}  // namespace procsampler::sampling::windows
