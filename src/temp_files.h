// Temporary files that no ending of the process can leave behind.
//
// A temporary file lives in $TMPDIR (/tmp when unset or empty) and has no
// name from the moment it exists: it is made with O_TMPFILE, or, where the
// file system lacks that, with mkstemp and unlinked at once. Closing its
// descriptor, or any end of the process including SIGKILL, frees its space.
// On Windows it lives in $TMPDIR when that is set, otherwise in the folder
// GetTempPathW names (TMP, TEMP, ...), and is made with
// FILE_FLAG_DELETE_ON_CLOSE: the system deletes it when its handle closes,
// TerminateProcess included.
//
// Every failure to create, write or read back such a file is reported as
// "temporary file error: DIR: REASON" (DIR the directory, REASON the
// system's text for the error); the pass then ends with status 1. So is a
// directory whose file system has too little room for what a pass will
// store: "temporary file error: DIR: needs N bytes, has M free", before
// anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zelto {

// The directory temporary files go to.
[[nodiscard]] std::string temporary_directory();

// Prints "temporary file error: DIR: REASON" for `error` (an errno value).
void report_temporary_file_error(const std::string& directory, int error);

// The bytes an unprivileged writer may still store in `directory`'s file
// system; nothing when that cannot be told.
[[nodiscard]] std::optional<std::uint64_t> free_space(const std::string& directory);

// Prints "temporary file error: DIR: needs N bytes, has M free".
void report_no_room(const std::string& directory, std::uint64_t needed, std::uint64_t free);

// One nameless file, read and written at explicit offsets. Failures return
// false and keep the reason for `report_failure`, so that the caller can
// first clear the terminal line it may be showing.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the file in `directory`; false when it cannot be made.
  [[nodiscard]] bool create(const std::string& directory);
  // Writes all `size` bytes at `offset`.
  [[nodiscard]] bool write_at(const void* data, std::size_t size, std::uint64_t offset);
  // Reads exactly `size` bytes from `offset`; a file that holds fewer is an
  // I/O error.
  [[nodiscard]] bool read_at(void* data, std::size_t size, std::uint64_t offset);
  void close();
  // Prints the message for the last failure.
  void report_failure() const;

 private:
  int fd_ = -1;
  std::string directory_;
  int error_ = 0;
};

}  // namespace zelto
