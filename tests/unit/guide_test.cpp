// The version banner and the help text, byte for byte, and where the guide
// goes before the process ends.
#include "guide.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "run_binary.h"

namespace zelto {
namespace {

const std::string BANNER = "zelto C-1.022\n\n";

const std::string FULL_GUIDE =
    BANNER +
    "zelto                   # Read records and arrange lines. \n"
    "zelto -f                # EIGHT equals eight. \n"
    "zelto -o new            # Read records to produce a new file. \n"
    "zelto -o-               # Display lines without producing a new file. \n"
    "zelto -e -o new         # 0Dh is removed from every line. \n"
    "zelto -r                # Arrange lines in descending order. \n"
    "zelto -u                # Display a line for each unique summary. \n"
    "zelto -y                # Do not remove binary.tmp \n"
    "zelto -V                # version \n"
    "zelto --help            # Display comments. \n"
    "zelto -s --help > file  # Produce a help file. \n";

const std::string SHORT_GUIDE = BANNER + "zelto --help \n";

TEST(Guide, ShortGuideHasBannerAndPointer) {
  EXPECT_EQ(compose_guide(1.022, 0), SHORT_GUIDE);
  EXPECT_EQ(compose_guide(VERSION, 0), SHORT_GUIDE);
}

TEST(Guide, FullGuideHasBannerAndElevenLines) {
  EXPECT_EQ(compose_guide(1.022, 1), FULL_GUIDE);
}

TEST(Guide, OnlyFlagOneGivesTheFullGuide) {
  EXPECT_EQ(compose_guide(1.022, 2), SHORT_GUIDE);
  EXPECT_EQ(compose_guide(1.022, -1), SHORT_GUIDE);
}

TEST(Guide, VersionIsPrintedWithThreeDecimals) {
  EXPECT_EQ(compose_guide(2.5, 0), "zelto C-2.500\n\nzelto --help \n");
  EXPECT_EQ(compose_guide(12.3456, 0), "zelto C-12.346\n\nzelto --help \n");
  EXPECT_EQ(compose_guide(0.0, 0), "zelto C-0.000\n\nzelto --help \n");
}

TEST(GuideDeathTest, GoesToStandardErrorAndExitsWithOne) {
  EXPECT_EXIT(version_guide(1.022, 0, 1), ::testing::ExitedWithCode(1),
              "^zelto C-1\\.022\n\nzelto --help \n$");
  EXPECT_EXIT(version_guide(1.022, 1, 1), ::testing::ExitedWithCode(1),
              "Produce a help file\\. \n$");
}

TEST(GuideDeathTest, GoesToStandardOutputWhenAsked) {
  const testing::Sandbox box;
  const std::filesystem::path captured = box.path("stdout.txt");
  // The child sends its standard output to a file; standard error must stay
  // empty.
  EXPECT_EXIT(
      {
        if (std::freopen(captured.string().c_str(), "w", stdout) == nullptr) std::exit(2);
        version_guide(1.022, 1, 0);
      },
      ::testing::ExitedWithCode(1), "^$");
  EXPECT_EQ(box.read("stdout.txt"), FULL_GUIDE);
}

}  // namespace
}  // namespace zelto
