# What a site's IT department checks in a release, beside the packages
# themselves (cmake/packaging.cmake):
#   - the project's licence, a build-time value of the project owner's;
#   - the third-party code inside each package or required by it, with the
#     versions of the build machine's Debian packages (the compiler's own
#     for its runtime, should dpkg not know it), for the bills of materials
#     and the notices;
#   - THIRD-PARTY-NOTICES.txt for Windows (the statically linked runtimes and
#     nlohmann-json) and the Debian copyright file, from the licence texts of
#     the build machine's own packages;
#   - Authenticode signing of the Windows files with the site's certificate
#     (programs, DLLs, the installer and its uninstaller, the MSI);
#   - the MSI's help link;
#   - the cpack scripts that stamp, sign, list and checksum each package.

set(QUILLON_LICENSE "LicenseRef-not-yet-published" CACHE STRING
    "SPDX licence expression of quillon itself, as its owner publishes it")
set(QUILLON_LICENSE_FILE "${CMAKE_SOURCE_DIR}/doc/license-not-yet-published.txt" CACHE FILEPATH
    "The text of that licence, for the Debian copyright file")

# --- Third-party components: "name|version|debian package|its version|licence|relation|comment".
# relation: "static:COMPONENT,..." (compiled or linked into those of the
# project's components; "*" for all of its programs and libraries), or
# "required" (needed at run time, not shipped).

# quillon_debian_package(FILE PACKAGE_VAR VERSION_VAR): the build machine's
# Debian package that holds FILE, and its version ("unknown" without dpkg).
function(quillon_debian_package file package_var version_var)
  set(package unknown)
  set(version unknown)
  file(REAL_PATH "${file}" real)
  execute_process(COMMAND dpkg-query -S "${real}" OUTPUT_VARIABLE owner ERROR_QUIET
                  RESULT_VARIABLE result OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(result EQUAL 0 AND owner MATCHES "^([^:,]+)")
    set(package "${CMAKE_MATCH_1}")
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${package} OUTPUT_VARIABLE version
                    ERROR_QUIET)
  endif()
  set(${package_var} "${package}" PARENT_SCOPE)
  set(${version_var} "${version}" PARENT_SCOPE)
endfunction()

# quillon_upstream_version(VAR DEBIAN_VERSION FALLBACK): the upstream part of
# a Debian version (no epoch, no Debian revision), or FALLBACK without one.
function(quillon_upstream_version var debian_version fallback)
  if(debian_version STREQUAL "unknown")
    set(${var} "${fallback}" PARENT_SCOPE)
  else()
    string(REGEX REPLACE "^[0-9]+:" "" upstream "${debian_version}")
    string(REGEX REPLACE "-[^-]*$" "" upstream "${upstream}")
    set(${var} "${upstream}" PARENT_SCOPE)
  endif()
endfunction()

set(QUILLON_THIRD_PARTY "")
set(QUILLON_NOTICE_SOURCES "")  # "name|debian package" of what a notice must cover

quillon_debian_package(${QUILLON_JSON_SOURCE_DIR}/json.hpp json_package json_package_version)
quillon_upstream_version(json_version "${json_package_version}" NOASSERTION)
list(APPEND QUILLON_THIRD_PARTY
     "nlohmann-json|${json_version}|${json_package}|${json_package_version}|MIT|static:ductra-sim,quillon-station|header-only JSON library compiled into the virtual instrument (scenario files) and the factory station (job files)")
list(APPEND QUILLON_NOTICE_SOURCES "nlohmann-json ${json_version}|${json_package}")
quillon_debian_package(${QUILLON_VALIJSON_SOURCE_DIR}/validator.hpp valijson_package
                       valijson_package_version)
quillon_upstream_version(valijson_version "${valijson_package_version}" NOASSERTION)
list(APPEND QUILLON_THIRD_PARTY
     "valijson|${valijson_version}|${valijson_package}|${valijson_package_version}|BSD-2-Clause|static:ductra-sim,quillon-station|header-only JSON Schema validator compiled into the virtual instrument (scenario files) and the factory station (job files)")
list(APPEND QUILLON_NOTICE_SOURCES "valijson ${valijson_version}|${valijson_package}")

if(WIN32)
  # The programs and DLLs link the compiler's runtime, the C++ library and
  # mingw-w64's C runtime and threads statically.
  set(gcc_exception "GPL-3.0-or-later WITH GCC-exception-3.1")
  foreach(entry "libgcc|libgcc.a|${CMAKE_CXX_COMPILER_VERSION}|${gcc_exception}|the compiler's runtime support"
                "libssp|libssp.a|${CMAKE_CXX_COMPILER_VERSION}|${gcc_exception}|the stack protector's runtime"
                "libstdc++|libstdc++.a|${CMAKE_CXX_COMPILER_VERSION}|${gcc_exception}|the C++ standard library"
                "mingw-w64-crt|libmsvcrt.a|NOASSERTION|ZPL-2.1|mingw-w64's C runtime start-up and support code"
                "winpthreads|libwinpthread.a|NOASSERTION|MIT AND BSD-3-Clause|mingw-w64's POSIX threads (std::thread, std::mutex)")
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 library)
    list(GET fields 2 version)
    list(GET fields 3 license)
    list(GET fields 4 what)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
                    OUTPUT_VARIABLE library_file OUTPUT_STRIP_TRAILING_WHITESPACE)
    quillon_debian_package(${library_file} package package_version)
    quillon_upstream_version(version "${package_version}" "${version}")
    list(APPEND QUILLON_THIRD_PARTY
         "${name}|${version}|${package}|${package_version}|${license}|static:*|${what}, linked statically into every program and DLL")
    list(APPEND QUILLON_NOTICE_SOURCES "${name} ${version}|${package}")
  endforeach()
endif()

# Licences of the Debian packages a .deb may require (its Depends line).
set(QUILLON_KNOWN_LICENSES
    "libc6=LGPL-2.1-or-later"
    "libgcc-s1=GPL-3.0-or-later WITH GCC-exception-3.1"
    "libstdc++6=GPL-3.0-or-later WITH GCC-exception-3.1"
    "libusb-1.0-0=LGPL-2.1-or-later")

# --- Licence texts.

# The licence of the project, indented as a Debian copyright file wants it.
file(READ ${QUILLON_LICENSE_FILE} license_text)
string(STRIP "${license_text}" license_text)
string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REPLACE "\n" "\n " license_text " ${license_text}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLON_LICENSE_FILE}
                                                               ${CMAKE_SOURCE_DIR}/doc/copyright.in)

if(WIN32)
  # THIRD-PARTY-NOTICES.txt: per component its copyright file as the build
  # machine's Debian package states it (each file once), and the GPL it
  # refers to; Windows line ends.
  set(notices "Third-party software in quillon ${PROJECT_VERSION} for Windows\n")
  string(APPEND notices "==========================================================\n\n")
  string(APPEND notices "The programs and DLLs of this package contain the following third-party\n")
  string(APPEND notices "software. Each part below gives the copyright and licence statement of\n")
  string(APPEND notices "the Debian package it was built from.\n\n")
  foreach(source IN LISTS QUILLON_NOTICE_SOURCES)
    string(REPLACE "|" ", from the Debian package " line "${source}")
    string(APPEND notices "  - ${line}\n")
  endforeach()
  set(seen "")
  foreach(source IN LISTS QUILLON_NOTICE_SOURCES)
    string(REPLACE "|" ";" fields "${source}")
    list(GET fields 0 name)
    list(GET fields 1 package)
    set(copyright_file /usr/share/doc/${package}/copyright)
    if(NOT EXISTS ${copyright_file})
      message(FATAL_ERROR "No licence text for ${name}: ${copyright_file} is missing")
    endif()
    file(SHA256 ${copyright_file} digest)
    if(digest IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${digest})
    file(READ ${copyright_file} text)
    string(APPEND notices "\n\n=== ${package} (${copyright_file}) ===\n\n${text}")
  endforeach()
  if(notices MATCHES "common-licenses/GPL-3")
    file(READ /usr/share/common-licenses/GPL-3 gpl)
    string(APPEND notices "\n\n=== The GNU General Public License, version 3 (/usr/share/common-licenses/GPL-3) ===\n\n${gpl}")
  endif()
  string(REPLACE "\r\n" "\n" notices "${notices}")
  string(REPLACE "\n" "\r\n" notices "${notices}")
  file(WRITE ${CMAKE_BINARY_DIR}/doc/THIRD-PARTY-NOTICES.txt "${notices}")
  install(FILES ${CMAKE_BINARY_DIR}/doc/THIRD-PARTY-NOTICES.txt DESTINATION ${QUILLON_INSTALL_DOCS})
else()
  # The Debian copyright file: the project's licence, and nlohmann-json's,
  # whose code the virtual instrument's library carries.
  file(READ /usr/share/doc/${json_package}/copyright json_copyright)
  if(NOT json_copyright MATCHES "\nLicense: Expat\n(( [^\n]*\n)+)")
    message(FATAL_ERROR "No Expat licence text in /usr/share/doc/${json_package}/copyright")
  endif()
  string(STRIP "${CMAKE_MATCH_1}" QUILLON_JSON_LICENSE_TEXT)
  set(QUILLON_JSON_LICENSE_TEXT " ${QUILLON_JSON_LICENSE_TEXT}")
  string(REGEX MATCH "\nFiles: \\*\nCopyright: ([^\n]*)\n" found "\n${json_copyright}")
  set(QUILLON_JSON_COPYRIGHT "${CMAKE_MATCH_1}")
  # valijson's, whose code the factory station carries.
  file(READ /usr/share/doc/${valijson_package}/copyright valijson_copyright)
  if(NOT valijson_copyright MATCHES "\nLicense: BSD-2clause\n(( [^\n]*\n)+)")
    message(FATAL_ERROR "No BSD-2clause licence text in /usr/share/doc/${valijson_package}/copyright")
  endif()
  string(STRIP "${CMAKE_MATCH_1}" QUILLON_VALIJSON_LICENSE_TEXT)
  set(QUILLON_VALIJSON_LICENSE_TEXT " ${QUILLON_VALIJSON_LICENSE_TEXT}")
  string(REGEX MATCH "\nFiles: \\*\nCopyright: ([^\n]*(\n [^\n]*)*)\n" found "\n${valijson_copyright}")
  set(QUILLON_VALIJSON_COPYRIGHT "${CMAKE_MATCH_1}")
  set(QUILLON_LICENSE_TEXT "${license_text}")
  configure_file(${CMAKE_SOURCE_DIR}/doc/copyright.in ${CMAKE_BINARY_DIR}/doc/copyright @ONLY)
endif()

# --- Signing (Windows): with a site's PKCS#12 certificate and the file
# holding its password, the package step signs the programs and DLLs and the
# installer.
set(QUILLON_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 certificate (.p12/.pfx) to sign the Windows programs, DLLs and installer with (empty: unsigned)")
set(QUILLON_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the certificate's password")
set(QUILLON_SIGN_TIMESTAMP_URL "" CACHE STRING
    "RFC 3161 time-stamp server for the signatures (empty: no time stamp)")
if(WIN32)
  if(QUILLON_SIGN_PKCS12)
    find_program(QUILLON_OSSLSIGNCODE osslsigncode)
    if(NOT QUILLON_OSSLSIGNCODE)
      message(FATAL_ERROR "QUILLON_SIGN_PKCS12 is set, but osslsigncode is missing: install osslsigncode")
    endif()
    foreach(file ${QUILLON_SIGN_PKCS12} ${QUILLON_SIGN_PASSWORD_FILE})
      if(NOT EXISTS ${file})
        message(FATAL_ERROR "Signing: ${file} does not exist")
      endif()
    endforeach()
    message(STATUS "Windows packages: programs, DLLs, installer, uninstaller and MSI signed with ${QUILLON_SIGN_PKCS12}")
    # NSIS writes the uninstaller into the installer; it hands each
    # uninstaller it writes to this command before storing it, so the
    # uninstaller a site runs is signed too.
    string(APPEND CPACK_NSIS_DEFINES
           "\n  !uninstfinalize '\"${CMAKE_COMMAND}\" \"-DFILE=%1\" \"-DOSSLSIGNCODE=${QUILLON_OSSLSIGNCODE}\" \"-DPKCS12=${QUILLON_SIGN_PKCS12}\" \"-DPASSWORD_FILE=${QUILLON_SIGN_PASSWORD_FILE}\" \"-DTIMESTAMP_URL=${QUILLON_SIGN_TIMESTAMP_URL}\" -P \"${CMAKE_SOURCE_DIR}/cmake/cpack/sign_file.cmake\"'")
  else()
    message(STATUS "Windows packages: not signed (QUILLON_SIGN_PKCS12 names no certificate)")
  endif()
endif()

# --- The MSI (Windows): made with wixl from the zip's staged tree.
set(QUILLON_HELP_LINK "https://example.org/quillon" CACHE STRING
    "Help link of the installed apps' entry of the MSI (the site's support page)")
if(WIN32)
  find_program(QUILLON_WIXL wixl)
  if(NOT QUILLON_WIXL)
    message(STATUS "Windows packages: no MSI without wixl: install the Debian packages wixl and msitools")
  endif()
endif()

# --- The cpack side: what the scripts read, and the scripts.
set(CPACK_QUILLON_LICENSE "${QUILLON_LICENSE}")
set(CPACK_QUILLON_THIRD_PARTY "${QUILLON_THIRD_PARTY}")
set(CPACK_QUILLON_KNOWN_LICENSES "${QUILLON_KNOWN_LICENSES}")
if(WIN32)
  set(CPACK_QUILLON_BINARY_COMPONENTS quillon quillon-sim quillon-trace quillon-station ductra-probe ductra ductra-sim)
  set(CPACK_QUILLON_SIGN_PKCS12 "${QUILLON_SIGN_PKCS12}")
  set(CPACK_QUILLON_SIGN_PASSWORD_FILE "${QUILLON_SIGN_PASSWORD_FILE}")
  set(CPACK_QUILLON_SIGN_TIMESTAMP_URL "${QUILLON_SIGN_TIMESTAMP_URL}")
  set(CPACK_QUILLON_OSSLSIGNCODE "${QUILLON_OSSLSIGNCODE}")
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/cpack/sign_binaries.cmake)
  set(CPACK_QUILLON_MSI_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/msi.cmake)
  set(CPACK_QUILLON_WIXL "${QUILLON_WIXL}")
  set(CPACK_QUILLON_HELP_LINK "${QUILLON_HELP_LINK}")
  set(CPACK_QUILLON_START_MENU "${QUILLON_START_MENU}")
endif()
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/cpack/release_files.cmake)
configure_file(${CMAKE_SOURCE_DIR}/cmake/cpack/project_config.cmake.in
               ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
