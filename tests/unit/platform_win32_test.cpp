// What only the Windows platform files do: the guard that turns a failed
// page of a mapped record file into zeros, temporary files the system
// deletes, replacements that leave the old file whole when its name cannot
// be taken, removal only of the file read, and the job object's limits.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "mapped_file_detail.h"
#include "memory_budget.h"
#include "output_file.h"
#include "temp_files.h"

namespace zelto {
namespace {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it.
class Folder {
 public:
  Folder()
      : path_(fs::temp_directory_path() /
              ("zelto-win-" + std::to_string(GetTickCount64()) + "-" + std::to_string(count_++))) {
    fs::create_directories(path_);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  [[nodiscard]] std::string path(const std::string& name) const { return (path_ / name).string(); }
  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  [[nodiscard]] std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  [[nodiscard]] std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), {}));
  }

 private:
  static inline int count_ = 0;
  fs::path path_;
};

// Opens `path` as another program would, with the sharing `share` allows.
HANDLE hold(const std::string& path, DWORD share) {
  return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(WindowsMapping, AFailedPageReadsAsZerosAndMarksTheFileShrunk) {
  Folder folder;
  constexpr std::size_t bytes = 3 * 65536 + 100;
  folder.write("records", std::string(bytes, 'r'));
  RecordFile records;
  ASSERT_EQ(detail::load_record_file(records, folder.path("records"), bytes, true),
            LoadStatus::Loaded);
  ASSERT_TRUE(records.mapped());
  ASSERT_FALSE(records.shrunk());
  // The fault the system raises when a page of the file cannot be read.
  const ULONG_PTR fault[2] = {0, reinterpret_cast<ULONG_PTR>(records.data() + 70000)};
  RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 2, fault);
  EXPECT_TRUE(records.shrunk());
  for (const std::size_t at : {std::size_t{0}, std::size_t{70000}, bytes - 1}) {
    EXPECT_EQ(records.data()[at], 0) << at;
  }
}

TEST(WindowsTemporaryFile, IsDeletedWhenClosed) {
  Folder folder;
  TemporaryFile file;
  ASSERT_TRUE(file.create(folder.path("")));
  ASSERT_TRUE(file.write_at("abc", 3, 5));
  char back[3] = {};
  ASSERT_TRUE(file.read_at(back, 3, 5));
  EXPECT_EQ(std::string(back, 3), "abc");
  EXPECT_FALSE(file.read_at(back, 3, 7));  // beyond the end
  file.close();
  EXPECT_EQ(folder.entries(), 0U);
}

TEST(WindowsReplacement, KeepsTheOldFileWholeWhenItsNameIsHeld) {
  struct Case {
    const char* name;
    DWORD share;  // of another program's handle on the old file; none: no handle
    bool replaced;
  };
  const Case cases[] = {
      {"no other handle", 0xFFFFFFFF, true},
      // The system replaces no file that is open, whatever its sharing.
      {"shared for deletion", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, false},
      {"not shared for deletion", FILE_SHARE_READ | FILE_SHARE_WRITE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folder folder;
    folder.write("binary.tmp", "old records");
    const HANDLE other =
        c.share == 0xFFFFFFFF ? INVALID_HANDLE_VALUE : hold(folder.path("binary.tmp"), c.share);
    {
      OutputFile output;
      ASSERT_TRUE(output.open(folder.path("binary.tmp"), identity_of(folder.path("binary.tmp"))));
      ASSERT_TRUE(output.replaces_input());
      std::fputs("lines\n", output.stream());
      EXPECT_EQ(output.commit(), c.replaced);
    }
    if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
    EXPECT_EQ(folder.read("binary.tmp"), c.replaced ? "lines\n" : "old records");
    EXPECT_EQ(folder.entries(), 1U);  // no replacement left beside it
  }
}

// Run by the test below in a process of its own: opens a replacement of
// binary.tmp in the folder ZELTO_TEST_FOLDER names, writes to it and ends
// the process at once, as TerminateProcess ends a process from outside.
TEST(WindowsReplacement, EndsWhileWriting) {
  const char* folder = std::getenv("ZELTO_TEST_FOLDER");
  if (folder == nullptr) GTEST_SKIP() << "run by IsDeletedWhenTheProcessEndsWhileWriting";
  const std::string path = std::string(folder) + "\\binary.tmp";
  OutputFile output;
  if (!output.open(path, identity_of(path))) std::exit(2);
  std::fputs("lines\n", output.stream());
  std::fflush(output.stream());
  TerminateProcess(GetCurrentProcess(), 9);
}

TEST(WindowsReplacement, IsDeletedWhenTheProcessEndsWhileWriting) {
  Folder folder;
  folder.write("binary.tmp", "old records");
  char self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0U);
  std::string command =
      std::string("\"") + self + "\" --gtest_filter=WindowsReplacement.EndsWhileWriting";
  SetEnvironmentVariableA("ZELTO_TEST_FOLDER", folder.path("").c_str());
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &child);
  SetEnvironmentVariableA("ZELTO_TEST_FOLDER", nullptr);
  ASSERT_TRUE(started);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  EXPECT_EQ(status, 9U);
  EXPECT_EQ(folder.entries(), 1U);
  EXPECT_EQ(folder.read("binary.tmp"), "old records");
}

TEST(WindowsRemoval, RemovesOnlyTheFileRead) {
  Folder folder;
  folder.write("binary.tmp", "records");
  folder.write("other", "other");
  const FileIdentity read = *identity_of(folder.path("binary.tmp"));
  const FileIdentity other = *identity_of(folder.path("other"));
  EXPECT_NE(read, other);
  EXPECT_FALSE(remove_if_same(folder.path("binary.tmp"), other));
  const HANDLE held = hold(folder.path("binary.tmp"), FILE_SHARE_READ);
  EXPECT_FALSE(remove_if_same(folder.path("binary.tmp"), read));
  CloseHandle(held);
  ASSERT_TRUE(
      CreateHardLinkA(folder.path("link").c_str(), folder.path("binary.tmp").c_str(), nullptr));
  EXPECT_EQ(identity_of(folder.path("link")), read);
  EXPECT_TRUE(remove_if_same(folder.path("binary.tmp"), read));
  EXPECT_FALSE(fs::exists(folder.path("binary.tmp")));
  EXPECT_TRUE(fs::exists(folder.path("link")));
}

TEST(WindowsMemoryLimits, AJobObjectsLimitsBindThePass) {
  const HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_JOB_MEMORY;
  limits.ProcessMemoryLimit = std::size_t{3} << 30;
  limits.JobMemoryLimit = std::size_t{2} << 30;
  ASSERT_TRUE(
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION own{};
  if (AssignProcessToJobObject(job, GetCurrentProcess()) == 0 ||
      QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &own, sizeof own,
                                nullptr) == 0 ||
      own.BasicLimitInformation.LimitFlags != limits.BasicLimitInformation.LimitFlags) {
    GTEST_SKIP() << "this system tells a process nothing of its job object";
  }
  const MemoryLimits current = current_limits();
  EXPECT_EQ(current.cgroup, std::uint64_t{2} << 30);
  EXPECT_EQ(current.data, std::uint64_t{3} << 30);
  EXPECT_GT(current.data_used, 0U);
}

}  // namespace
}  // namespace zelto
