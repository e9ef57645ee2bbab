// Synthetic record files for the benchmarks and the tests: numbered records
// whose keys repeat the way real data does, made one record at a time so
// that files far larger than memory can be streamed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelto::bench {

// The key kinds, numbered as the parameter file's key type line numbers them.
enum class RecordKind { Phrases = 0, Integers = 1, Doubles = 2 };

inline constexpr std::size_t KEY_BYTES = 80;
inline constexpr std::size_t NUMBER_OFFSET = 80;
// Records are numbered, so their text starts after the 11-byte number field.
inline constexpr std::size_t TEXT_START = 91;
inline constexpr std::size_t SMALLEST_RECORD = 91;
// Phrases stay shorter than the key area, so their NUL lies within it.
inline constexpr std::size_t LONGEST_PHRASE = 79;

// What one record file holds: `count` records of `record_size` (>= 91) bytes
// whose keys are drawn from `seed`.
struct RecordPlan {
  RecordKind kind = RecordKind::Integers;
  std::uint64_t count = 0;
  std::size_t record_size = 128;
  std::uint64_t seed = 1;
};

// Parses "int", "phrase" or "double"; false for anything else.
[[nodiscard]] bool parse_kind(std::string_view text, RecordKind& kind);

// Writes record `index` (0-based) of `plan` into `record`, which holds
// `plan.record_size` bytes and must be all zero: its key, the record number
// index + 1 at offset 80 and, at offset 91, the key text plus a newline, cut
// to leave room for the NUL. `key_text` receives the key text (no newline).
// Equal key areas always carry equal texts. Deterministic in (plan, index).
void make_record(const RecordPlan& plan, std::uint64_t index, unsigned char* record,
                 std::string& key_text);

}  // namespace zelto::bench
