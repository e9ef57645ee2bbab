// Resets the command's tie register between the sorts of one test process,
// so that what a sort notes can be read on its own.
#pragma once

#include "compare.h"

namespace zelto::testing {

// Clears every slot and rewinds the next slot to the first.
inline void clear_tie_register() {
  check_ID.fill(0);
  h = 0;
}

}  // namespace zelto::testing
