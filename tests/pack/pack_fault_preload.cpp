// A fault seam for the end-to-end tests, loaded into zelto-pack with
// LD_PRELOAD: when ZELTO_PACK_TEST_RENAME_SIGNAL holds a signal number,
// the first rename() raises that signal instead, at the moment when both
// files are written in full under their temporary names.
#include <dlfcn.h>

#include <csignal>
#include <cstdlib>

extern "C" int rename(const char* from, const char* to) {
  const char* number = std::getenv("ZELTO_PACK_TEST_RENAME_SIGNAL");
  if (number != nullptr) std::raise(std::atoi(number));
  using Rename = int (*)(const char*, const char*);
  static const auto next = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"));
  return next(from, to);
}
