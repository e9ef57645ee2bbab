#include "line_sink.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "process.h"
#include "sort_messages.h"
#include "sort_system.h"

namespace zelto::sorter {

namespace {

// What a signal that ends the run does to a half-written output, set before
// the handlers may read it: remove the file at the path (one the run made),
// or cut the file open as the descriptor back to nothing (one that was
// there, which so keeps its name, links and mode; a symbolic link named by
// -o stays and leads to it).
char cleanup_path[4096];
volatile std::sig_atomic_t cleanup_descriptor = -1;
volatile std::sig_atomic_t cleanup_armed = 0;

// A file must not be cut back while a write to it is under way on another
// thread: that write would land past the cut and leave its bytes, behind a
// hole, in a file taken for emptied. Each write to the file holds the
// ending signals off its own thread and counts itself under way; the
// cleanup first shuts out new writes, then waits for those under way.
std::atomic<bool> writes_shut_out = false;
std::atomic<int> writes_under_way = 0;

class WriteUnderWay {
 public:
  WriteUnderWay() {
    writes_under_way.fetch_add(1);
    if (writes_shut_out.load()) {
      // The run is ending on another thread, which ends this one too.
      writes_under_way.fetch_sub(1);
      for (;;) pause_a_millisecond();
    }
  }
  ~WriteUnderWay() { writes_under_way.fetch_sub(1); }
  WriteUnderWay(const WriteUnderWay&) = delete;
  WriteUnderWay& operator=(const WriteUnderWay&) = delete;

 private:
  const EndingSignalsHeld held_;  // first in, last out
};

void clean_half_written_output() {
  if (cleanup_armed == 0) return;
  writes_shut_out.store(true);
  while (writes_under_way.load() != 0) pause_a_millisecond();
  if (cleanup_descriptor >= 0) {
    empty_file_now(cleanup_descriptor);
  } else {
    remove_file_now(cleanup_path);
  }
}

void arm_cleanup(int fd) {
  cleanup_descriptor = fd;
  cleanup_armed = 1;
  watch_ending_signals(clean_half_written_output);
}

void remove_output_on_signal(const std::string& path) {
  cleanup_armed = 0;
  if (path.size() >= sizeof cleanup_path) return;
  std::memcpy(cleanup_path, path.c_str(), path.size() + 1);
  arm_cleanup(-1);
}

void empty_output_on_signal(int fd) {
  cleanup_armed = 0;
  arm_cleanup(fd);
}

void keep_output_on_signal() {
  cleanup_armed = 0;
}

// Bytes gathered before a write; larger pieces go out as they come.
constexpr std::size_t BLOCK_BYTES = std::size_t{1} << 20;
// An output no larger than this would sit in a stream's buffer until the
// end: its failure is a failed flush rather than a failed write.
constexpr std::uint64_t STREAM_BUFFER_BYTES = 4096;

}  // namespace

BlockedSink::BlockedSink(std::size_t block_bytes) : block_bytes_(block_bytes) {
  buffer_.reserve(block_bytes);
}

void BlockedSink::write(std::string_view bytes) {
  if (failed()) return;
  const bool large = bytes.size() >= block_bytes_ / 8;
  if (buffer_.size() + bytes.size() > block_bytes_ || large) flush();
  if (large) {
    // A block at a time: single writes of many MiB took twice the system
    // time of 1 MiB ones.
    for (std::size_t at = 0; at < bytes.size() && !failed(); at += block_bytes_) {
      put(bytes.substr(at, block_bytes_));
    }
  } else {
    buffer_.append(bytes);
  }
}

void BlockedSink::flush() {
  if (!buffer_.empty()) put(buffer_);
  buffer_.clear();
}

LineSink::LineSink() : BlockedSink(BLOCK_BYTES) {}

LineSink::~LineSink() {
  if (open_) abandon();
}

std::optional<FileIdentity> input_identity(const std::string& path) {
  return path == "-" ? identity_of(STANDARD_INPUT) : identity_of(path);
}

bool LineSink::open(const std::optional<std::string>& path,
                    const std::optional<FileIdentity>& input) {
  path_ = path;
  if (path.has_value()) {
    if (!file_.open(*path, input)) {
      const int error = errno;
      report("open failed: " + quote_file(*path) + ": " + error_text(error));
      return false;
    }
    std::setvbuf(file_.stream(), nullptr, _IONBF, 0);
    // A file written in place goes with a signal, or is emptied if it was
    // there before; one that replaces an input is removed by OutputFile
    // itself.
    if (!file_.replaces_input() && is_regular_file(*path)) {
      if (file_.created()) {
        remove_output_on_signal(*path);
      } else {
        empty_output_on_signal(fileno(file_.stream()));
      }
    }
  }
  open_ = true;
  return true;
}

void LineSink::report_write_failure(int error) {
  failed_ = true;
  const std::string name = path_.has_value() ? quote_file(*path_) : "'standard output'";
  const bool flushed = written_ <= STREAM_BUFFER_BYTES;
  report(std::string(flushed ? "fflush" : "write") + " failed: " + name + ": " + error_text(error));
  // Standard output that was never open fails once more as it is closed,
  // and sort names that failure too, unless a file it opened took that
  // number meanwhile (the first file opened takes the lowest free one).
  const int closing_error =
      !path_.has_value() && flushed && !opened_a_file() ? status_error(STANDARD_OUTPUT) : 0;
  report(closing_error != 0 ? "write error: " + error_text(closing_error) : "write error");
}

void LineSink::put(std::string_view bytes) {
  if (failed_ || bytes.empty()) return;
  written_ += bytes.size();
  int error = 0;
  if (path_.has_value()) {
    const WriteUnderWay under_way;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_.stream()) != bytes.size()) {
      error = errno != 0 ? errno : EIO;
    }
  } else if (!write_standard_output(bytes.data(), bytes.size(), error)) {
    if (error == 0) error = EIO;
  }
  if (error != 0) report_write_failure(error);
}

bool LineSink::finish() {
  flush();
  if (!open_) return false;
  if (failed_) {
    abandon();
    return false;
  }
  open_ = false;
  if (path_.has_value()) {
    // Every line is in the file: a signal now leaves it (and must not
    // touch the descriptor that the commit closes).
    keep_output_on_signal();
    errno = 0;
    const bool committed = file_.commit();
    if (!committed) {
      const int error = errno != 0 ? errno : EIO;
      report_write_failure(error);
      return false;
    }
  }
  return true;
}

void LineSink::abandon() {
  if (!open_) return;
  open_ = false;
  if (path_.has_value()) {
    file_.abandon();
    keep_output_on_signal();
  }
}

}  // namespace zelto::sorter
