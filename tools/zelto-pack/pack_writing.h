// zelto-pack's output: turns lines of text into the record file `binary.tmp`
// and the parameter file `manager.txt` that zelto then arranges.
//
// Every line becomes one numbered record: its key in the 80-byte key area,
// its line number (from 1) at offset 80 and its text, without the CR of a
// CR LF end and with a newline, at offset 91. The parameter file declares
// the records and carries the chosen options in its thirteen lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pack_keys.h"
#include "pack_options.h"

namespace zelto {

// One input line: its bytes without the line end, and whether that end was
// CR LF rather than LF alone.
struct InputLine {
  std::string_view content;
  bool ends_with_crlf = false;
};

// Cuts `data` into lines at each LF; a last line without LF is a line too,
// and empty data has no lines. The views point into `data`.
[[nodiscard]] std::vector<InputLine> split_lines(std::string_view data);

// Reads all of the file at `path`, or standard input for "-", into `data`.
// Returns PACK_OK, or PACK_FAILURE with `message` naming the path and cause.
[[nodiscard]] int read_input(const std::string& path, std::string& data, std::string& message);

// One input among several: its name in messages and the index of its first
// line among all lines.
struct InputSource {
  std::string name;
  std::size_t first_line = 0;
};

// Reads every input in turn into `data`, as one text in which each input
// but the last ends with a line end, and notes where each one starts.
// Returns PACK_OK, or PACK_FAILURE with `message`.
[[nodiscard]] int read_inputs(std::span<const std::string> paths, std::string& data,
                              std::vector<InputSource>& sources, std::string& message);

// The text field of line `number`: "N:" in front when numbered, the content
// (its first --max-line bytes) and a newline. zelto shows the field as it is
// on standard output and puts its own line end after the content in a file,
// so the field carries no CR, except with --sort, whose lines are zelto's
// display: there a CR LF line keeps its CR, as sort keeps it.
[[nodiscard]] std::string text_field_of(const InputLine& line, std::int32_t number,
                                        const PackOptions& options);

// The record size that holds a text field of `text_length` bytes: the text
// offset 91, the text and its NUL.
[[nodiscard]] std::int64_t record_size_for(std::size_t text_length);

// Lays out one record in `record` (zeroed first): `key` at 0, `number` as
// signed 32-bit little-endian at 80, `text` and a NUL at 91. Assumes
// `record` holds at least record_size_for(text.size()) bytes.
void fill_record(std::span<unsigned char> record, const KeyArea& key, std::int32_t number,
                 std::string_view text);

// What plan_records found out about the lines.
struct PackPlan {
  std::int32_t record_count = 0;
  std::int32_t record_size = 0;
  // The first line ends in CR LF: the parameter file then asks for CR LF.
  bool input_crlf = false;
  // Phrase keys cut to 79 bytes.
  std::int64_t cut_keys = 0;
  // Lines with a NaN in a -g key, counted with --unique only.
  std::int64_t nan_keys = 0;
  // Lines given the lowest key by --lenient.
  std::int64_t lenient_lines = 0;
  // Texts cut by --max-line.
  std::int64_t cut_texts = 0;
  // The bytes the records would take if each were only as long as its own
  // line needs, and the first line that needs the chosen size.
  std::int64_t fitted_bytes = 0;
  std::int32_t widest_line = 0;
};

// Checks every line (no NUL byte, a usable key, a text that fits) and picks
// the record size: the one asked for, or the smallest that holds the longest
// text. Returns PACK_OK with `plan` filled, or PACK_FAILURE with `message`
// naming the input and the line: the source the line came from and its
// line number there, or the first input of `options` when no sources are
// given.
[[nodiscard]] int plan_records(std::span<const InputLine> lines, const PackOptions& options,
                               PackPlan& plan, std::string& message,
                               std::span<const InputSource> sources = {});

// The warnings and notes that the plan calls for, one line each, without
// the command's name: cut keys, --lenient lines, cut texts and a record file
// far larger than its lines need.
[[nodiscard]] std::vector<std::string> plan_notes(const PackPlan& plan, const PackOptions& options);

// The thirteen lines of the parameter file for the planned records, read
// from binary.tmp.
[[nodiscard]] std::string compose_manager_text(const PackOptions& options, const PackPlan& plan);

// Writes every line as a record of `record_size` bytes to `file`, which
// messages call `name`; the lines must have passed plan_records. Returns
// PACK_OK, or PACK_FAILURE with `message`.
[[nodiscard]] int write_record_file(std::FILE* file, const std::string& name,
                                    std::span<const InputLine> lines, const PackOptions& options,
                                    std::int32_t record_size, std::string& message);

// Writes `text` to `file`, which messages call `name`. Returns PACK_OK, or
// PACK_FAILURE with `message`.
[[nodiscard]] int write_text_file(std::FILE* file, const std::string& name, std::string_view text,
                                  std::string& message);

// A file that is written under a temporary name beside `final_path` and
// takes that name only when commit() succeeds; until then the file at
// `final_path`, if any, is untouched, and the temporary file is removed when
// this object ends, or by an interruption.
class StagedFile {
 public:
  explicit StagedFile(std::string final_path);
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Creates the temporary file. Returns PACK_OK, or PACK_FAILURE with
  // `message` naming the final path.
  [[nodiscard]] int open(std::string& message);
  // The stream to write; valid between open() and finish().
  [[nodiscard]] std::FILE* stream() const { return file_; }
  // Puts everything written on storage and closes the stream.
  [[nodiscard]] int finish(std::string& message);
  // Moves the finished file into place, replacing what was there.
  [[nodiscard]] int commit(std::string& message);

 private:
  std::string final_path_;
  std::string temporary_path_;
  std::FILE* file_ = nullptr;
  bool committed_ = false;
};

// The path of `name` in `directory`; `name` itself for an empty directory.
[[nodiscard]] std::string path_in(const std::string& directory, const char* name);

// Writes binary.tmp and then manager.txt into `directory` (empty: the
// working directory) through staged files: both are on storage before the
// record file moves into place, and the parameter file moves last. An
// existing file that this process may not write is not replaced. On
// failure neither existing file is changed or removed, unless the last
// move itself failed. Returns PACK_OK, or PACK_FAILURE with `message`.
[[nodiscard]] int write_pair(const std::string& directory, std::span<const InputLine> lines,
                             const PackOptions& options, const PackPlan& plan,
                             std::string& message);

// Reads the inputs, checks every line and writes binary.tmp and manager.txt
// into the directory of -C or the working directory; notes go to standard
// error. On failure writes one message to standard error and leaves the two
// files as they were. With --sort, packs into a private directory instead,
// runs `zelto` there (the one in the directory of `program`, which started
// zelto-pack, or the one on the PATH) with its lines going to standard
// output or to the file of -o, and removes the directory, also when
// interrupted. Returns the exit status: zelto's own with --sort.
[[nodiscard]] int pack_lines(const PackOptions& options, const char* program);

// The whole command: arguments, help, version, packing. Returns the exit
// status.
[[nodiscard]] int run_pack(int argc, const char* const* argv);

}  // namespace zelto
