// Micro-benchmarks of the engine on records held in memory: the prefix
// engine for each key kind, the tests' comparator-only reference sort, and
// the pattern code on typical and on the longest codes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "arrange.h"
#include "pattern_code.h"
#include "record_maker.h"
#include "reference_sort.h"
#include "sort_engine.h"

namespace {

using zelto::testing::RecordKind;

constexpr std::size_t RECORD_SIZE = 128;

// `count` generated records of 128 bytes with keys of `kind`.
std::vector<unsigned char> make_records(RecordKind kind, std::size_t count) {
  const zelto::testing::RecordPlan plan{kind, count, RECORD_SIZE, 1};
  std::vector<unsigned char> records(count * RECORD_SIZE, 0);
  std::string key_text;
  for (std::size_t i = 0; i < count; ++i) {
    zelto::testing::make_record(plan, i, records.data() + i * RECORD_SIZE, key_text);
  }
  return records;
}

// The four engine policies: key type and case setting as the parameter file
// gives them, and the records they run on.
struct Case {
  RecordKind records;
  std::int32_t key_type;
  int case_sensitive;
};

constexpr Case INTEGERS = {RecordKind::Integers, 1, 1};
constexpr Case DOUBLES = {RecordKind::Doubles, 2, 1};
constexpr Case PHRASES = {RecordKind::Phrase, 0, 1};
constexpr Case FOLDED_PHRASES = {RecordKind::Phrase, 0, 0};

// Sorts the same records on every iteration with `sort(records, size,
// policy, space)`; the engine leaves them in place and returns the order in
// its own space.
template <typename SortFunction>
void run_sort(benchmark::State& state, const Case& c, SortFunction sort) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const std::vector<unsigned char> records = make_records(c.records, count);
  const zelto::SortPolicy policy = zelto::select_policy(c.key_type, c.case_sensitive, 0);
  zelto::SortSpace space(count);
  for (auto _ : state) {
    benchmark::DoNotOptimize(sort(records.data(), RECORD_SIZE, policy, space).data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(count));
}

void BM_sort_records(benchmark::State& state, Case c) {
  run_sort(
      state, c,
      [](const unsigned char* records, std::size_t size, const zelto::SortPolicy& policy,
         zelto::SortSpace& space) { return zelto::sort_records(records, size, policy, space); });
}

// The tests' reference: a plain merge sort that asks the comparator for
// every decision.
void BM_sort_records_by_comparator(benchmark::State& state, Case c) {
  run_sort(state, c,
           [](const unsigned char* records, std::size_t size, const zelto::SortPolicy& policy,
              const zelto::SortSpace& space) {
             return zelto::testing::sort_by_comparator(records, size, space.count(),
                                                       policy.compare);
           });
}

#define ZELTO_SORT_BENCHMARK(function, name, c) \
  BENCHMARK_CAPTURE(function, name, c)          \
      ->Arg(100000)                             \
      ->Arg(300000)                             \
      ->Arg(1000000)                            \
      ->Unit(benchmark::kMillisecond)

ZELTO_SORT_BENCHMARK(BM_sort_records, integers, INTEGERS);
ZELTO_SORT_BENCHMARK(BM_sort_records, doubles, DOUBLES);
ZELTO_SORT_BENCHMARK(BM_sort_records, phrases, PHRASES);
ZELTO_SORT_BENCHMARK(BM_sort_records, folded_phrases, FOLDED_PHRASES);
ZELTO_SORT_BENCHMARK(BM_sort_records_by_comparator, integers, INTEGERS);
ZELTO_SORT_BENCHMARK(BM_sort_records_by_comparator, doubles, DOUBLES);
ZELTO_SORT_BENCHMARK(BM_sort_records_by_comparator, phrases, PHRASES);
ZELTO_SORT_BENCHMARK(BM_sort_records_by_comparator, folded_phrases, FOLDED_PHRASES);

constexpr std::size_t KEYS_CODED = 4096;

// Codes `KEYS_CODED` key areas laid out `stride` bytes apart, round after round.
void run_coding(benchmark::State& state, const std::vector<unsigned char>& keys,
                std::size_t stride) {
  std::vector<unsigned char> code(zelto::testing::PATTERN_CODE_CAPACITY);
  const std::size_t count = keys.size() / stride;
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        zelto::testing::run_length_encoding(keys.data() + i * stride, code.data(), code.size()));
    benchmark::ClobberMemory();
    i = i + 1 == count ? 0 : i + 1;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Typical keys: generated records of one kind.
void BM_run_length_encoding(benchmark::State& state, RecordKind kind) {
  run_coding(state, make_records(kind, KEYS_CODED), RECORD_SIZE);
}

// The worst case: every key byte 55h, alternating bits, the longest code.
void BM_run_length_encoding_longest(benchmark::State& state) {
  run_coding(state, std::vector<unsigned char>(zelto::KEY_WORDS * 4, 0x55), zelto::KEY_WORDS * 4);
}

BENCHMARK_CAPTURE(BM_run_length_encoding, integers, RecordKind::Integers);
BENCHMARK_CAPTURE(BM_run_length_encoding, doubles, RecordKind::Doubles);
BENCHMARK_CAPTURE(BM_run_length_encoding, phrases, RecordKind::Phrase);
BENCHMARK(BM_run_length_encoding_longest);

}  // namespace

BENCHMARK_MAIN();
