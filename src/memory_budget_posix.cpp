#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "memory_budget.h"
#include "system_text.h"

namespace zelto {

namespace {

std::uint64_t rlimit_of(int resource) {
  rlimit limit{};
  if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UNLIMITED_MEMORY;
  return limit.rlim_cur;
}

}  // namespace

MemoryLimits current_limits() {
  MemoryLimits limits;
  for (const std::string& file :
       cgroup_limit_files(read_small_file("/proc/self/cgroup"), "/sys/fs/cgroup")) {
    const auto limit = parse_cgroup_limit(read_small_file(file));
    if (limit) limits.cgroup = std::min(limits.cgroup, *limit);
  }
  const std::string status = read_small_file("/proc/self/status");
  limits.address_space = rlimit_of(RLIMIT_AS);
  limits.address_space_used = status_kilobytes(status, "VmSize");
  limits.data = rlimit_of(RLIMIT_DATA);
  limits.data_used = status_kilobytes(status, "VmData");
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0) {
    limits.physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  return limits;
}

}  // namespace zelto
