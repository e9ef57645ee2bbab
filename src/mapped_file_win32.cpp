#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "mapped_file.h"
#include "mapped_file_detail.h"
#include "output_file.h"
#include "whole_transfer.h"
#include "windows_support.h"

// What protects a mapping here. Windows refuses to truncate a file while a
// view of it is mapped (ERROR_USER_MAPPED_FILE), whoever asks: on a local
// volume the records under a view cannot go away. That rule is kept by the
// system that holds the file, though: a file on a network share can be cut
// short by another client, and a removable or failing disk can stop giving
// its pages. A read of such a page raises EXCEPTION_IN_PAGE_ERROR, which
// would end the process; a vectored exception handler puts zero pages in
// the view's place instead and marks the mapping shrunk, as the SIGBUS
// handler does on POSIX systems, and the pass reports the file unreadable.
//
// The view is exchanged for reserved memory whose pages are committed, as
// zeros, when a read reaches them (an access violation inside a mapping
// marked shrunk), so that a large view needs no commit charge at once.

namespace zelto {

namespace {

enum GuardState : int { VIEW_MAPPED, VIEW_BEING_REPLACED, ZERO_PAGES, REPLACEMENT_FAILED };

struct GuardSlot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<int> state{VIEW_MAPPED};
};

constexpr int GUARD_SLOTS = 16;
std::array<GuardSlot, GUARD_SLOTS> guard_slots;
std::mutex guard_mutex;  // taken by registering and unregistering, never by the handler
bool handler_installed = false;

std::uintptr_t page_size() {
  static const std::uintptr_t size = [] {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return static_cast<std::uintptr_t>(info.dwPageSize);
  }();
  return size;
}

// Puts reserved memory where the view of `slot` was. Another allocation
// could take the range between the two calls; the slot then stays failed
// and the fault is passed on.
void replace_view(GuardSlot& slot) {
  const auto begin = slot.begin.load();
  void* at = reinterpret_cast<void*>(begin);
  const bool replaced = UnmapViewOfFile(at) != 0 &&
                        VirtualAlloc(at, slot.end.load() - begin, MEM_RESERVE, PAGE_NOACCESS) == at;
  slot.state.store(replaced ? ZERO_PAGES : REPLACEMENT_FAILED);
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  const DWORD code = record.ExceptionCode;
  if ((code != EXCEPTION_IN_PAGE_ERROR && code != EXCEPTION_ACCESS_VIOLATION) ||
      record.NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const std::uintptr_t address = record.ExceptionInformation[1];
  for (GuardSlot& slot : guard_slots) {
    const std::uintptr_t end = slot.end.load();
    if (end == 0 || address < slot.begin.load() || address >= end) continue;
    int expected = VIEW_MAPPED;
    if (code == EXCEPTION_IN_PAGE_ERROR &&
        slot.state.compare_exchange_strong(expected, VIEW_BEING_REPLACED)) {
      replace_view(slot);
    }
    // A read by another thread may fault while the view is being replaced.
    while (slot.state.load() == VIEW_BEING_REPLACED) SwitchToThread();
    if (slot.state.load() != ZERO_PAGES) return EXCEPTION_CONTINUE_SEARCH;
    void* page = reinterpret_cast<void*>(address & ~(page_size() - 1));
    if (VirtualAlloc(page, page_size(), MEM_COMMIT, PAGE_READONLY) == nullptr) {
      return EXCEPTION_CONTINUE_SEARCH;
    }
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

int register_mapping(const void* data, std::size_t bytes) {
  const std::lock_guard lock(guard_mutex);
  if (!handler_installed) {
    if (AddVectoredExceptionHandler(1, on_exception) == nullptr) return -1;
    handler_installed = true;
  }
  for (int i = 0; i < GUARD_SLOTS; ++i) {
    GuardSlot& slot = guard_slots[static_cast<std::size_t>(i)];
    if (slot.end.load() != 0) continue;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    slot.state.store(VIEW_MAPPED);
    slot.begin.store(begin);
    slot.end.store(begin + bytes);
    return i;
  }
  return -1;
}

// Frees what the slot's range holds now, the view or the memory in its place.
void release_mapping(int index, const void* data) {
  const std::lock_guard lock(guard_mutex);
  GuardSlot& slot = guard_slots[static_cast<std::size_t>(index)];
  void* at = const_cast<void*>(data);
  switch (slot.state.load()) {
    case ZERO_PAGES: VirtualFree(at, 0, MEM_RELEASE); break;
    case REPLACEMENT_FAILED: break;
    default: UnmapViewOfFile(at); break;
  }
  slot.end.store(0);
}

HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::optional<std::uint64_t> size_of(HANDLE file) {
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) == 0) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool is_regular(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file's size and last write time (in units of 100 ns).
bool file_stamp(HANDLE file, std::uint64_t& size, std::int64_t& written) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(file, &info) == 0) return false;
  size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const FILETIME time = info.ftLastWriteTime;
  written = static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                      time.dwLowDateTime);
  return true;
}

bool is_allocation_failure(DWORD error) {
  return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
         error == ERROR_COMMITMENT_LIMIT;
}

// Asks the system to read the whole view in at once, as the first reads
// would page it in one by one otherwise. Only a hint: the call is looked
// up, as systems before Windows 8 lack it.
void prefetch(const void* data, std::size_t bytes) {
  using Prefetch = BOOL(WINAPI*)(HANDLE, ULONG_PTR, PWIN32_MEMORY_RANGE_ENTRY, ULONG);
  static const auto call = reinterpret_cast<Prefetch>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "PrefetchVirtualMemory")));
  if (call == nullptr) return;
  WIN32_MEMORY_RANGE_ENTRY range{const_cast<void*>(data), bytes};
  call(GetCurrentProcess(), 1, &range, 0);
}

constexpr std::size_t LARGEST_READ = std::size_t{1} << 30;

}  // namespace

RecordFile::~RecordFile() {
  if (mapped_) {
    if (guard_slot_ >= 0) {
      release_mapping(guard_slot_, data_);
    } else {
      UnmapViewOfFile(data_);
    }
  }
  if (watched_ != -1) CloseHandle(reinterpret_cast<HANDLE>(watched_));
  std::free(copy_);
}

LoadStatus detail::load_record_file(RecordFile& records, const std::string& path, std::size_t bytes,
                                    bool allow_mapping) {
  const HANDLE file =
      CreateFileW(wide_name(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LoadStatus::OpenFailed;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd == -1) {
    CloseHandle(file);
    return LoadStatus::OpenFailed;
  }
  const LoadStatus status = records.load(fd, bytes, allow_mapping);
  _close(fd);
  return status;
}

LoadStatus RecordFile::load(int fd, std::size_t bytes, bool allow_mapping) {
  bytes_ = bytes;
  if (bytes == 0) return LoadStatus::Loaded;
  const HANDLE file = handle_of(fd);
  const std::optional<std::uint64_t> size = is_regular(file) ? size_of(file) : std::nullopt;
  if (!size.has_value() || !allow_mapping) return read_into_memory(fd, bytes);
  // A short file is read as before: the memory for all the records is asked
  // for first, so a count too large to hold is reported as such.
  if (*size < bytes) return read_into_memory(fd, bytes);
  return map(fd, bytes);
}

int RecordFile::map_guarded(int fd, std::size_t bytes) {
  const HANDLE section = CreateFileMappingW(handle_of(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (section == nullptr) return static_cast<int>(GetLastError());
  // The view keeps the section alive.
  void* data = MapViewOfFile(section, FILE_MAP_READ, 0, 0, bytes);
  const DWORD error = GetLastError();
  CloseHandle(section);
  if (data == nullptr) return static_cast<int>(error);
  const int slot = register_mapping(data, (bytes + page_size() - 1) & ~(page_size() - 1));
  if (slot < 0) {
    UnmapViewOfFile(data);
    return -1;
  }
  data_ = static_cast<const unsigned char*>(data);
  mapped_ = true;
  mapped_bytes_ = bytes;
  guard_slot_ = slot;
  watch(fd);
  return 0;
}

void RecordFile::watch(int fd) {
  HANDLE kept = nullptr;
  const HANDLE process = GetCurrentProcess();
  if (DuplicateHandle(process, handle_of(fd), process, &kept, 0, FALSE, DUPLICATE_SAME_ACCESS) ==
      0) {
    return;  // the file goes unwatched
  }
  if (!file_stamp(kept, mapped_file_size_, mapped_file_time_)) {
    CloseHandle(kept);
    return;
  }
  watched_ = reinterpret_cast<std::intptr_t>(kept);
}

LoadStatus RecordFile::map(int fd, std::size_t bytes) {
  const int error = map_guarded(fd, bytes);
  if (error > 0 && is_allocation_failure(static_cast<DWORD>(error))) {
    return LoadStatus::AllocationFailed;
  }
  // Without a guard a failing page could end the run: read instead.
  if (error != 0) return read_into_memory(fd, bytes);
  prefetch(data_, bytes);
  // The file may have shrunk between the size check and the mapping.
  const std::optional<std::uint64_t> size = size_of(handle_of(fd));
  if (!size.has_value() || *size < bytes) return LoadStatus::ReadFailed;
  return LoadStatus::Loaded;
}

void RecordFile::release(std::size_t offset, std::size_t size) const {
  if (!mapped_ || size == 0) return;
  // Unlocking pages that were never locked takes them out of the working
  // set (the call then reports ERROR_NOT_LOCKED, which is expected).
  VirtualUnlock(const_cast<unsigned char*>(data_) + offset, size);
}

LoadStatus RecordFile::read_into_memory(int fd, std::size_t bytes) {
  copy_ = static_cast<unsigned char*>(std::malloc(bytes));
  if (copy_ == nullptr) return LoadStatus::AllocationFailed;
  data_ = copy_;
  const HANDLE file = handle_of(fd);
  const int error = transfer_whole(bytes, EIO, [&](std::size_t done) -> long long {
    DWORD moved = 0;
    const auto chunk = static_cast<DWORD>(std::min(bytes - done, LARGEST_READ));
    if (ReadFile(file, copy_ + done, chunk, &moved, nullptr) == 0) {
      // The writing end of a pipe closed: the end of the records.
      if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
      errno_of_last_error();
      return -1;
    }
    return moved;
  });
  return error == 0 ? LoadStatus::Loaded : LoadStatus::ReadFailed;
}

bool RecordFile::shrunk() const {
  return mapped_ && guard_slot_ >= 0 &&
         guard_slots[static_cast<std::size_t>(guard_slot_)].state.load() != VIEW_MAPPED;
}

bool RecordFile::rewritten() const {
  std::uint64_t size = 0;
  std::int64_t written = 0;
  if (watched_ == -1 || !file_stamp(reinterpret_cast<HANDLE>(watched_), size, written)) {
    return false;
  }
  return written != mapped_file_time_ && size <= mapped_file_size_;
}

std::optional<std::uint64_t> regular_file_size(int fd) {
  const HANDLE file = handle_of(fd);
  if (file == INVALID_HANDLE_VALUE || !is_regular(file)) return std::nullopt;
  return size_of(file);
}

}  // namespace zelto
