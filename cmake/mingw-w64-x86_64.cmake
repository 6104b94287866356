# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers. The
# posix-thread variant: its libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KLINK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KLINK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KLINK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KLINK_MINGW_TRIPLET}-windres)

# Libraries and headers only from the MinGW tree; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KLINK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs run under Wine: Debian's wine64 installs its loader outside
# PATH. Tests are listed when ctest starts, not at build time, so building
# needs no Wine.
find_program(KLINK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KLINK_WINE AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KLINK_WINE})
endif()
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
