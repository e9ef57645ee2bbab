// zelto_make_text: writes a text corpus for timing line sorts.
//
//   zelto_make_text --size=BYTES[K|M|G] --output=FILE [--seed=S]
//
// The lines are those a line sort meets in practice, mixed: file listings
// with their sizes ("4096<TAB>/usr/share/...", long shared beginnings), log
// lines (a timestamp, a host, a level, a message with numbers), CSV rows (a
// signed decimal, a name, a size with a unit suffix, a signed integer, a
// city), about one line in twelve a repeat of a recent one, and one line in
// 20,000 of 10 to 100 kB. The file is a pure function of the size and the
// seed (the generator's own splitmix64 sequence, no library distribution),
// written in blocks of 8 MB: a few seconds a gigabyte.
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int SUCCESS = 0;
constexpr int FAILURE = 1;
constexpr std::size_t BLOCK_BYTES = 8 << 20;
constexpr std::size_t RECENT_LINES = 4096;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number in [0, bound); bound > 0.
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }
  bool one_in(std::size_t n) { return below(n) == 0; }
  template <typename T, std::size_t N>
  const T& pick(const std::array<T, N>& items) {
    return items[below(N)];
  }
  // Small values much more often than large ones: a number below 10^digits
  // with a number of digits drawn first.
  std::uint64_t skewed(int most_digits) {
    std::uint64_t limit = 1;
    for (int d = static_cast<int>(below(static_cast<std::size_t>(most_digits))) + 1; d > 0; --d) {
      limit *= 10;
    }
    return next() % limit;
  }

 private:
  std::uint64_t state_;
};

constexpr std::array<std::string_view, 6> ROOTS = {
    "/usr/share/doc/",
    "/usr/lib/x86_64-linux-gnu/",
    "/home/engineering/projects/zelto/build/tools/zelto-sort/CMakeFiles/",
    "/home/engineering/projects/zelto/src/",
    "/var/lib/containers/storage/overlay/3f9a1c0e5b7d2a4c6e8f0a1b3c5d7e9f/diff/usr/",
    "/srv/data/archive/2026/12/10/"};
constexpr std::array<std::string_view, 24> NAMES = {
    "alpha",  "bravo",   "charlie", "delta", "echo",    "foxtrot",  "golf",    "hotel",
    "india",  "juliett", "kilo",    "lima",  "mike",    "november", "oscar",   "papa",
    "quebec", "romeo",   "sierra",  "tango", "uniform", "victor",   "whiskey", "x-ray"};
constexpr std::array<std::string_view, 8> EXTENSIONS = {".txt", ".cpp",  ".h",      ".so.1",
                                                        ".gz",  ".json", ".tar.gz", ""};
constexpr std::array<std::string_view, 5> LEVELS = {"INFO", "DEBUG", "WARN", "ERROR", "INFO"};
constexpr std::array<std::string_view, 6> UNITS = {"", "K", "M", "G", "T", "k"};
constexpr std::array<std::string_view, 8> CITIES = {"Oslo",  "Lima",    "Paris", "Quito",
                                                    "Tokyo", "Nairobi", "Perth", "Zagreb"};

void append_number(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void append_padded(std::string& out, std::uint64_t value, int width) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  for (int pad = width - static_cast<int>(result.ptr - digits); pad > 0; --pad) out += '0';
  out.append(digits, result.ptr);
}

// "SIZE<TAB>PATH", as du prints it.
void file_listing(Random& random, std::string& out) {
  append_number(out, random.skewed(9));
  out += '\t';
  out += random.pick(ROOTS);
  for (std::size_t depth = random.below(4); depth > 0; --depth) {
    out += random.pick(NAMES);
    out += '/';
  }
  out += random.pick(NAMES);
  if (random.one_in(2)) out += '-', append_number(out, random.below(300));
  out += random.pick(EXTENSIONS);
}

// "2026-12-10T04:36:16.123Z host-17 service[1234]: LEVEL message".
void log_line(Random& random, std::string& out) {
  out += "2026-12-";
  append_padded(out, 1 + random.below(28), 2);
  out += 'T';
  append_padded(out, random.below(24), 2);
  out += ':';
  append_padded(out, random.below(60), 2);
  out += ':';
  append_padded(out, random.below(60), 2);
  out += '.';
  append_padded(out, random.below(1000), 3);
  out += "Z host-";
  append_number(out, random.below(40));
  out += ' ';
  out += random.pick(NAMES);
  out += '[';
  append_number(out, 100 + random.below(30000));
  out += "]: ";
  out += random.pick(LEVELS);
  out += " request ";
  append_number(out, random.next() % 1000000000);
  out += " took ";
  append_number(out, random.skewed(4));
  out += '.';
  append_number(out, random.below(10));
  out += "ms";
}

// "-12.5,name,3.2K,-42,City".
void csv_row(Random& random, std::string& out) {
  if (random.one_in(3)) out += '-';
  append_number(out, random.skewed(6));
  out += '.';
  append_padded(out, random.below(100), 2);
  out += ',';
  out += random.pick(NAMES);
  out += ',';
  append_number(out, random.skewed(4));
  if (random.one_in(2)) out += '.', append_number(out, random.below(10));
  out += random.pick(UNITS);
  out += ',';
  if (random.one_in(2)) out += '-';
  append_number(out, random.skewed(7));
  out += ',';
  out += random.pick(CITIES);
}

void long_line(Random& random, std::string& out) {
  out += random.pick(ROOTS);
  const std::size_t length = 10000 + random.below(90000);
  for (std::size_t i = 0; i < length; ++i) out += static_cast<char>('a' + random.below(26));
}

// Reads "123", "64K", "600M" or "2G" into bytes.
bool parse_size(std::string_view text, std::uint64_t& bytes) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), bytes);
  if (error != std::errc() || end == text.data()) return false;
  const std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
  if (suffix.empty()) return true;
  if (suffix.size() != 1) return false;
  const std::string_view letters = "KMG";
  const std::size_t power = letters.find(suffix[0]);
  if (power == std::string_view::npos) return false;
  bytes <<= 10 * (power + 1);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t size = 0;
  std::uint64_t seed = 1;
  std::string output;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.starts_with("--size=")) {
      if (!parse_size(argument.substr(7), size)) size = 0;
    } else if (argument.starts_with("--seed=")) {
      std::from_chars(argument.data() + 7, argument.data() + argument.size(), seed);
    } else if (argument.starts_with("--output=")) {
      output = std::string(argument.substr(9));
    } else {
      size = 0;
      break;
    }
  }
  if (size == 0 || output.empty()) {
    std::fputs("usage: zelto_make_text --size=BYTES[K|M|G] --output=FILE [--seed=S]\n", stderr);
    return FAILURE;
  }
  std::FILE* file = std::fopen(output.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "zelto_make_text: cannot create %s\n", output.c_str());
    return FAILURE;
  }
  Random random(seed);
  std::vector<std::string> recent(RECENT_LINES);
  std::string block;
  block.reserve(BLOCK_BYTES + (1 << 17));
  std::string line;
  std::uint64_t written = 0;
  bool ok = true;
  for (std::uint64_t count = 0; written + block.size() < size; ++count) {
    line.clear();
    if (count > RECENT_LINES && random.one_in(12)) {
      line = recent[random.below(RECENT_LINES)];
    } else if (random.one_in(20000)) {
      long_line(random, line);
    } else {
      switch (random.below(10)) {
        case 0:
        case 1:
        case 2:
        case 3: file_listing(random, line); break;
        case 4:
        case 5:
        case 6: log_line(random, line); break;
        default: csv_row(random, line);
      }
    }
    recent[count % RECENT_LINES] = line;
    block += line;
    block += '\n';
    if (block.size() >= BLOCK_BYTES) {
      ok = std::fwrite(block.data(), 1, block.size(), file) == block.size() && ok;
      written += block.size();
      block.clear();
    }
  }
  ok = std::fwrite(block.data(), 1, block.size(), file) == block.size() && ok;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "zelto_make_text: cannot write %s\n", output.c_str());
    return FAILURE;
  }
  return SUCCESS;
}
