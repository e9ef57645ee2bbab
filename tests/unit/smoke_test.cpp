#include <gtest/gtest.h>

#include "guide.h"

TEST(Guide, ShortGuideHasBannerAndPointer) {
  EXPECT_EQ(zelto::compose_guide(1.022, 0), "zelto C-1.022\n\nzelto --help \n");
}
