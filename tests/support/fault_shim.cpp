// Faults put into the command under test with LD_PRELOAD, chosen by the
// environment variable ZELTO_TEST_FAULT:
//   "alloc:N:BYTES"  the Nth memory request (malloc, aligned_alloc, operator
//                    new) of at least BYTES bytes fails, on whichever thread
//   "renameat", "linkat"  every call fails with EIO
//   "no-tmpfile"     open and openat refuse O_TMPFILE with EOPNOTSUPP
//   "shrink:PATH"    PATH is cut to 0 bytes just before a file is opened for
//                    writing with fopen, as another process might do
//   "rewrite:PATH"   PATH's first byte is written over in place at that
//                    moment, its size kept and its modification time a
//                    second later than it was
//   "replace:FROM:TO"  FROM is renamed to TO at that moment instead, as when
//                    another job moves its file into place during the run
//   "shrink-after-write:PATH"  PATH is cut to 0 bytes after the first
//                    positional write (the first run of the external pass)
//   "pread"          every positional read fails with EIO (a run of the
//                    external pass that cannot be read back)
//   "fsync"          every fsync and fdatasync fails with EIO (storage that
//                    cannot keep what was written)
//   "replace-at-fsync:FROM:TO"  FROM is renamed to TO at the first fsync, as
//                    when another job moves its file into place while the
//                    run puts its lines on storage
// Anything else changes nothing. The allocation faults replace the C
// library's allocator entry points, so they cannot be combined with a
// sanitizer's; the others can.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_memalign(std::size_t alignment, std::size_t size);

namespace {

const char* fault() {
  const char* f = getenv("ZELTO_TEST_FAULT");
  return f != nullptr ? f : "";
}

[[maybe_unused]] bool is(const char* name) {
  return strcmp(fault(), name) == 0;
}

// The argument after "PREFIX:" of the fault, or nullptr for another fault.
const char* argument_of(const char* prefix) {
  const std::size_t n = strlen(prefix);
  return strncmp(fault(), prefix, n) == 0 && fault()[n] == ':' ? fault() + n + 1 : nullptr;
}

std::atomic<unsigned long> large_requests{0};

// True when this request is the one that fails.
[[maybe_unused]] bool fails(std::size_t size) {
  static const char* setting = argument_of("alloc");
  if (setting == nullptr) return false;
  char* end = nullptr;
  static const unsigned long nth = strtoul(setting, &end, 10);
  static const unsigned long bytes = *end == ':' ? strtoul(end + 1, nullptr, 10) : 0;
  return size >= bytes && large_requests.fetch_add(1) + 1 == nth;
}

template <class Function>
[[maybe_unused]] Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The mode an open call passes after its flags, where they ask for one.
[[maybe_unused]] mode_t mode_argument(int flags, va_list arguments) {
  const bool given = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  return given ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

}  // namespace

extern "C" {

#ifdef ZELTO_FAULT_ALLOCATIONS
void* malloc(std::size_t size) {
  if (fails(size)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  if (fails(size)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_memalign(alignment, size);
}
#else
int renameat(int old_dir, const char* old_path, int new_dir, const char* new_path) {
  if (is("renameat")) {
    errno = EIO;
    return -1;
  }
  using Rename = int (*)(int, const char*, int, const char*);
  static const Rename real = next<Rename>("renameat");
  return real(old_dir, old_path, new_dir, new_path);
}

int linkat(int old_dir, const char* old_path, int new_dir, const char* new_path, int flags) {
  if (is("linkat")) {
    errno = EIO;
    return -1;
  }
  using Link = int (*)(int, const char*, int, const char*, int);
  static const Link real = next<Link>("linkat");
  return real(old_dir, old_path, new_dir, new_path, flags);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  if ((flags & O_TMPFILE) == O_TMPFILE && is("no-tmpfile")) {
    errno = EOPNOTSUPP;
    return -1;
  }
  using Open = int (*)(int, const char*, int, ...);
  static const Open real = next<Open>("openat");
  return real(dir, path, flags, mode);
}

// The same through openat, so that the fault applies alike.
int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = mode_argument(flags, arguments);
  va_end(arguments);
  return openat(AT_FDCWD, path, flags, mode);
}

// The first positional write cuts the file that "shrink-after-write" names.
void shrink_after_first_write() {
  static std::atomic<bool> written{false};
  const char* shrunk = argument_of("shrink-after-write");
  if (shrunk != nullptr && !written.exchange(true)) (void)!truncate(shrunk, 0);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  using Write = ssize_t (*)(int, const void*, size_t, off_t);
  static const Write real = next<Write>("pwrite");
  const ssize_t written = real(fd, data, size, offset);
  shrink_after_first_write();
  return written;
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  using Write = ssize_t (*)(int, const void*, size_t, off64_t);
  static const Write real = next<Write>("pwrite64");
  const ssize_t written = real(fd, data, size, offset);
  shrink_after_first_write();
  return written;
}

// True, with errno set to EIO, when positional reads are to fail.
bool read_fails() {
  if (!is("pread")) return false;
  errno = EIO;
  return true;
}

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
  using Read = ssize_t (*)(int, void*, size_t, off_t);
  static const Read real = next<Read>("pread");
  return read_fails() ? -1 : real(fd, data, size, offset);
}

ssize_t pread64(int fd, void* data, size_t size, off64_t offset) {
  using Read = ssize_t (*)(int, void*, size_t, off64_t);
  static const Read real = next<Read>("pread64");
  return read_fails() ? -1 : real(fd, data, size, offset);
}

// Renames FROM to TO for a "FROM:TO" argument; nothing for nullptr.
void move_as_told(const char* from_to) {
  const char* colon = from_to != nullptr ? strchr(from_to, ':') : nullptr;
  if (colon == nullptr) return;
  char from[4096] = {};
  memcpy(from, from_to, std::min<std::size_t>(sizeof from - 1, colon - from_to));
  rename(from, colon + 1);
}

// True, with errno set to EIO, when flushes to storage are to fail; the
// first flush makes the move that "replace-at-fsync" asks for.
bool sync_fails() {
  static std::atomic<bool> moved{false};
  if (!moved.exchange(true)) move_as_told(argument_of("replace-at-fsync"));
  if (!is("fsync")) return false;
  errno = EIO;
  return true;
}

int fsync(int fd) {
  using Sync = int (*)(int);
  static const Sync real = next<Sync>("fsync");
  return sync_fails() ? -1 : real(fd);
}

int fdatasync(int fd) {
  using Sync = int (*)(int);
  static const Sync real = next<Sync>("fdatasync");
  return sync_fails() ? -1 : real(fd);
}

// Writes over the first byte of the file at `path`, as another process
// editing it in place would; its time moves on by a second, so that the
// write shows whatever the clock's resolution.
void rewrite_in_place(const char* path) {
  const int fd = open(path, O_WRONLY);
  struct stat status {};
  if (fd < 0) return;
  if (fstat(fd, &status) == 0 && write(fd, "~", 1) == 1) {
    struct timespec times[2] = {status.st_atim, status.st_mtim};
    times[1].tv_sec += 1;
    (void)futimens(fd, times);
  }
  close(fd);
}

FILE* fopen(const char* path, const char* mode) {
  const char* shrunk = argument_of("shrink");
  if (strchr(mode, 'w') != nullptr) {
    if (shrunk != nullptr) (void)!truncate(shrunk, 0);
    if (const char* rewritten = argument_of("rewrite"); rewritten != nullptr) {
      rewrite_in_place(rewritten);
    }
    move_as_told(argument_of("replace"));
  }
  using Open = FILE* (*)(const char*, const char*);
  static const Open real = next<Open>("fopen");
  return real(path, mode);
}
#endif

}  // extern "C"
