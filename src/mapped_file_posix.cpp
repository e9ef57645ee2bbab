#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "mapped_file.h"
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

constexpr std::uintptr_t HUGE_ALIGNMENT = std::uintptr_t{2} << 20;

// Maps `bytes` bytes of the file at an address that is a multiple of 2 MiB:
// where the page cache holds the file in 2 MiB folios, the kernel then maps
// them whole, and the records' random reads while sorting and writing miss
// the TLB far less often than through 4 KiB pages.
void* map_aligned(int fd, std::size_t bytes) {
  const std::size_t room = bytes + HUGE_ALIGNMENT;
  void* reserved =
      mmap(nullptr, room, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) return MAP_FAILED;
  const auto start = reinterpret_cast<std::uintptr_t>(reserved);
  const std::uintptr_t aligned = (start + HUGE_ALIGNMENT - 1) & ~(HUGE_ALIGNMENT - 1);
  void* data = mmap(reinterpret_cast<void*>(aligned), bytes, PROT_READ,
                    MAP_PRIVATE | MAP_FIXED | MAP_POPULATE, fd, 0);
  if (data == MAP_FAILED) {
    munmap(reserved, room);
    return MAP_FAILED;
  }
  const std::uintptr_t used_end = aligned + ((bytes + page_size() - 1) & ~(page_size() - 1));
  if (aligned > start) munmap(reserved, aligned - start);
  if (start + room > used_end) munmap(reinterpret_cast<void*>(used_end), start + room - used_end);
  return data;
}

// The PAGEMAP_SCAN request of /proc/self/pagemap (Linux 6.7 and later),
// declared here as older kernel headers lack it.
struct PageRegion {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t categories;
};
struct PageScan {
  std::uint64_t size;
  std::uint64_t flags;
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t walk_end;
  std::uint64_t vec;
  std::uint64_t vec_len;
  std::uint64_t max_pages;
  std::uint64_t category_inverted;
  std::uint64_t category_mask;
  std::uint64_t category_anyof_mask;
  std::uint64_t return_mask;
};
constexpr std::uint64_t PAGE_IS_HUGE = 1 << 6;
constexpr unsigned long PAGEMAP_SCAN = _IOWR('f', 16, PageScan);

// Reads the file's bytes of [begin, end) of the mapping into fresh anonymous
// memory (huge pages where granted) put in their place.
bool copy_into_anonymous(int fd, std::uintptr_t base, std::uintptr_t begin, std::uintptr_t end) {
  void* at = mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (at == MAP_FAILED) return false;
  madvise(at, end - begin, MADV_HUGEPAGE);
  auto* to = static_cast<unsigned char*>(at);
  const std::size_t size = end - begin;
  const int error = transfer_whole(size, EIO, [&](std::size_t done) {
    return pread(fd, to + done, size - done, static_cast<off_t>(begin - base + done));
  });
  if (error != 0) return false;
  mprotect(at, size, PROT_READ);
  return true;
}

// Where the page cache holds the file in pieces smaller than 2 MiB, the
// mapping reaches them through 4 KiB pages, and the random reads of sorting
// and writing pay a page-table walk for nearly every record (very dear under
// a hypervisor). Each whole 2 MiB stretch of the mapping that the kernel did
// not map with one huge page is read into anonymous memory instead. Without
// PAGEMAP_SCAN nothing changes. False when a read failed.
bool copy_stretches_not_mapped_whole(int fd, const void* data, std::size_t bytes) {
  const FdCloser pagemap{open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC)};
  if (pagemap.fd < 0) return true;
  const auto base = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t whole_end = base + bytes / HUGE_ALIGNMENT * HUGE_ALIGNMENT;
  std::array<PageRegion, 256> regions{};
  std::uintptr_t from = base;
  while (from < whole_end) {
    PageScan scan{};
    scan.size = sizeof scan;
    scan.start = from;
    scan.end = whole_end;
    scan.vec = reinterpret_cast<std::uintptr_t>(regions.data());
    scan.vec_len = regions.size();
    scan.category_inverted = PAGE_IS_HUGE;
    scan.category_mask = PAGE_IS_HUGE;
    scan.return_mask = PAGE_IS_HUGE;
    const int found = ioctl(pagemap.fd, PAGEMAP_SCAN, &scan);
    if (found < 0) return true;
    for (int i = 0; i < found; ++i) {
      const std::uintptr_t begin =
          regions[static_cast<std::size_t>(i)].start & ~(HUGE_ALIGNMENT - 1);
      const std::uintptr_t end = std::min<std::uintptr_t>(
          (regions[static_cast<std::size_t>(i)].end + HUGE_ALIGNMENT - 1) & ~(HUGE_ALIGNMENT - 1),
          whole_end);
      if (!copy_into_anonymous(fd, base, begin, end)) return false;
    }
    if (scan.walk_end <= from) break;
    from = scan.walk_end;
  }
  return true;
}

}  // namespace

RecordFile::~RecordFile() {
  if (mapped_) {
    if (guard_slot_ >= 0) unregister_mapping(guard_slot_);
    munmap(const_cast<unsigned char*>(data_), mapped_bytes_);
  }
  std::free(copy_);
}

LoadStatus RecordFile::load(const std::string& path, std::size_t bytes, bool allow_mapping) {
  const FdCloser file{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return LoadStatus::OpenFailed;
  return load(file.fd, bytes, allow_mapping);
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

LoadStatus RecordFile::map(int fd, std::size_t bytes) {
  void* data = map_aligned(fd, bytes);
  if (data == MAP_FAILED) {
    return errno == ENOMEM ? LoadStatus::AllocationFailed : read_into_memory(fd, bytes);
  }
  data_ = static_cast<const unsigned char*>(data);
  mapped_ = true;
  mapped_bytes_ = bytes;
  guard_slot_ = register_mapping(data, (bytes + page_size() - 1) & ~(page_size() - 1));
  if (guard_slot_ < 0) {
    // Without a guard a shrinking file could crash the run: read instead.
    munmap(data, bytes);
    data_ = nullptr;
    mapped_ = false;
    return read_into_memory(fd, bytes);
  }
  if (!copy_stretches_not_mapped_whole(fd, data, bytes)) return LoadStatus::ReadFailed;
  // The file may have shrunk between fstat and mmap.
  struct stat status {};
  if (fstat(fd, &status) != 0 || static_cast<std::uintmax_t>(status.st_size) < bytes) {
    return LoadStatus::ReadFailed;
  }
  return LoadStatus::Loaded;
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

std::optional<std::uint64_t> regular_file_size(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(status.st_size);
}

bool must_copy(const std::string& input_path, const std::vector<std::string>& output_paths,
               bool to_stdout) {
  const std::optional<FileIdentity> input = identity_of(input_path);
  if (!input.has_value()) return true;
  for (const std::string& path : output_paths) {
    if (identity_of(path) == input) return true;
  }
  return to_stdout && identity_of(STDOUT_FILENO) == input;
}

}  // namespace zelto
