// The record file: mapped or read, the guards against a file that shrinks
// or is written over under its mapping, and the same-file check that
// forbids mapping.
#include <gtest/gtest.h>

#include "mapped_file_detail.h"
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "run_binary.h"

namespace zelto {
namespace {

using testing::Sandbox;

constexpr std::size_t FILE_BYTES = std::size_t{3} << 20;

std::string pattern_bytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

TEST(RecordFile, LoadsMappedOrReadAsTheFileAllows) {
  Sandbox box;
  box.write("records", pattern_bytes(FILE_BYTES));
  const std::string records = box.path("records").string();
  struct Case {
    const char* name;
    std::string path;
    std::size_t bytes;
    bool allow_mapping;
    LoadStatus status;
    bool mapped;
  };
  std::vector<Case> cases = {
      {"regular file", records, FILE_BYTES, true, LoadStatus::Loaded, true},
      {"part of a file", records, 1000, true, LoadStatus::Loaded, true},
      {"mapping refused", records, FILE_BYTES, false, LoadStatus::Loaded, false},
      {"short file", records, FILE_BYTES + 1, true, LoadStatus::ReadFailed, false},
      {"missing file", box.path("none").string(), 10, true, LoadStatus::OpenFailed, false},
      {"nothing to read", records, 0, true, LoadStatus::Loaded, false},
  };
#ifndef _WIN32
  // Files that cannot be mapped, read instead; Windows has neither.
  ASSERT_EQ(mkfifo(box.path("fifo").c_str(), 0600), 0);
  cases.push_back({"device", "/dev/zero", 5000, true, LoadStatus::Loaded, false});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordFile file;
    EXPECT_EQ(detail::load_record_file(file, c.path, c.bytes, c.allow_mapping), c.status);
    EXPECT_EQ(file.mapped(), c.mapped);
    if (c.status == LoadStatus::Loaded && c.path == records) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), c.bytes),
                pattern_bytes(c.bytes));
    }
    EXPECT_FALSE(file.shrunk());
  }
}

// Another process truncating the file makes the pages past its new end fault:
// the guard turns that into zeros and the shrunk flag, never a bus error.
// Where the system refuses to truncate a mapped file (Windows may), the file
// and the mapped bytes stay whole.
TEST(RecordFile, ShrinkingUnderTheMappingIsCaughtNotFatal) {
  Sandbox box;
  const std::filesystem::path records = box.path("records");
  for (const std::size_t kept : {std::size_t{0}, std::size_t{4096}, FILE_BYTES / 2}) {
    SCOPED_TRACE(std::to_string(kept) + " bytes kept");
    box.write("records", pattern_bytes(FILE_BYTES));
    RecordFile file;
    ASSERT_EQ(detail::load_record_file(file, records.string(), FILE_BYTES, true),
              LoadStatus::Loaded);
    ASSERT_TRUE(file.mapped());
    std::error_code refused;
    std::filesystem::resize_file(records, kept, refused);
    std::size_t sum = 0;
    for (std::size_t i = 0; i < FILE_BYTES; i += 512) sum += file.data()[i];
    if (refused) {
      ASSERT_TRUE(testing::ON_WINDOWS) << refused.message();
      EXPECT_EQ(std::filesystem::file_size(records), FILE_BYTES);
      EXPECT_FALSE(file.shrunk()) << sum;
      EXPECT_EQ(file.data()[FILE_BYTES - 1], pattern_bytes(FILE_BYTES).back());
    } else {
      EXPECT_TRUE(file.shrunk()) << sum;
      EXPECT_EQ(file.data()[FILE_BYTES - 1], 0);
    }
  }
  // A later mapping of an intact file starts unmarked.
  box.write("records", pattern_bytes(FILE_BYTES));
  RecordFile file;
  ASSERT_EQ(detail::load_record_file(file, records.string(), FILE_BYTES, true), LoadStatus::Loaded);
  EXPECT_EQ(file.data()[FILE_BYTES - 1], pattern_bytes(FILE_BYTES).back());
  EXPECT_FALSE(file.shrunk());
}

// Another process writing over the mapped bytes in place is caught when
// the pass looks (its keys may have changed under the sort); one that only
// appends leaves the mapped bytes as they were.
TEST(RecordFile, WritingOverTheMappedBytesIsCaughtButAppendingIsNot) {
  Sandbox box;
  const std::filesystem::path records = box.path("records");
  const std::vector<std::pair<const char*, std::ios::openmode>> cases = {
      {"untouched", std::ios::openmode{}},
      {"written over", std::ios::in | std::ios::out},
      {"appended to", std::ios::app},
  };
  for (const auto& [name, mode] : cases) {
    SCOPED_TRACE(name);
    box.write("records", pattern_bytes(FILE_BYTES));
    // An hour back, so that any write shows whatever the clock's resolution.
    std::filesystem::last_write_time(
        records, std::filesystem::last_write_time(records) - std::chrono::hours(1));
    RecordFile file;
    ASSERT_EQ(detail::load_record_file(file, records.string(), FILE_BYTES, true),
              LoadStatus::Loaded);
    ASSERT_TRUE(file.mapped());
    if (mode != std::ios::openmode{}) {
      std::ofstream writer(records, mode | std::ios::binary);
      writer << "~~";
    }
    const bool written_over = std::string(name) == "written over";
    EXPECT_EQ(file.rewritten(), written_over);
    EXPECT_EQ(file.changed(), written_over);
    EXPECT_FALSE(file.shrunk());
  }
}

TEST(RecordFile, WritingToTheInputForbidsMapping) {
  Sandbox box;
  box.write("records", "x");
  box.write("other", "y");
  const auto at = [&box](const char* name) { return box.path(name).string(); };
  std::filesystem::create_hard_link(box.path("records"), box.path("hard"));
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> outputs;
    bool copy;
  };
  std::vector<Case> cases = {
      {"other file", at("records"), {at("other"), "", at("none")}, false},
      {"same path", at("records"), {at("none"), at("records")}, true},
      {"hard link", at("records"), {at("hard")}, true},
      {"missing input", at("none"), {at("other")}, true},
  };
  // Windows makes symbolic links only with a privilege that a test may lack.
  std::error_code no_link;
  std::filesystem::create_symlink(box.path("records"), box.path("soft"), no_link);
  if (!no_link || !testing::ON_WINDOWS) {
    ASSERT_FALSE(no_link) << no_link.message();
    cases.push_back({"symbolic link", at("soft"), {at("records")}, true});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(must_copy(c.input, c.outputs, false), c.copy) << c.name;
  }
}

}  // namespace
}  // namespace zelto
