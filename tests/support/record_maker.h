// Synthetic record files for the benchmarks and the tests: numbered records
// whose keys repeat the way real data does, made one record at a time so
// that files far larger than memory can be streamed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "record_format.h"

namespace zelto::testing {

// The key kinds are record_format.h's: records are numbered, so their text
// starts at NUMBERED_TEXT_OFFSET; phrases stay within PHRASE_KEY_LIMIT bytes,
// so their NUL lies within the key area.
using RecordKind = KeyType;

// What one record file holds: `count` records of `record_size` (>= MINIMUM_RECORD_SIZE) bytes
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
// index + 1 at RECORD_NUMBER_OFFSET and, at NUMBERED_TEXT_OFFSET, the key text plus a newline, cut
// to leave room for the NUL. `key_text` receives the key text (no newline).
// Equal key areas always carry equal texts. Deterministic in (plan, index).
void make_record(const RecordPlan& plan, std::uint64_t index, unsigned char* record,
                 std::string& key_text);

}  // namespace zelto::testing
