#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "output_file.h"

namespace zelto {

namespace {

// A replacement made where nameless files are not supported carries a name
// while it is written; a signal that ends the run removes it first.
char pending_name[PATH_MAX];
std::atomic<bool> pending = false;
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void remove_pending_and_die(int signal_number) {
  if (pending.load()) unlink(pending_name);
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void watch_pending_name(const std::string& name) {
  std::strncpy(pending_name, name.c_str(), sizeof pending_name - 1);
  pending.store(true);
  for (const int s : ENDING_SIGNALS) std::signal(s, remove_pending_and_die);
}

void forget_pending_name() {
  pending.store(false);
}

// Holds back the signals that end a run while a replacement takes its name,
// so that an interruption cannot leave it half-named.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int s : ENDING_SIGNALS) sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name beside `target` that says whose it is: ".NAME.zelto-XXXXXX".
std::string replacement_pattern(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  return directory_of(target) + "/." + base + ".zelto-XXXXXX";
}

// Gives the nameless file `fd` a fresh name beside `target`.
bool name_nameless_file(int fd, const std::string& target, std::string& name) {
  const std::string proc_path = "/proc/self/fd/" + std::to_string(fd);
  std::string stem = replacement_pattern(target);
  stem.resize(stem.size() - 6);  // without the XXXXXX
  stem += std::to_string(getpid()) + "-";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = stem + std::to_string(attempt);
    if (linkat(AT_FDCWD, proc_path.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      name = candidate;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

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

OutputFile::~OutputFile() {
  discard();
}

bool OutputFile::open(const std::string& path, const std::optional<FileIdentity>& input) {
  // Only a regular file is replaced: a device or a pipe that is also the
  // input is written to as it is.
  struct stat status {};
  if (input.has_value() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      FileIdentity{static_cast<std::uint64_t>(status.st_dev), status.st_ino} == *input) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return false;
    replacing_ = true;
    return open_replacement(real);
  }
  stream_ = std::fopen(path.c_str(), "wb");
  return stream_ != nullptr;
}

bool OutputFile::open_replacement(const std::string& real_path) {
  struct stat old {};
  if (stat(real_path.c_str(), &old) != 0) return false;
  target_ = real_path;
  mode_ = old.st_mode & 07777;
  int fd = ::open(directory_of(real_path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    // Nameless files are not supported here: a named one, removed on failure.
    std::string name = replacement_pattern(real_path);
    fd = mkstemp(name.data());
    if (fd < 0) return false;
    visible_name_ = name;
    watch_pending_name(name);
  }
  // Best effort: the replacement belongs to whoever owned the old file.
  (void)!fchown(fd, old.st_uid, old.st_gid);
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

bool OutputFile::commit() {
  std::FILE* stream = std::exchange(stream_, nullptr);
  if (stream == nullptr) return false;
  if (!replacing_) return std::fclose(stream) == 0;
  const int fd = fileno(stream);
  // Every line must be on disk before the old records give up their name.
  bool ok = std::fflush(stream) == 0 && fchmod(fd, mode_) == 0 && fsync(fd) == 0;
  const EndingSignalsHeld held;
  if (ok && visible_name_.empty()) ok = name_nameless_file(fd, target_, visible_name_);
  ok = std::fclose(stream) == 0 && ok;
  ok = ok && std::rename(visible_name_.c_str(), target_.c_str()) == 0;
  if (ok) {
    visible_name_.clear();
    forget_pending_name();
  }
  discard();
  return ok;
}

void OutputFile::discard() {
  if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  if (!visible_name_.empty()) {
    unlink(visible_name_.c_str());
    visible_name_.clear();
    forget_pending_name();
  }
}

}  // namespace zelto
