# Run by cpack after it has installed the files to package and before it
# packs them (CPACK_PRE_BUILD_SCRIPTS): signs every program and library of
# the Windows package, so that the zip and the installer carry signed files.
include(${CMAKE_CURRENT_LIST_DIR}/authenticode.cmake)
if(CPACK_QUILLON_SIGN_PKCS12)
  file(GLOB binaries ${CPACK_TEMPORARY_DIRECTORY}/*.exe ${CPACK_TEMPORARY_DIRECTORY}/*.dll)
  foreach(binary IN LISTS binaries)
    quillon_authenticode_sign(${binary})
  endforeach()
endif()
