#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "pack_system.h"

namespace zelto {

namespace {

std::string error_text(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

// The paths that an interruption removes. A slot is written while signals
// are blocked, so the handler never sees half a path.
constexpr int SLOTS = 8;
constexpr std::size_t PATH_ROOM = 4096;
char cleanup_paths[SLOTS][PATH_ROOM];
volatile sig_atomic_t running_child = 0;
bool handlers_installed = false;

constexpr int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void on_interruption(int signal_number) {
  const pid_t child = running_child;
  if (child > 0) {
    kill(child, SIGTERM);
    int ignored = 0;
    while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
  }
  // Files first, then the directories that held them.
  for (int pass = 0; pass < 2; ++pass) {
    for (const char* path : cleanup_paths) {
      if (path[0] == '\0') continue;
      if (pass == 0) {
        unlink(path);
      } else {
        rmdir(path);
      }
    }
  }
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void install_handlers() {
  if (handlers_installed) return;
  handlers_installed = true;
  for (const int number : HANDLED_SIGNALS) {
    struct sigaction previous {};
    if (sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_interruption;
    sigemptyset(&action.sa_mask);
    for (const int other : HANDLED_SIGNALS) sigaddset(&action.sa_mask, other);
    sigaction(number, &action, nullptr);
  }
}

// Runs `change` with the handled signals blocked.
template <typename Change>
void with_signals_blocked(Change change) {
  sigset_t blocked;
  sigset_t previous;
  sigemptyset(&blocked);
  for (const int number : HANDLED_SIGNALS) sigaddset(&blocked, number);
  sigprocmask(SIG_BLOCK, &blocked, &previous);
  change();
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// `path` from the root: zelto runs in another directory, where a relative
// path would lead elsewhere.
std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  std::vector<char> here(PATH_ROOM);
  if (getcwd(here.data(), here.size()) == nullptr) return path;
  return std::string(here.data()) + "/" + path;
}

}  // namespace

std::FILE* create_new_file(const std::string& path, const std::string& model, bool& already_exists,
                           std::string& message) {
  (void)model;  // its permissions come with give_final_permissions
  already_exists = false;
  // Readable by this user alone until it is complete: the records it will
  // hold may be meant for no one else.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    already_exists = errno == EEXIST;
    message = error_text(path);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    message = error_text(path);
    close(fd);
    unlink(path.c_str());
  }
  return file;
}

bool give_final_permissions(std::FILE* file, const std::string& model) {
  struct stat existing {};
  if (stat(model.c_str(), &existing) == 0)
    return fchmod(fileno(file), existing.st_mode & 07777) == 0;
  const mode_t mask = umask(0);
  umask(mask);
  return fchmod(fileno(file), 0666 & ~mask) == 0;
}

bool flush_to_storage(std::FILE* file) {
  return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool move_into_place(const std::string& from, const std::string& to, std::string& message) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  message = error_text(to);
  return false;
}

bool may_replace(const std::string& path) {
  return access(path.c_str(), W_OK) == 0 || errno == ENOENT;
}

bool make_private_directory(std::string& path, std::string& message) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
  // zelto, started in the private directory, takes its temporary files
  // from the same TMPDIR.
  if (pattern[0] != '/') {
    pattern = absolute(pattern);
    setenv("TMPDIR", pattern.c_str(), 1);
  }
  pattern += "/zelto-pack-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    message = error_text(pattern.substr(0, pattern.size() - 18));
    return false;
  }
  path = pattern;
  return true;
}

std::string companion_program(const char* argv0, const std::string& name) {
  std::vector<char> buffer(PATH_ROOM);
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  std::string path = length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length))
                                : std::string(argv0 != nullptr ? argv0 : "");
  if (path.find('/') == std::string::npos) return name;
  path = absolute(path);
  const std::size_t slash = path.rfind('/');
  const std::string beside = path.substr(0, slash + 1) + name;
  struct stat status {};
  if (stat(beside.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
      access(beside.c_str(), X_OK) == 0) {
    return beside;
  }
  return name;
}

int run_program(const std::string& program, std::span<const std::string> arguments,
                const std::string& directory, std::FILE* output, std::string& message) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  if (std::fflush(output) != 0 || std::fflush(stdout) != 0) {
    message = std::string("standard output: ") + std::strerror(errno);
    return -1;
  }
  // The child reports a failed start through this pipe; it closes on exec.
  int report[2];
  if (pipe(report) != 0) {
    message = error_text(program);
    return -1;
  }
  // zelto-pack starts no other program at the same time, so the pipe cannot
  // leak into one before it is marked.
  fcntl(report[0], F_SETFD, FD_CLOEXEC);
  fcntl(report[1], F_SETFD, FD_CLOEXEC);
  const int output_fd = fileno(output);
  pid_t child = -1;
  with_signals_blocked([&] {
    child = fork();
    if (child > 0) running_child = child;
  });
  if (child == 0) {
    for (const int number : HANDLED_SIGNALS) {
      struct sigaction previous {};
      if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
        signal(number, SIG_DFL);
      }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    int error = 0;
    if (chdir(directory.c_str()) != 0 ||
        (output_fd != STDOUT_FILENO && dup2(output_fd, STDOUT_FILENO) < 0)) {
      error = errno;
    } else {
      execvp(argv[0], argv.data());
      error = errno;
    }
    (void)!write(report[1], &error, sizeof error);
    _exit(127);
  }
  close(report[1]);
  if (child < 0) {
    message = error_text(program);
    close(report[0]);
    return -1;
  }
  int error = 0;
  const ssize_t got = read(report[0], &error, sizeof error);
  close(report[0]);
  int raw = 0;
  while (waitpid(child, &raw, 0) < 0 && errno == EINTR) {
  }
  running_child = 0;
  if (got == static_cast<ssize_t>(sizeof error)) {
    errno = error;
    message = error_text(program);
    return -1;
  }
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

bool displays_translate_line_ends() {
  return false;
}

void write_bytes_as_they_are(std::FILE*) {}

void remove_when_interrupted(const std::string& path) {
  if (path.size() >= PATH_ROOM) return;
  install_handlers();
  with_signals_blocked([&] {
    for (char* slot : cleanup_paths) {
      if (slot[0] != '\0') continue;
      std::memcpy(slot, path.c_str(), path.size() + 1);
      return;
    }
  });
}

void keep_when_interrupted(const std::string& path) {
  with_signals_blocked([&] {
    for (char* slot : cleanup_paths) {
      if (path == slot) slot[0] = '\0';
    }
  });
}

}  // namespace zelto
