# Cross-building for 64-bit Windows with Debian's g++-mingw-w64-x86-64-posix
# (the POSIX thread model, which std::thread needs). The C++ runtime and the
# thread library are linked statically, so the programs need only the
# system's DLLs. The tests run under wine (Debian's wine64), which CTest and
# gtest_discover_tests start through CMAKE_CROSSCOMPILING_EMULATOR: with a
# wine prefix of its own inside the build folder, no debug chatter and no
# offer to install Mono or Gecko, which the programs do not use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(ZELTO_WINE NAMES wine64 wine)
if(ZELTO_WINE)
  set(ZELTO_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEPREFIX=${ZELTO_WINE_PREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
      ${ZELTO_WINE})
endif()
