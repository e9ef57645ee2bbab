#include "progress.h"

#include <algorithm>

#include "process.h"

namespace zelto {

namespace {

constexpr auto QUIET_START = std::chrono::seconds(2);
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);

}  // namespace

std::string progress_line(const char* phase, std::uint64_t done, std::uint64_t total,
                          double seconds) {
  const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
  const auto rate = seconds > 0 ? static_cast<unsigned long long>(done / seconds) : 0ULL;
  char line[128];
  std::snprintf(line, sizeof line, "zelto: %s %3u%% %llu records/s", phase, percent, rate);
  return line;
}

Progress::Progress(std::FILE* stream, bool enabled)
    : stream_(stream), enabled_(enabled), run_start_(Clock::now()), phase_start_(run_start_) {}

Progress Progress::on_standard_error() {
  return Progress(stderr, standard_error_is_terminal());
}

void Progress::begin(const char* phase, std::uint64_t total) {
  phase_ = phase;
  total_ = total;
  phase_start_ = Clock::now();
}

void Progress::advance(std::uint64_t done) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (now - run_start_ < QUIET_START || now - last_draw_ < REDRAW_INTERVAL) return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  std::string line = progress_line(phase_, done, total_, seconds);
  const std::size_t width = line.size();
  // Blanks over what a longer earlier line left.
  if (width < shown_width_) line.append(shown_width_ - width, ' ');
  std::fprintf(stream_, "\r%s", line.c_str());
  std::fflush(stream_);
  shown_width_ = std::max(shown_width_, width);
}

void Progress::erase() {
  if (shown_width_ == 0) return;
  std::fprintf(stream_, "\r%s\r", std::string(shown_width_, ' ').c_str());
  std::fflush(stream_);
  shown_width_ = 0;
}

}  // namespace zelto
