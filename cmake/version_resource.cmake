# Windows version resources: every program and library that a site installs
# carries the project's version, product name and a description, compiled by
# the resource compiler (windres) through CMake's RC language.

# quillon_version_resource(TARGET DESCRIPTION): adds the resource to TARGET
# (an executable or a shared library); nothing on other platforms.
function(quillon_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(QUILLON_RC_FILETYPE VFT_APP)
    set(QUILLON_RC_FILENAME ${target}.exe)
  else()
    set(QUILLON_RC_FILETYPE VFT_DLL)
    set(QUILLON_RC_FILENAME ${target}.dll)
  endif()
  set(QUILLON_RC_NAME ${target})
  set(QUILLON_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
