// What a record file's mapping does alike on every system.
#include "mapped_file.h"

#include <cstdint>
#include <optional>

namespace zelto {

bool RecordFile::map_for_streaming(int fd, std::size_t bytes) {
  const std::optional<std::uint64_t> size = regular_file_size(fd);
  if (!size.has_value() || *size < bytes || bytes == 0) return false;
  bytes_ = bytes;
  return map_guarded(fd, bytes) == 0;
}

}  // namespace zelto
