// Record sets shared by the end-to-end suites.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"

namespace zelto::testing {

// Three records, in file order b, B, a (each record's text is its phrase and
// a newline), whose order differs for every key kind:
//   exact phrase       B a b   (0x42 < 0x61 < 0x62)
//   phrase, no case    a B b   (B and b fold together; the exact bytes put B first)
//   integers           a b B   (first words 0x80000061 < 0xF0000062 < 0x42, signed)
//   doubles            b B a   (about -2.0 < 0x42 < 0x80000061 as subnormals)
inline std::vector<Bytes> key_kind_records() {
  Bytes b = phrase_record("b", 1, "b\n");
  b[3] = 0xF0;
  b[7] = 0xC0;
  Bytes upper_b = phrase_record("B", 2, "B\n");
  Bytes a = phrase_record("a", 3, "a\n");
  a[3] = 0x80;
  return {b, upper_b, a};
}

// "<prefix><number>\n", a record's text.
inline std::string numbered_line(std::string_view prefix, long long number) {
  std::string line(prefix);
  line += std::to_string(number);
  line += '\n';
  return line;
}

// Records keyed and labelled by `phrases`, numbered 1, 2, ... in file order;
// each record's text is its phrase and a newline.
inline std::vector<Bytes> phrase_records(const std::vector<std::string>& phrases) {
  std::vector<Bytes> records;
  std::int32_t number = 1;
  for (const std::string& phrase : phrases) {
    records.push_back(phrase_record(phrase, number++, phrase + "\n"));
  }
  return records;
}

// A parameter file for `count` numbered records of 128 bytes with phrase
// keys, read from binary.tmp and written to `output` with LF.
inline Parameters parameters(std::int32_t count, const std::string& output = "out.txt") {
  Parameters p;
  p.record_count = count;
  p.output_path = output;
  return p;
}

// The same with integer keys.
inline Parameters integers(std::int32_t count, const std::string& output = "out.txt") {
  Parameters p = parameters(count, output);
  p.key_type = static_cast<std::int32_t>(KeyType::Integers);
  return p;
}

// Checks a tie report: every line is "Line-<number>" with a number for which
// `tied` holds, and there are 128 lines, one for each slot of the ring.
inline void expect_full_tie_report(const std::string& report,
                                   const std::function<bool(int)>& tied) {
  std::istringstream lines(report);
  int slots = 0;
  for (std::string line; std::getline(lines, line); ++slots) {
    ASSERT_EQ(line.rfind("Line-", 0), 0U) << line;
    const int n = std::stoi(line.substr(5));
    EXPECT_TRUE(tied(n)) << line;
  }
  EXPECT_EQ(slots, 128);
}

}  // namespace zelto::testing
