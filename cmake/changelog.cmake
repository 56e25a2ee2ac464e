# The changelog: CHANGELOG.md is the one source. Its top entry must be the
# project's version (a release without its entry stops the configure), and
# the Debian package's changelog is written from it (QUILLON_DEBIAN_CHANGELOG):
#
#   ## 1.1.0 (2026-12-08)          quillon (1.1.0) stable; urgency=medium
#   ### For technicians      ->       [ For technicians ]
#   - text                            * text
#     more text                         more text
#                                   -- MAINTAINER  Tue, 08 Dec 2026 00:00:00 +0000

set(QUILLON_PACKAGE_MAINTAINER "quillon maintainers <quillon-maintainers@example.org>" CACHE STRING
    "Maintainer line of the Debian package: name <address> of whoever builds the site's release")

set(QUILLON_CHANGELOG ${CMAKE_SOURCE_DIR}/CHANGELOG.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QUILLON_CHANGELOG})
file(STRINGS ${QUILLON_CHANGELOG} quillon_latest REGEX "^## " LIMIT_COUNT 1)
if(NOT quillon_latest MATCHES "^## ([^ ]+) \\(([0-9]+-[0-9]+-[0-9]+)\\)$")
  message(FATAL_ERROR "CHANGELOG.md: the top entry's heading is not \"## VERSION (YYYY-MM-DD)\": ${quillon_latest}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md's top entry is ${CMAKE_MATCH_1}, the project's version ${PROJECT_VERSION}: add the release's entry")
endif()

if(NOT WIN32)
  set(QUILLON_DEBIAN_CHANGELOG ${CMAKE_BINARY_DIR}/doc/changelog)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/doc)
  execute_process(
    COMMAND awk -v "maintainer=${QUILLON_PACKAGE_MAINTAINER}" [[
      function trailer() {
        command = "LC_ALL=C date -u -R -d " date
        command | getline stamp
        close(command)
        print ""
        print " -- " maintainer "  " stamp
      }
      /^## / {
        if (entries++) { trailer(); print "" }
        version = $2
        date = $3
        gsub(/[()]/, "", date)
        print "quillon (" version ") stable; urgency=medium"
        blank = 1
        next
      }
      !entries { next }
      /^$/ { blank = 1; next }
      {
        if (blank && !heading) print ""
        blank = 0
        heading = /^### /
        if (heading) print "  [ " substr($0, 5) " ]"
        else if (/^- /) print "  * " substr($0, 3)
        else print "  " $0
      }
      END { if (entries) trailer() }
    ]] ${QUILLON_CHANGELOG}
    OUTPUT_FILE ${QUILLON_DEBIAN_CHANGELOG} RESULT_VARIABLE quillon_result)
  if(NOT quillon_result EQUAL 0)
    message(FATAL_ERROR "Could not write the Debian changelog from CHANGELOG.md")
  endif()
endif()
