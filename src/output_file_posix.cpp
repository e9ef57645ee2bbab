#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <utility>

#include "output_file.h"

namespace zelto {

namespace {

// A replacement made where nameless files cannot be used carries a name
// while it is written; a signal that ends the run removes it first, after
// erasing what the terminal shows of the run's status. Only signals that
// were not ignored when the run began get that handler: an ignored one
// (nohup, a shell's background job) stays ignored.
char pending_name[NAME_MAX + 1];
std::atomic<int> pending_directory = -1;
// Every signal whose default is to end the process without a fault of its
// own (SIGXFSZ is ignored: a write past the limit then fails instead).
constexpr int ENDING_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGPIPE, SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU};

extern "C" void end_run(int signal_number) {
  detail::run_ending_erasers();
  const int directory = pending_directory.load();
  if (directory >= 0) unlinkat(directory, pending_name, 0);
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void install_ending_handlers() {
  static std::atomic<bool> installed = false;
  if (installed.exchange(true)) return;
  for (const int s : ENDING_SIGNALS) {
    struct sigaction current {};
    if (sigaction(s, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = end_run;
    sigemptyset(&action.sa_mask);
    sigaction(s, &action, nullptr);
  }
}

void watch_pending_name(int directory, const std::string& name) {
  std::strncpy(pending_name, name.c_str(), sizeof pending_name - 1);
  pending_directory.store(directory);
  install_ending_handlers();
}

void forget_pending_name() {
  pending_directory.store(-1);
}

// `path` split at its last slash: the directory part ("" for none, "/" for
// the root) and the name.
std::pair<std::string, std::string> split_path(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// True for a symbolic link (whose status is `link`) in the directory `at`
// that the system refuses to follow for others where it protects links: in
// a sticky directory that everyone may write, a link owned neither by this
// user nor by the directory's owner. Following it by hand would let any user
// of a shared directory point a run at a file elsewhere.
bool is_protected_link(int at, const struct stat& link) {
  struct stat folder {};
  if (fstat(at, &folder) != 0) return true;
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return shared && link.st_uid != geteuid() && link.st_uid != folder.st_uid;
}

// A handle of a directory that is only walked through: without opening it
// for reading where the system can (O_PATH, Linux).
#ifdef O_PATH
constexpr int DIRECTORY_HANDLE = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int DIRECTORY_HANDLE = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// A nameless file in the directory `at`, where the file system offers them
// (O_TMPFILE, Linux); -1 elsewhere.
int open_nameless(int at) {
#ifdef O_TMPFILE
  return openat(at, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#else
  (void)at;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

// Links the open file `fd` as `name` in `at` through its descriptor, where
// the system can (AT_EMPTY_PATH, Linux).
int link_descriptor(int fd, int at, const char* name) {
#ifdef AT_EMPTY_PATH
  return linkat(fd, "", at, name, AT_EMPTY_PATH);
#else
  (void)fd;
  (void)at;
  (void)name;
  errno = EOPNOTSUPP;
  return -1;
#endif
}

// Reads the file open as `fd` from its start and hands each block to
// `write`, which says whether it took it. False when a read or a write failed.
template <class Write>
bool copy_whole_file(int fd, const Write& write) {
  std::array<char, 1 << 16> block;
  for (off_t at = 0;;) {
    const ssize_t got = pread(fd, block.data(), block.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    if (!write(block.data(), static_cast<std::size_t>(got))) return false;
    at += got;
  }
}

// Puts the entries of the directory `at` (a walking handle) on storage.
bool sync_directory(int at) {
  const int fd = openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

// Follows `path` through its symbolic links to the real location of the
// file: a handle of its directory (which the caller closes) and its name
// there. False when a step fails; errno tells why.
bool locate(const std::string& path, int& directory, std::string& name) {
  int at = AT_FDCWD;
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    const auto [part, base] = split_path(current);
    const int next = openat(at, part.empty() ? "." : part.c_str(), DIRECTORY_HANDLE);
    if (at != AT_FDCWD) close(at);
    if (next < 0) return false;
    at = next;
    struct stat status {};
    if (fstatat(at, base.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) break;
    if (!S_ISLNK(status.st_mode)) {
      directory = at;
      name = base;
      return true;
    }
    if (is_protected_link(at, status)) {
      errno = EACCES;
      break;
    }
    std::array<char, PATH_MAX> target{};
    const ssize_t length = readlinkat(at, base.c_str(), target.data(), target.size() - 1);
    if (length <= 0) break;
    current.assign(target.data(), static_cast<std::size_t>(length));
  }
  const int error = errno;
  if (at != AT_FDCWD) close(at);
  errno = error == 0 ? ELOOP : error;
  return false;
}

// A name beside the target that says whose it is: ".NAME.zelto-PID-N".
std::string replacement_name(const std::string& target, int attempt) {
  std::string base = target.size() > 200 ? target.substr(0, 200) : target;
  return "." + base + ".zelto-" + std::to_string(getpid()) + "-" + std::to_string(attempt);
}

// Where /proc is mounted, a nameless file can be linked through it by
// anyone; without it only through its descriptor, which needs a privilege.
std::string proc_path_of(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

bool may_name_nameless(int fd) {
  struct stat status {};
  return geteuid() == 0 || lstat(proc_path_of(fd).c_str(), &status) == 0;
}

// Writes every byte of [data, data + size) to `fd`.
bool write_whole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Syncs the directory that holds `path`.
bool sync_directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

void watch_ending_signals(void (*erase)()) {
  detail::add_ending_eraser(erase);
  install_ending_handlers();
}

static_assert(sizeof(sigset_t) <= sizeof(std::uint64_t[16]));

EndingSignalsHeld::EndingSignalsHeld() {
  sigset_t held;
  sigemptyset(&held);
  for (const int s : ENDING_SIGNALS) sigaddset(&held, s);
  pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(previous_));
}

EndingSignalsHeld::~EndingSignalsHeld() {
  pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(previous_), nullptr);
}

std::optional<FileIdentity> identity_of(const std::string& path) {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev), status.st_ino};
}

std::optional<FileIdentity> identity_of(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev), status.st_ino};
}

std::optional<FileIdentity> standard_output_identity() {
  return identity_of(STDOUT_FILENO);
}

bool put_on_stable_storage(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  struct stat status {};
  if (fstat(fileno(stream), &status) != 0 || !S_ISREG(status.st_mode)) return true;
  return fsync(fileno(stream)) == 0;
}

bool remove_if_same(const std::string& path, const FileIdentity& identity) {
  return identity_of(path) == identity && unlink(path.c_str()) == 0;
}

OutputFile::~OutputFile() {
  discard();
  if (directory_ >= 0) close(directory_);
}

bool OutputFile::open(const std::string& path, const std::optional<FileIdentity>& input) {
  replacing_ = false;
  name_taken_ = false;
  failed_step_ = nullptr;
  // Only a regular file is replaced: a device or a pipe that is also the
  // input is written to as it is.
  struct stat status {};
  if (input.has_value() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      FileIdentity{static_cast<std::uint64_t>(status.st_dev), status.st_ino} == *input) {
    input_ = input;
    replacing_ = open_replacement(path);
    return replacing_;
  }
  return open_in_place(path);
}

bool OutputFile::open_in_place(const std::string& path) {
  // Exclusive first, so that the run knows whether the file is its own.
  stream_ = std::fopen(path.c_str(), "wbx");
  created_ = stream_ != nullptr;
  if (stream_ == nullptr && errno == EEXIST) stream_ = std::fopen(path.c_str(), "wb");
  if (stream_ == nullptr) return false;
  path_ = path;
  struct stat status {};
  if (fstat(fileno(stream_), &status) == 0 && S_ISREG(status.st_mode)) {
    opened_ = FileIdentity{static_cast<std::uint64_t>(status.st_dev), status.st_ino};
  }
  return true;
}

// True while the name being replaced still holds the record file, itself
// and not a link to it.
bool OutputFile::still_names_input() const {
  struct stat found {};
  return input_.has_value() &&
         fstatat(directory_, target_.c_str(), &found, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISREG(found.st_mode) &&
         FileIdentity{static_cast<std::uint64_t>(found.st_dev), found.st_ino} == *input_;
}

bool OutputFile::open_replacement(const std::string& path) {
  if (directory_ >= 0) close(std::exchange(directory_, -1));
  if (!locate(path, directory_, target_)) return false;
  // The name may have changed hands since it was first looked at.
  if (!still_names_input()) {
    errno = EEXIST;
    return false;
  }
  struct stat old {};
  if (fstatat(directory_, target_.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0) return false;
  // A file this user could not open for writing is not replaced either.
  if (faccessat(directory_, target_.c_str(), W_OK, AT_EACCESS) != 0) return false;
  owner_ = old.st_uid;
  group_ = old.st_gid;
  mode_ = old.st_mode & 07777;
  int fd = open_nameless(directory_);
  if (fd >= 0 && !may_name_nameless(fd)) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) return open_named_replacement();
  // Best effort: the replacement belongs to whoever owned the old file, or
  // at least to its group.
  if (fchown(fd, owner_, group_) != 0) (void)!fchown(fd, static_cast<uid_t>(-1), group_);
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  return true;
}

bool OutputFile::open_named_replacement() {
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 1000; ++attempt) {
    visible_name_ = replacement_name(target_, attempt);
    fd = openat(directory_, visible_name_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    visible_name_.clear();
    return false;
  }
  watch_pending_name(directory_, visible_name_);
  if (fchown(fd, owner_, group_) != 0) (void)!fchown(fd, static_cast<uid_t>(-1), group_);
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const int error = errno;
    close(fd);
    discard();
    errno = error;
    return false;
  }
  return true;
}

bool OutputFile::fail_at(const char* step) {
  failed_step_ = step;
  failed_error_ = errno;
  return false;
}

// Gives the nameless file `fd` a fresh name beside the target: through its
// descriptor where that is allowed, through /proc otherwise, and as a last
// resort by copying it into a named file.
bool OutputFile::name_nameless_file(int fd) {
  const std::string proc_path = proc_path_of(fd);
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = replacement_name(target_, attempt);
    if (link_descriptor(fd, directory_, candidate.c_str()) == 0 ||
        (errno != EEXIST && linkat(AT_FDCWD, proc_path.c_str(), directory_, candidate.c_str(),
                                   AT_SYMLINK_FOLLOW) == 0)) {
      visible_name_ = candidate;
      return true;
    }
    if (errno != EEXIST) break;
  }
  const int error = errno;
  if (copy_into_named_file(fd)) return true;
  errno = error;
  return fail_at("link()");
}

bool OutputFile::copy_into_named_file(int fd) {
  std::FILE* nameless = std::exchange(stream_, nullptr);
  const bool opened = open_named_replacement();
  std::FILE* named = std::exchange(stream_, nameless);
  if (!opened) return false;
  const int to = fileno(named);
  bool ok = copy_whole_file(
      fd, [to](const char* data, std::size_t size) { return write_whole(to, data, size); });
  ok = ok && fchmod(to, mode_) == 0 && fsync(to) == 0;
  ok = std::fclose(named) == 0 && ok;
  if (!ok) {
    unlinkat(directory_, visible_name_.c_str(), 0);
    visible_name_.clear();
    forget_pending_name();
  }
  return ok;
}

bool OutputFile::commit_in_place(bool to_stable_storage) {
  std::FILE* stream = std::exchange(stream_, nullptr);
  bool ok = true;
  // Only a regular file can be put on storage; a terminal or a pipe is done
  // once written.
  if (to_stable_storage && opened_.has_value()) {
    ok = std::fflush(stream) == 0;
    if (ok && (fsync(fileno(stream)) != 0 || (created_ && !sync_directory_of(path_)))) {
      ok = fail_at("fsync()");
    }
  }
  return std::fclose(stream) == 0 && ok;
}

bool OutputFile::commit_replacement() {
  const int fd = fileno(stream_);
  // Every line must be on disk before the old records give up their name.
  bool ok = std::fflush(stream_) == 0 && fchmod(fd, mode_) == 0 && fsync(fd) == 0;
  // An interruption cannot leave the replacement half-named.
  const EndingSignalsHeld held;
  if (ok && visible_name_.empty()) ok = name_nameless_file(fd);
  // Another file took the name during the run: it stays, and the lines are
  // kept for the caller to put elsewhere.
  if (ok && !still_names_input()) {
    name_taken_ = true;
    return false;
  }
  std::FILE* stream = std::exchange(stream_, nullptr);
  ok = std::fclose(stream) == 0 && ok;
  if (ok && renameat(directory_, visible_name_.c_str(), directory_, target_.c_str()) != 0) {
    ok = fail_at("rename()");
  }
  if (ok) {
    visible_name_.clear();
    forget_pending_name();
    (void)sync_directory(directory_);
  }
  discard();
  return ok;
}

bool OutputFile::copy_lines_to(std::FILE* destination) {
  const bool ok =
      stream_ != nullptr && std::fflush(stream_) == 0 &&
      copy_whole_file(fileno(stream_), [destination](const char* data, std::size_t size) {
        return std::fwrite(data, 1, size, destination) == size;
      });
  discard();
  return ok;
}

namespace detail {

void close_and_cut(std::FILE* stream) {
  // The descriptor outlives the stream, whose closing may still write out
  // what it buffers.
  const int fd = dup(fileno(stream));
  std::fclose(stream);
  if (fd < 0) return;
  (void)!ftruncate(fd, 0);
  close(fd);
}

void remove_own_file(const std::string& path, const FileIdentity& identity) {
  struct stat found {};
  if (lstat(path.c_str(), &found) == 0 && S_ISREG(found.st_mode) &&
      FileIdentity{static_cast<std::uint64_t>(found.st_dev), found.st_ino} == identity) {
    unlink(path.c_str());
  }
}

}  // namespace detail

void OutputFile::discard() {
  if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  if (!visible_name_.empty()) {
    unlinkat(directory_, visible_name_.c_str(), 0);
    visible_name_.clear();
    forget_pending_name();
  }
}

}  // namespace zelto
