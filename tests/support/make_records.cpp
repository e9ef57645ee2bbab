// zelto_make_records: writes a record file, its parameter file and, on
// request, the same keys as text lines for a line-sorting tool.
//
//   zelto_make_records --kind=int|phrase|double --count=N --size=BYTES --dir=DIR
//                      [--seed=S] [--output=NAME] [--lines=FILE]
//
// DIR/binary.tmp receives N numbered records of BYTES bytes, DIR/manager.txt
// the thirteen parameter lines that sort them into NAME (default out.txt)
// with LF line ends and keep the record file. FILE (a path as given, not
// inside DIR) receives one line per record: its key text.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "record_maker.h"
#include "records.h"

namespace {

using zelto::testing::RecordKind;
using zelto::testing::RecordPlan;

constexpr int SUCCESS = 0;
constexpr int FAILURE = 1;
// Records are written in blocks of about this many bytes.
constexpr std::size_t BLOCK_BYTES = 8 << 20;
// Record numbers are signed 32-bit values counted from 1.
constexpr std::uint64_t MOST_RECORDS = 2147483647;

constexpr const char* USAGE =
    "usage: zelto_make_records --kind=int|phrase|double --count=N --size=BYTES --dir=DIR\n"
    "                          [--seed=S] [--output=NAME] [--lines=FILE]\n";

struct Options {
  RecordPlan plan;
  std::string dir;
  std::string output_name = "out.txt";
  std::string lines_path;
  bool has_kind = false;
  bool has_count = false;
  bool has_size = false;
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// Parses a whole decimal text; false when anything else is in it.
bool parse_unsigned(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Applies one "--name=value" argument; false when it is unknown or malformed.
bool apply_option(std::string_view arg, Options& o) {
  const std::size_t equals = arg.find('=');
  if (!arg.starts_with("--") || equals == std::string_view::npos) return false;
  const std::string_view name = arg.substr(2, equals - 2);
  const std::string_view value = arg.substr(equals + 1);
  std::uint64_t number = 0;
  if (name == "kind") {
    o.has_kind = zelto::testing::parse_kind(value, o.plan.kind);
    return o.has_kind;
  }
  if (name == "count") {
    o.has_count = parse_unsigned(value, number) && number <= MOST_RECORDS;
    o.plan.count = number;
    return o.has_count;
  }
  if (name == "size") {
    o.has_size = parse_unsigned(value, number) &&
                 number >= static_cast<std::uint64_t>(zelto::MINIMUM_RECORD_SIZE) &&
                 number <= MOST_RECORDS;
    o.plan.record_size = static_cast<std::size_t>(number);
    return o.has_size;
  }
  if (name == "seed") return parse_unsigned(value, o.plan.seed);
  if (name == "dir")
    o.dir = value;
  else if (name == "output")
    o.output_name = value;
  else if (name == "lines")
    o.lines_path = value;
  else
    return false;
  return !value.empty();
}

bool parse_options(std::span<char*> args, Options& o) {
  for (const char* arg : args) {
    if (!apply_option(arg, o)) {
      std::fprintf(stderr, "zelto_make_records: bad argument: %s\n", arg);
      return false;
    }
  }
  if (!o.has_kind || !o.has_count || !o.has_size || o.dir.empty()) {
    std::fprintf(stderr, "zelto_make_records: --kind, --count, --size and --dir are needed\n");
    return false;
  }
  return true;
}

FilePointer open_for_writing(const std::string& path) {
  FilePointer f(std::fopen(path.c_str(), "wb"));
  if (!f) std::fprintf(stderr, "zelto_make_records: cannot open %s\n", path.c_str());
  return f;
}

bool write_bytes(std::FILE* f, const void* bytes, std::size_t n) {
  return n == 0 || std::fwrite(bytes, 1, n, f) == n;
}

// Closes `f` and reports whether everything written reached the file.
bool close_file(FilePointer& f, const std::string& path) {
  if (std::fclose(f.release()) == 0) return true;
  std::fprintf(stderr, "zelto_make_records: cannot write %s\n", path.c_str());
  return false;
}

// Streams the records to `records` (and their key lines to `lines`, when
// given) one block at a time; false when a write fails.
bool write_records(const RecordPlan& plan, std::FILE* records, std::FILE* lines) {
  const std::size_t per_block = std::max<std::size_t>(1, BLOCK_BYTES / plan.record_size);
  std::vector<unsigned char> block(per_block * plan.record_size);
  std::string line_block;
  std::string key_text;
  for (std::uint64_t first = 0; first < plan.count; first += per_block) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(per_block, plan.count - first));
    std::fill(block.begin(), block.end(), 0);
    line_block.clear();
    for (std::size_t i = 0; i < n; ++i) {
      zelto::testing::make_record(plan, first + i, block.data() + i * plan.record_size, key_text);
      if (lines != nullptr) {
        line_block += key_text;
        line_block += '\n';
      }
    }
    if (!write_bytes(records, block.data(), n * plan.record_size)) return false;
    if (lines != nullptr && !write_bytes(lines, line_block.data(), line_block.size())) {
      return false;
    }
  }
  return true;
}

// The thirteen parameter lines: numbered records, exact phrases, no tie
// report, LF line ends, ascending, the record file kept, all records. The
// count and the size are at most MOST_RECORDS, so they fit the lines' 32 bits.
std::string parameter_text(const Options& o) {
  zelto::testing::Parameters p;
  p.record_count = static_cast<std::int32_t>(o.plan.count);
  p.key_type = static_cast<std::int32_t>(o.plan.kind);
  p.record_size = static_cast<std::int32_t>(o.plan.record_size);
  p.output_path = o.output_name;
  p.keep_record_file = "-y";
  return p.text();
}

int make_files(const Options& o) {
  std::error_code error;
  std::filesystem::create_directories(o.dir, error);
  const std::string record_path = (std::filesystem::path(o.dir) / "binary.tmp").string();
  const std::string manager_path = (std::filesystem::path(o.dir) / "manager.txt").string();
  FilePointer records = open_for_writing(record_path);
  if (!records) return FAILURE;
  FilePointer lines;
  if (!o.lines_path.empty()) {
    lines = open_for_writing(o.lines_path);
    if (!lines) return FAILURE;
  }
  if (!write_records(o.plan, records.get(), lines.get())) {
    std::fprintf(stderr, "zelto_make_records: cannot write the records\n");
    return FAILURE;
  }
  if (!close_file(records, record_path)) return FAILURE;
  if (lines && !close_file(lines, o.lines_path)) return FAILURE;
  FilePointer manager = open_for_writing(manager_path);
  if (!manager) return FAILURE;
  const std::string text = parameter_text(o);
  if (!write_bytes(manager.get(), text.data(), text.size()) || !close_file(manager, manager_path)) {
    return FAILURE;
  }
  return SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse_options(std::span<char*>(argv + 1, static_cast<std::size_t>(argc - 1)), options)) {
    std::fputs(USAGE, stderr);
    return FAILURE;
  }
  return make_files(options);
}
