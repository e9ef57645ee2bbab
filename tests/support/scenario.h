// One run of the command described as data: the files laid out before it,
// its arguments, and everything it must leave: status, both streams and the
// complete set of files with their bytes.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "records.h"
#include "run_binary.h"

namespace zelto::testing {

struct Scenario {
  std::string name;  // letters, digits and underscores: it names the test
  Tree files;        // laid out before the run ("dir/" makes a directory)
  std::vector<std::string> arguments;
  int status = 0;
  std::string out;
  std::string err;
  std::vector<std::string> removed;  // entries that must be gone afterwards
  Tree written;                      // entries created or replaced by the run
};

// Test names only: the bytes would drown the failure report.
inline void PrintTo(const Scenario& scenario, std::ostream* os) {
  *os << scenario.name;
}

inline std::string scenario_name(const ::testing::TestParamInfo<Scenario>& info) {
  return info.param.name;
}

// Runs `scenario` in a fresh directory and checks every outcome.
inline void check_scenario(const Scenario& scenario) {
  Sandbox box;
  box.lay_out(scenario.files);
  const Tree before = box.tree();
  const RunResult r = box.run(scenario.arguments);
  EXPECT_EQ(r.status, scenario.status);
  EXPECT_EQ(r.out, scenario.out);
  EXPECT_EQ(r.err, scenario.err);
  EXPECT_EQ(box.tree(), changed(before, scenario.removed, scenario.written));
}

}  // namespace zelto::testing
