#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "temp_files.h"
#include "whole_transfer.h"
#include "windows_support.h"

// A temporary file is made with FILE_FLAG_DELETE_ON_CLOSE: the system
// removes it when its last handle closes, so that any end of the process,
// TerminateProcess included, frees its space. Its handle is kept in the
// descriptor field; handles fit in 32 bits on every Windows.

namespace zelto {

namespace {

// Moves of at most this many bytes per call, well within a DWORD.
constexpr std::size_t LARGEST_MOVE = std::size_t{1} << 30;

std::atomic<unsigned> files_made{0};

HANDLE handle_of(int fd) {
  return LongToHandle(fd);
}

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

}  // namespace

std::string temporary_directory() {
  const char* directory = std::getenv("TMPDIR");
  if (directory != nullptr && *directory != '\0') return directory;
  // TMP, TEMP, the user's profile folder or the Windows folder, as the
  // system decides; without the final backslash, except at a drive's root.
  wchar_t buffer[MAX_PATH + 2];
  const DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
  if (length == 0 || length > MAX_PATH + 1) return ".";
  std::wstring path(buffer, length);
  if (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return narrow_name(path);
}

std::optional<std::uint64_t> free_space(const std::string& directory) {
  ULARGE_INTEGER available{};
  if (GetDiskFreeSpaceExW(wide_name(directory).c_str(), &available, nullptr, nullptr) == 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(available.QuadPart);
}

void TemporaryFile::close() {
  if (fd_ != -1) CloseHandle(handle_of(fd_));
  fd_ = -1;
}

bool TemporaryFile::create(const std::string& directory) {
  close();
  directory_ = directory;
  const std::wstring stem =
      wide_name(directory) + L"\\zelto-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring name = stem + std::to_wstring(files_made++) + L".tmp";
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      fd_ = HandleToLong(file);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  error_ = errno_of_last_error();
  return false;
}

bool TemporaryFile::write_at(const void* data, std::size_t size, std::uint64_t offset) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  error_ = transfer_whole(size, ENOSPC, [&](std::size_t done) -> long long {
    OVERLAPPED where = at_offset(offset + done);
    DWORD moved = 0;
    const auto chunk = static_cast<DWORD>(std::min(size - done, LARGEST_MOVE));
    if (WriteFile(handle_of(fd_), bytes + done, chunk, &moved, &where) == 0) {
      errno_of_last_error();
      return -1;
    }
    return moved;
  });
  return error_ == 0;
}

bool TemporaryFile::read_at(void* data, std::size_t size, std::uint64_t offset) {
  auto* bytes = static_cast<unsigned char*>(data);
  error_ = transfer_whole(size, EIO, [&](std::size_t done) -> long long {
    OVERLAPPED where = at_offset(offset + done);
    DWORD moved = 0;
    const auto chunk = static_cast<DWORD>(std::min(size - done, LARGEST_MOVE));
    if (ReadFile(handle_of(fd_), bytes + done, chunk, &moved, &where) == 0) {
      // A read from the end on is no error to the system, only short.
      if (GetLastError() == ERROR_HANDLE_EOF) return 0;
      errno_of_last_error();
      return -1;
    }
    return moved;
  });
  return error_ == 0;
}

}  // namespace zelto
