// What an output file does alike on every system.
#include "output_file.h"

#include <cstring>

namespace zelto {

std::string OutputFile::failed_step_message(const std::string& path) const {
  if (failed_step_ == nullptr) return {};
  return std::string(failed_step_) + " error: " + path + ": " + std::strerror(failed_error_);
}

}  // namespace zelto
