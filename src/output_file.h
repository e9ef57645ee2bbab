// An output file that never costs the record file its records.
//
// A file a pass writes its lines to is normally opened and truncated in
// place. When it is the very regular file the records were read from (same
// device and inode, through any path or link), the lines go to a new file in
// the directory of that file's real location instead: a nameless one where
// the file system offers them, otherwise one named ".NAME.zelto-..." that a
// failure or an ending signal removes. Only once every line is written and
// the file is safely on disk does it take the old file's name, with the old
// file's owner, group (where the system allows) and permission bits. Until
// then the record file stays whole. The old file's other hard links, if
// any, keep the old records: the replacement is a new file.
//
// Every step goes through a handle of the target's directory, so neither a
// missing /proc nor a working directory whose absolute path exceeds PATH_MAX
// matters. A target the user could not open for writing is refused, as an
// output opened in place would be, whether or not it is the record file.
//
// The name is resolved without following a symbolic link that the system
// protects in shared sticky directories (one owned neither by this user nor
// by the directory's owner), and the file found there must still be the
// record file, both when the name is resolved and just before the rename:
// a file that took the name during the run is never replaced.
//
// A run that gives up its output removes only a file it created itself,
// by a name that still holds that very file and is no link; a file it
// truncated in place (also through a link or a name like /dev/stdout) is
// cut back to nothing through its own descriptor and keeps its name.
//
// Where the record file is to be removed after the run, the output is put on
// stable storage first, with the directory of a file the run created.
//
// On Windows the identity is the volume serial number and the file index,
// and the replacement is a named file beside the old one, marked for
// deletion while it is written (so that no end of the process leaves it
// behind), flushed with FlushFileBuffers and moved over the old file with
// MoveFileExW. The system replaces no file that another program holds
// open: the replacement is then discarded and the old file stays whole.
// Ctrl-C, Ctrl-Break and closing the console wait until a replacement that
// is taking its name has done so.
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
// The identity of the file standard output writes to, if it is one.
[[nodiscard]] std::optional<FileIdentity> standard_output_identity();

// Writes out what `stream` buffers and, when it writes to a regular file,
// puts that file on stable storage. False, with errno telling why, when
// either fails; true for a terminal or a pipe once written out.
[[nodiscard]] bool put_on_stable_storage(std::FILE* stream);

// Removes the name `path` only while it still names the file `identity`
// (links followed), checked just before the removal: a file that took the
// name in the meantime stays. True when the name was removed.
bool remove_if_same(const std::string& path, const FileIdentity& identity);

// From now on, a SIGINT, SIGTERM, SIGHUP or SIGQUIT (on Windows: Ctrl-C,
// Ctrl-Break or closing the console) that ends the run first calls `erase`
// (which must be async-signal-safe; nullptr for none) with every other one
// watched so far, and removes a replacement that still carries a visible
// name. A signal that was ignored when the run began stays ignored.
void watch_ending_signals(void (*erase)());

// Holds back the signals that end a run on the calling thread for as long
// as it lives: their handler then never runs on this thread in the middle
// of what it does meanwhile. Windows runs its console handler on a thread
// of its own, so there is nothing to hold.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld();
  ~EndingSignalsHeld();
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  std::uint64_t previous_[16];  // the thread's signal mask before
};

namespace detail {
// Adds `erase` to what an ending signal calls (once, however often added);
// calls them all, in the order they were added.
void add_ending_eraser(void (*erase)());
void run_ending_erasers();
// Closes `stream` and cuts its file back to nothing through its own
// descriptor, which the name need not lead to any more.
void close_and_cut(std::FILE* stream);
// Removes `path` while it is no link and still holds the file `identity`.
void remove_own_file(const std::string& path, const FileIdentity& identity);
}  // namespace detail

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
  // True when the file written in place did not exist before the run.
  [[nodiscard]] bool created() const { return created_; }

  // Closes the file and, for a replacement, puts it in the old file's place.
  // With `to_stable_storage`, the file (and the directory of a file the run
  // created) reach stable storage first. False when anything failed; a
  // replacement is then discarded and the old file left as it was, unless
  // `name_taken()`: the replacement is then kept for `copy_lines_to`.
  [[nodiscard]] bool commit(bool to_stable_storage = false);
  // After a failed commit: true when another file had taken the name of the
  // record file being replaced, or (on Windows) another program held that
  // file and refused its replacement; the name was then left alone.
  [[nodiscard]] bool name_taken() const { return name_taken_; }
  // After a commit that found the name taken: writes every byte of the
  // finished replacement to `destination`, then discards the replacement.
  // False when a read or a write failed.
  [[nodiscard]] bool copy_lines_to(std::FILE* destination);
  // After a failed commit: "STEP error: PATH: REASON" when a step other than
  // writing failed (rename(), link() or fsync()); empty when it was the
  // writing, which the caller reports.
  [[nodiscard]] std::string failed_step_message(const std::string& path) const;

  // Gives up the output of a run that failed: a replacement is discarded; a
  // regular file the run created is removed and one it truncated is cut back
  // to nothing, so that nothing written is taken for a result.
  void abandon();

 private:
  [[nodiscard]] bool open_in_place(const std::string& path);
  [[nodiscard]] bool open_replacement(const std::string& path);
  [[nodiscard]] bool still_names_input() const;
  [[nodiscard]] bool commit_in_place(bool to_stable_storage);
  [[nodiscard]] bool commit_replacement();
  void cut_back();
  [[nodiscard]] bool open_named_replacement();
  [[nodiscard]] bool name_nameless_file(int fd);
  [[nodiscard]] bool copy_into_named_file(int fd);
  bool fail_at(const char* step);
  void discard();

  std::FILE* stream_ = nullptr;
  bool replacing_ = false;
  // For an output opened in place: its path and, for a regular file, what it is.
  std::string path_;
  std::optional<FileIdentity> opened_;
  // The run created the file at `path_` (it did not exist before).
  bool created_ = false;
  // The record file being replaced.
  std::optional<FileIdentity> input_;
  bool name_taken_ = false;
  // For a replacement: the directory and name it takes, the old file's
  // owner and mode, and the name it has while it is written, if any.
  int directory_ = -1;
  std::string target_;
  std::uint32_t owner_ = 0;
  std::uint32_t group_ = 0;
  std::uint32_t mode_ = 0;
  std::string visible_name_;
  const char* failed_step_ = nullptr;
  int failed_error_ = 0;
};

}  // namespace zelto
