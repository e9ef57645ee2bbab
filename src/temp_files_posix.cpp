#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "temp_files.h"
#include "whole_transfer.h"

namespace zelto {

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  return directory != nullptr && *directory != '\0' ? directory : "/tmp";
}

std::optional<std::uint64_t> free_space(const std::string& directory) {
  struct statvfs status {};
  if (statvfs(directory.c_str(), &status) != 0) return std::nullopt;
  // A file system that tells no size at all (ramfs) has no room to read.
  if (status.f_blocks == 0) return std::nullopt;
  return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
}

void TemporaryFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TemporaryFile::create(const std::string& directory) {
  close();
  directory_ = directory;
#ifdef O_TMPFILE
  // Linux: a file without a name. File systems without O_TMPFILE refuse it
  // with one of these; the directory itself is fine then.
  fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  const bool named = fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
#else
  const bool named = true;
#endif
  // Elsewhere a named file, removed as soon as it is open.
  if (named) {
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
  error_ = transfer_whole(size, ENOSPC, [&](std::size_t done) {
    return pwrite(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
  });
  return error_ == 0;
}

bool TemporaryFile::read_at(void* data, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  error_ = transfer_whole(size, EIO, [&](std::size_t done) {
    return pread(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
  });
  return error_ == 0;
}

}  // namespace zelto
