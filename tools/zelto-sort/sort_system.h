// What zelto-sort asks of the operating system beyond zelto's platform
// layer, in its own terms: reading input files and standard input as bytes,
// writing standard output as bytes (no CR is ever added), nameless spill
// files for runs that do not fit in memory, the program that packs them
// (--compress-program), the limits that bound a merge,
// and the removal of an output file that an ending signal leaves half
// written. sort_system_posix.cpp and sort_system_win32.cpp implement it.
//
// Failures come back as errno values; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace zelto::sorter {

// The descriptors of the standard streams.
inline constexpr int STANDARD_INPUT = 0;
inline constexpr int STANDARD_OUTPUT = 1;
inline constexpr int STANDARD_ERROR = 2;

// Opens the file at `path` for reading in binary mode: its descriptor, or
// -1 with `error` set. The descriptor is never that of standard output or
// error, even when closed: a file there would be what /dev/stdout names, or
// would take in what is written to standard output. That of a closed
// standard input may be taken, as with sort: "-" then reads that file.
[[nodiscard]] int open_for_reading(const std::string& path, int& error);
// Whether `open_for_reading` has opened a file in this process.
[[nodiscard]] bool opened_a_file();
// Closes `fd`, but not standard input.
void close_file(int fd);
// 0 when the status of descriptor `fd` can be read (it is open), else
// the errno value of the failure.
[[nodiscard]] int status_error(int fd);
// Reads at most `size` bytes: how many were read (0 at the end of the
// input), or -1 with `error` set. An interrupted read is retried.
[[nodiscard]] long long read_some(int fd, void* data, std::size_t size, int& error);

// Writes all `size` bytes to standard output, as they are. False with
// `error` set when that fails.
[[nodiscard]] bool write_standard_output(const void* data, std::size_t size, int& error);

// Makes large blocks of memory go back to the system as soon as they are
// freed, so that batch after batch of a sort on disk does not pile up freed
// memory in the process. Called once at the start.
void return_freed_memory_at_once();

// The most inputs one merge may hold open at once (--batch-size).
[[nodiscard]] std::uint64_t largest_batch_size();
// How many of those the process holds open now (beside the standard
// streams), as whoever started it may have left files open.
[[nodiscard]] std::uint64_t files_held_open();
// The bytes of physical memory (for -S N%); 0 when unknown.
[[nodiscard]] std::uint64_t physical_memory();

// False when the locale the environment names (LC_ALL, LC_*, LANG) is not
// installed, which --debug reports as sort does; the process itself stays
// in the C locale either way.
[[nodiscard]] bool environment_locale_exists();

// 0 when the file at `path` may be read, else the errno value that says
// why not; nothing is opened (a named pipe must be opened only once).
[[nodiscard]] int read_access_error(const std::string& path);
// 0 when a file may be written at `path` (one that is there and is not a
// directory, or a new one in a directory that takes files), else the errno
// value that says why not; nothing is made or opened.
[[nodiscard]] int write_access_error(const std::string& path);

// True when `path` names a regular file (links followed).
[[nodiscard]] bool is_regular_file(const std::string& path);
// The size of the regular file `path` names, without opening it (a named
// pipe must not be opened twice); nothing for anything else.
[[nodiscard]] std::optional<std::uint64_t> regular_file_bytes(const std::string& path);

// Removes the file at `path`, or cuts the file open as `fd` back to
// nothing: both may be called from a signal handler (see `LineSink`).
void remove_file_now(const char* path);
void empty_file_now(int fd);

// A file without a name in a directory, for sorted runs: the system frees
// it when it is closed or the process ends in any way.
class SpillFile {
 public:
  SpillFile() = default;
  ~SpillFile();
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  // False with `error` set when no such file can be made in `directory`.
  [[nodiscard]] bool create(const std::string& directory, int& error);
  // Writes or reads exactly `size` bytes at `offset`; false with `error`
  // set otherwise (a read beyond the end is EIO).
  [[nodiscard]] bool write_at(const void* data, std::size_t size, std::uint64_t offset, int& error);
  [[nodiscard]] bool read_at(void* data, std::size_t size, std::uint64_t offset, int& error) const;
  // The `size` bytes at `offset` will not be read again: the system may
  // free their room on disk and in its cache now, rather than when the
  // file is closed (the room then serves the output). A system that cannot
  // is left as it is; the bytes read as zeros or as they were.
  void release(std::uint64_t offset, std::uint64_t size) const;
  void close();

 private:
  friend class PackingProgram;
  std::intptr_t handle_ = -1;
};

// The program of --compress-program, run beside the sort to pack a run
// into its file, or, given the argument "-d", to unpack it again.
class PackingProgram {
 public:
  PackingProgram() = default;
  ~PackingProgram();
  PackingProgram(const PackingProgram&) = delete;
  PackingProgram& operator=(const PackingProgram&) = delete;

  // Starts `program`, found as a shell finds a command. Packing, its
  // standard output is `file` and its standard input a pipe that `write`
  // fills; unpacking, its standard input is `file` from its start and its
  // standard output a pipe that `read` drains. False with `error` set when
  // it cannot be started.
  [[nodiscard]] bool start(const std::string& program, bool unpack, const SpillFile& file,
                           int& error);
  // Writes all `size` bytes to the program; false with `error` set (a
  // program that ended early: EPIPE, never a signal).
  [[nodiscard]] bool write(const void* data, std::size_t size, int& error);
  // Reads at most `size` bytes from the program: how many (0 at the end),
  // or -1 with `error` set.
  [[nodiscard]] long long read(void* data, std::size_t size, int& error);
  // Closes the pipe and waits for the program to end: true when it was
  // started and exited with status 0.
  [[nodiscard]] bool finish();

 private:
  std::intptr_t process_ = -1;
  std::intptr_t pipe_ = -1;
  bool succeeded_ = false;
};

}  // namespace zelto::sorter
