// A status line for long runs: when standard error is a terminal and the run
// has taken more than two seconds, one line there ("merging  42%  1234567
// records/s") is redrawn in place with a carriage return and erased before
// the run ends. When standard error is not a terminal nothing is written, so
// scripts and logs see no difference.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace zelto {

// The line for `phase` with `done` of `total` units after `seconds` in it.
[[nodiscard]] std::string progress_line(const char* phase, std::uint64_t done, std::uint64_t total,
                                        double seconds);

class Progress {
 public:
  // Shows the line on `stream` only when `enabled`.
  Progress(std::FILE* stream, bool enabled);
  // On standard error, when it is a terminal.
  static Progress on_standard_error();
  ~Progress() { erase(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts a phase of `total` units (records).
  void begin(const char* phase, std::uint64_t total);
  // `done` units of the phase are done; redraws at most a few times a second.
  void advance(std::uint64_t done);
  // Removes the line, if one is shown.
  void erase();
  // Removes the line and shows none from now on.
  void stop() {
    erase();
    enabled_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* stream_;
  bool enabled_;
  Clock::time_point run_start_;
  Clock::time_point phase_start_;
  Clock::time_point last_draw_;
  const char* phase_ = "";
  std::uint64_t total_ = 0;
  std::size_t shown_width_ = 0;
};

}  // namespace zelto
