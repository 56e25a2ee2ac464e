# Hardening and reproducibility of what the builds make.
#
# Linux: the flags Debian builds its own packages with, as dpkg-buildflags
# gives them for DEB_BUILD_MAINT_OPTIONS=hardening=+all: fortify (at the
# build type's -O2), the strong stack protector, format security as an error,
# PIE, full RELRO with immediate binding. dpkg before 1.22 (Debian 12) has no
# stack clash and no control-flow feature yet; those two flags are added when
# its flags lack them. Without dpkg-buildflags (another distribution) the
# same set is written out below. The optimisation and debug-information flags
# stay the build type's.
#
# Windows (mingw-w64): the strong stack protector (the compiler links its
# runtime statically, like the rest), and the linker's ASLR with high-entropy
# addresses and DEP named explicitly, so that a toolchain whose defaults
# differ cannot drop them; no time stamp in the PE headers.
#
# Both: no path of the source or build tree in a binary, so that the same
# commit built in two folders gives the same bytes.
#
# Not with the sanitizers or the fuzzer: fortify needs an optimised build and
# would only hide what the sanitizers report.

if(QUILLON_SANITIZE OR QUILLON_FUZZ)
  return()
endif()

# The source and build folders as "." and "build" in file names, debug
# information and __FILE__. The build folder's map comes last, so it wins
# where the build tree lies inside the source tree.
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")

if(WIN32)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-fstack-protector-strong>")
  add_link_options(-fstack-protector-strong LINKER:--dynamicbase,--high-entropy-va,--nxcompat
                   LINKER:--no-insert-timestamp)
  return()
endif()

# quillon_buildflags(VAR NAME): dpkg-buildflags --get NAME for the whole
# hardening set, as a list; VAR is left unset when dpkg-buildflags is missing.
function(quillon_buildflags var name)
  find_program(QUILLON_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT QUILLON_DPKG_BUILDFLAGS)
    return()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                          ${QUILLON_DPKG_BUILDFLAGS} --get ${name}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${name} failed (${result})")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(${var} "${flags}" PARENT_SCOPE)
endfunction()

quillon_buildflags(compile_flags CXXFLAGS)
quillon_buildflags(preprocessor_flags CPPFLAGS)
quillon_buildflags(link_flags LDFLAGS)
if(NOT QUILLON_DPKG_BUILDFLAGS)
  set(compile_flags -fstack-protector-strong -Wformat -Werror=format-security)
  set(preprocessor_flags -Wdate-time -D_FORTIFY_SOURCE=2)
  set(link_flags -Wl,-z,relro -Wl,-z,now)
endif()
# The build type chooses -O and -g; the folder maps are the ones above.
list(FILTER compile_flags EXCLUDE REGEX "^-O|^-g$|^-f(file|debug|macro)-prefix-map=")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|i.86")
  set(wanted -fstack-clash-protection -fcf-protection)
else()
  set(wanted -fstack-clash-protection)
endif()
foreach(flag IN LISTS wanted)
  if(NOT flag IN_LIST compile_flags)
    list(APPEND compile_flags ${flag})
  endif()
endforeach()

set(QUILLON_HARDENING_FLAGS ${preprocessor_flags} ${compile_flags})
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${QUILLON_HARDENING_FLAGS}>")
add_link_options(${link_flags})
# Position-independent executables: -fPIE from CMAKE_POSITION_INDEPENDENT_CODE,
# and -pie where the linker takes it.
include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
