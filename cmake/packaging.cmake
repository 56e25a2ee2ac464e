# What a site installs, and the packages made of it.
#
# Linux (GNUInstallDirs): quillon and quillon-sim in bin, finding their
# library through an RPATH relative to themselves ($ORIGIN/ and the way from
# bin to the library folder, e.g. ../lib/x86_64-linux-gnu) wherever the tree
# is put; libductra and libductra-sim with their SONAME; ductra.h and
# ductra.pc; the manual pages;
# README and SCENARIOS under the doc folder; the ready-made scenarios and the
# demo firmware image under share/quillon; the udev rule in its own component.
# Windows: one folder: the programs beside their DLLs (which they import by
# name), README and SCENARIOS as text, scenarios\ and demo\firmware\.
#
# The demo image sits in demo/firmware, never in a "firmware" folder that the
# real program would list for download: the virtual instrument is started in
# demo/ to find it.
#
# CPack makes a Debian package from a Linux build, and a zip and an NSIS
# installer from the Windows build (CMakePresets.json: packagePresets).

if(WIN32)
  set(QUILLON_INSTALL_PROGRAMS .)
  set(QUILLON_INSTALL_IMPORT_LIBS lib)
  set(QUILLON_INSTALL_INCLUDE include)
  set(QUILLON_INSTALL_DOCS .)
  set(QUILLON_INSTALL_SCENARIOS scenarios)
  set(QUILLON_INSTALL_DEMO demo)
else()
  set(QUILLON_INSTALL_PROGRAMS ${CMAKE_INSTALL_BINDIR})
  set(QUILLON_INSTALL_INCLUDE ${CMAKE_INSTALL_INCLUDEDIR})
  set(QUILLON_INSTALL_DOCS ${CMAKE_INSTALL_DOCDIR})
  set(QUILLON_INSTALL_SCENARIOS ${CMAKE_INSTALL_DATADIR}/quillon/scenarios)
  set(QUILLON_INSTALL_DEMO ${CMAKE_INSTALL_DATADIR}/quillon/demo)

  # The programs find the installed library relative to themselves.
  file(RELATIVE_PATH QUILLON_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(quillon quillon-sim PROPERTIES INSTALL_RPATH "$ORIGIN/${QUILLON_BIN_TO_LIB}")
endif()

# --- Install rules: the shipped targets only, never the tests or benchmarks.

# ductra-probe carries the library's code: no library to find.
if(TARGET ductra-probe)
  install(TARGETS ductra-probe RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})
endif()
if(WIN32)
  install(TARGETS quillon quillon-sim ductra-sim RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})
  # ductra's import library serves a site's own tools built against ductra.h.
  install(TARGETS ductra RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS}
                         ARCHIVE DESTINATION ${QUILLON_INSTALL_IMPORT_LIBS})
else()
  install(TARGETS quillon quillon-sim RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})
  install(TARGETS ductra LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  # The virtual instrument is for quillon-sim: no development link.
  install(TARGETS ductra-sim LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)

  # pkg-config: paths relative to the .pc file, so the tree may be moved.
  file(RELATIVE_PATH QUILLON_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
       ${CMAKE_INSTALL_PREFIX})
  configure_file(${CMAKE_SOURCE_DIR}/usbpipe/ductra.pc.in ${CMAKE_BINARY_DIR}/ductra.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/ductra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/usbpipe/ductra.h DESTINATION ${QUILLON_INSTALL_INCLUDE})

file(GLOB QUILLON_SCENARIO_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/scenarios/*.json)
install(FILES ${QUILLON_SCENARIO_FILES} DESTINATION ${QUILLON_INSTALL_SCENARIOS})
install(FILES ${CMAKE_SOURCE_DIR}/sim/firmware/demo-2.20.bin
        DESTINATION ${QUILLON_INSTALL_DEMO}/firmware)

# The trace reader: a program on its own (no shared library), with the
# trace format beside the other documents.
install(TARGETS quillon-trace RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})

# The factory station, on the real pipe and on the virtual instrument, with
# the schema of its jobs (and the virtual instrument's of its scenarios), its
# page and its manual page.
install(TARGETS quillon-station quillon-station-sim RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})
if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/station/job.schema.json ${CMAKE_SOURCE_DIR}/sim/scenario.schema.json
          DESTINATION ${QUILLON_INSTALL_DOCS})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/doc/station.md)
  file(READ ${CMAKE_SOURCE_DIR}/doc/station.md text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${CMAKE_BINARY_DIR}/doc/station.txt "${text}")
  install(FILES ${CMAKE_BINARY_DIR}/doc/station.txt DESTINATION ${QUILLON_INSTALL_DOCS})
else()
  set_target_properties(quillon-station quillon-station-sim
                        PROPERTIES INSTALL_RPATH "$ORIGIN/${QUILLON_BIN_TO_LIB}")
  install(FILES ${CMAKE_SOURCE_DIR}/station/job.schema.json ${CMAKE_SOURCE_DIR}/sim/scenario.schema.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/station.md DESTINATION ${QUILLON_INSTALL_DOCS})
  configure_file(${CMAKE_SOURCE_DIR}/doc/quillon-station.1.in ${CMAKE_BINARY_DIR}/man/quillon-station.1
                 @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz
                     COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/man/quillon-station.1
                             > ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz
                     DEPENDS ${CMAKE_BINARY_DIR}/man/quillon-station.1)
  add_custom_target(quillon_station_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          RENAME quillon-station-sim.1.gz)
endif()

if(WIN32)
  # The documents as text with Windows line ends, for Notepad.
  foreach(doc README.md sim/SCENARIOS.md doc/trace-format.md)
    get_filename_component(name ${doc} NAME_WE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${doc})
    file(READ ${CMAKE_SOURCE_DIR}/${doc} text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/doc/${name}.txt "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/doc/${name}.txt DESTINATION ${QUILLON_INSTALL_DOCS})
  endforeach()
else()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/sim/SCENARIOS.md
                ${CMAKE_BINARY_DIR}/doc/copyright ${CMAKE_SOURCE_DIR}/doc/trace-format.md
          DESTINATION ${QUILLON_INSTALL_DOCS})

  # Manual pages (carrying the project's version) and the changelog,
  # compressed as Debian keeps them: gzip -9 with no name or time stamp, so
  # that the same source gives the same bytes.
  foreach(page quillon.1 quillon-sim.1 ductra-probe.1 quillon-trace.1)
    configure_file(${CMAKE_SOURCE_DIR}/doc/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  endforeach()
  set(gzipped)
  foreach(pair "${CMAKE_BINARY_DIR}/man/quillon.1;man/quillon.1.gz"
               "${CMAKE_BINARY_DIR}/man/quillon-sim.1;man/quillon-sim.1.gz"
               "${CMAKE_BINARY_DIR}/man/ductra-probe.1;man/ductra-probe.1.gz"
               "${CMAKE_BINARY_DIR}/man/quillon-trace.1;man/quillon-trace.1.gz"
               "${CMAKE_SOURCE_DIR}/doc/changelog;doc/changelog.gz")
    list(GET pair 0 source)
    list(GET pair 1 output)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${output}
                       COMMAND sh -c "mkdir -p \"$(dirname \"$1\")\" && gzip -9n -c \"$0\" > \"$1\""
                               ${source} ${CMAKE_BINARY_DIR}/${output}
                       DEPENDS ${source} VERBATIM)
    list(APPEND gzipped ${CMAKE_BINARY_DIR}/${output})
  endforeach()
  add_custom_target(quillon_compressed_docs ALL DEPENDS ${gzipped})
  install(FILES ${CMAKE_BINARY_DIR}/man/quillon.1.gz ${CMAKE_BINARY_DIR}/man/quillon-sim.1.gz
                ${CMAKE_BINARY_DIR}/man/ductra-probe.1.gz
                ${CMAKE_BINARY_DIR}/man/quillon-trace.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${QUILLON_INSTALL_DOCS})
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME quillon)
endif()

if(QUILLON_UDEV_RULE)
  # Where Debian 12's udev reads packaged rules. Outside the default
  # component: a plain `cmake --install` leaves the system's udev alone;
  # `cmake --install <build> --component udev` installs it by hand.
  install(FILES ${QUILLON_UDEV_RULE} DESTINATION /lib/udev/rules.d COMPONENT udev EXCLUDE_FROM_ALL)
endif()

# --- Packages.

set(QUILLON_PACKAGE_MAINTAINER "quillon maintainers <quillon-maintainers@example.org>" CACHE STRING
    "Maintainer line of the Debian package: name <address> of whoever builds the site's release")

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILLON_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for submersible water-quality instruments")
set(CPACK_PACKAGE_DESCRIPTION
    "quillon talks to one instrument system attached by USB (a sonde behind a
communications module, or a handheld): it lists the devices on the bus,
prints a board's configuration record, resets boards, writes settings,
serial numbers and dates, and programs new firmware into a sensor board
through its bootloader.

quillon-sim is the same console on a virtual instrument, for training and
demos, with ready-made scenarios in /usr/share/quillon/scenarios.
quillon-trace reads the traces of what crossed the USB pipe that both
record when DUCTRA_TRACE names a file, and quillon-sim replays them.

ductra-probe tells why the instrument is not found and what to do next.

The package also holds the ductra USB pipe library (with its header and
pkg-config file, for a site's own tools) and a udev rule that gives the
logged-in user access to the instrument.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY quillon)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_NSIS_PACKAGE_NAME quillon)
  set(CPACK_NSIS_DISPLAY_NAME "quillon ${PROJECT_VERSION}")
  # A 64-bit installer, like the programs it installs.
  # No file times in the installer (the installed files take the time of
  # installation), so that the same files give the same installer.
  set(CPACK_NSIS_DEFINES "Target amd64-unicode\n  SetDateSave off")
  # The virtual instrument starts in demo\, whose firmware folder holds the
  # demo image for 'dl'; the program starts in the installation folder.
  set(CPACK_NSIS_CREATE_ICONS_EXTRA [[
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\quillon.lnk" "$INSTDIR\quillon.exe"
  SetOutPath "$INSTDIR\demo"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\quillon (virtual instrument).lnk" "$INSTDIR\quillon-sim.exe"
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\ductra-probe.lnk" "$SYSDIR\cmd.exe" "/k ductra-probe.exe"]])
  set(CPACK_NSIS_DELETE_ICONS_EXTRA [[
  Delete "$SMPROGRAMS\$MUI_TEMP\quillon.lnk"
  Delete "$SMPROGRAMS\$MUI_TEMP\quillon (virtual instrument).lnk"
  Delete "$SMPROGRAMS\$MUI_TEMP\ductra-probe.lnk"]])
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};quillon;ALL;/")
  if(QUILLON_UDEV_RULE)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};quillon;udev;/")
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The ldconfig trigger instead of ldconfig calls; the maintainer scripts
  # apply the udev rule to an instrument already plugged in.
  configure_file(${CMAKE_SOURCE_DIR}/cmake/debian/postinst.in ${CMAKE_BINARY_DIR}/debian/postinst @ONLY)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/postinst
      ${CMAKE_SOURCE_DIR}/cmake/debian/postrm ${CMAKE_SOURCE_DIR}/cmake/debian/triggers)
endif()

include(cmake/release.cmake)
include(CPack)
