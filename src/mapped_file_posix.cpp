#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "mapped_file.h"
#include "mapped_file_detail.h"
#include "output_file.h"
#include "whole_transfer.h"

namespace zelto {

namespace {

// The mappings the SIGBUS handler may mend. The handler reads the slots
// without a lock, so each field is atomic; a slot is in use while `end` is
// not zero.
struct GuardSlot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> shrunk{false};
};

constexpr int GUARD_SLOTS = 16;
std::array<GuardSlot, GUARD_SLOTS> guard_slots;
std::mutex guard_mutex;  // taken by registering and unregistering, never by the handler
struct sigaction previous_bus_action;
bool handler_installed = false;

std::uintptr_t page_size() {
  static const auto size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// A fault inside a guarded mapping: the file shrank under it. Zero pages go
// over the rest of the mapping, so the faulting read, when restarted, and
// every later one find bytes. Any other fault gets the earlier disposition.
void on_bus_error(int, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (GuardSlot& slot : guard_slots) {
    const std::uintptr_t begin = slot.begin.load();
    const std::uintptr_t end = slot.end.load();
    if (end == 0 || address < begin || address >= end) continue;
    const std::uintptr_t page = address & ~(page_size() - 1);
    void* patched = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (patched == MAP_FAILED) break;
    slot.shrunk.store(true);
    return;
  }
  sigaction(SIGBUS, &previous_bus_action, nullptr);
}

int register_mapping(const void* data, std::size_t bytes) {
  const std::lock_guard lock(guard_mutex);
  if (!handler_installed) {
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &previous_bus_action) != 0) return -1;
    handler_installed = true;
  }
  for (int i = 0; i < GUARD_SLOTS; ++i) {
    GuardSlot& slot = guard_slots[static_cast<std::size_t>(i)];
    if (slot.end.load() != 0) continue;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    slot.shrunk.store(false);
    slot.begin.store(begin);
    slot.end.store(begin + bytes);
    return i;
  }
  return -1;
}

void unregister_mapping(int index) {
  const std::lock_guard lock(guard_mutex);
  guard_slots[static_cast<std::size_t>(index)].end.store(0);
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) close(fd);
  }
};

// A file's modification time in nanoseconds.
std::int64_t modification_time(const struct stat& status) {
  return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
}

constexpr std::uintptr_t HUGE_ALIGNMENT = std::uintptr_t{2} << 20;
// Address space taken without swap reserved for it, where the system can.
#ifdef MAP_NORESERVE
constexpr int RESERVE_ONLY = MAP_NORESERVE;
#else
constexpr int RESERVE_ONLY = 0;
#endif

// Maps `bytes` bytes of the file at an address that is a multiple of 2 MiB:
// where the page cache holds the file in 2 MiB folios, the kernel then maps
// them whole, and the records' random reads while sorting and writing miss
// the TLB far less often than through 4 KiB pages.
void* map_aligned(int fd, std::size_t bytes) {
  const std::size_t room = bytes + HUGE_ALIGNMENT;
  void* reserved =
      mmap(nullptr, room, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | RESERVE_ONLY, -1, 0);
  if (reserved == MAP_FAILED) return MAP_FAILED;
  const auto start = reinterpret_cast<std::uintptr_t>(reserved);
  const std::uintptr_t aligned = (start + HUGE_ALIGNMENT - 1) & ~(HUGE_ALIGNMENT - 1);
  void* data =
      mmap(reinterpret_cast<void*>(aligned), bytes, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
  if (data == MAP_FAILED) {
    munmap(reserved, room);
    return MAP_FAILED;
  }
  const std::uintptr_t used_end = aligned + ((bytes + page_size() - 1) & ~(page_size() - 1));
  if (aligned > start) munmap(reserved, aligned - start);
  if (start + room > used_end) munmap(reinterpret_cast<void*>(used_end), start + room - used_end);
  return data;
}

// Asks for the mapping to be backed by 2 MiB pages where the kernel can do
// that for file pages: the records' random reads while sorting and writing
// then miss the TLB far less often. Only advice, never an error: without it
// the mapping works the same through 4 KiB pages, and the file is never
// copied into private memory.
void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  madvise(data, bytes, MADV_HUGEPAGE);
#endif
#ifdef MADV_COLLAPSE
  const std::size_t whole = bytes / HUGE_ALIGNMENT * HUGE_ALIGNMENT;
  if (whole > 0) madvise(data, whole, MADV_COLLAPSE);
#endif
}

}  // namespace

RecordFile::~RecordFile() {
  if (mapped_) {
    if (guard_slot_ >= 0) unregister_mapping(guard_slot_);
    munmap(const_cast<unsigned char*>(data_), mapped_bytes_);
  }
  if (watched_ >= 0) close(static_cast<int>(watched_));
  std::free(copy_);
}

LoadStatus detail::load_record_file(RecordFile& file, const std::string& path, std::size_t bytes,
                                    bool allow_mapping) {
  const FdCloser opened{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (opened.fd < 0) return LoadStatus::OpenFailed;
  return file.load(opened.fd, bytes, allow_mapping);
}

LoadStatus RecordFile::load(int fd, std::size_t bytes, bool allow_mapping) {
  bytes_ = bytes;
  struct stat status {};
  const bool regular = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  if (bytes == 0) return LoadStatus::Loaded;
  if (!regular || !allow_mapping) return read_into_memory(fd, bytes);
  // A short file is read as before: the memory for all the records is asked
  // for first, so a count too large to hold is reported as such.
  if (static_cast<std::uintmax_t>(status.st_size) < bytes) return read_into_memory(fd, bytes);
  return map(fd, bytes);
}

int RecordFile::map_guarded(int fd, std::size_t bytes) {
  void* data = map_aligned(fd, bytes);
  if (data == MAP_FAILED) return errno;
  const int slot = register_mapping(data, (bytes + page_size() - 1) & ~(page_size() - 1));
  if (slot < 0) {
    munmap(data, bytes);
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
  // Above the standard streams' numbers, even when one of them is closed.
  const int kept = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  struct stat status {};
  if (kept < 0) return;  // no descriptor to spare: the file goes unwatched
  if (fstat(kept, &status) != 0) {
    close(kept);
    return;
  }
  watched_ = kept;
  mapped_file_size_ = static_cast<std::uint64_t>(status.st_size);
  mapped_file_time_ = modification_time(status);
}

LoadStatus RecordFile::map(int fd, std::size_t bytes) {
  const int error = map_guarded(fd, bytes);
  if (error == ENOMEM) return LoadStatus::AllocationFailed;
  // Without a guard a shrinking file could crash the run: read instead.
  if (error != 0) return read_into_memory(fd, bytes);
  advise_huge_pages(const_cast<unsigned char*>(data_), bytes);
  // The file may have shrunk between fstat and mmap.
  struct stat status {};
  if (fstat(fd, &status) != 0 || static_cast<std::uintmax_t>(status.st_size) < bytes) {
    return LoadStatus::ReadFailed;
  }
  return LoadStatus::Loaded;
}

void RecordFile::release(std::size_t offset, std::size_t size) const {
  if (!mapped_ || size == 0) return;
  // Whole pages, the ones at either end included: a page shared with bytes
  // still in use is read in again from the file when they are.
  const std::uintptr_t page = page_size();
  const auto start = reinterpret_cast<std::uintptr_t>(data_ + offset) & ~(page - 1);
  const auto end = reinterpret_cast<std::uintptr_t>(data_ + offset + size);
  madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

LoadStatus RecordFile::read_into_memory(int fd, std::size_t bytes) {
  copy_ = static_cast<unsigned char*>(std::malloc(bytes));
  if (copy_ == nullptr) return LoadStatus::AllocationFailed;
  data_ = copy_;
  const int error = transfer_whole(
      bytes, EIO, [&](std::size_t done) { return read(fd, copy_ + done, bytes - done); });
  return error == 0 ? LoadStatus::Loaded : LoadStatus::ReadFailed;
}

bool RecordFile::shrunk() const {
  return mapped_ && guard_slot_ >= 0 &&
         guard_slots[static_cast<std::size_t>(guard_slot_)].shrunk.load();
}

bool RecordFile::rewritten() const {
  struct stat status {};
  if (watched_ < 0 || fstat(static_cast<int>(watched_), &status) != 0) return false;
  return modification_time(status) != mapped_file_time_ &&
         static_cast<std::uint64_t>(status.st_size) <= mapped_file_size_;
}

std::optional<std::uint64_t> regular_file_size(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace zelto
