// What a record file's mapping does alike on every system.
#include "mapped_file.h"

#include <cstdint>
#include <optional>

#include "output_file.h"

namespace zelto {

bool RecordFile::map_for_streaming(int fd, std::size_t bytes) {
  const std::optional<std::uint64_t> size = regular_file_size(fd);
  if (!size.has_value() || *size < bytes || bytes == 0) return false;
  bytes_ = bytes;
  return map_guarded(fd, bytes) == 0;
}

bool must_copy(const std::string& input_path, const std::vector<std::string>& output_paths,
               bool to_stdout) {
  const std::optional<FileIdentity> input = identity_of(input_path);
  if (!input.has_value()) return true;
  for (const std::string& path : output_paths) {
    if (identity_of(path) == input) return true;
  }
  return to_stdout && standard_output_identity() == input;
}

}  // namespace zelto
