# Running the Windows build's tests under Wine on the build machine.
#
# Wine gives a program a console only when its standard input is a terminal,
# so every test runs through onpty, a Linux program built here for the build
# machine, which starts it on a new pseudo-terminal. The tests share one Wine
# prefix under the build directory; the first start creates it.
find_program(WINE64 NAMES wine64 HINTS /usr/lib/wine /usr/lib64/wine REQUIRED)
find_program(ENV_PROGRAM env REQUIRED)

include(ExternalProject)
set(wine_host ${CMAKE_BINARY_DIR}/host)
ExternalProject_Add(wine_host
  SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/host
  BINARY_DIR ${wine_host}
  CMAKE_ARGS -DCMAKE_BUILD_TYPE=RelWithDebInfo
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${wine_host}/onpty ${wine_host}/keybytes_e2e)

# No debug chatter, no prompt for Wine's .NET and HTML engines (not needed).
# A UTF-8 locale whatever the caller's: without one Wine reads the terminal
# as 7-bit, and a typed "ä" arrives as other keys.
set(wine_env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
    WINEDLLOVERRIDES=mscoree,mshtml= LANG=C.UTF-8 LC_ALL=C.UTF-8)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ENV_PROGRAM} ${wine_env} ${wine_host}/onpty ${WINE64})

# Tests are listed when ctest starts, one Wine start per test program; the
# very first start also creates the prefix, which takes a while.
set(wine_discover DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 300)
