#include <windows.h>

#include <bit>
#include <cstdlib>
#include <string>

#include "parallel.h"

namespace zelto {

namespace {

// The processors the process may run on. A process in one processor group
// (up to 64 processors) counts the bits of its affinity mask; one that
// spans several groups, as processes on machines with more than 64
// processors do from Windows 11 on, may run on every active processor of
// each of its groups.
unsigned affinity_cpus() {
  USHORT groups[64];
  USHORT group_count = 64;
  if (GetProcessGroupAffinity(GetCurrentProcess(), &group_count, groups) != 0 && group_count > 1) {
    unsigned cpus = 0;
    for (USHORT i = 0; i < group_count; ++i) cpus += GetActiveProcessorCount(groups[i]);
    return cpus;
  }
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) return 0;
  return static_cast<unsigned>(std::popcount(static_cast<unsigned long long>(process_mask)));
}

// A hard CPU rate limit of the job object the process runs in, in the form
// of a cgroup v2 "cpu.max": the rate is in hundredths of a percent of all
// the machine's processors. Empty when there is none.
std::string job_cpu_max() {
  JOBOBJECT_CPU_RATE_CONTROL_INFORMATION rate{};
  if (QueryInformationJobObject(nullptr, JobObjectCpuRateControlInformation, &rate, sizeof rate,
                                nullptr) == 0) {
    return {};
  }
  constexpr DWORD hard_cap =
      JOB_OBJECT_CPU_RATE_CONTROL_ENABLE | JOB_OBJECT_CPU_RATE_CONTROL_HARD_CAP;
  if ((rate.ControlFlags & hard_cap) != hard_cap ||
      (rate.ControlFlags & JOB_OBJECT_CPU_RATE_CONTROL_WEIGHT_BASED) != 0) {
    return {};
  }
  const unsigned long long all = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return std::to_string(rate.CpuRate * all) + " 10000";
}

}  // namespace

unsigned thread_count() {
  static const unsigned count = [] {
    const char* env = std::getenv("ZELTO_THREADS");
    const std::string cpu_max = job_cpu_max();
    return decide_thread_count({affinity_cpus(), cpu_max, "", "", env != nullptr ? env : ""});
  }();
  return count;
}

}  // namespace zelto
