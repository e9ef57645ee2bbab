// The external pass in process: the plan, the loser tree against a stable
// sort of the whole set (a table of run shapes), the whole pass through a
// temporary file against the engine's in-memory order, plain and unique,
// and the temporary-file failures.
#include "external_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "compare.h"
#include "reference_sort.h"
#include "run_binary.h"
#include "run_encoding.h"
#include "run_length.h"

namespace zelto {
namespace {

constexpr std::size_t SIZE = 96;

// Records of integer keys from a small range, so that many keys tie fully,
// some with equal record numbers (then only their position orders them).
std::vector<unsigned char> tied_records(std::size_t count, unsigned seed, int distinct = 7) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> bytes(count * SIZE);
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* r = bytes.data() + i * SIZE;
    const auto key = static_cast<std::int32_t>(rng() % static_cast<unsigned>(distinct)) - 3;
    const auto number = static_cast<std::int32_t>(rng() % 3);
    store_little_endian(r + 4 * (rng() % 2), static_cast<std::uint32_t>(key), 4);
    store_little_endian(r + RECORD_NUMBER_OFFSET, static_cast<std::uint32_t>(number), 4);
    std::memcpy(r + RECORD_NUMBER_OFFSET + 8, &i, sizeof(std::uint32_t));  // which record it was
  }
  return bytes;
}

std::uint32_t identity(const unsigned char* record) {
  std::uint32_t i = 0;
  std::memcpy(&i, record + RECORD_NUMBER_OFFSET + 8, sizeof i);
  return i;
}

// The records' identities in comparator order, ties in record order.
std::vector<std::uint32_t> stable_order(const unsigned char* records, std::size_t count,
                                        Comparator compare) {
  std::vector<std::uint32_t> order = testing::sort_by_comparator(records, SIZE, count, compare);
  for (std::uint32_t& i : order) i = identity(records + i * SIZE);
  return order;
}

TEST(LoserTree, MergesRunsIntoTheStableOrderOfTheWhole) {
  struct Shape {
    const char* name;
    std::vector<std::size_t> runs;  // lengths, in record order
  };
  const Shape shapes[] = {
      {"OneRun", {50}},
      {"TwoEqualRuns", {40, 40}},
      {"PowerOfTwoRuns", {10, 10, 10, 10, 10, 10, 10, 10}},
      {"OddRunCount", {17, 3, 25, 9, 1}},
      {"EmptyRuns", {0, 12, 0, 0, 30, 0}},
      {"AllEmpty", {0, 0, 0}},
      {"SingleRecords", std::vector<std::size_t>(33, 1)},
      {"ManyUneven", {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144}},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    std::size_t count = 0;
    for (const std::size_t n : shape.runs) count += n;
    const std::vector<unsigned char> records = tied_records(count, 7);
    // Each run sorted on its own, as the engine sorts a chunk.
    std::vector<std::vector<unsigned char>> runs;
    std::size_t first = 0;
    for (const std::size_t n : shape.runs) {
      std::vector<unsigned char> run(n * SIZE);
      const std::vector<std::uint32_t> order =
          stable_order(records.data() + first * SIZE, n, compare_integers);
      for (std::size_t j = 0; j < n; ++j) {
        std::memcpy(run.data() + j * SIZE, records.data() + order[j] * SIZE, SIZE);
      }
      runs.push_back(std::move(run));
      first += n;
    }
    std::vector<const unsigned char*> heads;
    std::vector<const unsigned char*> ends;
    for (const auto& run : runs) {
      heads.push_back(run.empty() ? nullptr : run.data());
      ends.push_back(run.data() + run.size());
    }
    LoserTree tree(heads, {KeyKind::Integers, false, compare_integers});
    std::vector<std::uint32_t> merged;
    for (std::size_t w = tree.winner(); heads[w] != nullptr; w = tree.winner()) {
      merged.push_back(identity(heads[w]));
      heads[w] += SIZE;
      if (heads[w] == ends[w]) heads[w] = nullptr;
      tree.replay();
    }
    EXPECT_EQ(merged, stable_order(records.data(), count, compare_integers));
  }
}

TEST(ExternalPlan, FitsTheBudget) {
  EXPECT_TRUE(fits_in_memory(1000, 128, 1000 * 140 + LINE_BLOCK));
  EXPECT_FALSE(fits_in_memory(1000, 128, 1000 * 140 + LINE_BLOCK - 1));
  EXPECT_TRUE(fits_in_memory(0, 128, 1));  // nothing to sort

  const ExternalPlan gib = plan_external(32000000, 128, 1 << 30);
  // A chunk, its sort space and two blocks stay within the budget.
  EXPECT_LE(gib.chunk_records * 140 + 2 * gib.block_records * 128, 1U << 30);
  EXPECT_GE(gib.chunk_records, 7000000U);
  EXPECT_EQ(gib.block_records * 128, 8U << 20);
  // Every block of a merge and the output block stay within it too.
  EXPECT_LE((gib.fan_in + 1) * gib.block_records * 128 + LINE_BLOCK, (1U << 30) + LINE_BLOCK);

  const ExternalPlan tiny = plan_external(1000, 128, 8192);
  EXPECT_EQ(tiny.block_records, 4U);
  EXPECT_EQ(tiny.chunk_records, (8192U - 2 * 512) / 140);
  EXPECT_EQ(tiny.fan_in, 15U);
  EXPECT_EQ(plan_external(10, 128, 1 << 20).chunk_records, 10U);  // never beyond the count
  EXPECT_EQ(plan_external(100, 128, 500).fan_in, 2U);
  // Not even two records and their sort space: the smallest plan, never none.
  for (const auto& [count, size, budget] :
       {std::tuple{3ULL, 2147483647ULL, 1ULL << 30}, std::tuple{100ULL, 128ULL, 300ULL},
        std::tuple{100ULL, 128ULL, 0ULL}, std::tuple{1ULL, 128ULL, 1ULL}}) {
    const ExternalPlan smallest = plan_external(count, size, budget);
    EXPECT_EQ(smallest.chunk_records, std::min<std::size_t>(2, count)) << count << " " << budget;
    EXPECT_EQ(smallest.block_records, 1U);
    EXPECT_EQ(smallest.fan_in, 2U);
  }
}

TEST(ExternalPlan, SpillsTheRecordsOnceOrTwice) {
  // One merge takes every run: the runs once; more runs than that: twice.
  // Each record counts whole, with its header.
  EXPECT_EQ(spill_bytes(1000, 128, {100, 4, 10}), 130000U);
  EXPECT_EQ(spill_bytes(1000, 128, {100, 4, 9}), 260000U);
  EXPECT_EQ(spill_bytes(1001, 128, {100, 4, 10}), 2 * 130130U);
  EXPECT_EQ(spill_bytes(3, 2147483647, {2, 1, 2}), 3ULL * (2147483647ULL + 6));
}

TEST(RunEncoding, GivesBackEveryRecordWhole) {
  struct Case {
    const char* name;
    std::size_t size;
    std::vector<std::pair<std::size_t, unsigned char>> bytes;  // all others zero
    std::size_t encoded;
  };
  const Case cases[] = {
      {"AllZeros", 96, {}, 2},
      {"KeyOnly", 96, {{0, 7}, {41, 1}}, 2 + 42},
      {"ZerosInsideTheKeyStay", 96, {{0, 1}, {79, 2}}, 2 + 80},
      {"LineAfterTheKey", 128, {{80, 1}, {91, 'a'}, {92, '\n'}}, 2 + 13},
      {"NoTrailingZeros", 91, {{79, 9}, {90, 9}}, 2 + 91},
      {"TwoByteLength", 512, {{511, 5}}, 3 + 432},
      {"ThreeByteLength", 20000, {{3, 1}, {19999, 1}}, 4 + 4 + 19920},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> record(c.size, 0);
    for (const auto& [at, value] : c.bytes) record[at] = value;
    std::vector<unsigned char> encoded(encoded_size_limit(c.size), 0xEE);
    const std::size_t used = encode_record(record.data(), c.size, encoded.data());
    EXPECT_EQ(used, c.encoded);
    EXPECT_LE(used, encoded_size_limit(c.size));
    std::vector<unsigned char> decoded(c.size, 0xEE);
    EXPECT_EQ(decode_record(encoded.data(), used, c.size, decoded.data()), used);
    EXPECT_EQ(decoded, record);
    // Cut short anywhere, the bytes make no record.
    for (std::size_t cut = 0; cut < used; ++cut) {
      ASSERT_EQ(decode_record(encoded.data(), cut, c.size, decoded.data()), 0U) << cut;
    }
  }
}

TEST(RunEncoding, RefusesLengthsBeyondTheRecord) {
  std::vector<unsigned char> record(96);
  const unsigned char key_too_long[] = {81, 0};
  const unsigned char rest_too_long[] = {0, 17};
  EXPECT_EQ(decode_record(key_too_long, sizeof key_too_long, 96, record.data()), 0U);
  EXPECT_EQ(decode_record(rest_too_long, sizeof rest_too_long, 96, record.data()), 0U);
}

// A record file in a nameless temporary file, read from its start.
struct InputFile {
  std::FILE* file = std::tmpfile();
  explicit InputFile(const std::vector<unsigned char>& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
  }
  ~InputFile() { std::fclose(file); }
};

std::vector<std::uint32_t> run_external(const std::vector<unsigned char>& records,
                                        const ExternalPlan& plan, const SortPolicy& policy,
                                        bool unique) {
  InputFile input(records);
  Progress quiet(stderr, false);
  ExternalSort sorter(SIZE, policy, plan, quiet);
  std::vector<std::uint32_t> order;
  EXPECT_EQ(sorter.prepare(input.file, records.size() / SIZE), ExternalStatus::Done);
  // Each record comes back byte for byte, however its runs stored it.
  VisitWith visit([&](const unsigned char* r) {
    order.push_back(identity(r));
    EXPECT_EQ(std::memcmp(r, records.data() + order.back() * SIZE, SIZE), 0);
  });
  EXPECT_EQ(sorter.merge(visit, unique), ExternalStatus::Done);
  return order;
}

// The engine's order of the whole set; with `unique` only each record whose
// key area, then pattern code, differs from the one before it.
std::vector<std::uint32_t> in_memory(const std::vector<unsigned char>& records,
                                     const SortPolicy& policy, bool unique) {
  SortSpace space(records.size() / SIZE);
  const auto order = sort_records(records.data(), SIZE, policy, space);
  std::vector<std::uint32_t> kept;
  const unsigned char* previous = nullptr;
  for (const std::uint32_t i : order) {
    const unsigned char* r = records.data() + i * SIZE;
    if (!unique || previous == nullptr ||
        (std::memcmp(r, previous, KEY_AREA_SIZE) != 0 && !same_pattern_code(r, previous))) {
      kept.push_back(identity(r));
    }
    previous = r;
  }
  return kept;
}

TEST(ExternalSort, ReproducesTheInMemoryOrderThroughEveryPlan) {
  struct Case {
    const char* name;
    std::size_t count;
    ExternalPlan plan;
  };
  const Case cases[] = {
      {"OneChunk", 300, {300, 64, 4}},
      {"FewRuns", 300, {64, 8, 16}},
      {"RunsEqualToFanIn", 320, {40, 5, 8}},
      {"TwoLevels", 500, {9, 2, 4}},
      {"ManyLevelsOfTwo", 257, {2, 1, 2}},
      {"LastChunkShort", 101, {10, 3, 3}},
      // Blocks large enough to be gathered by several threads.
      {"BlocksSharedByThreads", 30000, {20000, 9000, 4}},
  };
  const SortPolicy policies[] = {{KeyKind::Integers, false, compare_integers},
                                 {KeyKind::Integers, true, compare_integers_descending}};
  for (const Case& c : cases) {
    for (const SortPolicy& policy : policies) {
      for (const bool unique : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (policy.descending ? " descending" : "") +
                     (unique ? " unique" : ""));
        const std::vector<unsigned char> records = tied_records(c.count, 11, 40);
        EXPECT_EQ(run_external(records, c.plan, policy, unique),
                  in_memory(records, policy, unique));
      }
    }
  }
}

TEST(ExternalSort, KeepsEveryRecordOnceWithNaNKeys) {
  std::vector<unsigned char> records = tied_records(400, 5);
  std::mt19937 rng(3);
  for (std::size_t i = 0; i < 400; ++i) {
    const double value =
        rng() % 4 == 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(rng() % 5);
    std::memcpy(records.data() + i * SIZE + 8 * (rng() % 3), &value, 8);
  }
  std::vector<std::uint32_t> order =
      run_external(records, {7, 2, 3}, {KeyKind::Doubles, false, compare_doubles}, false);
  std::sort(order.begin(), order.end());
  for (std::uint32_t i = 0; i < 400; ++i) ASSERT_EQ(order[i], i);
}

// The directory of temporary files for one test.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(const char* path) {
    const char* old = std::getenv(testing::TEMPORARY_DIRECTORY_VARIABLE);
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    testing::set_environment(testing::TEMPORARY_DIRECTORY_VARIABLE, path);
  }
  ~TemporaryDirectory() {
    testing::set_environment(testing::TEMPORARY_DIRECTORY_VARIABLE, had_ ? old_.c_str() : nullptr);
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(ExternalSort, ReportsAMissingTemporaryDirectory) {
  const TemporaryDirectory missing("/nonexistent/zelto-test");
  const std::vector<unsigned char> records = tied_records(50, 1);
  InputFile input(records);
  Progress quiet(stderr, false);
  ExternalSort sorter(SIZE, {KeyKind::Integers, false, compare_integers}, {10, 2, 2}, quiet);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(sorter.prepare(input.file, 50), ExternalStatus::TemporaryFileFailure);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "temporary file error: /nonexistent/zelto-test: No such file or directory\n");
}

TEST(ExternalSort, LeavesAShortInputToTheCaller) {
  const std::vector<unsigned char> records = tied_records(50, 1);
  InputFile input(records);
  Progress quiet(stderr, false);
  ExternalSort sorter(SIZE, {KeyKind::Integers, false, compare_integers}, {10, 2, 2}, quiet);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(sorter.prepare(input.file, 51), ExternalStatus::ReadFailure);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(TemporaryFile, ReportsWhatCannotBeReadBack) {
  TemporaryFile file;
  ASSERT_TRUE(file.create(temporary_directory()));
  const char bytes[] = "0123456789";
  ASSERT_TRUE(file.write_at(bytes, 10, 0));
  char back[10] = {};
  ASSERT_TRUE(file.read_at(back, 10, 0));
  EXPECT_EQ(std::string(back, 10), "0123456789");
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(file.read_at(back, 5, 8));  // two bytes are there, not five
  file.report_failure();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "temporary file error: " + temporary_directory() + ": Input/output error\n");
}

TEST(TemporaryFile, LeavesNoNameBehind) {
  const testing::Sandbox box;
  {
    TemporaryFile file;
    ASSERT_TRUE(file.create(box.dir().string()));
    ASSERT_TRUE(file.write_at("x", 1, 0));
    // While it is open and written, the directory holds no name for it; on
    // Windows a name that goes when the file is closed.
    EXPECT_EQ(box.files().size(), testing::ON_WINDOWS ? 1U : 0U);
  }
  EXPECT_TRUE(box.files().empty());
}

TEST(Progress, LineNamesThePhasePercentAndRate) {
  EXPECT_EQ(progress_line("sorting", 25, 100, 0.5), "zelto: sorting  25% 50 records/s");
  EXPECT_EQ(progress_line("merging", 0, 0, 0), "zelto: merging 100% 0 records/s");
  EXPECT_EQ(uncounted_progress_line("sorting", 6000000, 3.7), "zelto: sorting 6000000 records 3 s");
  const ProgressWords lines{"zelto-sort", "lines"};
  EXPECT_EQ(progress_line("merging", 1, 2, 1, lines), "zelto-sort: merging  50% 1 lines/s");
  EXPECT_EQ(uncounted_progress_line("storing", 7, 2, lines), "zelto-sort: storing 7 lines 2 s");
}

}  // namespace
}  // namespace zelto
