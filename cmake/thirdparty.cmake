# nlohmann-json is header-only: its headers are copied into the build tree so
# that the mingw-w64 build can use them without seeing the rest of /usr/include.
set(QUILLON_JSON_SOURCE_DIR "/usr/include/nlohmann" CACHE PATH "nlohmann-json header folder")
set(QUILLON_THIRDPARTY_INCLUDE ${CMAKE_BINARY_DIR}/thirdparty/include)
if(NOT EXISTS ${QUILLON_JSON_SOURCE_DIR}/json.hpp)
  message(FATAL_ERROR "nlohmann-json not found in ${QUILLON_JSON_SOURCE_DIR}: install nlohmann-json3-dev")
endif()
file(COPY ${QUILLON_JSON_SOURCE_DIR} DESTINATION ${QUILLON_THIRDPARTY_INCLUDE})
add_library(quillon_json INTERFACE)
target_include_directories(quillon_json SYSTEM INTERFACE ${QUILLON_THIRDPARTY_INCLUDE})

# valijson (header-only, libvalijson-dev) validates the station's jobs against
# their JSON Schema, through its nlohmann-json adapter; copied like nlohmann-json.
set(QUILLON_VALIJSON_SOURCE_DIR "/usr/include/valijson" CACHE PATH "valijson header folder")
if(NOT EXISTS ${QUILLON_VALIJSON_SOURCE_DIR}/validator.hpp)
  message(FATAL_ERROR "valijson not found in ${QUILLON_VALIJSON_SOURCE_DIR}: install libvalijson-dev")
endif()
file(COPY ${QUILLON_VALIJSON_SOURCE_DIR} DESTINATION ${QUILLON_THIRDPARTY_INCLUDE})
add_library(quillon_json_schema INTERFACE)
target_include_directories(quillon_json_schema SYSTEM INTERFACE ${QUILLON_THIRDPARTY_INCLUDE})
target_link_libraries(quillon_json_schema INTERFACE quillon_json)

if(QUILLON_TESTS)
  # The tests are compiled for a short build rather than for a debugger: at
  # -O1 without debug information they compile in half the time the release
  # flags take, and they are most of a build's compile time. The programs and
  # libraries under test keep the release flags.
  set(QUILLON_TEST_FLAGS "-O1 -DNDEBUG")
  if(CMAKE_CROSSCOMPILING)
    # No prebuilt GoogleTest for mingw-w64: build Debian's sources.
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    # Compiled as the tests are (tests/CMakeLists.txt), inside a function so
    # that the flags stay the tests' own.
    function(quillon_add_googletest)
      set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "${QUILLON_TEST_FLAGS}")
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    endfunction()
    quillon_add_googletest()
    # GoogleTest 1.12 names its targets GTest::gtest itself; older trees do not.
    if(NOT TARGET GTest::gtest)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endif()
