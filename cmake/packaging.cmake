# What a site installs, and the packages made of it.
#
# Linux (GNUInstallDirs): quillon and quillon-sim in bin, finding their
# library through an RPATH relative to themselves ($ORIGIN/ and the way from
# bin to the library folder, e.g. ../lib/x86_64-linux-gnu) wherever the tree
# is put; libductra and libductra-sim with their SONAME; ductra.h and
# ductra.pc; the manual pages;
# README, SCENARIOS and the pages of doc/ under the doc folder, the changelog
# written from CHANGELOG.md; the ready-made scenarios and the
# demo firmware image under share/quillon; the udev rule in its own component.
# Windows: one folder: the programs beside their DLLs (which they import by
# name), README, CHANGELOG and SCENARIOS as text, the pages of doc\ as text,
# scenarios\ and demo\firmware\.
#
# The demo image sits in demo/firmware, never in a "firmware" folder that the
# real program would list for download: the virtual instrument is started in
# demo/ to find it.
#
# CPack makes a Debian package from a Linux build, and a zip and an NSIS
# installer from the Windows build (CMakePresets.json: packagePresets); the
# MSI is made from the zip's staged tree (cmake/msi.cmake, called by
# cmake/cpack/release_files.cmake), so it holds whatever the install rules
# install.

# The changelog, and the Debian package's Maintainer line that its entries carry.
include(${CMAKE_CURRENT_LIST_DIR}/changelog.cmake)

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
# the schemas of its jobs and its results (and the virtual instrument's of its scenarios); its
# page goes with the pages of doc/ and its manual page with the others.
install(TARGETS quillon-station quillon-station-sim RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})
if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/station/job.schema.json ${CMAKE_SOURCE_DIR}/station/result.schema.json
                ${CMAKE_SOURCE_DIR}/sim/scenario.schema.json
          DESTINATION ${QUILLON_INSTALL_DOCS})
else()
  set_target_properties(quillon-station quillon-station-sim
                        PROPERTIES INSTALL_RPATH "$ORIGIN/${QUILLON_BIN_TO_LIB}")
  install(FILES ${CMAKE_SOURCE_DIR}/station/job.schema.json ${CMAKE_SOURCE_DIR}/station/result.schema.json
                ${CMAKE_SOURCE_DIR}/sim/scenario.schema.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon)
endif()

# The instruments' history (Linux only): its program and manual page.
if(NOT WIN32)
  install(TARGETS quillon-history RUNTIME DESTINATION ${QUILLON_INSTALL_PROGRAMS})
endif()

# The reader's pages of doc/ go with the packages, beside the README that
# maps them (doc/ under the documents' folder, so that its links hold).
file(GLOB QUILLON_DOC_PAGES CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/doc/*.md)
list(SORT QUILLON_DOC_PAGES)
if(WIN32)
  # The documents as text with Windows line ends, for Notepad; a link to a
  # page names the page's .txt.
  foreach(doc README.md CHANGELOG.md sim/SCENARIOS.md ${QUILLON_DOC_PAGES})
    get_filename_component(name ${doc} NAME_WE)
    get_filename_component(folder ${doc} DIRECTORY)
    set(destination ${QUILLON_INSTALL_DOCS})
    if(folder STREQUAL "doc")
      set(destination doc)
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${doc})
    file(READ ${CMAKE_SOURCE_DIR}/${doc} text)
    string(REGEX REPLACE "(\\]\\([^)#]*)\\.md([)#])" "\\1.txt\\2" text "${text}")
    # SCENARIOS.txt lies beside README.txt.
    string(REGEX REPLACE "\\]\\(((\\.\\./)?)sim/SCENARIOS\\.txt" "](\\1SCENARIOS.txt" text "${text}")
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/doc/${destination}/${name}.txt "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/doc/${destination}/${name}.txt DESTINATION ${destination})
  endforeach()
else()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/sim/SCENARIOS.md
                ${CMAKE_BINARY_DIR}/doc/copyright DESTINATION ${QUILLON_INSTALL_DOCS})
  list(TRANSFORM QUILLON_DOC_PAGES PREPEND ${CMAKE_SOURCE_DIR}/)
  install(FILES ${QUILLON_DOC_PAGES} DESTINATION ${QUILLON_INSTALL_DOCS}/doc)

  # Manual pages (carrying the project's version) and the changelog,
  # compressed as Debian keeps them: gzip -9 with no name or time stamp, so
  # that the same source gives the same bytes.
  foreach(page quillon.1 quillon-sim.1 ductra-probe.1 quillon-trace.1 quillon-station.1
               quillon-history.1)
    configure_file(${CMAKE_SOURCE_DIR}/doc/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  endforeach()
  set(gzipped)
  foreach(pair "${CMAKE_BINARY_DIR}/man/quillon.1;man/quillon.1.gz"
               "${CMAKE_BINARY_DIR}/man/quillon-sim.1;man/quillon-sim.1.gz"
               "${CMAKE_BINARY_DIR}/man/ductra-probe.1;man/ductra-probe.1.gz"
               "${CMAKE_BINARY_DIR}/man/quillon-trace.1;man/quillon-trace.1.gz"
               "${CMAKE_BINARY_DIR}/man/quillon-station.1;man/quillon-station.1.gz"
               "${CMAKE_BINARY_DIR}/man/quillon-history.1;man/quillon-history.1.gz"
               "${QUILLON_DEBIAN_CHANGELOG};doc/changelog.gz")
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
                ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz
                ${CMAKE_BINARY_DIR}/man/quillon-history.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # quillon-station-sim takes the same options: one page for both.
  install(FILES ${CMAKE_BINARY_DIR}/man/quillon-station.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          RENAME quillon-station-sim.1.gz)
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
quillon-history keeps every station result and traced service session in
one database (SQLite, or a site's PostgreSQL server), asked by serial
number, with first-pass yield and an HTML report.

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
  # The Start-menu entries of both installers (the NSIS one and the MSI):
  # "name|program|folder it starts in|console", console ON for a console
  # window that stays open after the program ends. The virtual instrument
  # starts in demo\, whose firmware folder holds the demo image for 'dl';
  # the program starts in the installation folder.
  set(QUILLON_START_MENU
      "quillon|quillon.exe|.|OFF"
      "quillon (virtual instrument)|quillon-sim.exe|demo|OFF"
      "ductra-probe|ductra-probe.exe|.|ON")
  set(create "")
  set(delete "")
  foreach(entry IN LISTS QUILLON_START_MENU)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 program)
    list(GET fields 2 folder)
    list(GET fields 3 console)
    string(REPLACE "/" [[\]] program "${program}")
    string(REPLACE "/" [[\]] folder "${folder}")
    if(folder STREQUAL ".")
      string(APPEND create "\n  SetOutPath \"$INSTDIR\"")
    else()
      string(APPEND create "\n  SetOutPath \"$INSTDIR\\${folder}\"")
    endif()
    if(console)
      string(APPEND create "\n  CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\${name}.lnk\" \"$SYSDIR\\cmd.exe\" \"/k ${program}\"")
    else()
      string(APPEND create "\n  CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\${name}.lnk\" \"$INSTDIR\\${program}\"")
    endif()
    string(APPEND delete "\n  Delete \"$SMPROGRAMS\\$MUI_TEMP\\${name}.lnk\"")
  endforeach()
  string(APPEND create "\n  SetOutPath \"$INSTDIR\"")
  set(CPACK_NSIS_CREATE_ICONS_EXTRA "${create}")
  set(CPACK_NSIS_DELETE_ICONS_EXTRA "${delete}")
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
