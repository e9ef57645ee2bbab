#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "system_text.h"

namespace zelto {

namespace {

std::optional<unsigned> cpus_for(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return {};
  const long long cpus = (quota + period - 1) / period;
  return static_cast<unsigned>(std::min<long long>(cpus, MAX_THREADS));
}

unsigned clamp_count(long long n) {
  return static_cast<unsigned>(std::clamp<long long>(n, 1, MAX_THREADS));
}

// The cgroup quota as processors (rounded up), or nothing when no quota is
// set or the texts cannot be read as one.
std::optional<unsigned> quota_cpus(const ThreadSources& sources) {
  const std::string_view cpu_max = trimmed(sources.cpu_max);
  if (!cpu_max.empty()) {
    const auto space = cpu_max.find(' ');
    if (space == std::string_view::npos) return {};
    const auto quota = whole_number<long long>(cpu_max.substr(0, space));
    const auto period = whole_number<long long>(cpu_max.substr(space + 1));
    if (!quota || !period) return {};  // "max": no quota
    return cpus_for(*quota, *period);
  }
  const auto quota = whole_number<long long>(sources.cfs_quota);
  const auto period = whole_number<long long>(sources.cfs_period);
  if (!quota || !period) return {};
  return cpus_for(*quota, *period);
}

}  // namespace

unsigned decide_thread_count(const ThreadSources& sources) {
  if (const auto wanted = whole_number<long long>(sources.env); wanted && *wanted > 0)
    return clamp_count(*wanted);
  long long cpus = sources.affinity_cpus > 0 ? sources.affinity_cpus : 1;
  if (const auto quota = quota_cpus(sources)) cpus = std::min<long long>(cpus, *quota);
  return clamp_count(cpus);
}

void run_tasks(std::size_t tasks, unsigned threads, const std::function<void(std::size_t)>& task) {
  const std::size_t helpers = std::min<std::size_t>(threads, tasks);
  if (helpers <= 1) {
    for (std::size_t i = 0; i < tasks; ++i) task(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  // The first failure of any task stops the handing out of tasks and is
  // raised again on the calling thread once every thread is done: nothing
  // thrown may leave a thread, which would end the process.
  std::mutex failure_mutex;
  std::exception_ptr failure;
  const auto work = [&]() noexcept {
    try {
      for (std::size_t i = next++; i < tasks; i = next++) task(i);
    } catch (...) {
      next = tasks;
      const std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
    }
  };
  {
    std::vector<std::jthread> pool;
    try {
      pool.reserve(helpers - 1);
    } catch (const std::bad_alloc&) {
      // No room to keep threads: the calling thread runs every task.
    }
    for (std::size_t t = 1; t < helpers && pool.size() < pool.capacity(); ++t) {
      try {
        pool.emplace_back(work);
      } catch (const std::exception&) {
        break;  // fewer threads: the ones running take the remaining tasks
      }
    }
    work();
  }
  if (failure) std::rethrow_exception(failure);
}

BackgroundJob::BackgroundJob(std::function<void(std::size_t)> job, unsigned threads)
    : job_(std::move(job)) {
  if (threads <= 1) return;
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::exception&) {
    // No thread: every call runs on the calling thread.
  }
}

BackgroundJob::~BackgroundJob() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundJob::post(std::size_t argument) {
  if (!thread_.joinable()) {
    job_(argument);
    return;
  }
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !posted_ && !busy_; });
    posted_ = argument;
  }
  changed_.notify_all();
}

void BackgroundJob::wait() {
  if (!thread_.joinable()) return;
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !posted_ && !busy_; });
}

void BackgroundJob::serve() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return posted_ || closing_; });
    if (!posted_) return;  // closing, with every call done
    const std::size_t argument = *posted_;
    posted_.reset();
    busy_ = true;
    lock.unlock();
    job_(argument);
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace zelto
