// A record file above 4 GiB through the built command: 35,000,000 records of
// 128 bytes with integer keys, made by the project's generator. The output
// is streamed and checked line by line: its count, its order, and that it
// holds exactly the generated keys.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "run_binary.h"

namespace zelto::testing {
namespace {

constexpr std::uint64_t RECORD_COUNT = 35000000;
constexpr std::uint64_t RECORD_SIZE = 128;
// The record file, the key lines, the output and some room to spare.
constexpr std::uintmax_t NEEDED_SPACE = 12'000'000'000;

// The integers of a line of blank-separated decimal numbers; false when the
// line holds anything else.
bool parse_integers(std::string_view line, std::vector<std::int64_t>& numbers) {
  numbers.clear();
  const char* p = line.data();
  const char* end = p + line.size();
  while (p < end) {
    std::int64_t value = 0;
    const auto [next, error] = std::from_chars(p, end, value);
    if (error != std::errc()) return false;
    numbers.push_back(value);
    p = next;
    if (p < end && *p++ != ' ') return false;
  }
  return !numbers.empty();
}

// A well-mixed 64-bit hash of a line, for order-free sums of many lines.
std::uint64_t line_hash(std::string_view line) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (const char c : line) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
  h ^= h >> 31;
  h *= 0x94D049BB133111EBULL;
  return h ^ (h >> 29);
}

// Reads a text file line by line through a large buffer, without holding it.
class LineReader {
 public:
  explicit LineReader(const std::filesystem::path& path)
      : file_(std::fopen(path.c_str(), "rb")), buffer_(1 << 22) {}
  ~LineReader() {
    if (file_ != nullptr) std::fclose(file_);
  }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  [[nodiscard]] bool opened() const { return file_ != nullptr; }
  // The next line without its newline; false at the end. A last line
  // without a newline is returned too, and noted.
  bool next(std::string& line) {
    line.clear();
    while (true) {
      if (position_ == filled_) {
        filled_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        position_ = 0;
        if (filled_ == 0) {
          unterminated_ = unterminated_ || !line.empty();
          return !line.empty();
        }
      }
      const char* start = buffer_.data() + position_;
      const auto* newline = static_cast<const char*>(std::memchr(start, '\n', filled_ - position_));
      if (newline != nullptr) {
        line.append(start, newline);
        position_ += static_cast<std::size_t>(newline - start) + 1;
        return true;
      }
      line.append(start, filled_ - position_);
      position_ = filled_;
    }
  }
  [[nodiscard]] bool unterminated() const { return unterminated_; }

 private:
  std::FILE* file_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool unterminated_ = false;
};

// What a stream of lines adds up to, whatever their order.
struct LineSummary {
  std::uint64_t count = 0;
  std::uint64_t hash_sum = 0;
  std::uint64_t hash_xor = 0;
  void add(std::string_view line) {
    const std::uint64_t h = line_hash(line);
    ++count;
    hash_sum += h;
    hash_xor ^= h;
  }
  bool operator==(const LineSummary&) const = default;
};

TEST(LargeData, ArrangesMoreThanFourGibibytes) {
#ifndef ZELTO_MAKE_RECORDS
  GTEST_SKIP() << "the record generator zelto_make_records is not built";
#else
  Sandbox box;
  const std::uintmax_t available = std::filesystem::space(box.dir()).available;
  if (available < NEEDED_SPACE) {
    GTEST_SKIP() << "needs 12 GB free in " << box.dir().parent_path().parent_path() << ", has "
                 << available / 1000000 << " MB";
  }
  const std::filesystem::path key_lines = box.beside("keys.txt");
  const std::string generate =
      shell_quote(ZELTO_MAKE_RECORDS) + " --kind=int --count=" + std::to_string(RECORD_COUNT) +
      " --size=" + std::to_string(RECORD_SIZE) + " --dir=" + shell_quote(box.dir().string()) +
      " --lines=" + shell_quote(key_lines.string());
  ASSERT_EQ(run_shell(generate), 0) << generate;
  ASSERT_EQ(std::filesystem::file_size(box.path("binary.tmp")), RECORD_COUNT * RECORD_SIZE);
  ASSERT_GT(RECORD_COUNT * RECORD_SIZE, 4ULL << 30);

  // The generated parameters sort into out.txt with LF and keep binary.tmp.
  const RunResult r = box.run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt", "out.txt"}));

  LineSummary generated;
  {
    LineReader keys(key_lines);
    ASSERT_TRUE(keys.opened());
    std::string line;
    while (keys.next(line)) generated.add(line);
  }
  ASSERT_EQ(generated.count, RECORD_COUNT);

  // Each line holds its record's integer keys as text: ascending order means
  // the lists of integers never decrease.
  LineSummary written;
  LineReader output(box.path("out.txt"));
  ASSERT_TRUE(output.opened());
  std::string line;
  std::vector<std::int64_t> previous;
  std::vector<std::int64_t> current;
  std::uint64_t out_of_order = 0;
  std::uint64_t unreadable = 0;
  while (output.next(line)) {
    written.add(line);
    if (!parse_integers(line, current)) {
      if (++unreadable <= 3) ADD_FAILURE() << "line " << written.count << ": " << line;
      continue;
    }
    if (current < previous && ++out_of_order <= 3) {
      ADD_FAILURE() << "line " << written.count << " (" << line << ") sorts before the one above";
    }
    previous.swap(current);
  }
  EXPECT_FALSE(output.unterminated());
  EXPECT_EQ(written.count, RECORD_COUNT);
  EXPECT_EQ(out_of_order, 0U);
  EXPECT_EQ(unreadable, 0U);
  EXPECT_TRUE(written == generated) << "the output does not hold exactly the generated keys";
#endif
}

}  // namespace
}  // namespace zelto::testing
