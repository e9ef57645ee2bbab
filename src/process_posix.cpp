#include <time.h>
#include <unistd.h>

#include <csignal>

#include "process.h"

namespace zelto {

void prepare_process() {
  std::signal(SIGXFSZ, SIG_IGN);
}

void pause_a_millisecond() {
  const timespec pause{0, 1000000};
  nanosleep(&pause, nullptr);
}

void write_to_standard_error(const char* bytes, std::size_t size) {
  (void)!write(STDERR_FILENO, bytes, size);
}

bool standard_error_is_terminal() {
  return isatty(STDERR_FILENO) == 1;
}

}  // namespace zelto
