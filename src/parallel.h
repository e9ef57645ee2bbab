// How many threads a run uses, and a way to run independent tasks on them.
//
// The count is the number of processors the process may run on (its CPU
// affinity; on Windows across all its processor groups), lowered to the
// cgroup CPU quota (on Windows a job object's hard CPU rate) where one is
// set (rounded up),
// unless the environment variable ZELTO_THREADS holds a positive number,
// which then decides it (1: everything runs on the calling thread).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace zelto {

// The most threads a run starts, whatever the machine or ZELTO_THREADS say.
inline constexpr unsigned MAX_THREADS = 64;

// The texts a thread count is decided from; an empty text means "not there".
struct ThreadSources {
  unsigned affinity_cpus;       // processors in the affinity mask (0: unknown)
  std::string_view cpu_max;     // cgroup v2 "cpu.max": "QUOTA PERIOD" or "max PERIOD"
  std::string_view cfs_quota;   // cgroup v1 "cpu.cfs_quota_us" (-1: no quota)
  std::string_view cfs_period;  // cgroup v1 "cpu.cfs_period_us"
  std::string_view env;         // the value of ZELTO_THREADS
};

// The thread count the sources give: at least 1, at most MAX_THREADS.
[[nodiscard]] unsigned decide_thread_count(const ThreadSources& sources);

// The thread count of this process, decided once from the system and the
// environment.
[[nodiscard]] unsigned thread_count();

// Calls task(i) for every i in [0, tasks) on up to `threads` threads (the
// calling thread is one of them) and returns when all are done. Tasks are
// handed out in index order to whichever thread is free, so a task must not
// depend on which thread runs it. When a task throws, no task starts after
// it, and once every thread is done the first exception is thrown again on
// the calling thread. A thread that cannot be started leaves its share to
// the others.
void run_tasks(std::size_t tasks, unsigned threads, const std::function<void(std::size_t)>& task);

// How many parts a pass over `count` records is cut into for `threads`
// threads: one a thread, but no more than one for every `least_records`
// records begun (65,536 unless a pass says otherwise), as starting threads
// for small sets costs more than it saves.
[[nodiscard]] inline std::size_t part_count(std::size_t count, unsigned threads,
                                            std::size_t least_records = std::size_t{1} << 16) {
  const std::size_t wanted = (count + least_records - 1) / least_records;
  return std::clamp<std::size_t>(wanted, 1, std::max(1U, threads));
}

// The bounds of part `part` of `parts` nearly equal parts of [0, count).
[[nodiscard]] inline std::size_t part_start(std::size_t count, std::size_t parts,
                                            std::size_t part) {
  return count / parts * part + (part < count % parts ? part : count % parts);
}

// One job called again and again on a thread of its own, behind the calling
// thread, so that a buffer can be written while the next one fills:
// `post(n)` waits until the call before is done, then starts job(n) there and
// returns. Calls run one at a time, in the order posted. Without a thread of
// its own (`threads` is 1, or none can be started) `post` calls the job
// itself. The job must not throw. The destructor waits for the last call.
class BackgroundJob {
 public:
  BackgroundJob(std::function<void(std::size_t)> job, unsigned threads);
  ~BackgroundJob();
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  void post(std::size_t argument);
  // Returns once every posted call is done.
  void wait();

 private:
  void serve() noexcept;

  std::function<void(std::size_t)> job_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::size_t> posted_;
  bool busy_ = false;
  bool closing_ = false;
  std::thread thread_;  // last: it starts once everything it uses is there
};

}  // namespace zelto
