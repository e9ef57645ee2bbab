// The version banner and help text through the built command: where they go,
// the status, and that no pass runs and nothing is removed.
#include <gtest/gtest.h>

#include <string>

#include "records.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

const std::string SHORT_GUIDE = "zelto C-1.022\n\nzelto --help \n";

const std::string FULL_GUIDE =
    "zelto C-1.022\n"
    "\n"
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

// A parameter file and record file that a pass would turn into out.txt and
// then remove, had the guide not ended the run.
Tree ready_to_run(const std::string& line11 = "0") {
  Parameters p = parameters(3);
  p.guide_to_stdout = line11;
  p.report_ties = "-!";
  return {{"manager.txt", p.text()}, {"binary.tmp", record_file(key_kind_records())}};
}

Scenario to_stderr(std::string name, std::vector<std::string> arguments, std::string guide) {
  return Scenario{.name = std::move(name),
                  .files = ready_to_run(),
                  .arguments = std::move(arguments),
                  .status = 1,
                  .err = std::move(guide)};
}

Scenario to_stdout(std::string name, std::vector<std::string> arguments, std::string guide,
                   const std::string& line11 = "0") {
  return Scenario{.name = std::move(name),
                  .files = ready_to_run(line11),
                  .arguments = std::move(arguments),
                  .status = 1,
                  .out = std::move(guide)};
}

class Guide : public ::testing::TestWithParam<Scenario> {};
TEST_P(Guide, EndsTheRunWithStatusOne) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Guide, Guide,
    ::testing::Values(to_stderr("ShortGuide", {"-V"}, SHORT_GUIDE),
                      to_stderr("FullGuide", {"--help"}, FULL_GUIDE),
                      to_stderr("FullGuideVC", {"-VC"}, FULL_GUIDE),
                      to_stdout("SThenHelpToStdout", {"-s", "--help"}, FULL_GUIDE),
                      to_stderr("HelpThenSToStderr", {"--help", "-s"}, FULL_GUIDE),
                      to_stdout("SThenVToStdout", {"-s", "-V"}, SHORT_GUIDE),
                      to_stdout("Line11SendsGuideToStdout", {"-V"}, SHORT_GUIDE, "-s"),
                      to_stdout("EmptyLine11SendsGuideToStdout", {"--help"}, FULL_GUIDE, ""),
                      // Options before the guide act, those after it are never examined:
                      // neither the output path nor "-s" after it changes anything.
                      to_stderr("ArgumentsAfterTheGuideAreIgnored",
                                {"-r", "-y", "-V", "-o", "x.txt", "-s"}, SHORT_GUIDE),
                      to_stderr("FirstGuideOptionWins", {"-V", "--help"}, SHORT_GUIDE),
                      // Options are matched exactly: "-v" is a path, "-V" after it the guide.
                      to_stderr("LowerCaseVIsAPath", {"-v", "-V"}, SHORT_GUIDE)),
    scenario_name);

TEST(Guide, NeedsNoParameterFile) {
  check_scenario({.arguments = {"-V"}, .status = 1, .err = SHORT_GUIDE});
}

// The guide comes before the pass, so settings that would fail the pass do
// not matter.
TEST(Guide, ComesBeforeAnyCheckOfTheSettings) {
  Parameters p = parameters(-1);
  check_scenario({.files = {{"manager.txt", p.text()}},
                  .arguments = {"--help"},
                  .status = 1,
                  .err = FULL_GUIDE});
}

}  // namespace
}  // namespace zelto::testing
