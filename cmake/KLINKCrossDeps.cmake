# The libraries of a cross build for Windows on a Linux host.
#
# zlib: Debian's MinGW build (libz-mingw-w64-dev), linked statically.
# fmt, nlohmann_json, CLI11: the host's header-only packages, seen through a
# folder that holds only them, so that no glibc header can shadow a MinGW
# one; fmt in header-only mode (no MinGW build of its library is packaged).
# GoogleTest: built from the sources Debian ships in /usr/src/googletest.

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

set(KLINK_HOST_INCLUDE_DIR /usr/include CACHE PATH "Host folder with the fmt, nlohmann and CLI headers")
set(KLINK_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")

set(hostHeaders ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${hostHeaders})
foreach(dir fmt nlohmann CLI)
  if(NOT EXISTS ${KLINK_HOST_INCLUDE_DIR}/${dir})
    message(FATAL_ERROR "${KLINK_HOST_INCLUDE_DIR}/${dir} is missing: run scripts/setup.sh")
  endif()
  file(CREATE_LINK ${KLINK_HOST_INCLUDE_DIR}/${dir} ${hostHeaders}/${dir} SYMBOLIC)
endforeach()

find_package(fmt QUIET)
if(NOT TARGET fmt::fmt)
  add_library(fmt::fmt INTERFACE IMPORTED)
  set_target_properties(fmt::fmt PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${hostHeaders}
    INTERFACE_COMPILE_DEFINITIONS FMT_HEADER_ONLY=1)
endif()
find_package(nlohmann_json 3 QUIET)
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${hostHeaders})
endif()
find_package(CLI11 CONFIG QUIET)
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${hostHeaders})
endif()

if(KLINK_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${KLINK_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
