// The memory budget: the ZELTO_MEMORY text, the cgroup files and texts, the
// status lines, and the least of the limits less the margin.
#include "memory_budget.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelto {
namespace {

constexpr std::uint64_t KIB = 1024;
constexpr std::uint64_t MIB = KIB * KIB;
constexpr std::uint64_t GIB = KIB * MIB;

struct SizeCase {
  const char* text;
  std::optional<std::uint64_t> bytes;
};

TEST(MemoryBudget, ParsesByteCountsWithSuffixes) {
  const SizeCase cases[] = {
      {"1", 1},
      {"8192", 8192},
      {"8K", 8 * KIB},
      {"8k", 8 * KIB},
      {"512M", 512 * MIB},
      {"1G", GIB},
      {"3g", 3 * GIB},
      {"17179869183G", 17179869183 * GIB},  // the largest count of G in 64 bits
      {"17179869184G", std::nullopt},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"0", std::nullopt},
      {"0K", std::nullopt},
      {"", std::nullopt},
      {"K", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"5T", std::nullopt},
      {"5KB", std::nullopt},
      {"1.5G", std::nullopt},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(parse_memory_size(c.text), c.bytes) << '"' << c.text << '"';
  }
}

TEST(MemoryBudget, ReadsCgroupLimitTexts) {
  EXPECT_EQ(parse_cgroup_limit("max\n"), UNLIMITED_MEMORY);
  EXPECT_EQ(parse_cgroup_limit("536870912\n"), 512 * MIB);
  EXPECT_EQ(parse_cgroup_limit("9223372036854771712\n"), 9223372036854771712ULL);
  EXPECT_EQ(parse_cgroup_limit(""), std::nullopt);  // a file that could not be read
  EXPECT_EQ(parse_cgroup_limit("12 34"), std::nullopt);
}

TEST(MemoryBudget, NamesTheLimitFilesOfTheCgroupAndItsAncestors) {
  struct Case {
    const char* self_cgroup;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"0::/user.slice/app.scope\n",
       {"/c/user.slice/app.scope/memory.max", "/c/user.slice/memory.max", "/c/memory.max"}},
      {"0::/\n", {"/c/memory.max"}},
      {"4:memory:/box/7\n3:cpuset:/\n1:name=systemd:/x\n",
       {"/c/memory/box/7/memory.limit_in_bytes", "/c/memory/box/memory.limit_in_bytes",
        "/c/memory/memory.limit_in_bytes"}},
      {"5:cpuacct,memory:/a\n",
       {"/c/memory/a/memory.limit_in_bytes", "/c/memory/memory.limit_in_bytes"}},
      {"5:memory,cpu:/a", {"/c/memory/a/memory.limit_in_bytes", "/c/memory/memory.limit_in_bytes"}},
      {"2:cpu:/a\n1:blkio:/\n", {}},
      {"garbage\n", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cgroup_limit_files(c.self_cgroup, "/c"), c.files) << c.self_cgroup;
  }
}

TEST(MemoryBudget, ReadsKilobyteLinesOfTheStatus) {
  const std::string status =
      "Name:\tzelto\nVmPeak:\t  99 kB\nVmSize:\t   12345 kB\nVmData:\t 640 kB\n";
  EXPECT_EQ(status_kilobytes(status, "VmSize"), 12345 * KIB);
  EXPECT_EQ(status_kilobytes(status, "VmData"), 640 * KIB);
  EXPECT_EQ(status_kilobytes(status, "VmSwap"), 0U);
  EXPECT_EQ(status_kilobytes(status, "Vm"), 0U);
}

TEST(MemoryBudget, CgroupRoomIsItsLimitLessWhatItUses) {
  struct Case {
    const char* name;
    std::uint64_t limit;
    std::string usage;
    std::string stat;
    std::uint64_t room;
  };
  const Case cases[] = {
      {"NoLimit", UNLIMITED_MEMORY, "123", "", UNLIMITED_MEMORY},
      {"LessItsUse", 512 * MIB, "104857600\n", "anon 1\n", 512 * MIB - 100 * MIB},
      {"InactiveFilePagesAreRoom", 512 * MIB, "104857600\n",
       "anon 5\nactive_file 7\ninactive_file 62914560\n", 512 * MIB - 40 * MIB},
      {"SubtreeCountOfV1", 512 * MIB, "104857600\n",
       "inactive_file 1\ntotal_inactive_file 20971520\n", 512 * MIB - 80 * MIB},
      {"AllUsed", 64 * MIB, "73400320\n", "", 0},
      {"UnreadableUsage", 64 * MIB, "", "", 64 * MIB},
      {"KeyOnlyAsPrefix", 64 * MIB, "1048576", "inactive_file_x 1048576\n", 63 * MIB},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cgroup_room(c.limit, c.usage, c.stat), c.room) << c.name;
  }
}

TEST(MemoryBudget, TakesTheLeastLimitLessAMargin) {
  struct Case {
    const char* name;
    MemoryLimits limits;
    std::uint64_t budget;
  };
  // The margin is an eighth of the least limit and 32 MiB, but leaves at
  // least a quarter of it: a budget is never 0 for a limit above 3 bytes.
  const auto less_margin = [](std::uint64_t least) { return least - least / 8 - 32 * MIB; };
  const Case cases[] = {
      {"NoLimit", {}, UNLIMITED_MEMORY},
      {"Available", {.available = 16 * GIB}, less_margin(16 * GIB)},
      {"Cgroup", {.cgroup = 512 * MIB, .available = 16 * GIB}, less_margin(512 * MIB)},
      {"AddressSpaceLessItsUse",
       {.address_space = 1 * GIB, .address_space_used = 200 * MIB, .available = 16 * GIB},
       less_margin(824 * MIB)},
      {"DataLessItsUse",
       {.cgroup = 2 * GIB, .data = 300 * MIB, .data_used = 44 * MIB},
       less_margin(256 * MIB)},
      {"AddressSpaceAllUsed", {.address_space = 10 * MIB, .address_space_used = 12 * MIB}, 0},
      {"BelowTheMargin", {.cgroup = 30 * MIB}, 30 * MIB / 4},
      {"CgroupOf36MiB", {.cgroup = 36 * MIB}, 9 * MIB},
      {"CgroupOf40MiB", {.cgroup = 40 * MIB}, 10 * MIB},
      {"CgroupOf64MiB", {.cgroup = 64 * MIB}, less_margin(64 * MIB)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(derived_budget(c.limits), c.budget) << c.name;
  }
}

}  // namespace
}  // namespace zelto
