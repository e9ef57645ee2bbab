#include "line_sink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "parallel.h"
#include "progress.h"
#include "record_format.h"

namespace zelto {

// Gathers bytes into a block reserved beforehand, so that no allocation can
// fail once an output is open, and remembers whether any write failed. The
// block is used as two halves: while one is written, on a thread of its own
// where the run has more than one, the other fills.
class BlockWriter {
 public:
  BlockWriter(std::FILE* stream, std::span<unsigned char> block)
      : stream_(stream),
        half_(block.size() / 2),
        block_(block),
        writer_([this](std::size_t half) { write_half(half); }, thread_count()) {}

  void append(std::string_view bytes) {
    if (used_ + bytes.size() > half_) hand_over();
    if (bytes.size() > half_) {
      writer_.wait();
      write(bytes);
    } else {
      std::memcpy(filling() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
    }
  }

  // Writes what is gathered; true when every write so far succeeded.
  [[nodiscard]] bool finish() {
    hand_over();
    writer_.wait();
    return ok_;
  }

 private:
  [[nodiscard]] unsigned char* filling() const { return block_.data() + current_ * half_; }

  void hand_over() {
    if (used_ == 0) return;
    filled_[current_] = used_;
    writer_.post(current_);
    current_ ^= 1;
    used_ = 0;
  }

  void write_half(std::size_t half) {
    write({reinterpret_cast<const char*>(block_.data() + half * half_), filled_[half]});
  }

  void write(std::string_view bytes) {
    if (ok_ && !bytes.empty() &&
        std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
      ok_ = false;
    }
  }

  std::FILE* stream_;
  std::size_t half_;
  std::span<unsigned char> block_;
  std::size_t current_ = 0;  // the half being filled
  std::size_t used_ = 0;
  std::size_t filled_[2] = {0, 0};  // the bytes handed over in each half
  bool ok_ = true;
  BackgroundJob writer_;  // last: its thread stops before the rest goes
};

namespace {

void report_path(const char* site, const std::string& path) {
  report(std::string(site) + ": " + path);
}

// A failed commit of `file` at `path`: the step that failed, or the writing.
void report_failed_commit(const OutputFile& file, const std::string& path) {
  const std::string step = file.failed_step_message(path);
  if (step.empty()) {
    report_path("fwrite() error-1", path);
  } else {
    report(step);
  }
}

// Replaces the error log "error.txt" with "<message> <path>"; skipped when
// the log cannot be opened. When the log is the record file that was read,
// the records stay: the message goes to standard error instead.
void note_in_error_log(const char* message, const std::string& path,
                       const std::optional<FileIdentity>& records) {
  if (records.has_value() && identity_of(ERROR_LOG_PATH) == records) {
    report(std::string(message) + " " + path);
    return;
  }
  std::FILE* log = std::fopen(ERROR_LOG_PATH, "w");
  if (log == nullptr) return;
  std::fprintf(log, "%s %s", message, path.c_str());
  std::fclose(log);
}

}  // namespace

LineSink::LineSink(LineDestination destination, std::span<unsigned char> block)
    : destination_(std::move(destination)), block_(block) {}

LineSink::~LineSink() = default;

bool LineSink::open() {
  if (destination_.output_path.empty()) {
    // Standard output shows each text field as it is. Lines shown on a
    // terminal must not mix with the status line: it goes first.
    format_ = {destination_.text_offset, false, ""};
    clear_status_line();
    writer_ = std::make_unique<BlockWriter>(stdout, block_);
    return true;
  }
  // In a file only the first newline ends a line: the rest of the text
  // field is dropped.
  format_ = {destination_.text_offset, true, destination_.crlf ? "\r\n" : "\n"};
  path_ = destination_.output_path;
  if (!file_.open(path_, destination_.input)) {
    fell_back_ = true;
    note_in_error_log("fopen() error-1:", destination_.output_path, destination_.input);
    path_ = FALLBACK_PATH;
    if (!file_.open(path_, destination_.input)) {
      report_path("fopen() error-4", path_);
      return false;
    }
  }
  writer_ = std::make_unique<BlockWriter>(file_.stream(), block_);
  return true;
}

void LineSink::append(std::string_view bytes) {
  writer_->append(bytes);
}

LineDelivery LineSink::failed() const {
  return {ERROR_CODE, false};
}

LineDelivery LineSink::finish(bool records_intact) {
  const bool written = writer_->finish();
  if (!records_intact) return abandon();
  return destination_.output_path.empty() ? finish_display(written) : finish_file(written);
}

LineDelivery LineSink::abandon() {
  (void)writer_->finish();
  // A replacement is dropped, a file written in place removed or cut back.
  if (!destination_.output_path.empty()) file_.abandon();
  return failed();
}

LineDelivery LineSink::finish_display(bool written) {
  const bool flushed = std::fflush(stdout) == 0;
  if (!written || !flushed) {
    report_path("fwrite() error-1", "stdout");
    return {ERROR_CODE, false, false, true};
  }
  // Lines shown in a regular file are output like any other: on storage
  // before the records go.
  if (destination_.durable && !put_on_stable_storage(stdout)) {
    report(std::string("fsync() error: stdout: ") + std::strerror(errno));
    return failed();
  }
  return {EXIT_OK, true};
}

LineDelivery LineSink::finish_file(bool written) {
  // A replacement takes the record file's place only here, once it is whole.
  const bool committed = written && file_.commit(destination_.durable);
  if (!committed && file_.name_taken()) return deliver_to_fallback();
  if (!committed) {
    report_failed_commit(file_, path_);
    return failed();
  }
  return {fell_back_ ? ERROR_CODE : EXIT_OK, true, file_.replaces_input()};
}

// Another file took the record file's name while the lines replacing it
// were written (or, on Windows, another program refused the replacement):
// that file stays, and the finished lines go to the fallback file, as for
// an output that could not be opened.
LineDelivery LineSink::deliver_to_fallback() {
  note_in_error_log("fopen() error-1:", destination_.output_path, destination_.input);
  OutputFile fallback;
  if (!fallback.open(FALLBACK_PATH, destination_.input)) {
    report_path("fopen() error-4", FALLBACK_PATH);
    return failed();
  }
  if (!file_.copy_lines_to(fallback.stream()) || !fallback.commit(destination_.durable)) {
    report_failed_commit(fallback, FALLBACK_PATH);
    return failed();
  }
  return {ERROR_CODE, true, fallback.replaces_input()};
}

}  // namespace zelto
