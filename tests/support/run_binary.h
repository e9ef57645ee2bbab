// The one temporary-directory sandbox of the tests: a fresh private directory
// in which the built commands (zelto, zelto-pack) or any shell text run, with
// what they leave behind captured: standard output, standard error, exit
// status and files. Unit tests and fuzz targets use it for files alone.
//
// How a command is started is the system's own: run_binary_posix.h starts it
// through bash, run_binary_win32.h with CreateProcessW. On Windows there is
// no shell: shell text (pipe_to, run_script) does not run there, nor do the
// resource limits and /dev files, and the tests that need them skip
// themselves with SKIP_WITHOUT_POSIX. Windows' standard streams are text
// streams: the captured out and err hold what the command wrote, with the
// CR LF that each LF became turned back into LF, and a LF without its CR
// marked (see from_text_stream), so one expectation serves both systems.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "records.h"

namespace zelto::testing {

#ifdef _WIN32
inline constexpr bool ON_WINDOWS = true;
#else
inline constexpr bool ON_WINDOWS = false;
#endif

// Skips the running test on Windows, which lacks what it needs: a POSIX
// shell, /dev files, resource limits or signals. `reason` names the need.
#define SKIP_WITHOUT_POSIX(reason)     \
  if (!::zelto::testing::ON_WINDOWS) { \
  } else                               \
    GTEST_SKIP() << "needs " << reason << ", which Windows lacks"

// True in a build with AddressSanitizer, whose allocator cannot live under an
// address-space limit, and in a build run under an emulator, which cannot
// either.
#if defined(ZELTO_E2E_SANITIZED) || defined(ZELTO_E2E_EMULATED)
inline constexpr bool SANITIZED_BUILD = true;
#else
inline constexpr bool SANITIZED_BUILD = false;
#endif

// True in a ThreadSanitizer build, whose runtime keeps a scratch file of its
// own in TMPDIR while the command runs.
#if defined(ZELTO_E2E_THREAD_SANITIZED)
inline constexpr bool THREAD_SANITIZED_BUILD = true;
#else
inline constexpr bool THREAD_SANITIZED_BUILD = false;
#endif

struct RunResult {
  int status = -1;  // exit status; 128 + signal when a signal ended the command
  std::string out;
  std::string err;
  // The captured bytes themselves: on Windows with the text streams' CR LF.
  std::string raw_out;
  std::string raw_err;
};

// How to start the command. Every field but `arguments` is optional.
struct RunOptions {
  std::vector<std::string> arguments;
  // Shell text that receives standard output through a pipe ("head -n 1");
  // the status is still the command's own (pipefail).
  std::string pipe_to;
  // A file that receives standard output instead of the capture ("/dev/full").
  std::string stdout_path;
  // Address-space limit in bytes (prlimit --as); 0 leaves it unlimited.
  std::uint64_t address_space_limit = 0;
  // File-size limit in bytes (prlimit --fsize); 0 leaves it unlimited.
  std::uint64_t file_size_limit = 0;
  // Starts the command with standard output closed.
  bool close_stdout = false;
  // Arguments of env(1) that change the command's environment
  // ({"-u", "ZELTO_MEMORY", "TMPDIR=/x"}).
  std::vector<std::string> environment;
  // The program to start; the command under test (binary_path()) when empty.
  std::string program;
  // A file in the working directory that is standard input (the null
  // device when empty).
  std::string stdin_name;
};

#if defined(ZELTO_FAULT_ALLOCATIONS) && defined(ZELTO_FAULT_CALLS)
// The environment (arguments of env(1)) that puts `fault` into the command:
// one of the faults of fault_shim.cpp, such as "renameat" or "alloc:3:65536".
// Allocation faults replace the allocator and cannot run in a sanitizer build.
inline std::vector<std::string> with_fault(const std::string& fault) {
  const bool allocation = fault.rfind("alloc:", 0) == 0;
#ifdef ZELTO_E2E_EMULATED
  // The emulator hands the library to the command alone: the host's
  // programs that start it (the wrapper's shell) cannot load it.
  const std::string preload = "QEMU_SET_ENV=LD_PRELOAD=";
#else
  const std::string preload = "LD_PRELOAD=";
#endif
  std::vector<std::string> environment = {
      preload + (allocation ? ZELTO_FAULT_ALLOCATIONS : ZELTO_FAULT_CALLS),
      "ZELTO_TEST_FAULT=" + fault};
  // The sanitizer's runtime then no longer comes first, which it accepts
  // only when told so.
  if (SANITIZED_BUILD) {
    environment.push_back("ASAN_OPTIONS=allocator_may_return_null=1:verify_asan_link_order=0");
  }
  return environment;
}
#endif

// Every entry below a directory: a file maps its relative path to its bytes,
// a directory maps "path/" to "".
using Tree = std::map<std::string, std::string>;

inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  q += '\'';
  return q;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The command under test: the one this suite was built with, unless
// ZELTO_E2E_BINARY names another build of it.
inline std::string binary_path() {
  const char* other = std::getenv("ZELTO_E2E_BINARY");
  if (other != nullptr && *other != '\0') return other;
#ifdef ZELTO_BINARY
  return ZELTO_BINARY;
#else
  return "zelto";
#endif
}

#ifdef ZELTO_PACK_BINARY
// The companion that writes records and a parameter file from text.
inline std::string pack_binary_path() {
  return ZELTO_PACK_BINARY;
}
#endif

// `program` and its `arguments`, each quoted for the shell.
inline std::string command_line(const std::string& program,
                                const std::vector<std::string>& arguments) {
  std::string line = shell_quote(program);
  for (const std::string& a : arguments) line.append(" ").append(shell_quote(a));
  return line;
}

// What a program wrote to a standard stream that reached `captured`: on
// Windows, where the streams are text streams that write each LF as CR LF,
// every CR LF pair becomes LF again, and a LF that came without its CR
// (written in binary mode) shows as "<LF without CR>" before it, so that no
// expectation meets it. Elsewhere `captured` itself.
inline std::string from_text_stream(const std::string& captured) {
  if (!ON_WINDOWS) return captured;
  std::string text;
  for (std::size_t i = 0; i < captured.size(); ++i) {
    if (captured[i] == '\r' && i + 1 < captured.size() && captured[i + 1] == '\n') continue;
    if (captured[i] == '\n' && (i == 0 || captured[i - 1] != '\r')) text += "<LF without CR>";
    text += captured[i];
  }
  return text;
}

// A new directory of this process's own below the system's temporary
// directory; its path.
inline std::filesystem::path make_private_directory();

// A private working directory, removed with everything in it at the end. The
// captured streams live beside it, so they never appear among its files.
class Sandbox {
 public:
  Sandbox() : root_(make_private_directory()), dir_(root_ / "work") {
    std::filesystem::create_directory(dir_);
  }
  ~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  [[nodiscard]] const std::filesystem::path& dir() const { return dir_; }
  [[nodiscard]] std::filesystem::path path(const std::string& name) const { return dir_ / name; }
  // A path beside the working directory: removed with it, never among its files.
  [[nodiscard]] std::filesystem::path beside(const std::string& name) const { return root_ / name; }

  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  void write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void make_directory(const std::string& name) const {
    std::filesystem::create_directories(path(name));
  }
  // Lays out `tree`: "name/" entries become directories, the others files.
  void lay_out(const Tree& tree) const {
    for (const auto& [name, bytes] : tree) {
      if (!name.empty() && name.back() == '/') {
        make_directory(name);
      } else {
        std::filesystem::create_directories(path(name).parent_path());
        write(name, bytes);
      }
    }
  }
  [[nodiscard]] std::string read(const std::string& name) const { return read_file(path(name)); }
  [[nodiscard]] bool exists(const std::string& name) const {
    return std::filesystem::exists(path(name));
  }
  // The names of every entry in the directory, sorted.
  [[nodiscard]] std::vector<std::string> files() const;
  // Every file (with its bytes) and directory below the working directory.
  [[nodiscard]] Tree tree() const;

  // Runs the command with `arguments` in this directory; a `shell_suffix`
  // such as "| head -n 1" receives its standard output through a pipe.
  RunResult run(const std::vector<std::string>& arguments,
                const std::string& shell_suffix = "") const {
    RunOptions options;
    options.arguments = arguments;
    const std::size_t start = shell_suffix.find_first_not_of(" |");
    if (start != std::string::npos) options.pipe_to = shell_suffix.substr(start);
    return run_with(options);
  }
  // Runs the command as `options` say, in this directory.
  RunResult run_with(const RunOptions& options) const;
  // Runs `shell` (bash text) in this directory with standard input from the
  // file `stdin_name` there (from /dev/null when empty); returns what it
  // printed and the last failing status of its pipelines.
  RunResult run_script(const std::string& shell, const std::string& stdin_name = "") const;

 private:
  // Where a run's standard streams are captured, beside the directory.
  [[nodiscard]] std::filesystem::path stdout_file() const { return root_ / "stdout"; }
  [[nodiscard]] std::filesystem::path stderr_file() const { return root_ / "stderr"; }
  // The result of a run that ended with `status`; its captured streams are
  // read and removed.
  RunResult finish(int status) const {
    RunResult result;
    result.status = status;
    result.raw_out = read_file(stdout_file());
    result.raw_err = read_file(stderr_file());
    result.out = from_text_stream(result.raw_out);
    result.err = from_text_stream(result.raw_err);
    std::error_code ignored;
    std::filesystem::remove(stdout_file(), ignored);
    std::filesystem::remove(stderr_file(), ignored);
    return result;
  }

  std::filesystem::path root_;
  std::filesystem::path dir_;
};

inline std::vector<std::string> Sandbox::files() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline Tree Sandbox::tree() const {
  Tree entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
    const std::string name = entry.path().lexically_relative(dir_).string();
    if (entry.is_directory()) {
      entries[name + "/"] = "";
    } else {
      entries[name] = read_file(entry.path());
    }
  }
  return entries;
}

// The files a run should leave: `before` less `removed`, with `written`
// added or replacing what was there.
inline Tree changed(Tree before, const std::vector<std::string>& removed,
                    const Tree& written = {}) {
  for (const std::string& name : removed) before.erase(name);
  for (const auto& [name, bytes] : written) before[name] = bytes;
  return before;
}

}  // namespace zelto::testing

#ifdef _WIN32
#include "run_binary_win32.h"
#else
#include "run_binary_posix.h"
#endif
