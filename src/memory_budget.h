// How much memory a pass may use: the ZELTO_MEMORY setting or, without it,
// the least of the limits the process really lives under, less a margin.
//
// ZELTO_MEMORY holds a byte count with an optional suffix K, M or G (powers
// of 1024, either case), e.g. "512M". An empty value counts as unset. Any
// other text (no digits, another suffix, zero, a value beyond 64 bits) is
// refused: the pass reports "memory budget error: ZELTO_MEMORY=TEXT" and ends
// with status 1 before it reads a record, since a misspelt limit in a
// container would otherwise end in the kernel's memory killer.
//
// Without the setting the budget is the least of: the room each memory
// cgroup of the process and its ancestors leaves (v2 memory.max less
// memory.current, v1 memory.limit_in_bytes less memory.usage_in_bytes; file
// pages the kernel reclaims first, inactive_file of memory.stat, count as
// room), RLIMIT_AS less the address space in use, RLIMIT_DATA less the data
// in use, and the memory the system has available (MemAvailable, else the
// physical memory); less an eighth of it and 32 MiB for the program itself,
// its libraries and its threads' stacks, but never less than a quarter of it.
// A budget too small for the records never means "no limit": such a pass
// sorts on disk with the smallest buffers that work, or reports that it
// cannot have even those.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelto {

inline constexpr std::uint64_t UNLIMITED_MEMORY = UINT64_MAX;

// A byte count with an optional K/M/G suffix; nothing for any other text,
// zero, or a value that does not fit in 64 bits.
[[nodiscard]] std::optional<std::uint64_t> parse_memory_size(std::string_view text);

// The content of a cgroup limit file: "max" (v2) is unlimited; a number is
// itself; anything else (an unreadable file) is nothing.
[[nodiscard]] std::optional<std::uint64_t> parse_cgroup_limit(std::string_view text);

// The limit files that may bind a process whose /proc/self/cgroup reads
// `self_cgroup`, below the cgroup mount `root` ("/sys/fs/cgroup"): the v2
// memory.max and the v1 memory.limit_in_bytes of its cgroup and every
// ancestor up to the mount's top.
[[nodiscard]] std::vector<std::string> cgroup_limit_files(std::string_view self_cgroup,
                                                          std::string_view root);

// A "Key:   N kB" line of /proc/self/status in bytes; 0 when it is missing.
[[nodiscard]] std::uint64_t status_kilobytes(std::string_view status, std::string_view key);

// The room a cgroup with `limit` leaves: the limit less its `usage` (the
// text of memory.current or memory.usage_in_bytes), with the inactive file
// pages that `stat` (memory.stat) lists counted as room. An unreadable usage
// counts as none.
[[nodiscard]] std::uint64_t cgroup_room(std::uint64_t limit, std::string_view usage,
                                        std::string_view stat);

// What the process may use, as read from the system. UNLIMITED_MEMORY where
// no limit is set.
struct MemoryLimits {
  std::uint64_t cgroup = UNLIMITED_MEMORY;         // the least room of the cgroups
  std::uint64_t address_space = UNLIMITED_MEMORY;  // RLIMIT_AS
  std::uint64_t address_space_used = 0;            // VmSize
  std::uint64_t data = UNLIMITED_MEMORY;           // RLIMIT_DATA
  std::uint64_t data_used = 0;                     // VmData
  std::uint64_t available = UNLIMITED_MEMORY;      // MemAvailable
};

// The least of the limits, less the margin but at least a quarter of it.
[[nodiscard]] std::uint64_t derived_budget(const MemoryLimits& limits);

// The limits of this process as its system tells them: on Linux from /proc,
// /sys/fs/cgroup and getrlimit; on Windows from the memory status (the
// commit limit as the address space) and the job object's memory limits
// (as the cgroup).
[[nodiscard]] MemoryLimits current_limits();

// The budget of this run: from ZELTO_MEMORY when set, derived otherwise.
// False (with the message printed) when ZELTO_MEMORY is not a byte count.
[[nodiscard]] bool memory_budget(std::uint64_t& budget);

}  // namespace zelto
