#include "guide.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace zelto {

namespace {

// Every line ends with a blank before its newline.
constexpr std::array<std::string_view, 11> FULL_GUIDE = {
    "zelto                   # Read records and arrange lines. \n",
    "zelto -f                # EIGHT equals eight. \n",
    "zelto -o new            # Read records to produce a new file. \n",
    "zelto -o-               # Display lines without producing a new file. \n",
    "zelto -e -o new         # 0Dh is removed from every line. \n",
    "zelto -r                # Arrange lines in descending order. \n",
    "zelto -u                # Display a line for each unique summary. \n",
    "zelto -y                # Do not remove binary.tmp \n",
    "zelto -V                # version \n",
    "zelto --help            # Display comments. \n",
    "zelto -s --help > file  # Produce a help file. \n",
};

constexpr std::string_view SHORT_GUIDE = "zelto --help \n";

}  // namespace

std::string compose_guide(double version, int full_guide) {
  char banner[64];
  std::snprintf(banner, sizeof banner, "zelto C-%1.3f\n\n", version);
  std::string text = banner;
  if (full_guide == 1) {
    for (std::string_view line : FULL_GUIDE) text += line;
  } else {
    text += SHORT_GUIDE;
  }
  return text;
}

void version_guide(double version, int full_guide, int guide_to_stderr) {
  const std::string text = compose_guide(version, full_guide);
  std::FILE* stream = guide_to_stderr == 1 ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::exit(1);
}

}  // namespace zelto
