// zelto_make_sort_inputs: writes the text files that the differential test of
// zelto-sort sorts with both zelto-sort and the system's sort.
//
//   zelto_make_sort_inputs DIR [SEED]
//
// Every file is a pure function of SEED (default 1): the generator draws from
// its own splitmix64 sequence, never from the library's distributions, whose
// results differ between standard libraries. The files cover what a line
// sort must get right byte for byte: arbitrary bytes (NUL, CR, bytes above
// 0x7f), a missing last newline, empty lines, runs of blanks and tabs,
// numbers in every notation the numeric orderings read, months, versions,
// fields and separators, long shared beginnings, lines of megabytes and
// duplicates that differ only where a key ignores them.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int SUCCESS = 0;
constexpr int FAILURE = 1;

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

 private:
  std::uint64_t state_;
};

using Words = std::array<std::string_view, 16>;
constexpr Words WORDS = {"apple", "Apple", "APPLE", "banana", "cherry", "date",  "Zebra", "zeta",
                         "a",     "b",     "B",     "x-ray",  "x_ray",  "naïve", "émile", "_under"};

bool write_file(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// Runs of arbitrary bytes: printable text, blanks, NUL, CR, bytes above 0x7f;
// some lines empty, the last one without its newline.
std::string arbitrary_bytes(Random& random) {
  constexpr std::array<char, 12> SPECIAL = {'\0',   '\r',   '\t',   ' ',    '\x7f', '\x80',
                                            '\xff', '\xc3', '\xa9', '\x01', '\x1b', '\v'};
  std::string out;
  for (int line = 0; line < 400; ++line) {
    const std::size_t length = random.one_in(8) ? 0 : random.below(24);
    for (std::size_t i = 0; i < length; ++i) {
      out += random.one_in(4) ? random.pick(SPECIAL) : static_cast<char>('!' + random.below(94));
    }
    if (line != 399) out += '\n';
  }
  return out;
}

// Words in fields separated by runs of blanks and tabs, with leading blanks,
// mixed case, punctuation and duplicates.
std::string blank_fields(Random& random) {
  constexpr std::array<std::string_view, 5> GAPS = {" ", "  ", "\t", " \t ", "\t\t"};
  std::string out;
  for (int line = 0; line < 500; ++line) {
    if (random.one_in(5)) out += random.pick(GAPS);
    const std::size_t fields = 1 + random.below(5);
    for (std::size_t f = 0; f < fields; ++f) {
      if (f != 0) out += random.pick(GAPS);
      out += random.pick(WORDS);
      if (random.one_in(6))
        out += random.pick(std::array<std::string_view, 4>{"!", ".", "9", "\x01"});
    }
    if (random.one_in(10)) out += ' ';
    out += '\n';
  }
  return out;
}

// Numbers in the notations -n, -g and -h meet, alone, after a label or
// followed by text (the byte 0x80 is a thousands separator to -n).
std::string numbers(Random& random) {
  constexpr std::array<std::string_view, 68> FORMS = {"0",
                                                      "-0",
                                                      "+0",
                                                      "00",
                                                      "-00.000",
                                                      "007",
                                                      "7",
                                                      "-7",
                                                      "+7",
                                                      "1.5",
                                                      "1.50",
                                                      ".5",
                                                      "-.5",
                                                      "0.5",
                                                      "-0.5",
                                                      "5.",
                                                      "-5.",
                                                      "1e3",
                                                      "1E-3",
                                                      "-1e3",
                                                      "0x1F",
                                                      "0x10",
                                                      "inf",
                                                      "-inf",
                                                      "Infinity",
                                                      "nan",
                                                      "NaN",
                                                      "-nan",
                                                      "1,234",
                                                      "1,2,3",
                                                      "1.2.3",
                                                      "1K",
                                                      "2.5M",
                                                      "3G",
                                                      "-1k",
                                                      "1Ki",
                                                      "",
                                                      "abc",
                                                      "1 2",
                                                      "--1",
                                                      "- 1",
                                                      "1e",
                                                      "12abc",
                                                      "+",
                                                      "-",
                                                      ".",
                                                      "99999999999999999999999999",
                                                      "-99999999999999999999999999",
                                                      "00000000000000000000000001",
                                                      "1.000000000000000000001",
                                                      "1.0000000000000000000001",
                                                      "0.0000001",
                                                      "1e309",
                                                      "1e-400",
                                                      "0x1p3",
                                                      "1.5e+2",
                                                      "   42",
                                                      "\t-3",
                                                      " +4",
                                                      "4 ",
                                                      "1\xc2\xa0",
                                                      "\xe2\x88\x92 1",
                                                      "1.",
                                                      "+.1",
                                                      "1\x80"
                                                      "000",
                                                      "-\x80\x35",
                                                      "0\x80.5",
                                                      "7\x80"};
  std::string out;
  for (int line = 0; line < 600; ++line) {
    const std::size_t layout = random.below(4);
    if (layout == 1) out += random.pick(WORDS), out += ' ';
    out += random.pick(FORMS);
    if (layout == 2) out += random.pick(std::array<std::string_view, 3>{"x", " tail", "\tz"});
    if (layout == 3) out += ' ', out += random.pick(FORMS);
    out += '\n';
  }
  return out;
}

// Human sizes: every suffix, either case, decimals, signs, and suffixes
// that do not belong.
std::string human_sizes(Random& random) {
  constexpr std::array<std::string_view, 16> SUFFIXES = {"",  "K", "k", "M", "G",  "T",  "P",  "E",
                                                         "Z", "Y", "R", "Q", "KB", "Ki", " K", "x"};
  constexpr std::array<std::string_view, 13> VALUES = {
      "0", "1", "-1", "1.5", "0.9", "1023", "-2.5", "007", "+3", ".5", "", "1,5", "1\x80\x35"};
  std::string out;
  for (int line = 0; line < 400; ++line) {
    if (random.one_in(6)) out += ' ';
    out += random.pick(VALUES);
    out += random.pick(SUFFIXES);
    if (random.one_in(4)) out += " rest";
    out += '\n';
  }
  return out;
}

// Floating-point notations for -g.
std::string general_numbers(Random& random) {
  constexpr std::array<std::string_view, 32> FORMS = {
      "1e10",   "1E+10",    "-1e-10", "1.5e2", "0x1p4", "0x.8", "0X1A",   "inf",
      "-inf",   "+inf",     "INF",    "nan",   "-nan",  "NAN",  "nan(1)", "1e309",
      "-1e309", "4.9e-324", "1e-400", "0",     "-0",    "+0.0", "00.5",   " 3",
      "\t-2",   "x",        "",       "1e",    "1e+",   "2.0x", "0x",     "1_000"};
  std::string out;
  for (int line = 0; line < 400; ++line) {
    out += random.pick(FORMS);
    if (random.one_in(3)) out += ' ', out += std::to_string(random.below(50));
    out += '\n';
  }
  return out;
}

std::string months(Random& random) {
  constexpr std::array<std::string_view, 24> NAMES = {
      "JAN", "feb",    "Mar", "apr", "MAY",     "jun",      "Jul",  "aug",
      "SEP", "oct",    "nov", "DEC", "January", "FEBRUARY", "ja",   "xyz",
      "",    "MAYDAY", "de",  "0",   "Dec.",    "sept",     "-JAN", "JANU"};
  std::string out;
  for (int line = 0; line < 300; ++line) {
    if (random.one_in(4)) out += random.one_in(2) ? " " : "\t";
    out += random.pick(NAMES);
    if (random.one_in(3)) out += ' ', out += std::to_string(1 + random.below(31));
    out += '\n';
  }
  return out;
}

std::string versions(Random& random) {
  constexpr std::array<std::string_view, 40> NAMES = {"file-1.2.10.tar.gz",
                                                      "file-1.2.9.tar.gz",
                                                      "file-1.10.tar.gz",
                                                      "file-1.2.tar.gz",
                                                      "1.0~rc1",
                                                      "1.0~rc2",
                                                      "1.0",
                                                      "1.0a",
                                                      "1.0.0",
                                                      "1.0-1",
                                                      "1.0+git",
                                                      "v1.2",
                                                      "1.02",
                                                      "1.2",
                                                      "1.002",
                                                      "2.6.32-5-amd64",
                                                      ".hidden",
                                                      "..",
                                                      ".",
                                                      "a~",
                                                      "~",
                                                      "1.0~",
                                                      "1.0~~",
                                                      "a",
                                                      "A",
                                                      "a1",
                                                      "a01",
                                                      "a001b",
                                                      "0",
                                                      "00",
                                                      "123456789012345678901234567890",
                                                      "foo.txt~",
                                                      "1.0-rc1",
                                                      "1.0.tar.gz",
                                                      "",
                                                      "libz.so.1.2.13",
                                                      "x.1.2.3.4.5.6",
                                                      "10",
                                                      "9",
                                                      "1.0~rc1~"};
  std::string out;
  for (int line = 0; line < 300; ++line) {
    out += random.pick(NAMES);
    if (random.one_in(5)) out += random.one_in(2) ? " 2" : "\t1";
    out += '\n';
  }
  return out;
}

// Colon-separated records with empty fields, and the same fields joined by
// blanks, for -t and -k.
std::string separated_fields(Random& random, char separator) {
  std::string out;
  for (int line = 0; line < 400; ++line) {
    const std::size_t fields = random.below(7);
    for (std::size_t f = 0; f < fields; ++f) {
      if (f != 0) out += separator;
      switch (random.below(5)) {
        case 0: break;
        case 1: out += std::to_string(static_cast<long>(random.below(2000)) - 1000); break;
        case 2: out += random.pick(WORDS); break;
        case 3: out += ' ', out += random.pick(WORDS); break;
        default: out += std::to_string(random.below(100)) + "." + std::to_string(random.below(10));
      }
    }
    out += '\n';
  }
  return out;
}

// CSV rows: a name, a signed integer, a decimal and a size with its unit.
std::string csv_rows(Random& random) {
  constexpr std::array<std::string_view, 6> UNITS = {"K", "M", "G", "", "k", "T"};
  std::string out;
  for (int line = 0; line < 400; ++line) {
    out += random.pick(WORDS);
    out += ',' + std::to_string(static_cast<long>(random.below(200)) - 100);
    out += ',' + std::to_string(random.below(20)) + '.' + std::to_string(random.below(100));
    out += ',' + std::to_string(random.below(1000)) + std::string(random.pick(UNITS));
    out += '\n';
  }
  return out;
}

// Paths that share long beginnings, with repeats.
std::string paths(Random& random) {
  constexpr std::array<std::string_view, 4> ROOTS = {
      "/usr/share/doc/some-rather-long-package-name/examples/configuration/",
      "/usr/share/doc/some-rather-long-package-name/examples/config/",
      "/usr/share/doc/some-rather-long-package-name/",
      "/usr/share/doc/some-rather-long-package-name-extra/"};
  std::string out;
  for (int line = 0; line < 500; ++line) {
    out += random.pick(ROOTS);
    out += random.pick(WORDS);
    out += '-' + std::to_string(random.below(40)) + ".txt\n";
  }
  return out;
}

// Lines that equal one another under -f, -d, -i, -b or -n only.
std::string near_duplicates(Random& random) {
  constexpr std::array<std::string_view, 20> FORMS = {
      "apple",     "Apple", "APPLE", "apple ", " apple", "\tapple", "ap-ple",
      "ap\x01ple", "01",    "1",     "1.0",    "+1",     "1e0",     "-0",
      "0",         "",      "b a",   "b  a",   "B A",    "b\ta"};
  std::string out;
  for (int line = 0; line < 300; ++line) {
    out += random.pick(FORMS);
    if (random.one_in(3)) out += ' ', out += random.pick(FORMS);
    out += '\n';
  }
  return out;
}

// A few lines of hundreds of kilobytes to two megabytes sharing most of their
// beginning, among short ones.
std::string long_lines(Random& random) {
  std::string prefix;
  for (int i = 0; i < 500000; ++i) prefix += static_cast<char>('a' + random.below(3));
  std::string out;
  for (int line = 0; line < 8; ++line) {
    if (line % 2 == 1) {
      out += std::to_string(random.below(100)) + " short\n";
      continue;
    }
    out += prefix;
    // One line of two megabytes.
    const int tail = line == 2 ? 1500000 : 200000;
    for (int i = 0; i < tail; ++i) out += static_cast<char>('a' + random.below(3));
    out += line == 4 ? " 5\n" : "\n";
  }
  out += prefix + "\n";  // a line that is the others' beginning
  return out;
}

// About two megabytes of mixed lines, for the runs on disk.
std::string bulk(Random& random) {
  std::string out;
  while (out.size() < (2u << 20)) {
    out += random.pick(WORDS);
    out += ' ' + std::to_string(static_cast<long>(random.below(100000)) - 50000);
    out += '\t' + std::to_string(random.below(1000)) + '.' + std::to_string(random.below(10));
    out += random.one_in(3) ? "K " : " ";
    out += random.pick(WORDS);
    out += '\n';
  }
  return out;
}

// NUL-terminated records that hold newlines; the last one unterminated.
std::string zero_terminated(Random& random) {
  std::string out;
  for (int line = 0; line < 200; ++line) {
    out += random.pick(WORDS);
    if (random.one_in(3)) out += '\n', out += std::to_string(random.below(20));
    if (random.one_in(4)) out += " 1\n2";
    out += std::to_string(random.below(10));
    if (line != 199) out += '\0';
  }
  return out;
}

std::string carriage_returns(Random& random) {
  std::string out;
  for (int line = 0; line < 200; ++line) {
    out += random.pick(WORDS);
    if (random.one_in(2)) out += ' ' + std::to_string(random.below(10));
    out += random.one_in(3) ? "\n" : "\r\n";
  }
  return out;
}

struct Generated {
  const char* name;
  std::string (*make)(Random&);
};

constexpr std::array<Generated, 16> FILES = {{
    {"bytes.txt", arbitrary_bytes},
    {"words.txt", blank_fields},
    {"numbers.txt", numbers},
    {"human.txt", human_sizes},
    {"general.txt", general_numbers},
    {"months.txt", months},
    {"versions.txt", versions},
    {"colons.txt", [](Random& r) { return separated_fields(r, ':'); }},
    {"nulsep.txt", [](Random& r) { return separated_fields(r, '\0'); }},
    {"csv.txt", csv_rows},
    {"paths.txt", paths},
    {"dups.txt", near_duplicates},
    {"long.txt", long_lines},
    {"bulk.txt", bulk},
    {"zero.txt", zero_terminated},
    {"crlf.txt", carriage_returns},
}};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: zelto_make_sort_inputs DIR [SEED]\n", stderr);
    return FAILURE;
  }
  const std::string dir = argv[1];
  const std::uint64_t seed = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 1;
  std::uint64_t stream = 0;
  bool ok = true;
  for (const Generated& file : FILES) {
    Random random(seed * 1000 + stream++);
    ok = write_file(dir + "/" + file.name, file.make(random)) && ok;
  }
  ok = write_file(dir + "/empty.txt", "") && ok;
  ok = write_file(dir + "/nonl.txt", "b\n\na") && ok;
  ok = write_file(dir + "/blanks.txt", "\n \n\t\n  \n\n \t\n") && ok;
  if (!ok) {
    std::fprintf(stderr, "zelto_make_sort_inputs: cannot write the files in %s\n", dir.c_str());
    return FAILURE;
  }
  return SUCCESS;
}
