#include "progress.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "output_file.h"
#include "process.h"

namespace zelto {

namespace {

constexpr auto QUIET_START = std::chrono::seconds(2);
constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(250);
constexpr std::size_t MAXIMUM_WIDTH = 127;

// The pass whose line may be shown; only one runs at a time.
std::mutex active_mutex;
Progress* active = nullptr;

// What a signal handler needs to erase the line: its width, and whether it
// is being drawn at the moment. Once `ending` is set no line is drawn.
std::atomic<std::size_t> shown_width{0};
std::atomic<bool> drawing{false};
std::atomic<bool> ending{false};

// Erases the line from a signal handler: waits a moment for a drawing in
// progress to end, then overwrites the line with blanks in one write.
void erase_on_ending_signal() {
  ending.store(true);
  for (int waits = 0; drawing.load() && waits < 100; ++waits) {
    pause_a_millisecond();
  }
  const std::size_t width = std::min(shown_width.load(), MAXIMUM_WIDTH);
  if (width == 0) return;
  char blanks[MAXIMUM_WIDTH + 2];
  blanks[0] = '\r';
  std::fill_n(blanks + 1, width, ' ');
  blanks[width + 1] = '\r';
  write_to_standard_error(blanks, width + 2);
}

}  // namespace

std::string progress_line(const char* phase, std::uint64_t done, std::uint64_t total,
                          double seconds, const ProgressWords& words) {
  const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done * 100 / total);
  const auto rate = seconds > 0 ? static_cast<unsigned long long>(done / seconds) : 0ULL;
  char line[MAXIMUM_WIDTH + 1];
  std::snprintf(line, sizeof line, "%.*s: %s %3u%% %llu %.*s/s",
                static_cast<int>(words.program.size()), words.program.data(), phase, percent, rate,
                static_cast<int>(words.unit.size()), words.unit.data());
  return line;
}

std::string uncounted_progress_line(const char* phase, std::uint64_t total, double seconds,
                                    const ProgressWords& words) {
  char line[MAXIMUM_WIDTH + 1];
  std::snprintf(line, sizeof line, "%.*s: %s %llu %.*s %llu s",
                static_cast<int>(words.program.size()), words.program.data(), phase,
                static_cast<unsigned long long>(total), static_cast<int>(words.unit.size()),
                words.unit.data(), static_cast<unsigned long long>(seconds));
  return line;
}

void clear_status_line() {
  Progress* shown = nullptr;
  {
    const std::lock_guard lock(active_mutex);
    shown = std::exchange(active, nullptr);
  }
  if (shown != nullptr) shown->stop();
}

void report(std::string_view message) {
  clear_status_line();
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
}

Progress::Progress(std::FILE* stream, bool enabled, ProgressWords words)
    : stream_(stream),
      enabled_(enabled),
      words_(words),
      run_start_(Clock::now()),
      phase_start_(run_start_) {
  if (!enabled_) return;
  try {
    ticker_ = std::thread([this] { tick(); });
  } catch (const std::system_error&) {
    enabled_ = false;  // a run without the line is still a run
    return;
  }
  watch_ending_signals(erase_on_ending_signal);
  const std::lock_guard lock(active_mutex);
  active = this;
}

Progress::~Progress() {
  {
    const std::lock_guard lock(active_mutex);
    if (active == this) active = nullptr;
  }
  stop();
}

Progress Progress::on_standard_error(ProgressWords words) {
  return Progress(stderr, standard_error_is_terminal(), words);
}

void Progress::begin(const char* phase, std::uint64_t total) {
  start_phase(phase, total, true);
}

void Progress::begin_uncounted(const char* phase, std::uint64_t total) {
  start_phase(phase, total, false);
}

void Progress::start_phase(const char* phase, std::uint64_t total, bool counted) {
  if (!enabled_) return;
  const std::lock_guard lock(mutex_);
  phase_ = phase;
  total_ = total;
  counted_ = counted;
  phase_start_ = Clock::now();
  done_.store(0, std::memory_order_relaxed);
}

// The ticker's loop: after the quiet start, the line of the current phase
// a few times a second, until the line is stopped. A line that finds no
// memory is skipped.
void Progress::tick() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, REDRAW_INTERVAL);
    const auto now = Clock::now();
    if (stopping_ || phase_ == nullptr || now - run_start_ < QUIET_START) continue;
    const double seconds = std::chrono::duration<double>(now - phase_start_).count();
    try {
      draw(counted_ ? progress_line(phase_, done_.load(std::memory_order_relaxed), total_, seconds,
                                    words_)
                    : uncounted_progress_line(phase_, total_, seconds, words_));
    } catch (const std::bad_alloc&) {
      drawing.store(false);
    }
  }
}

// Called with the mutex held.
void Progress::draw(const std::string& text) {
  drawing.store(true);
  if (!ending.load()) {
    std::string line = text;
    // Blanks over what a longer earlier line left.
    if (line.size() < shown_width_) line.append(shown_width_ - line.size(), ' ');
    std::fprintf(stream_, "\r%s", line.c_str());
    std::fflush(stream_);
    shown_width_ = std::max(shown_width_, text.size());
    shown_width.store(shown_width_);
  }
  drawing.store(false);
}

// Called with the mutex held.
void Progress::erase() {
  if (shown_width_ == 0) return;
  std::fprintf(stream_, "\r%s\r", std::string(shown_width_, ' ').c_str());
  std::fflush(stream_);
  shown_width_ = 0;
  shown_width.store(0);
}

void Progress::stop() {
  if (!enabled_) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    erase();
  }
  wake_.notify_all();
  if (ticker_.joinable()) ticker_.join();
  enabled_ = false;
}

}  // namespace zelto
