# The tests of a Windows build under wine share the build's wine prefix and
# one wine server. The target zelto_wine_prefix makes the prefix once, before
# any test program is listed under wine at build time. Started on demand, a
# server lingers only a few seconds after its last program, and each new one
# costs the next program a second or more: the fixture "wine" keeps one
# persistent server running while the tests run, then stops it.
#
# ZELTO_TEST_PROPERTIES holds the PROPERTIES arguments that every
# gtest_discover_tests call adds, so that each test requires the fixture;
# each test program depends on zelto_wine_prefix where that target exists.
set(ZELTO_TEST_PROPERTIES "")
if(NOT WIN32 OR NOT CMAKE_CROSSCOMPILING_EMULATOR OR NOT ZELTO_WINE_PREFIX)
  return()
endif()
find_program(ZELTO_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine REQUIRED)
set(wine_environment WINEPREFIX=${ZELTO_WINE_PREFIX} WINEDEBUG=-all)
add_custom_command(
  OUTPUT ${ZELTO_WINE_PREFIX}/system.reg
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot -i
  COMMENT "Making the wine prefix of the tests"
  VERBATIM)
add_custom_target(zelto_wine_prefix DEPENDS ${ZELTO_WINE_PREFIX}/system.reg)
# A server that is already running becomes persistent, and the command then
# reports failure: only the server's presence matters. The server keeps
# what it inherits open, so it gets none of CTest's pipes.
add_test(NAME wine_server_start
         COMMAND sh -c "env ${wine_environment} ${ZELTO_WINESERVER} -p </dev/null >/dev/null 2>&1; :")
add_test(NAME wine_server_stop COMMAND sh -c "env ${wine_environment} ${ZELTO_WINESERVER} -k; :")
set_tests_properties(wine_server_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)
set(ZELTO_TEST_PROPERTIES PROPERTIES FIXTURES_REQUIRED wine)
