// What only the tests ask of mapped_file.h: a record file loaded by its path.
// The command opens its record file itself and hands over the descriptor.
#pragma once

#include <cstddef>
#include <string>

#include "mapped_file.h"

namespace zelto::detail {

// Makes the first `bytes` bytes of the file at `path` available in `file`,
// as RecordFile::load does for an open file; OpenFailed when the file cannot
// be opened.
[[nodiscard]] LoadStatus load_record_file(RecordFile& file, const std::string& path,
                                          std::size_t bytes, bool allow_mapping);

}  // namespace zelto::detail
