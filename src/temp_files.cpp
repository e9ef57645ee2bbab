// What temporary files do alike on every system: their messages and how
// the handle of one passes to another.
#include "temp_files.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace zelto {

void report_temporary_file_error(const std::string& directory, int error) {
  std::fprintf(stderr, "temporary file error: %s: %s\n", directory.c_str(), std::strerror(error));
}

void report_no_room(const std::string& directory, std::uint64_t needed, std::uint64_t free) {
  std::fprintf(stderr, "temporary file error: %s: needs %llu bytes, has %llu free\n",
               directory.c_str(), static_cast<unsigned long long>(needed),
               static_cast<unsigned long long>(free));
}

TemporaryFile::~TemporaryFile() {
  close();
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      directory_(std::move(other.directory_)),
      error_(other.error_) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    directory_ = std::move(other.directory_);
    error_ = other.error_;
  }
  return *this;
}

void TemporaryFile::report_failure() const {
  report_temporary_file_error(directory_, error_);
}

}  // namespace zelto
