# klink_add_library(<target> <sources>...) makes the static library of the
# subsystem in the calling folder of src/ (src/<subsystem>/).
#
# Its headers are included as "<subsystem>/Name.h" from an include root of
# its own in the build tree that holds only a link to src/<subsystem>. A
# target therefore sees a subsystem's headers only when it links that
# library, PUBLIC or PRIVATE, so an include against the layering fails to
# compile instead of building by accident. Where the file system has no
# symbolic links (Windows without developer mode) every library shares
# src/ as its root: it still builds, and only the linker checks.
function(klink_add_library target)
  get_filename_component(subsystem ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  add_library(${target} STATIC ${ARGN})
  set(root ${PROJECT_BINARY_DIR}/include/${subsystem})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${subsystem} RESULT linkResult SYMBOLIC)
  if(NOT linkResult STREQUAL "0")
    message(STATUS "${target}: no symbolic link for its include root (${linkResult}); using src/")
    set(root ${PROJECT_SOURCE_DIR}/src)
  endif()
  target_include_directories(${target} PUBLIC ${root})
  target_link_libraries(${target} PUBLIC klink_options)
endfunction()
