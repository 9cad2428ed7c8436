// The real NtKernel: ntdll's NtQuerySystemInformation and NtQueryInformationProcess, and the
// Win32 calls around them. The structures are declared here in their documented x64 layout
// (winternl.h names most of their fields Reserved), checked by the static_asserts below.
#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <memory>

#include "sampling/windows/nt_kernel.h"
#include "sampling/windows/win_process_table.h"

namespace procsampler::sampling::windows {
namespace {

struct ThreadInformation {  // SYSTEM_THREAD_INFORMATION
  LARGE_INTEGER KernelTime;
  LARGE_INTEGER UserTime;
  LARGE_INTEGER CreateTime;
  ULONG WaitTime;
  PVOID StartAddress;
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
  LONG Priority;
  LONG BasePriority;
  ULONG ContextSwitches;
  ULONG ThreadState;
  ULONG WaitReason;
};

struct ProcessInformation {  // SYSTEM_PROCESS_INFORMATION
  ULONG NextEntryOffset;
  ULONG NumberOfThreads;
  LARGE_INTEGER WorkingSetPrivateSize;
  ULONG HardFaultCount;
  ULONG NumberOfThreadsHighWatermark;
  ULONGLONG CycleTime;
  LARGE_INTEGER CreateTime;
  LARGE_INTEGER UserTime;
  LARGE_INTEGER KernelTime;
  UNICODE_STRING ImageName;
  LONG BasePriority;
  HANDLE UniqueProcessId;
  HANDLE InheritedFromUniqueProcessId;
  ULONG HandleCount;
  ULONG SessionId;
  ULONG_PTR UniqueProcessKey;
  SIZE_T PeakVirtualSize;
  SIZE_T VirtualSize;
  ULONG PageFaultCount;
  SIZE_T PeakWorkingSetSize;
  SIZE_T WorkingSetSize;
  SIZE_T QuotaPeakPagedPoolUsage;
  SIZE_T QuotaPagedPoolUsage;
  SIZE_T QuotaPeakNonPagedPoolUsage;
  SIZE_T QuotaNonPagedPoolUsage;
  SIZE_T PagefileUsage;
  SIZE_T PeakPagefileUsage;
  SIZE_T PrivatePageCount;
  LARGE_INTEGER ReadOperationCount;
  LARGE_INTEGER WriteOperationCount;
  LARGE_INTEGER OtherOperationCount;
  LARGE_INTEGER ReadTransferCount;
  LARGE_INTEGER WriteTransferCount;
  LARGE_INTEGER OtherTransferCount;
  // The process's threads follow: NumberOfThreads ThreadInformation records.
};
static_assert(sizeof(ThreadInformation) == 80);
static_assert(offsetof(ProcessInformation, ImageName) == 56);
static_assert(offsetof(ProcessInformation, UniqueProcessId) == 80);
static_assert(offsetof(ProcessInformation, VirtualSize) == 120);
static_assert(offsetof(ProcessInformation, WorkingSetSize) == 144);
static_assert(offsetof(ProcessInformation, PrivatePageCount) == 200);
static_assert(offsetof(ProcessInformation, ReadTransferCount) == 232);
static_assert(sizeof(ProcessInformation) == 256);

constexpr auto SYSTEM_PROCESS_INFORMATION_CLASS = static_cast<SYSTEM_INFORMATION_CLASS>(5);
constexpr auto PROCESS_COMMAND_LINE_INFORMATION_CLASS = static_cast<PROCESSINFOCLASS>(60);
// Where the x64 PEB keeps ProcessParameters, and RTL_USER_PROCESS_PARAMETERS its CommandLine.
constexpr std::size_t PEB_PROCESS_PARAMETERS = 0x20;
constexpr std::size_t PARAMETERS_COMMAND_LINE = 0x70;

std::string utf8Of(const wchar_t* text, std::size_t units) {
  if (units == 0 || text == nullptr) return {};
  const int length = static_cast<int>(units);
  // Unpaired surrogates become U+FFFD, as everywhere else the sidecar repairs text.
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::uint64_t u64(LARGE_INTEGER value) {
  return value.QuadPart < 0 ? 0 : static_cast<std::uint64_t>(value.QuadPart);
}
std::uint64_t u64(FILETIME value) {
  return (static_cast<std::uint64_t>(value.dwHighDateTime) << 32) | value.dwLowDateTime;
}
HANDLE handleOf(std::uint64_t handle) { return reinterpret_cast<HANDLE>(handle); }

class LiveNtKernel final : public NtKernel {
 public:
  std::uint32_t processorCount() override {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
  }

  std::optional<SystemTimes> systemTimes() override {
    FILETIME idle{}, kernel{}, user{};
    if (!::GetSystemTimes(&idle, &kernel, &user)) return std::nullopt;
    return SystemTimes{u64(idle), u64(kernel), u64(user)};
  }

  std::optional<MemoryStatus> memoryStatus() override {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return std::nullopt;
    return MemoryStatus{status.ullTotalPhys, status.ullAvailPhys};
  }

  std::uint64_t tickCount64() override { return ::GetTickCount64(); }

  ProcessListReply querySystemProcesses(std::size_t bufferBytes) override {
    // ULONGLONG elements: the records hold 8-byte fields and must be aligned for them.
    buffer_.resize((bufferBytes + 7) / 8);
    ULONG needed = 0;
    ProcessListReply reply;
    reply.status = ::NtQuerySystemInformation(SYSTEM_PROCESS_INFORMATION_CLASS, buffer_.data(),
                                              static_cast<ULONG>(buffer_.size() * 8), &needed);
    reply.return_length = needed;
    if (reply.status != NT_SUCCESS_CODE) return reply;
    const auto* base = reinterpret_cast<const std::byte*>(buffer_.data());
    for (std::size_t offset = 0;;) {
      const auto& info = *reinterpret_cast<const ProcessInformation*>(base + offset);
      ProcessRecord& record = reply.processes.emplace_back();
      record.pid = static_cast<std::uint32_t>(reinterpret_cast<ULONG_PTR>(info.UniqueProcessId));
      record.parent_pid = static_cast<std::uint32_t>(
          reinterpret_cast<ULONG_PTR>(info.InheritedFromUniqueProcessId));
      record.create_time = u64(info.CreateTime);
      record.user_time = u64(info.UserTime);
      record.kernel_time = u64(info.KernelTime);
      record.image_name = utf8Of(info.ImageName.Buffer, info.ImageName.Length / sizeof(wchar_t));
      record.working_set = info.WorkingSetSize;
      record.private_bytes = info.PrivatePageCount;
      record.virtual_size = info.VirtualSize;
      record.read_transfer = u64(info.ReadTransferCount);
      record.write_transfer = u64(info.WriteTransferCount);
      record.thread_count = info.NumberOfThreads;
      const auto* threads = reinterpret_cast<const ThreadInformation*>(&info + 1);
      record.threads.reserve(info.NumberOfThreads);
      for (ULONG t = 0; t < info.NumberOfThreads; ++t) {
        record.threads.push_back({threads[t].ThreadState, threads[t].WaitReason});
      }
      if (info.NextEntryOffset == 0) break;
      offset += info.NextEntryOffset;
    }
    return reply;
  }

  OpenReply openProcess(std::uint32_t pid) override {
    HANDLE handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (handle == nullptr) handle = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (handle == nullptr) return {0, ::GetLastError()};
    return {reinterpret_cast<std::uint64_t>(handle), 0};
  }

  void closeHandle(std::uint64_t handle) override { ::CloseHandle(handleOf(handle)); }

  bool hasExited(std::uint64_t handle) override {
    return ::WaitForSingleObject(handleOf(handle), 0) == WAIT_OBJECT_0;
  }

  CommandLineReply commandLineInformation(std::uint64_t handle) override {
    // The reply is a UNICODE_STRING followed by its text; the size needed comes back when the
    // buffer is too small.
    std::vector<ULONGLONG> buffer(512);
    CommandLineReply reply;
    for (int attempt = 0; attempt < 3; ++attempt) {
      ULONG needed = 0;
      reply.status = ::NtQueryInformationProcess(
          handleOf(handle), PROCESS_COMMAND_LINE_INFORMATION_CLASS, buffer.data(),
          static_cast<ULONG>(buffer.size() * 8), &needed);
      if (reply.status != NT_INFO_LENGTH_MISMATCH || needed <= buffer.size() * 8) break;
      buffer.resize((needed + 7) / 8);
    }
    if (reply.status == NT_SUCCESS_CODE) {
      const auto& text = *reinterpret_cast<const UNICODE_STRING*>(buffer.data());
      reply.text = utf8Of(text.Buffer, text.Length / sizeof(wchar_t));
    }
    return reply;
  }

  std::optional<std::string> pebCommandLine(std::uint64_t handle) override {
    PROCESS_BASIC_INFORMATION basic{};
    if (::NtQueryInformationProcess(handleOf(handle), ProcessBasicInformation, &basic, sizeof basic,
                                    nullptr) != NT_SUCCESS_CODE ||
        basic.PebBaseAddress == nullptr) {
      return std::nullopt;
    }
    const auto read = [&](const void* at, void* into, std::size_t size) {
      SIZE_T got = 0;
      return ::ReadProcessMemory(handleOf(handle), at, into, size, &got) && got == size;
    };
    const auto* peb = reinterpret_cast<const std::byte*>(basic.PebBaseAddress);
    const std::byte* parameters = nullptr;
    UNICODE_STRING line{};
    if (!read(peb + PEB_PROCESS_PARAMETERS, &parameters, sizeof parameters) ||
        parameters == nullptr || !read(parameters + PARAMETERS_COMMAND_LINE, &line, sizeof line)) {
      return std::nullopt;
    }
    std::wstring text(line.Length / sizeof(wchar_t), L'\0');
    if (!text.empty() && !read(line.Buffer, text.data(), text.size() * sizeof(wchar_t))) {
      return std::nullopt;
    }
    return utf8Of(text.data(), text.size());
  }

 private:
  std::vector<ULONGLONG> buffer_;
};

}  // namespace

}  // namespace procsampler::sampling::windows

namespace procsampler::sampling {

// A command line is kept whole, as one argument: Windows holds it to 32767 UTF-16 units.
std::unique_ptr<ProcessTable> newPlatformTable(Clock& clock, const TableLimits& /*limits*/) {
  return std::make_unique<windows::WinProcessTable>(std::make_unique<windows::LiveNtKernel>(),
                                                    clock);
}

}  // namespace procsampler::sampling
