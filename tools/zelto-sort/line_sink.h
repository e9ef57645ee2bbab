// Where the sorted lines go: standard output, or the -o file. Bytes are
// gathered into large blocks before they are written. An -o file that is
// also an input gets its new content only once it is complete (see
// OutputFile); one written in place is removed by a signal that ends the
// run, and by a failure, so that no half-written output is left behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "output_file.h"

namespace zelto::sorter {

// Where formatted lines go, a block of bytes at a time: the output, or a
// run on disk.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Appends bytes; a failure is remembered (and reported once).
  virtual void write(std::string_view bytes) = 0;
  [[nodiscard]] virtual bool failed() const = 0;
};

class LineSink final : public ByteSink {
 public:
  LineSink() = default;
  ~LineSink() override;
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  // Opens standard output (no `path`) or the file at `path`; `input` is the
  // identity of the input file that `path` names, if it names one. False
  // after reporting "open failed: PATH: REASON".
  [[nodiscard]] bool open(const std::optional<std::string>& path,
                          const std::optional<FileIdentity>& input);
  // Appends bytes; the first failure is remembered and reported once.
  void write(std::string_view bytes) override;
  // A line and its terminator.
  void write_line(std::string_view line, char terminator) {
    write(line);
    write(std::string_view(&terminator, 1));
  }
  [[nodiscard]] bool failed() const override { return failed_; }
  // Writes what is left and puts the -o file in place. False after
  // reporting the failure (the file is then removed or left as it was).
  [[nodiscard]] bool finish();
  // Gives up the output of a run that failed.
  void abandon();

 private:
  void flush();
  // Writes `bytes` out now.
  void put(std::string_view bytes);
  void report_write_failure(int error);

  std::optional<std::string> path_;
  OutputFile file_;
  bool open_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
  std::string buffer_;
};

// The identity of `path` when it names a file; standard input's for "-".
[[nodiscard]] std::optional<FileIdentity> input_identity(const std::string& path);

}  // namespace zelto::sorter
