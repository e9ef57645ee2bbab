// The bytes of a record file, mapped read-only where that is safe, read into
// memory where it is not.
//
// A regular file is mapped private, and the records are sorted and written
// straight from the mapping; its pages are mapped in by the threads that
// first read them, never copied into the process's own memory. A mapping is
// not made for anything else (pipes, devices, /proc files), nor when the run
// will open the same file for writing (see `must_copy`): truncating it for
// writing would pull the pages from under the mapping.
//
// A file that another process shrinks while it is mapped makes reads past its
// new end fault. While any mapping lives, a SIGBUS handler puts zero pages
// there instead and marks the mapping shrunk; the pass checks `shrunk()`
// after reading the records (after sorting and after writing) and reports
// the file as unreadable. The bytes read through a shrunk mapping are
// meaningless but never crash the process.
//
// A file that another process writes over in place while it is mapped
// changes the bytes under the sort: keys compared before and after the
// write disagree, and the output could come out in no order at all. The
// mapping notes the file's size and modification time when it is made, and
// keeps a descriptor to look at them again (`rewritten`); the pass checks
// that where it checks `shrunk()`. A file that only grew is taken as
// appended to: the mapped bytes are its first ones, still as they were.
//
// On Windows the view is made with CreateFileMappingW and MapViewOfFile. The
// system refuses to truncate a file while a view of it is mapped, so on a
// local volume the records cannot shrink; a page that still cannot be read
// (a file on a network share cut short by another client, a failing or
// removed disk) raises EXCEPTION_IN_PAGE_ERROR, which a vectored exception
// handler answers as the SIGBUS handler does. The mapping is released when
// the RecordFile is destroyed: only then can the file be replaced or
// removed there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelto {

enum class LoadStatus { Loaded, OpenFailed, AllocationFailed, ReadFailed };

class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Makes the first `bytes` bytes of the file open for reading as `fd`
  // available, mapped unless `allow_mapping` is false or the file is not a
  // regular file. The caller keeps `fd` and may close it once this returns.
  // AllocationFailed: no memory (or address space) for the bytes;
  // ReadFailed: the file is shorter.
  [[nodiscard]] LoadStatus load(int fd, std::size_t bytes, bool allow_mapping);

  // Maps the first `bytes` (> 0) bytes of the regular file open as `fd` for
  // a pass that reads them part by part, front to back, giving back each
  // part once it is done with it (`release`); false, with nothing mapped
  // and nothing read, where the file cannot be mapped so.
  [[nodiscard]] bool map_for_streaming(int fd, std::size_t bytes);
  // Takes the pages that hold bytes [offset, offset + size) of a mapping
  // out of the process's resident memory; they stay readable (from the file
  // again). Nothing for records read into memory.
  void release(std::size_t offset, std::size_t size) const;

  [[nodiscard]] const unsigned char* data() const { return data_; }
  [[nodiscard]] bool mapped() const { return mapped_; }
  // True when the mapped file shrank below the bytes in use since `load`.
  [[nodiscard]] bool shrunk() const;
  // True when the mapped file was written since `load` and did not grow:
  // its bytes in use may not be the ones that were read. (A write within
  // the same tick of the system's clock as the one before the mapping goes
  // unseen; so does a rewrite that also makes the file longer.)
  [[nodiscard]] bool rewritten() const;
  // Either of the two: the bytes read are not to be trusted.
  [[nodiscard]] bool changed() const { return shrunk() || rewritten(); }

 private:
  [[nodiscard]] LoadStatus read_into_memory(int fd, std::size_t bytes);
  [[nodiscard]] LoadStatus map(int fd, std::size_t bytes);
  // Maps and guards `bytes` bytes of the file: 0 when done, otherwise the
  // system's error for the mapping, or -1 when no guard was free; nothing
  // stays mapped then.
  [[nodiscard]] int map_guarded(int fd, std::size_t bytes);
  // Keeps a descriptor of the file just mapped and notes its size and time.
  void watch(int fd);

  const unsigned char* data_ = nullptr;
  std::size_t bytes_ = 0;
  std::size_t mapped_bytes_ = 0;
  bool mapped_ = false;
  int guard_slot_ = -1;
  unsigned char* copy_ = nullptr;
  // A descriptor (a handle on Windows) of the mapped file, and what it told
  // of the file when the mapping was made; -1 when nothing is mapped.
  std::intptr_t watched_ = -1;
  std::uint64_t mapped_file_size_ = 0;
  std::int64_t mapped_file_time_ = 0;
};

// The size of the regular file open as `fd`; nothing for anything else
// (pipes, devices) or when it cannot be told.
[[nodiscard]] std::optional<std::uint64_t> regular_file_size(int fd);

// True when writing to any of `output_paths` (missing files are skipped), or
// to standard output when `to_stdout`, would write to the file at
// `input_path`: the same device and inode.
[[nodiscard]] bool must_copy(const std::string& input_path,
                             const std::vector<std::string>& output_paths, bool to_stdout);

}  // namespace zelto
