#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>

#include "sort_system.h"
#include "whole_transfer.h"

extern char** environ;

namespace zelto::sorter {

namespace {

// Whether open_for_reading opened a file.
bool any_file_opened = false;

// A copy of `fd` above the standard streams' numbers, which closed standard
// streams leave free, `fd` itself closed; -1 with `error` set when the copy
// fails.
int above_standard_streams(int fd, int& error) {
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STANDARD_ERROR + 1);
  if (moved < 0) error = errno;
  ::close(fd);
  return moved;
}

}  // namespace

int open_for_reading(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  any_file_opened = true;
  if (fd == STANDARD_OUTPUT || fd == STANDARD_ERROR) return above_standard_streams(fd, error);
  return fd;
}

bool opened_a_file() {
  return any_file_opened;
}

void close_file(int fd) {
  if (fd > STANDARD_INPUT) ::close(fd);
}

int status_error(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 ? 0 : errno;
}

long long read_some(int fd, void* data, std::size_t size, int& error) {
  for (;;) {
    const ssize_t got = ::read(fd, data, size);
    if (got >= 0) return got;
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

bool write_standard_output(const void* data, std::size_t size, int& error) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  error = transfer_whole(size, ENOSPC, [&](std::size_t done) {
    return ::write(STDOUT_FILENO, bytes + done, size - done);
  });
  return error == 0;
}

void return_freed_memory_at_once() {
  // A fixed threshold also stops the allocator from raising it after each
  // large block freed, which would put the next blocks on its heap.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
}

std::uint64_t largest_batch_size() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1U << 20;
  return limit.rlim_cur > 3 ? limit.rlim_cur - 3 : 2;
}

std::uint64_t files_held_open() {
  // Descriptors past the first few thousand are not looked for.
  const auto last = static_cast<int>(std::min<std::uint64_t>(largest_batch_size() + 3, 4096));
  std::uint64_t held = 0;
  for (int fd = STANDARD_ERROR + 1; fd < last; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) ++held;
  }
  return held;
}

std::uint64_t physical_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  return pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * page : 0;
}

bool environment_locale_exists() {
  const bool exists = std::setlocale(LC_ALL, "") != nullptr;
  std::setlocale(LC_ALL, "C");
  return exists;
}

int read_access_error(const std::string& path) {
  return access(path.c_str(), R_OK) == 0 ? 0 : errno;
}

int write_access_error(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return EISDIR;
    return access(path.c_str(), W_OK) == 0 ? 0 : errno;
  }
  if (errno != ENOENT) return errno;
  // A new file: its directory must take it.
  const std::size_t slash = path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : path.substr(0, slash);
  return access(directory.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

bool is_regular_file(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::optional<std::uint64_t> regular_file_bytes(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

void remove_file_now(const char* path) {
  unlink(path);
}

void empty_file_now(int fd) {
  (void)ftruncate(fd, 0);
}

SpillFile::~SpillFile() {
  close();
}

void SpillFile::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

bool SpillFile::create(const std::string& directory, int& error) {
  close();
  int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // File systems without nameless files refuse them with one of these.
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string pattern = directory + "/zelto-sort-XXXXXX";
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) unlink(pattern.c_str());
  }
  if (fd < 0) {
    error = errno;
    return false;
  }
  // A run takes no standard stream's number: in standard output's it would
  // take in the output, in standard input's it would be read as "-".
  if (fd <= STANDARD_ERROR) fd = above_standard_streams(fd, error);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

bool SpillFile::write_at(const void* data, std::size_t size, std::uint64_t offset, int& error) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  error = transfer_whole(size, ENOSPC, [&](std::size_t done) {
    return pwrite(static_cast<int>(handle_), bytes + done, size - done,
                  static_cast<off_t>(offset + done));
  });
  return error == 0;
}

void SpillFile::release(std::uint64_t offset, std::uint64_t size) const {
#ifdef FALLOC_FL_PUNCH_HOLE
  // A failure only leaves the bytes where they are.
  (void)fallocate(static_cast<int>(handle_), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(offset), static_cast<off_t>(size));
#else
  (void)offset;
  (void)size;
#endif
}

bool SpillFile::read_at(void* data, std::size_t size, std::uint64_t offset, int& error) const {
  auto* bytes = static_cast<unsigned char*>(data);
  error = transfer_whole(size, EIO, [&](std::size_t done) {
    return pread(static_cast<int>(handle_), bytes + done, size - done,
                 static_cast<off_t>(offset + done));
  });
  return error == 0;
}

PackingProgram::~PackingProgram() {
  (void)finish();
}

bool PackingProgram::start(const std::string& program, bool unpack, const SpillFile& file,
                           int& error) {
  // A SIGCHLD ignored by whoever started the run would reap the program
  // before its status could be read.
  static const bool waitable = signal(SIGCHLD, SIG_DFL) != SIG_ERR;
  (void)waitable;
  // The pipe into a packing program is a socket, written without SIGPIPE:
  // a program that ends early fails the writes instead of the process.
  int ends[2] = {-1, -1};
  const int made =
      unpack ? pipe2(ends, O_CLOEXEC) : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
  if (made != 0) {
    error = errno;
    return false;
  }
  // Both ends above the standard streams, which the program's are copied to.
  for (int& end : ends) {
    if (end <= STANDARD_ERROR && end >= 0) end = above_standard_streams(end, error);
  }
  const int ours = ends[0];
  const int theirs = ends[1];
  const auto spill = static_cast<int>(file.handle_);
  if (ours < 0 || theirs < 0 || (unpack && lseek(spill, 0, SEEK_SET) < 0)) {
    if (error == 0) error = errno;
    for (const int end : ends) {
      if (end >= 0) ::close(end);
    }
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, unpack ? spill : theirs, STANDARD_INPUT);
  posix_spawn_file_actions_adddup2(&actions, unpack ? theirs : spill, STANDARD_OUTPUT);
  std::string name = program;
  std::string option = "-d";
  char* arguments[] = {name.data(), unpack ? option.data() : nullptr, nullptr};
  pid_t child = 0;
  const int failed = posix_spawnp(&child, name.c_str(), &actions, nullptr, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(theirs);
  if (failed != 0) {
    ::close(ours);
    error = failed;
    return false;
  }
  process_ = child;
  pipe_ = ours;
  return true;
}

bool PackingProgram::write(const void* data, std::size_t size, int& error) {
  const auto* bytes = static_cast<const char*>(data);
  error = transfer_whole(size, EPIPE, [&](std::size_t done) {
    return send(static_cast<int>(pipe_), bytes + done, size - done, MSG_NOSIGNAL);
  });
  return error == 0;
}

long long PackingProgram::read(void* data, std::size_t size, int& error) {
  return read_some(static_cast<int>(pipe_), data, size, error);
}

bool PackingProgram::finish() {
  if (pipe_ >= 0) ::close(static_cast<int>(pipe_));
  pipe_ = -1;
  if (process_ < 0) return succeeded_;
  int status = 0;
  pid_t ended = 0;
  do {
    ended = waitpid(static_cast<pid_t>(process_), &status, 0);
  } while (ended < 0 && errno == EINTR);
  process_ = -1;
  succeeded_ = ended >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return succeeded_;
}

}  // namespace zelto::sorter
