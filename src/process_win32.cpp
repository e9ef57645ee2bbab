#include <windows.h>

#include <cstdio>

#include "process.h"

namespace zelto {

void prepare_process() {
  // A missing drive or a full disk fails the call at hand instead of
  // showing a dialog box that waits for a user.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool standard_error_is_terminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace zelto
