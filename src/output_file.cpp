// What an output file does alike on every system.
#include "output_file.h"

#include <cstdio>
#include <cstring>

namespace zelto {

bool OutputFile::report_failed_step(const std::string& path) const {
  if (failed_step_ == nullptr) return false;
  std::fprintf(stderr, "%s error: %s: %s\n", failed_step_, path.c_str(),
               std::strerror(failed_error_));
  return true;
}


}  // namespace zelto
