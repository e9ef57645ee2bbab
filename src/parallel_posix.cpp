#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "parallel.h"
#include "system_text.h"

namespace zelto {

namespace {

// The processors this process may run on: its affinity mask on Linux, the
// processors online elsewhere.
unsigned affinity_cpus() {
#ifdef CPU_COUNT
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return static_cast<unsigned>(CPU_COUNT(&set));
#else
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 0;
#endif
}

}  // namespace

unsigned thread_count() {
  static const unsigned count = [] {
    const char* env = std::getenv("ZELTO_THREADS");
    const std::string cpu_max = read_small_file("/sys/fs/cgroup/cpu.max");
    const std::string quota = read_small_file("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
    const std::string period = read_small_file("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
    return decide_thread_count(
        {affinity_cpus(), cpu_max, quota, period, env != nullptr ? env : ""});
  }();
  return count;
}

}  // namespace zelto
