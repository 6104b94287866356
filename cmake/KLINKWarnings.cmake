# Project-wide compile flags: one place for warnings and sanitizers.
add_library(klink_options INTERFACE)
target_compile_options(klink_options INTERFACE -Wall -Wextra -Wshadow -pedantic)
if(KLINK_WERROR)
  target_compile_options(klink_options INTERFACE -Werror)
endif()
if(KLINK_SANITIZE)
  target_compile_options(klink_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(klink_options INTERFACE -fsanitize=address,undefined)
endif()
if(KLINK_FUZZ)
  # Coverage for libFuzzer in every library; the fuzz targets add the fuzzer's main.
  target_compile_options(klink_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(klink_options INTERFACE -fsanitize=address,undefined)
endif()
if(KLINK_TSAN)
  target_compile_options(klink_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(klink_options INTERFACE -fsanitize=thread)
endif()
if(WIN32)
  # windows.h without its min/max macros and the parts nobody here uses;
  # <cmath>'s M_PI as glibc gives it.
  target_compile_definitions(klink_options INTERFACE WIN32_LEAN_AND_MEAN NOMINMAX _USE_MATH_DEFINES)
endif()
if(MINGW AND CMAKE_CROSSCOMPILING)
  # One self-contained .exe: the C++ runtime, winpthread and zlib linked in,
  # so only system DLLs are needed. (A build on Windows links the DLLs its
  # Qt uses instead, and ships them with windeployqt.)
  target_link_options(klink_options INTERFACE -static)
endif()
