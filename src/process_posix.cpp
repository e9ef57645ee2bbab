#include <unistd.h>

#include <csignal>

#include "process.h"

namespace zelto {

void prepare_process() {
  std::signal(SIGXFSZ, SIG_IGN);
}

bool standard_error_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

}  // namespace zelto
