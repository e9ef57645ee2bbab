#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

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

// The text of the system's last error, after the path it concerns.
std::string system_error_text(const std::string& path) {
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 GetLastError(), 0, text, sizeof text, nullptr);
  std::string cause = text;
  while (!cause.empty() && (cause.back() == '\n' || cause.back() == '\r' || cause.back() == '.')) {
    cause.pop_back();
  }
  return path + ": " + cause;
}

// The paths that an interruption removes, guarded by one lock: the console
// control handler runs on a thread of its own.
constexpr int SLOTS = 8;
CRITICAL_SECTION cleanup_lock;
std::string cleanup_paths[SLOTS];
HANDLE running_child = nullptr;
bool handler_installed = false;

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  EnterCriticalSection(&cleanup_lock);
  if (running_child != nullptr) {
    TerminateProcess(running_child, 3);
    WaitForSingleObject(running_child, INFINITE);
  }
  for (const std::string& path : cleanup_paths) {
    if (!path.empty()) DeleteFileA(path.c_str());
  }
  for (const std::string& path : cleanup_paths) {
    if (!path.empty()) RemoveDirectoryA(path.c_str());
  }
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

void install_handler() {
  if (handler_installed) return;
  handler_installed = true;
  InitializeCriticalSection(&cleanup_lock);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

// One argument of a command line as the runtime's start-up splits it again.
std::string quoted_argument(const std::string& word) {
  if (!word.empty() && word.find_first_of(" \t\"") == std::string::npos) return word;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

}  // namespace

std::FILE* create_new_file(const std::string& path, const std::string& model, bool& already_exists,
                           std::string& message) {
  already_exists = false;
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                       _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    already_exists = errno == EEXIST;
    message = error_text(path);
    return nullptr;
  }
  (void)model;  // a new file gets the folder's permissions, as the replaced one had
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    message = error_text(path);
    _close(fd);
    DeleteFileA(path.c_str());
  }
  return file;
}

bool give_final_permissions(std::FILE*, const std::string&) {
  return true;  // a new file has the folder's permissions from the start
}

bool flush_to_storage(std::FILE* file) {
  return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool move_into_place(const std::string& from, const std::string& to, std::string& message) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  message = system_error_text(to);
  return false;
}

bool may_replace(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

bool make_private_directory(std::string& path, std::string& message) {
  char base[MAX_PATH + 1] = {};
  if (GetTempPathA(sizeof base, base) == 0) {
    message = system_error_text("temporary folder");
    return false;
  }
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = std::string(base) + "zelto-pack-" +
                                  std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(GetTickCount() + attempt);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      message = system_error_text(candidate);
      return false;
    }
  }
  message = std::string(base) + ": no free name for a folder";
  return false;
}

std::string companion_program(const char* argv0, const std::string& name) {
  (void)argv0;
  std::vector<char> buffer(32768);
  const DWORD length =
      GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  const std::string path(buffer.data(), length);
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return name;
  const std::string beside = path.substr(0, slash + 1) + name + ".exe";
  const DWORD attributes = GetFileAttributesA(beside.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return beside;
  }
  return name;
}

int run_program(const std::string& program, std::span<const std::string> arguments,
                const std::string& directory, std::FILE* output, std::string& message) {
  if (std::fflush(output) != 0 || std::fflush(stdout) != 0) {
    message = std::string("standard output: ") + std::strerror(errno);
    return -1;
  }
  std::string command_line = quoted_argument(program);
  for (const std::string& a : arguments) command_line.append(" ").append(quoted_argument(a));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output)));
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  SetHandleInformation(startup.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  PROCESS_INFORMATION process{};
  install_handler();
  EnterCriticalSection(&cleanup_lock);
  const BOOL started = CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, directory.c_str(), &startup, &process);
  if (started) running_child = process.hProcess;
  LeaveCriticalSection(&cleanup_lock);
  if (!started) {
    message = system_error_text(program);
    return -1;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  EnterCriticalSection(&cleanup_lock);
  running_child = nullptr;
  LeaveCriticalSection(&cleanup_lock);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

bool displays_translate_line_ends() {
  return true;
}

void write_bytes_as_they_are(std::FILE* stream) {
  std::fflush(stream);
  _setmode(_fileno(stream), _O_BINARY);
}

void remove_when_interrupted(const std::string& path) {
  install_handler();
  EnterCriticalSection(&cleanup_lock);
  for (std::string& slot : cleanup_paths) {
    if (slot.empty()) {
      slot = path;
      break;
    }
  }
  LeaveCriticalSection(&cleanup_lock);
}

void keep_when_interrupted(const std::string& path) {
  if (!handler_installed) return;
  EnterCriticalSection(&cleanup_lock);
  for (std::string& slot : cleanup_paths) {
    if (slot == path) slot.clear();
  }
  LeaveCriticalSection(&cleanup_lock);
}

}  // namespace zelto
