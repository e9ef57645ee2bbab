// How the tests' sandbox starts commands on a POSIX system: through bash,
// which gives them their environment, limits, redirections and pipes. Part of
// run_binary.h, which includes it.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "run_binary.h"

extern char** environ;

namespace zelto::testing {

// The environment variable that names the directory of temporary files.
inline constexpr const char* TEMPORARY_DIRECTORY_VARIABLE = "TMPDIR";

// Sets or (with a null `value`) removes a variable of this process's
// environment.
inline void set_environment(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

inline std::filesystem::path make_private_directory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zelto-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Runs `command` with bash (pipefail), SIGPIPE at its default action whatever
// the test runner inherited; returns the exit status (128 + signal when a
// signal ended it) or -1 when bash could not be started.
inline int run_shell(const std::string& command) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::string bash = "bash", option = "-o", pipefail = "pipefail", dash_c = "-c";
  std::string text = command;
  char* argv[] = {bash.data(), option.data(), pipefail.data(), dash_c.data(), text.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/bin/bash", nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return -1;
  int raw = 0;
  while (waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

inline RunResult Sandbox::run_with(const RunOptions& options) const {
  const std::filesystem::path out_file = stdout_file();
  const std::filesystem::path err_file = stderr_file();
  std::string command = "cd ";
  command.append(shell_quote(dir_.string())).append(" && ");
  // AddressSanitizer would abort on an impossible allocation instead of
  // letting the command report it.
  if (SANITIZED_BUILD) {
    // A fault library put before the sanitizer's runtime is no error here.
    command.append(
        "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:"
        "verify_asan_link_order=0\" ");
  }
  if (!options.environment.empty()) {
    command.append("env");
    for (const std::string& e : options.environment) command.append(" ").append(shell_quote(e));
    command.append(" ");
  }
  if (options.address_space_limit != 0) {
    command.append("prlimit --as=").append(std::to_string(options.address_space_limit)).append(" ");
  }
  if (options.file_size_limit != 0) {
    command.append("prlimit --fsize=").append(std::to_string(options.file_size_limit)).append(" ");
  }
  command.append(
      command_line(options.program.empty() ? binary_path() : options.program, options.arguments));
  const std::string input =
      options.stdin_name.empty() ? "/dev/null" : path(options.stdin_name).string();
  command.append(" <").append(shell_quote(input));
  command.append(" 2>").append(shell_quote(err_file.string()));
  if (!options.pipe_to.empty()) command.append(" | ").append(options.pipe_to);
  const std::string out_target =
      options.stdout_path.empty() ? out_file.string() : options.stdout_path;
  command.append(" >").append(shell_quote(out_target));
  if (options.close_stdout) command.append(" >&-");
  return finish(run_shell(command));
}

inline RunResult Sandbox::run_script(const std::string& shell,
                                     const std::string& stdin_name) const {
  const std::filesystem::path out_file = stdout_file();
  const std::filesystem::path err_file = stderr_file();
  const std::string input = stdin_name.empty() ? "/dev/null" : path(stdin_name).string();
  const std::string command = "cd " + shell_quote(dir_.string()) + " && { " + shell + "; } <" +
                              shell_quote(input) + " >" + shell_quote(out_file.string()) + " 2>" +
                              shell_quote(err_file.string());
  return finish(run_shell(command));
}

// A tmpfs of `bytes` mounted at `where` for the life of this object, so that
// a test can fill it. Mounting needs root: where it is not allowed,
// mounted() is false and the test skips itself.
class SmallFileSystem {
 public:
  SmallFileSystem(std::filesystem::path where, std::uint64_t bytes) : path_(std::move(where)) {
    std::filesystem::create_directories(path_);
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = mount("zelto-test", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  [[nodiscard]] bool mounted() const { return mounted_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
};

}  // namespace zelto::testing
