// How the tests' sandbox starts commands on Windows: with CreateProcessW, its
// arguments quoted as the C runtime splits them, its environment changed as
// env(1) would, its standard streams redirected to files. There is no shell:
// pipe_to and run_script do not run, and neither limits nor a closed
// standard output can be imposed (the tests that need them skip themselves).
// ChildProcess starts a command without waiting for it, for the tests that
// interrupt or end it. Part of run_binary.h, which includes it.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "run_binary.h"

namespace zelto::testing {

inline std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// The environment variable that names the directory of temporary files, the
// first that GetTempPathW looks at.
inline constexpr const char* TEMPORARY_DIRECTORY_VARIABLE = "TMP";

// Sets or (with a null `value`) removes a variable of this process's
// environment.
inline void set_environment(const char* name, const char* value) {
  _putenv_s(name, value == nullptr ? "" : value);
}

// No fault libraries on Windows: the tests that would load one skip
// themselves.
inline std::vector<std::string> with_fault(const std::string&) {
  return {};
}

// No shell to run `command` in: never started.
inline int run_shell(const std::string&) {
  return -1;
}

inline std::filesystem::path make_private_directory() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::temp_directory_path() / ("zelto-test-" + std::to_string(random()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) return candidate;
  }
  return {};
}

// `argument` as one argument of a command line that the C runtime splits
// back into exactly it: quoted when it holds a blank or a quote or is empty,
// with the backslashes before a quote doubled. Wildcards stay unquoted, so
// the runtime of the started program expands them as it would for a user.
inline std::wstring quote_argument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted += L'"';
  return quoted;
}

// The environment of this process changed by `changes`, arguments of env(1):
// "-u NAME" removes NAME, "NAME=value" sets it. Names compare without regard
// to case, as Windows has them. The result is a block for CreateProcessW.
inline std::wstring environment_block(const std::vector<std::string>& changes) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p != L'\0'; p += std::wcslen(p) + 1) entries.emplace_back(p);
    FreeEnvironmentStringsW(block);
  }
  const auto remove = [&entries](const std::wstring& name) {
    std::erase_if(entries, [&name](const std::wstring& entry) {
      return entry.size() > name.size() && entry[name.size()] == L'=' &&
             _wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
    });
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (changes[i] == "-u" && i + 1 < changes.size()) {
      remove(widen(changes[++i]));
    } else if (const std::size_t equals = changes[i].find('='); equals != std::string::npos) {
      remove(widen(changes[i].substr(0, equals)));
      entries.push_back(widen(changes[i]));
    }
  }
  std::wstring result;
  for (const std::wstring& entry : entries) result.append(entry).push_back(L'\0');
  result.push_back(L'\0');
  return result;
}

// A handle that closes itself.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~OwnedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.handle_) {
    other.handle_ = INVALID_HANDLE_VALUE;
  }
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    std::swap(handle_, other.handle_);
    return *this;
  }
  [[nodiscard]] bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  [[nodiscard]] HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// `path` opened so that a started program inherits it as a standard stream;
// "/dev/null" and an empty path name the null device.
inline OwnedHandle inheritable_file(const std::filesystem::path& path, bool for_writing) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const std::wstring name =
      path.empty() || path == "/dev/null" ? std::wstring(L"NUL") : path.wstring();
  return OwnedHandle(CreateFileW(name.c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 for_writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
}

// A program started in a directory of its own process group, whose standard
// streams are files; it is waited for, interrupted or ended by the test.
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::filesystem::path& directory,
               const std::filesystem::path& stdin_path, const std::filesystem::path& stdout_path,
               const std::filesystem::path& stderr_path) {
    std::wstring line = quote_argument(widen(program));
    for (const std::string& a : arguments) line.append(L" ").append(quote_argument(widen(a)));
    std::wstring block = environment_block(environment);
    const OwnedHandle in = inheritable_file(stdin_path, false);
    const OwnedHandle out = inheritable_file(stdout_path, true);
    const OwnedHandle err = inheritable_file(stderr_path, true);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION started{};
    const std::wstring where = directory.wstring();
    if (CreateProcessW(widen(program).c_str(), line.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP, block.data(),
                       where.c_str(), &startup, &started)) {
      process_ = OwnedHandle(started.hProcess);
      CloseHandle(started.hThread);
      id_ = started.dwProcessId;
    }
  }

  [[nodiscard]] bool started() const { return process_.valid(); }
  // Sends Ctrl-Break to the program's process group (Ctrl-C cannot be sent
  // to a group of its own); false when the system refuses.
  [[nodiscard]] bool interrupt() const {
    return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, id_) != 0;
  }
  // Ends the program at once, as the task manager does.
  void kill() const { TerminateProcess(process_.get(), 137); }
  // The program's exit status once it has ended; -1 when it never started.
  [[nodiscard]] int wait() const {
    if (!started()) return -1;
    WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return -1;
    return static_cast<int>(code);
  }

 private:
  OwnedHandle process_;
  DWORD id_ = 0;
};

inline RunResult Sandbox::run_with(const RunOptions& options) const {
  if (!options.pipe_to.empty() || options.close_stdout || options.address_space_limit != 0 ||
      options.file_size_limit != 0) {
    RunResult refused;
    refused.err = "no pipe to shell text, closed standard output or limit on Windows\n";
    return refused;
  }
  const std::filesystem::path out =
      options.stdout_path.empty() ? stdout_file() : std::filesystem::path(options.stdout_path);
  const ChildProcess child(options.program.empty() ? binary_path() : options.program,
                           options.arguments, options.environment, dir_,
                           options.stdin_name.empty() ? "" : path(options.stdin_name), out,
                           stderr_file());
  return finish(child.wait());
}

// No shell runs here: the result is a failure that names the cause.
inline RunResult Sandbox::run_script(const std::string& shell, const std::string&) const {
  RunResult result;
  result.err = "no shell on Windows to run: " + shell + "\n";
  return result;
}

// No tmpfs on Windows: never mounted, so the tests that need one skip
// themselves.
class SmallFileSystem {
 public:
  SmallFileSystem(std::filesystem::path where, std::uint64_t) : path_(std::move(where)) {}
  [[nodiscard]] bool mounted() const { return false; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace zelto::testing
