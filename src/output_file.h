// An output file that never costs the record file its records.
//
// A file a pass writes its lines to is normally opened and truncated in
// place. When it is the very regular file the records were read from (same
// device and inode, through any path or link), the lines go to a new,
// nameless file in the directory of that file's real location instead; only
// once every line is written and the file is safely on disk and closed does
// it take the old file's name (and permission bits). Until then the record
// file stays whole, and a failure or a signal leaves no stray file behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace zelto {

// What tells two names of one file apart from names of two files: the
// device and inode numbers, or on Windows the volume serial number and the
// file index (128 bits on file systems that use such indexes).
struct FileIdentity {
  std::uint64_t device;
  std::uint64_t inode;
  std::uint64_t inode_high = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of the file that `path` names (links followed), or nothing
// when there is no such file.
[[nodiscard]] std::optional<FileIdentity> identity_of(const std::string& path);
// The identity of the file open as `fd`, or nothing when it cannot be told.
[[nodiscard]] std::optional<FileIdentity> identity_of(int fd);

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens `path` for writing in binary mode: in place, or as a replacement
  // when it names the file `input`. False when it cannot be opened; errno
  // then tells why.
  [[nodiscard]] bool open(const std::string& path, const std::optional<FileIdentity>& input);

  [[nodiscard]] std::FILE* stream() const { return stream_; }
  // True when the lines replace the record file that was read.
  [[nodiscard]] bool replaces_input() const { return replacing_; }

  // Closes the file and, for a replacement, puts it in the old file's place.
  // False when anything failed; a replacement is then discarded and the old
  // file left as it was.
  [[nodiscard]] bool commit();

 private:
  [[nodiscard]] bool open_replacement(const std::string& real_path);
  void discard();

  std::FILE* stream_ = nullptr;
  bool replacing_ = false;
  // For a replacement: the location it takes, its mode, and the visible name
  // it has, if any, while it is being written.
  std::string target_;
  std::uint32_t mode_ = 0;
  std::string visible_name_;
};

}  // namespace zelto
