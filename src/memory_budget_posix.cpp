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

// The room of the cgroup whose limit file is `limit_file`, from the usage and
// stat files beside it.
std::uint64_t room_of_cgroup(const std::string& limit_file) {
  const auto limit = parse_cgroup_limit(read_small_file(limit_file));
  if (!limit) return UNLIMITED_MEMORY;
  const std::string directory = limit_file.substr(0, limit_file.rfind('/') + 1);
  const bool v2 = limit_file.ends_with("memory.max");
  return cgroup_room(*limit,
                     read_small_file(directory + (v2 ? "memory.current" : "memory.usage_in_bytes")),
                     read_small_file(directory + "memory.stat"));
}

}  // namespace

MemoryLimits current_limits() {
  MemoryLimits limits;
  for (const std::string& file :
       cgroup_limit_files(read_small_file("/proc/self/cgroup"), "/sys/fs/cgroup")) {
    limits.cgroup = std::min(limits.cgroup, room_of_cgroup(file));
  }
  const std::string status = read_small_file("/proc/self/status");
  limits.address_space = rlimit_of(RLIMIT_AS);
  limits.address_space_used = status_kilobytes(status, "VmSize");
  limits.data = rlimit_of(RLIMIT_DATA);
  limits.data_used = status_kilobytes(status, "VmData");
  limits.available = status_kilobytes(read_small_file("/proc/meminfo"), "MemAvailable");
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (limits.available == 0) {
    limits.available = pages > 0 && page_size > 0 ? static_cast<std::uint64_t>(pages) *
                                                        static_cast<std::uint64_t>(page_size)
                                                  : UNLIMITED_MEMORY;
  }
  return limits;
}

}  // namespace zelto
