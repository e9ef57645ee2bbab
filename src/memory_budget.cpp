#include "memory_budget.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "progress.h"
#include "system_text.h"

namespace zelto {

namespace {

constexpr std::uint64_t MIB = std::uint64_t{1} << 20;
constexpr std::uint64_t FIXED_MARGIN = 32 * MIB;

std::uint64_t room_left(std::uint64_t limit, std::uint64_t used) {
  if (limit == UNLIMITED_MEMORY) return UNLIMITED_MEMORY;
  return limit > used ? limit - used : 0;
}

// The number N of a "KEY N" line of memory.stat; 0 when it is missing.
std::uint64_t stat_value(std::string_view stat, std::string_view key) {
  while (!stat.empty()) {
    const auto end = stat.find('\n');
    const std::string_view line = stat.substr(0, end);
    stat = end == std::string_view::npos ? "" : stat.substr(end + 1);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ' ') {
      return whole_number<std::uint64_t>(line.substr(key.size() + 1)).value_or(0);
    }
  }
  return 0;
}

}  // namespace

std::optional<std::uint64_t> parse_memory_size(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  const std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
  int shift = 0;
  if (suffix.size() > 1) return std::nullopt;
  if (suffix.size() == 1) {
    switch (suffix[0]) {
      case 'k':
      case 'K': shift = 10; break;
      case 'm':
      case 'M': shift = 20; break;
      case 'g':
      case 'G': shift = 30; break;
      default: return std::nullopt;
    }
  }
  if (value == 0 || value > (UNLIMITED_MEMORY >> shift)) return std::nullopt;
  return value << shift;
}

std::optional<std::uint64_t> parse_cgroup_limit(std::string_view text) {
  if (trimmed(text) == "max") return UNLIMITED_MEMORY;
  return whole_number<std::uint64_t>(text);
}

std::vector<std::string> cgroup_limit_files(std::string_view self_cgroup, std::string_view root) {
  std::vector<std::string> files;
  while (!self_cgroup.empty()) {
    const auto end = self_cgroup.find('\n');
    const std::string_view line = self_cgroup.substr(0, end);
    self_cgroup = end == std::string_view::npos ? "" : self_cgroup.substr(end + 1);
    // "ID:CONTROLLERS:PATH": v2 has ID 0 and no controllers, v1 names "memory".
    const auto first = line.find(':');
    const auto second = line.find(':', first == std::string_view::npos ? first : first + 1);
    if (first == std::string_view::npos || second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string path(line.substr(second + 1));
    std::string base(root);
    std::string file;
    if (line.substr(0, first) == "0" && controllers.empty()) {
      file = "memory.max";
    } else if (controllers == "memory" || controllers.find("memory,") == 0 ||
               controllers.find(",memory") != std::string_view::npos) {
      base += "/memory";
      file = "memory.limit_in_bytes";
    } else {
      continue;
    }
    // The cgroup and its ancestors: a parent's limit binds its children too.
    for (;;) {
      while (!path.empty() && path.back() == '/') path.pop_back();
      files.push_back(base + path + "/" + file);
      if (path.empty()) break;
      path.resize(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    }
  }
  return files;
}

std::uint64_t status_kilobytes(std::string_view status, std::string_view key) {
  std::size_t at = 0;
  while (at < status.size()) {
    const auto end = std::min(status.find('\n', at), status.size());
    std::string_view line = status.substr(at, end - at);
    at = end + 1;
    if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') {
      continue;
    }
    line = trimmed(line.substr(key.size() + 1));
    std::uint64_t kilobytes = 0;
    std::from_chars(line.data(), line.data() + line.size(), kilobytes);
    return kilobytes * 1024;
  }
  return 0;
}

std::uint64_t cgroup_room(std::uint64_t limit, std::string_view usage, std::string_view stat) {
  if (limit == UNLIMITED_MEMORY) return UNLIMITED_MEMORY;
  const std::uint64_t used = whole_number<std::uint64_t>(usage).value_or(0);
  // v1 counts the whole subtree under "total_"; v2 always does.
  std::uint64_t reclaimable = stat_value(stat, "total_inactive_file");
  if (reclaimable == 0) reclaimable = stat_value(stat, "inactive_file");
  return room_left(limit, used > reclaimable ? used - reclaimable : 0);
}

std::uint64_t derived_budget(const MemoryLimits& limits) {
  const std::uint64_t least =
      std::min({limits.cgroup, room_left(limits.address_space, limits.address_space_used),
                room_left(limits.data, limits.data_used), limits.available});
  if (least == UNLIMITED_MEMORY) return UNLIMITED_MEMORY;
  const std::uint64_t margin = least / 8 + FIXED_MARGIN;
  return std::max(least > margin ? least - margin : 0, least / 4);
}

bool memory_budget(std::uint64_t& budget) {
  const char* setting = std::getenv("ZELTO_MEMORY");
  if (setting == nullptr || *setting == '\0') {
    budget = derived_budget(current_limits());
    return true;
  }
  const auto bytes = parse_memory_size(setting);
  if (!bytes) {
    report(std::string("memory budget error: ZELTO_MEMORY=") + setting);
    return false;
  }
  budget = *bytes;
  return true;
}

}  // namespace zelto
