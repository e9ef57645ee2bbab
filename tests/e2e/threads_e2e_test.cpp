// The bytes a run writes do not depend on ZELTO_THREADS: a record set large
// enough that loading, the unique filter and gathering lines are shared out.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "run_binary.h"

namespace zelto::testing {
namespace {

constexpr int RECORDS = 90000;

// Integer keys with many repeats (so ties and repeated patterns), numbered
// records with a text line each.
std::string many_records() {
  std::string file;
  for (int i = 0; i < RECORDS; ++i) {
    const int key = static_cast<int>((i * 7919LL) % 20011);
    const std::string text = "line " + std::to_string(i) + " key " + std::to_string(key) + "\n";
    file += as_text(int_record({key / 7, key % 3}, i + 1, text));
  }
  return file;
}

// Sets ZELTO_THREADS for the life of this object, then restores it.
class ThreadsSetting {
 public:
  explicit ThreadsSetting(const std::string& value) {
    if (const char* old = getenv("ZELTO_THREADS")) old_ = old;
    setenv("ZELTO_THREADS", value.c_str(), 1);
  }
  ~ThreadsSetting() {
    if (old_) {
      setenv("ZELTO_THREADS", old_->c_str(), 1);
    } else {
      unsetenv("ZELTO_THREADS");
    }
  }
  ThreadsSetting(const ThreadsSetting&) = delete;
  ThreadsSetting& operator=(const ThreadsSetting&) = delete;

 private:
  std::optional<std::string> old_;
};

TEST(Threads, OutputIsTheSameForEveryThreadCount) {
  const std::string records = many_records();
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {"file", {"-o", "out.txt"}},
      {"file, descending, CR LF", {"-r", "-CRLF", "-o", "out.txt"}},
      {"unique", {"-u", "-o", "out.txt"}},
      {"standard output", {}},
      {"unique to standard output, tie report", {"-u"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Tree> first;
    for (const char* threads : {"1", "2", "3", "8"}) {
      SCOPED_TRACE(std::string("ZELTO_THREADS=") + threads);
      Parameters p;
      p.record_count = RECORDS;
      p.key_type = 1;
      p.report_ties = std::string(c.name).find("tie") != std::string::npos ? "-!" : "0";
      Sandbox box;
      box.write("manager.txt", p.text());
      box.write("binary.tmp", records);
      const ThreadsSetting setting(threads);
      const RunResult r = box.run(c.arguments);
      ASSERT_EQ(r.status, 0) << r.err;
      Tree tree = box.tree();
      tree["(stdout)"] = r.out;
      tree["(stderr)"] = r.err;
      if (!first) {
        first = tree;
      } else {
        ASSERT_TRUE(tree == *first) << "the files or streams differ from one thread's";
      }
    }
  }
}

}  // namespace
}  // namespace zelto::testing
