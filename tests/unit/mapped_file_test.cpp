// The record file: mapped or read, the guard against a file that shrinks
// under its mapping, and the same-file check that forbids mapping.
#include "mapped_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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
  ASSERT_EQ(mkfifo(box.path("fifo").c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string path;
    std::size_t bytes;
    bool allow_mapping;
    LoadStatus status;
    bool mapped;
  };
  const Case cases[] = {
      {"regular file", box.path("records"), FILE_BYTES, true, LoadStatus::Loaded, true},
      {"part of a file", box.path("records"), 1000, true, LoadStatus::Loaded, true},
      {"mapping refused", box.path("records"), FILE_BYTES, false, LoadStatus::Loaded, false},
      {"short file", box.path("records"), FILE_BYTES + 1, true, LoadStatus::ReadFailed, false},
      {"missing file", box.path("none"), 10, true, LoadStatus::OpenFailed, false},
      {"device", "/dev/zero", 5000, true, LoadStatus::Loaded, false},
      {"nothing to read", box.path("records"), 0, true, LoadStatus::Loaded, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordFile file;
    EXPECT_EQ(file.load(c.path, c.bytes, c.allow_mapping), c.status);
    EXPECT_EQ(file.mapped(), c.mapped);
    if (c.status == LoadStatus::Loaded && c.path == box.path("records")) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), c.bytes),
                pattern_bytes(c.bytes));
    }
    EXPECT_FALSE(file.shrunk());
  }
}

// Another process truncating the file makes the pages past its new end fault:
// the guard turns that into zeros and the shrunk flag, never a bus error.
TEST(RecordFile, ShrinkingUnderTheMappingIsCaughtNotFatal) {
  Sandbox box;
  box.write("records", pattern_bytes(FILE_BYTES));
  for (const std::size_t kept : {std::size_t{0}, std::size_t{4096}, FILE_BYTES / 2}) {
    SCOPED_TRACE(std::to_string(kept) + " bytes kept");
    box.write("records", pattern_bytes(FILE_BYTES));
    RecordFile file;
    ASSERT_EQ(file.load(box.path("records"), FILE_BYTES, true), LoadStatus::Loaded);
    ASSERT_TRUE(file.mapped());
    ASSERT_EQ(truncate(box.path("records").c_str(), static_cast<off_t>(kept)), 0);
    std::size_t sum = 0;
    for (std::size_t i = 0; i < FILE_BYTES; i += 512) sum += file.data()[i];
    EXPECT_TRUE(file.shrunk()) << sum;
    EXPECT_EQ(file.data()[FILE_BYTES - 1], 0);
  }
  // A later mapping of an intact file starts unmarked.
  box.write("records", pattern_bytes(FILE_BYTES));
  RecordFile file;
  ASSERT_EQ(file.load(box.path("records"), FILE_BYTES, true), LoadStatus::Loaded);
  EXPECT_EQ(file.data()[FILE_BYTES - 1], pattern_bytes(FILE_BYTES).back());
  EXPECT_FALSE(file.shrunk());
}

TEST(RecordFile, WritingToTheInputForbidsMapping) {
  Sandbox box;
  box.write("records", "x");
  box.write("other", "y");
  std::filesystem::create_hard_link(box.path("records"), box.path("hard"));
  std::filesystem::create_symlink(box.path("records"), box.path("soft"));
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> outputs;
    bool copy;
  };
  const Case cases[] = {
      {"other file", box.path("records"), {box.path("other"), "", box.path("none")}, false},
      {"same path", box.path("records"), {box.path("none"), box.path("records")}, true},
      {"hard link", box.path("records"), {box.path("hard")}, true},
      {"symbolic link", box.path("soft"), {box.path("records")}, true},
      {"missing input", box.path("none"), {box.path("other")}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(must_copy(c.input, c.outputs, false), c.copy) << c.name;
  }
}

}  // namespace
}  // namespace zelto
