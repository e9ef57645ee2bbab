#include <windows.h>

// After <windows.h>, whose types it uses.
#include <psapi.h>

#include <algorithm>

#include "memory_budget.h"

namespace zelto {

namespace {

// Windows backs every allocation with commit charge at once: what a pass
// can still allocate is the commit limit less the charge already taken,
// which takes the place of the address-space limit.
void read_memory_status(MemoryLimits& limits) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0) return;
  limits.available = status.ullAvailPhys;
  limits.address_space = status.ullTotalPageFile;
  limits.address_space_used = status.ullTotalPageFile - status.ullAvailPageFile;
}

// A job object's limits play the cgroup's part: the memory of all its
// processes together, and that of each process (against the commit charge
// this process already has).
void read_job_limits(MemoryLimits& limits) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION job{};
  if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job,
                                nullptr) == 0) {
    return;
  }
  const DWORD flags = job.BasicLimitInformation.LimitFlags;
  if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0) limits.cgroup = job.JobMemoryLimit;
  if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) {
    limits.data = job.ProcessMemoryLimit;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(),
                             reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters) != 0) {
      limits.data_used = counters.PrivateUsage;
    }
  }
}

}  // namespace

MemoryLimits current_limits() {
  MemoryLimits limits;
  read_memory_status(limits);
  read_job_limits(limits);
  return limits;
}

}  // namespace zelto
