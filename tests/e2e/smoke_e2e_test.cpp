#include <gtest/gtest.h>

#include "run_binary.h"

using namespace zelto::testing;

TEST(EndToEnd, NoParametersNoRecordFileReportsOpenFailure) {
  Sandbox box;
  const RunResult r = box.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "fopen() error-2: binary.tmp\n");
  EXPECT_TRUE(box.files().empty());
}
