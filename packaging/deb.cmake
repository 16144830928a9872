# Initial cache for the Debian package build:
#   cmake -S . -B build/package -C packaging/deb.cmake
set(CMAKE_BUILD_TYPE Release CACHE STRING "")
set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "")
set(KEYBYTES_DEB ON CACHE BOOL "")
set(BUILD_TESTING OFF CACHE BOOL "")
# Debian's hardening flags (as dpkg-buildflags gives them): fortified libc
# calls, stack protector, format checks, read-only relocations bound at start.
set(CMAKE_CXX_FLAGS "-fstack-protector-strong -D_FORTIFY_SOURCE=2 -Wformat -Werror=format-security"
    CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS "-Wl,-z,relro -Wl,-z,now" CACHE STRING "")
