// What an ending signal calls before the run ends: every eraser watched
// (the status line's, the output's cleanup), once each, whatever order
// they were watched in and however often.
#include "output_file.h"

#include <gtest/gtest.h>

#include <string>

namespace zelto {
namespace {

std::string called;
void first() {
  called += "1";
}
void second() {
  called += "2";
}

TEST(EndingErasers, EachWatchedOneIsCalledOnceInTheOrderWatched) {
  detail::add_ending_eraser(first);
  detail::add_ending_eraser(nullptr);
  detail::add_ending_eraser(second);
  detail::add_ending_eraser(first);
  detail::run_ending_erasers();
  EXPECT_EQ(called, "12");
}

}  // namespace
}  // namespace zelto
