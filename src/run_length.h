// The pattern code: a record's 640-bit key area reduced to the lengths of its
// alternating runs of set and clear bits (see pattern_coder.h). The unique
// filter keeps one record per code.
#pragma once

namespace zelto {

// True when the two key areas have the same code. Identical key areas are
// told by their bytes alone; otherwise coding starts where the bytes first
// differ and stops at the first code byte that differs, so neighbours that
// differ early cost little.
[[nodiscard]] bool same_pattern_code(const unsigned char* a, const unsigned char* b);

}  // namespace zelto
