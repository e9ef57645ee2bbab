// The bytes a run writes do not depend on ZELTO_THREADS: a record set large
// enough that loading, the unique filter and gathering lines are shared out.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "run_binary.h"
#include "sample_records.h"

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

TEST(Threads, OutputIsTheSameForEveryThreadCount) {
  const std::string records = many_records();
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool report_ties = false;
  };
  const Case cases[] = {
      {"file", {"-o", "out.txt"}},
      {"file, descending, CR LF", {"-r", "-CRLF", "-o", "out.txt"}},
      {"unique", {"-u", "-o", "out.txt"}},
      {"standard output", {}},
      {"unique to standard output, tie report", {"-u"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<Tree> first;
    for (const char* threads : {"1", "2", "3", "8"}) {
      SCOPED_TRACE(std::string("ZELTO_THREADS=") + threads);
      Parameters p = integers(RECORDS, "");
      p.report_ties = c.report_ties ? "-!" : "0";
      Sandbox box;
      box.write("manager.txt", p.text());
      box.write("binary.tmp", records);
      RunOptions options{c.arguments};
      options.environment = {std::string("ZELTO_THREADS=") + threads};
      const RunResult r = box.run_with(options);
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
