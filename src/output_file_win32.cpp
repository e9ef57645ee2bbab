#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "output_file.h"
#include "windows_support.h"

// A replacement is a new file beside the old one, ".NAME.zelto-PID-N",
// marked for deletion from the moment it exists: should the process end in
// any way before the replacement is complete, the system removes it when
// its handle closes. Once every line is written and flushed to disk, the
// mark is lifted and the file moved over the old one in one step.
//
// Ctrl-C, Ctrl-Break and closing the console end the process as the system
// does by default; a console handler only calls what was watched (the
// status line's eraser, an output's cleanup) and waits until a replacement
// that is taking the old file's name has done so (or has been discarded),
// so that an interruption leaves either the old file or the new one, whole.

namespace zelto {

namespace {

SRWLOCK naming_lock = SRWLOCK_INIT;
std::atomic<bool> handler_installed = false;
std::atomic<unsigned> replacements_made{0};

// Returns FALSE so that the next handler, the system's, ends the process;
// the lock is never given back, so no replacement begins to take a name
// while the process ends.
BOOL WINAPI wait_for_naming(DWORD) {
  detail::run_ending_erasers();
  AcquireSRWLockExclusive(&naming_lock);
  return FALSE;
}

void watch_console_events() {
  if (!handler_installed.exchange(true)) SetConsoleCtrlHandler(wait_for_naming, TRUE);
}

class NamingHeld {
 public:
  NamingHeld() { AcquireSRWLockExclusive(&naming_lock); }
  ~NamingHeld() { ReleaseSRWLockExclusive(&naming_lock); }
  NamingHeld(const NamingHeld&) = delete;
  NamingHeld& operator=(const NamingHeld&) = delete;
};

struct HandleCloser {
  HANDLE handle;
  ~HandleCloser() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// Opens `path` only to ask about the file, whatever sharing others allow.
HANDLE open_for_query(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::optional<FileIdentity> identity_of_handle(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return std::nullopt;
  FILE_ID_INFO id{};
  if (GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != 0) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, id.FileId.Identifier, sizeof low);
    std::memcpy(&high, id.FileId.Identifier + sizeof low, sizeof high);
    return FileIdentity{id.VolumeSerialNumber, low, high};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info) == 0) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

bool is_regular(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The full name of the file open as `file`, links followed; empty when it
// cannot be had.
std::wstring final_name(HANDLE file) {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < name.size()) {
      name.resize(length);
      return name;
    }
    name.resize(length);
  }
}

// The full name of `path` from the working directory, links not followed;
// empty when it cannot be had.
std::wstring full_name(const std::wstring& path) {
  const DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return {};
  std::wstring name(length, L'\0');
  const DWORD written = GetFullPathNameW(path.c_str(), length, name.data(), nullptr);
  if (written == 0 || written >= length) return {};
  name.resize(written);
  return name;
}

bool mark_for_deletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Attributes for a call that takes them all: FILE_ATTRIBUTE_NORMAL stands
// for none.
DWORD attributes_or_normal(DWORD attributes) {
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

HANDLE handle_of(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// The attributes a replacement takes over from the file it replaces.
constexpr DWORD KEPT_ATTRIBUTES = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

void watch_ending_signals(void (*erase)()) {
  detail::add_ending_eraser(erase);
  watch_console_events();
}

// The console's handler runs on a thread of its own.
EndingSignalsHeld::EndingSignalsHeld() : previous_{} {}
EndingSignalsHeld::~EndingSignalsHeld() = default;

std::optional<FileIdentity> identity_of(const std::string& path) {
  if (path.empty()) return std::nullopt;
  const HandleCloser file{open_for_query(wide_name(path))};
  return identity_of_handle(file.handle);
}

std::optional<FileIdentity> identity_of(int fd) {
  return identity_of_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

std::optional<FileIdentity> standard_output_identity() {
  return identity_of(_fileno(stdout));
}

bool remove_if_same(const std::string& path, const FileIdentity& identity) {
  const std::wstring name = wide_name(path);
  // The name itself is removed, a symbolic link rather than its target; the
  // file it leads to is the one compared.
  const HandleCloser entry{
      CreateFileW(name.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)};
  BY_HANDLE_FILE_INFORMATION info{};
  if (entry.handle == INVALID_HANDLE_VALUE ||
      GetFileInformationByHandle(entry.handle, &info) == 0) {
    return false;
  }
  const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  const bool same =
      link ? identity_of(path) == identity : identity_of_handle(entry.handle) == identity;
  // Removed when the handle closes, whichever name it was opened by.
  return same && mark_for_deletion(entry.handle, true);
}

OutputFile::~OutputFile() {
  discard();
}

bool put_on_stable_storage(std::FILE* stream) {
  if (std::fflush(stream) != 0) return false;
  const HANDLE file = handle_of(stream);
  if (!is_regular(file) || FlushFileBuffers(file) != 0) return true;
  errno_of_last_error();
  return false;
}

bool OutputFile::open(const std::string& path, const std::optional<FileIdentity>& input) {
  // A fallback opened after a refused replacement starts afresh.
  replacing_ = false;
  name_taken_ = false;
  failed_step_ = nullptr;
  // Only a regular file is replaced: a device or a pipe that is also the
  // input is written to as it is.
  if (input.has_value()) {
    const HandleCloser file{open_for_query(wide_name(path))};
    if (file.handle != INVALID_HANDLE_VALUE && is_regular(file.handle) &&
        identity_of_handle(file.handle) == input) {
      // Where the system cannot tell the final name (wine, for names beyond
      // 260 characters), the name as given leads to the same file.
      std::wstring real = final_name(file.handle);
      if (real.empty()) real = full_name(wide_name(path));
      if (real.empty()) {
        errno_of_last_error();
        return false;
      }
      input_ = input;
      replacing_ = open_replacement(narrow_name(real));
      return replacing_;
    }
  }
  return open_in_place(path);
}

bool OutputFile::open_in_place(const std::string& path) {
  const bool existed = GetFileAttributesW(wide_name(path).c_str()) != INVALID_FILE_ATTRIBUTES;
  stream_ = std::fopen(path.c_str(), "wb");
  if (stream_ == nullptr) return false;
  created_ = !existed;
  path_ = path;
  const HANDLE opened = handle_of(stream_);
  if (is_regular(opened)) opened_ = identity_of_handle(opened);
  return true;
}

bool OutputFile::still_names_input() const {
  return input_.has_value() && identity_of(target_) == input_;
}

bool OutputFile::open_replacement(const std::string& real_path) {
  const std::wstring target = wide_name(real_path);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    errno_of_last_error();
    return false;
  }
  // A file this user could not open for writing (read-only, or denied) is
  // not replaced either.
  const HandleCloser writable{CreateFileW(target.c_str(), FILE_WRITE_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (writable.handle == INVALID_HANDLE_VALUE) {
    errno_of_last_error();
    return false;
  }
  target_ = real_path;
  mode_ = attributes & KEPT_ATTRIBUTES;
  const std::size_t slash = target.find_last_of(L"\\/");
  // The old name, cut so that the new one stays within a name's 255 units.
  const std::wstring stem = target.substr(0, slash + 1) + L"." + target.substr(slash + 1, 200) +
                            L".zelto-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  watch_console_events();
  HANDLE file = INVALID_HANDLE_VALUE;
  std::wstring name;
  for (int attempt = 0; attempt < 1000 && file == INVALID_HANDLE_VALUE; ++attempt) {
    name = stem + std::to_wstring(replacements_made++);
    file =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, attributes_or_normal(mode_ & ~FILE_ATTRIBUTE_READONLY), nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    errno_of_last_error();
    return false;
  }
  visible_name_ = narrow_name(name);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
  if (!mark_for_deletion(file, true) || fd == -1) {
    errno_of_last_error();
    if (fd == -1)
      CloseHandle(file);
    else
      _close(fd);
    discard();
    return false;
  }
  stream_ = _fdopen(fd, "wb");
  if (stream_ == nullptr) {
    const int error = errno;
    _close(fd);
    discard();
    errno = error;
    return false;
  }
  return true;
}

bool OutputFile::commit_in_place(bool to_stable_storage) {
  std::FILE* stream = std::exchange(stream_, nullptr);
  bool ok = true;
  if (to_stable_storage && opened_.has_value()) {
    ok = std::fflush(stream) == 0;
    if (ok && FlushFileBuffers(handle_of(stream)) == 0) ok = fail_at("fsync()");
  }
  return std::fclose(stream) == 0 && ok;
}

bool OutputFile::commit_replacement() {
  const HANDLE file = handle_of(stream_);
  // Every line must be on disk before the old records give up their name.
  bool ok = std::fflush(stream_) == 0 && FlushFileBuffers(file) != 0;
  {
    const NamingHeld held;
    // Another file took the name during the run: it stays, and the lines
    // are kept for the caller to put elsewhere.
    if (ok && !still_names_input()) {
      name_taken_ = true;
      return false;
    }
    std::FILE* stream = std::exchange(stream_, nullptr);
    const std::wstring target = wide_name(target_);
    const std::wstring name = wide_name(visible_name_);
    if (ok && !mark_for_deletion(file, false)) ok = fail_at("rename()");
    if (ok && MoveFileExW(name.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
      // Another program holds the old file and lets no one replace it: the
      // lines go elsewhere, as for a name another file took.
      const DWORD refusal = GetLastError();
      if (refusal == ERROR_SHARING_VIOLATION || refusal == ERROR_ACCESS_DENIED) {
        mark_for_deletion(file, true);
        stream_ = stream;
        name_taken_ = true;
        return false;
      }
      SetLastError(refusal);
      ok = fail_at("rename()");
    }
    if (ok) {
      visible_name_.clear();
    } else {
      mark_for_deletion(file, true);
    }
    // Once moved, the flushed lines are the file, whatever closing says.
    std::fclose(stream);
  }
  discard();
  return ok;
}

bool OutputFile::copy_lines_to(std::FILE* destination) {
  bool ok = stream_ != nullptr && std::fflush(stream_) == 0;
  const int fd = ok ? _fileno(stream_) : -1;
  ok = ok && _lseeki64(fd, 0, SEEK_SET) == 0;
  char block[1 << 16];
  while (ok) {
    const int got = _read(fd, block, sizeof block);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    const auto size = static_cast<std::size_t>(got);
    ok = std::fwrite(block, 1, size, destination) == size;
  }
  discard();
  return ok;
}

namespace detail {

void close_and_cut(std::FILE* stream) {
  // The descriptor outlives the stream, whose closing may still write out
  // what it buffers.
  const int fd = _dup(_fileno(stream));
  std::fclose(stream);
  if (fd < 0) return;
  (void)_chsize_s(fd, 0);
  _close(fd);
}

void remove_own_file(const std::string& path, const FileIdentity& identity) {
  remove_if_same(path, identity);
}

}  // namespace detail

bool OutputFile::fail_at(const char* step) {
  failed_step_ = step;
  failed_error_ = errno_of_last_error();
  return false;
}

void OutputFile::discard() {
  if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  if (!visible_name_.empty()) {
    // Gone already when its mark for deletion held.
    DeleteFileW(wide_name(visible_name_).c_str());
    visible_name_.clear();
  }
}

}  // namespace zelto
