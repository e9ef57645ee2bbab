// A status line for long runs: when standard error is a terminal and the run
// has taken more than two seconds, one line there ("zelto: merging  42%
// 1234567 records/s", or "zelto: sorting 1000000 records 3 s" for a phase
// that is not counted) is redrawn in place with a carriage return, from a
// thread of its own a few times a second, and erased before the run ends.
// When standard error is not a terminal nothing is written, so scripts and
// logs see no difference.
//
// The line never shares the terminal with anything else: `stop` erases it
// for good, every message goes through `report`, which erases it first, and
// a signal that ends the run erases it from its handler.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace zelto {

// Whom the line speaks for and what it counts: zelto and its records, or
// zelto-sort (by the name it was started by) and its lines.
struct ProgressWords {
  std::string_view program = "zelto";
  std::string_view unit = "records";
};

// The line for `phase` with `done` of `total` units after `seconds` in it.
[[nodiscard]] std::string progress_line(const char* phase, std::uint64_t done, std::uint64_t total,
                                        double seconds, const ProgressWords& words = {});
// The line for a phase over `total` units whose steps are not counted.
[[nodiscard]] std::string uncounted_progress_line(const char* phase, std::uint64_t total,
                                                  double seconds, const ProgressWords& words = {});

// Erases the status line of the running pass, if one is shown, and shows none
// from now on; called before any message goes to standard error.
void clear_status_line();

// Erases the status line, then writes `message` and a newline to standard
// error: the one way out for zelto's messages.
void report(std::string_view message);

class Progress {
 public:
  // Shows the line on `stream` only when `enabled`; `words` must outlive it.
  Progress(std::FILE* stream, bool enabled, ProgressWords words = {});
  // On standard error, when it is a terminal.
  [[nodiscard]] static Progress on_standard_error(ProgressWords words = {});
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts a phase of `total` units that `advance` counts.
  void begin(const char* phase, std::uint64_t total);
  // Starts a phase over `total` units that is not counted.
  void begin_uncounted(const char* phase, std::uint64_t total);
  // `done` units of the phase are done.
  void advance(std::uint64_t done) { done_.store(done, std::memory_order_relaxed); }
  // Removes the line and shows none from now on.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;
  void start_phase(const char* phase, std::uint64_t total, bool counted);
  void tick();
  void draw(const std::string& line);
  void erase();

  std::FILE* stream_;
  bool enabled_;
  ProgressWords words_;
  Clock::time_point run_start_;
  std::mutex mutex_;  // guards what follows, and the drawing
  std::condition_variable wake_;
  bool stopping_ = false;
  Clock::time_point phase_start_;
  const char* phase_ = nullptr;
  std::uint64_t total_ = 0;
  bool counted_ = true;
  std::size_t shown_width_ = 0;
  std::atomic<std::uint64_t> done_{0};
  std::thread ticker_;
};

}  // namespace zelto
