#include <sched.h>

#include <cstdlib>
#include <string>

#include "parallel.h"
#include "system_text.h"

namespace zelto {

namespace {

unsigned affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return static_cast<unsigned>(CPU_COUNT(&set));
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
