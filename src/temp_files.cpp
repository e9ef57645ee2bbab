#include "temp_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zelto {

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

void report_temporary_file_error(const std::string& directory, int error) {
  std::fprintf(stderr, "temporary file error: %s: %s\n", directory.c_str(), std::strerror(error));
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

void TemporaryFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TemporaryFile::create(const std::string& directory) {
  close();
  directory_ = directory;
  fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // File systems without O_TMPFILE refuse it with one of these; the
  // directory itself is fine then.
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string pattern = directory + "/zelto-XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) unlink(pattern.c_str());
  }
  if (fd_ < 0) {
    error_ = errno;
    return false;
  }
  return true;
}

bool TemporaryFile::write_at(const void* data, std::size_t size, std::uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = written < 0 ? errno : ENOSPC;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
    offset += static_cast<std::uint64_t>(written);
  }
  return true;
}

bool TemporaryFile::read_at(void* data, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t got = pread(fd_, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      error_ = got < 0 ? errno : EIO;
      return false;
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace zelto
