// Where the sorted lines go: standard output, or the -o file. Bytes are
// gathered into large blocks before they are written. An -o file that is
// also an input gets its new content only once it is complete (see
// OutputFile); one written in place is removed by a signal that ends the
// run, and by a failure, so that no half-written output is left behind.
#pragma once

#include <cstddef>
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

// A sink that gathers small writes into a block of `block_bytes` and hands
// the block, and any piece of an eighth of a block or more, to `put`
// without copying the large pieces into the block first (a block's worth
// at a time). The block is
// reserved on construction, so that writing (on a thread of its own, say)
// never allocates.
class BlockedSink : public ByteSink {
 public:
  void write(std::string_view bytes) final;
  // Hands on what is gathered.
  void flush();

 protected:
  explicit BlockedSink(std::size_t block_bytes);
  // Writes `bytes` out now; a failure makes `failed()` true.
  virtual void put(std::string_view bytes) = 0;

 private:
  std::size_t block_bytes_;
  std::string buffer_;
};

class LineSink final : public BlockedSink {
 public:
  LineSink();
  ~LineSink() override;
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  // Opens standard output (no `path`) or the file at `path`; `input` is the
  // identity of the input file that `path` names, if it names one. False
  // after reporting "open failed: PATH: REASON".
  [[nodiscard]] bool open(const std::optional<std::string>& path,
                          const std::optional<FileIdentity>& input);
  // A write's first failure is remembered and reported once.
  [[nodiscard]] bool failed() const override { return failed_; }
  // Writes what is left and puts the -o file in place. False after
  // reporting the failure (the file is then removed or left as it was).
  [[nodiscard]] bool finish();
  // Gives up the output of a run that failed.
  void abandon();

 private:
  void put(std::string_view bytes) override;
  void report_write_failure(int error);

  std::optional<std::string> path_;
  OutputFile file_;
  bool open_ = false;
  bool failed_ = false;
  std::uint64_t written_ = 0;
};

// The identity of `path` when it names a file; standard input's for "-".
[[nodiscard]] std::optional<FileIdentity> input_identity(const std::string& path);

}  // namespace zelto::sorter
