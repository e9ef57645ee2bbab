#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "sort_system.h"
#include "windows_support.h"

namespace zelto::sorter {

namespace {

// An errno value for the thread's last Windows error.
int last_error_as_errno() {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    default: return EIO;
  }
}

// Whether open_for_reading opened a file.
bool any_file_opened = false;

}  // namespace

int open_for_reading(const std::string& path, int& error) {
  int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  any_file_opened = true;
  // A copy takes the lowest free number: the low ones are held until one
  // lies above standard output and error.
  int held[STANDARD_ERROR + 1];
  int holding = 0;
  while (fd == STANDARD_OUTPUT || fd == STANDARD_ERROR) {
    held[holding++] = fd;
    fd = _dup(fd);
    if (fd < 0) error = errno;
  }
  while (holding > 0) _close(held[--holding]);
  return fd;
}

bool opened_a_file() {
  return any_file_opened;
}

void close_file(int fd) {
  if (fd > STANDARD_INPUT) _close(fd);
}

int status_error(int fd) {
  struct _stat64 status {};
  return _fstat64(fd, &status) == 0 ? 0 : errno;
}

long long read_some(int fd, void* data, std::size_t size, int& error) {
  static bool binary_input = (_setmode(STANDARD_INPUT, _O_BINARY), true);
  (void)binary_input;
  const unsigned chunk = size > (1U << 30) ? 1U << 30 : static_cast<unsigned>(size);
  const int got = _read(fd, data, chunk);
  if (got < 0) error = errno;
  return got;
}

bool write_standard_output(const void* data, std::size_t size, int& error) {
  static bool binary_output = (_setmode(1, _O_BINARY), true);
  (void)binary_output;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const unsigned chunk = size > (1U << 30) ? 1U << 30 : static_cast<unsigned>(size);
    const int put = _write(1, bytes, chunk);
    if (put <= 0) {
      error = put < 0 ? errno : ENOSPC;
      return false;
    }
    bytes += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

void return_freed_memory_at_once() {
  // The system's heap gives large blocks back when they are freed.
}

std::uint64_t largest_batch_size() {
  return 8189;
}

// Handles are not counted against a limit that matters here.
std::uint64_t files_held_open() {
  return 0;
}

std::uint64_t physical_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

// The console runtime takes its locale from the system's settings, not
// from locale names in the environment: there is none that could be missing.
bool environment_locale_exists() {
  return true;
}

int read_access_error(const std::string& path) {
  return _access(path.c_str(), 4) == 0 ? 0 : errno;
}

int write_access_error(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? EACCES : 0;
  }
  // A new file: its directory must be there.
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return 0;
  const std::string directory = path.substr(0, std::max<std::size_t>(slash, 1));
  const DWORD folder = GetFileAttributesA(directory.c_str());
  if (folder == INVALID_FILE_ATTRIBUTES) return ENOENT;
  return (folder & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : ENOTDIR;
}

bool is_regular_file(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

std::optional<std::uint64_t> regular_file_bytes(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return std::nullopt;
  }
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void remove_file_now(const char* path) {
  DeleteFileA(path);
}

void empty_file_now(int fd) {
  (void)_chsize_s(fd, 0);
}

SpillFile::~SpillFile() {
  close();
}

void SpillFile::close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool SpillFile::create(const std::string& directory, int& error) {
  close();
  char name[MAX_PATH];
  if (GetTempFileNameA(directory.c_str(), "zst", 0, name) == 0) {
    error = last_error_as_errno();
    return false;
  }
  const HANDLE file =
      CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = last_error_as_errno();
    DeleteFileA(name);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool SpillFile::write_at(const void* data, std::size_t size, std::uint64_t offset, int& error) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = size > (1U << 30) ? 1U << 30 : static_cast<DWORD>(size);
    DWORD put = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes, chunk, &put, &at) || put == 0) {
      error = last_error_as_errno();
      return false;
    }
    bytes += put;
    size -= put;
    offset += put;
  }
  return true;
}

// The file is not sparse: its room is freed when it is closed.
void SpillFile::release(std::uint64_t /*offset*/, std::uint64_t /*size*/) const {}

bool SpillFile::read_at(void* data, std::size_t size, std::uint64_t offset, int& error) const {
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = size > (1U << 30) ? 1U << 30 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), bytes, chunk, &got, &at)) {
      error = last_error_as_errno();
      return false;
    }
    if (got == 0) {
      error = EIO;
      return false;
    }
    bytes += got;
    size -= got;
    offset += got;
  }
  return true;
}

PackingProgram::~PackingProgram() {
  (void)finish();
}

bool PackingProgram::start(const std::string& program, bool unpack, const SpillFile& file,
                           int& error) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (CreatePipe(&read_end, &write_end, &inheritable, 0) == 0) {
    error = last_error_as_errno();
    return false;
  }
  const HANDLE ours = unpack ? read_end : write_end;
  const HANDLE theirs = unpack ? write_end : read_end;
  SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  // The program's copy of the file shares its position, which starts it
  // at the file's beginning.
  const auto spill = reinterpret_cast<HANDLE>(file.handle_);
  const HANDLE self = GetCurrentProcess();
  HANDLE shared = nullptr;
  const LARGE_INTEGER beginning{};
  if ((unpack && SetFilePointerEx(spill, beginning, nullptr, FILE_BEGIN) == 0) ||
      DuplicateHandle(self, spill, self, &shared, 0, TRUE, DUPLICATE_SAME_ACCESS) == 0) {
    error = last_error_as_errno();
    CloseHandle(ours);
    CloseHandle(theirs);
    return false;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = unpack ? shared : theirs;
  startup.hStdOutput = unpack ? theirs : shared;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = L"\"" + wide_name(program) + L"\"" + (unpack ? L" -d" : L"");
  PROCESS_INFORMATION started{};
  const BOOL made = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &started);
  const DWORD failure = GetLastError();
  CloseHandle(theirs);
  CloseHandle(shared);
  if (made == 0) {
    CloseHandle(ours);
    error = errno_of_system_error(failure);
    return false;
  }
  CloseHandle(started.hThread);
  process_ = reinterpret_cast<std::intptr_t>(started.hProcess);
  pipe_ = reinterpret_cast<std::intptr_t>(ours);
  return true;
}

bool PackingProgram::write(const void* data, std::size_t size, int& error) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1U << 30) ? 1U << 30 : static_cast<DWORD>(size);
    DWORD put = 0;
    if (WriteFile(reinterpret_cast<HANDLE>(pipe_), bytes, chunk, &put, nullptr) == 0) {
      const DWORD failure = GetLastError();
      error = failure == ERROR_NO_DATA || failure == ERROR_BROKEN_PIPE
                  ? EPIPE
                  : errno_of_system_error(failure);
      return false;
    }
    bytes += put;
    size -= put;
  }
  return true;
}

long long PackingProgram::read(void* data, std::size_t size, int& error) {
  const DWORD chunk = size > (1U << 30) ? 1U << 30 : static_cast<DWORD>(size);
  DWORD got = 0;
  if (ReadFile(reinterpret_cast<HANDLE>(pipe_), data, chunk, &got, nullptr) == 0) {
    // The program closed its end: the end of the run.
    if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
    error = last_error_as_errno();
    return -1;
  }
  return got;
}

bool PackingProgram::finish() {
  if (pipe_ != -1) CloseHandle(reinterpret_cast<HANDLE>(pipe_));
  pipe_ = -1;
  if (process_ == -1) return succeeded_;
  const auto process = reinterpret_cast<HANDLE>(process_);
  DWORD code = 1;
  succeeded_ = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(process, &code) != 0 && code == 0;
  CloseHandle(process);
  process_ = -1;
  return succeeded_;
}

}  // namespace zelto::sorter
