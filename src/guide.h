// The version banner and the help text.
#pragma once

#include <string>

#include "version.h"

namespace zelto {

// The banner ("zelto C-1.022" and an empty line) followed by the full list of
// commands when `full_guide` is 1, or by a pointer to "--help" otherwise.
[[nodiscard]] std::string compose_guide(double version, int full_guide);

// Writes the composed guide in one piece to standard error when
// `guide_to_stderr` is 1, otherwise to standard output, and ends the process
// with status 1.
[[noreturn]] void version_guide(double version, int full_guide, int guide_to_stderr);

}  // namespace zelto
