// What temporary files do alike on every system: their messages and how
// the handle of one passes to another.
#include "temp_files.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "progress.h"

namespace zelto {

void report_temporary_file_error(const std::string& directory, int error) {
  report("temporary file error: " + directory + ": " + std::strerror(error));
}

void report_no_room(const std::string& directory, std::uint64_t needed, std::uint64_t free) {
  report("temporary file error: " + directory + ": needs " + std::to_string(needed) +
         " bytes, has " + std::to_string(free) + " free");
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
