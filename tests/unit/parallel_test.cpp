// The thread count from affinity, cgroup quota and ZELTO_THREADS, the task
// runner and the background job.
#include "parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

namespace zelto {
namespace {

TEST(Parallel, ThreadCountFollowsEnvironmentQuotaAndAffinity) {
  struct Case {
    const char* name;
    ThreadSources sources;
    unsigned threads;
  };
  const Case cases[] = {
      {"affinity alone", {4, "", "", "", ""}, 4},
      {"affinity unknown", {0, "", "", "", ""}, 1},
      {"v2 no quota", {4, "max 100000\n", "", "", ""}, 4},
      {"v2 quota of 1.5 cpus", {4, "150000 100000\n", "", "", ""}, 2},
      {"v2 quota above affinity", {2, "800000 100000", "", "", ""}, 2},
      {"v2 quota below one cpu", {8, "20000 100000", "", "", ""}, 1},
      {"v2 unreadable", {3, "garbage", "", "", ""}, 3},
      {"v1 quota", {8, "", "300000\n", "100000\n", ""}, 3},
      {"v1 no quota", {8, "", "-1\n", "100000\n", ""}, 8},
      {"v1 zero period", {8, "", "300000", "0", ""}, 8},
      {"v2 wins over v1", {8, "200000 100000", "700000", "100000", ""}, 2},
      {"env one", {8, "200000 100000", "", "", "1"}, 1},
      {"env above the machine", {2, "", "", "", "3"}, 3},
      {"env with blanks", {2, "", "", "", " 5 "}, 5},
      {"env capped", {2, "", "", "", "100000"}, MAX_THREADS},
      {"env zero is ignored", {6, "", "", "", "0"}, 6},
      {"env negative is ignored", {6, "", "", "", "-2"}, 6},
      {"env text is ignored", {6, "", "", "", "two"}, 6},
      {"env with a tail is ignored", {6, "", "", "", "2x"}, 6},
      {"affinity capped", {500, "", "", "", ""}, MAX_THREADS},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decide_thread_count(c.sources), c.threads) << c.name;
  }
}

TEST(Parallel, EveryTaskRunsOnceForEveryThreadCount) {
  for (const unsigned threads : {1U, 2U, 3U, 8U}) {
    for (const std::size_t tasks :
         {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{1000}}) {
      std::vector<std::atomic<int>> runs(tasks);
      run_tasks(tasks, threads, [&](std::size_t i) { ++runs[i]; });
      for (std::size_t i = 0; i < tasks; ++i) {
        ASSERT_EQ(runs[i].load(), 1) << threads << " threads, task " << i << " of " << tasks;
      }
    }
  }
}

// A task that throws, on whichever thread, ends no thread: the first
// exception reaches the caller once every thread is done, and the handing
// out of tasks stops soon after it. While the exception travels to its
// handler the other threads may start a few more tasks; each task takes a
// millisecond, so a pool that never stopped would start all 200.
TEST(Parallel, AFailedTaskIsRaisedOnTheCallingThread) {
  constexpr std::size_t TASKS = 200;
  constexpr std::size_t SLACK = 40;
  for (const unsigned threads : {1U, 2U, 3U}) {
    for (const std::size_t failing : {std::size_t{0}, std::size_t{5}, TASKS - 1}) {
      std::atomic<std::size_t> started{0};
      EXPECT_THROW(run_tasks(TASKS, threads,
                             [&](std::size_t i) {
                               ++started;
                               if (i == failing) throw std::bad_alloc();
                               std::this_thread::sleep_for(std::chrono::milliseconds(1));
                             }),
                   std::bad_alloc)
          << threads << " threads, task " << failing;
      EXPECT_LE(started.load(), std::min(TASKS, failing + threads + SLACK))
          << threads << " threads, task " << failing;
    }
  }
}

// Calls of a background job never overlap and keep the order of posting;
// with more than one thread they run on a thread other than the caller's.
TEST(Parallel, BackgroundJobRunsItsCallsInOrderOneAtATime) {
  for (const unsigned threads : {1U, 2U}) {
    std::vector<std::size_t> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> elsewhere{false};
    const std::thread::id caller = std::this_thread::get_id();
    {
      BackgroundJob job(
          [&](std::size_t n) {
            if (++running > 1) overlapped = true;
            if (std::this_thread::get_id() != caller) elsewhere = true;
            seen.push_back(n);
            --running;
          },
          threads);
      for (std::size_t n = 0; n < 500; ++n) job.post(n);
      job.wait();
      EXPECT_EQ(seen.size(), 500U) << threads;
      job.post(500);  // left for the destructor to wait for
    }
    ASSERT_EQ(seen.size(), 501U) << threads;
    for (std::size_t n = 0; n <= 500; ++n) ASSERT_EQ(seen[n], n) << threads;
    EXPECT_FALSE(overlapped) << threads;
    EXPECT_EQ(elsewhere, threads > 1);
  }
}

TEST(Parallel, PartsCoverTheRangeWithoutGaps) {
  for (const std::size_t count : {0, 1, 7, 100, 65537}) {
    for (const std::size_t parts : {1, 2, 3, 64}) {
      EXPECT_EQ(part_start(count, parts, 0), 0U);
      EXPECT_EQ(part_start(count, parts, parts), count);
      for (std::size_t p = 0; p < parts; ++p) {
        const std::size_t size = part_start(count, parts, p + 1) - part_start(count, parts, p);
        EXPECT_LE(size, count / parts + 1);
      }
    }
  }
}

}  // namespace
}  // namespace zelto
