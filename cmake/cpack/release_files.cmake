# Run by cpack after it has made a package, before it copies the package to
# the package folder (CPACK_POST_BUILD_SCRIPTS). With the zip, the MSI is
# made from the same staged tree (cmake/msi.cmake). For each package made:
#   - the installer and the MSI are signed when the site gave its certificate;
#   - NAME.spdx.json: its bill of materials (SPDX 2.3): the package, every
#     file it installs with its checksums, the project's own components, and
#     the third-party components inside it or required by it;
#   - SHA256SUMS in the package folder gains (or renews) its line and the
#     line of its bill of materials, in the format `sha256sum -c` reads.
include(${CMAKE_CURRENT_LIST_DIR}/authenticode.cmake)

# The project's own components: name, what it is, the installed files that
# belong to it (a regular expression on the path inside the package).
set(quillon_components
    "quillon|APPLICATION|the service console|(^|/)(bin/)?quillon(\\.exe)?$|man1/quillon\\.1"
    "quillon-sim|APPLICATION|the service console on the virtual instrument|(^|/)(bin/)?quillon-sim(\\.exe)?$|man1/quillon-sim\\.1|scenarios/|scenario\\.schema\\.json$|demo/"
    "quillon-trace|APPLICATION|the reader of field traces|(^|/)(bin/)?quillon-trace(\\.exe)?$|man1/quillon-trace\\.1"
    "quillon-station|APPLICATION|the factory station|(^|/)(bin/)?quillon-station(-sim)?(\\.exe)?$|man1/quillon-station|job\\.schema\\.json$|station\\.(md|txt)$"
    "ductra-probe|APPLICATION|the probe of the instrument's USB connection|(^|/)(bin/)?ductra-probe(\\.exe)?$|man1/ductra-probe\\.1"
    "ductra|LIBRARY|the USB pipe library|libductra\\.so|(^|/)ductra\\.dll$|ductra\\.h$|ductra\\.pc$|libductra\\.dll\\.a$|70-ductra\\.rules$"
    "ductra-sim|LIBRARY|the virtual instrument|libductra-sim\\.so|ductra-sim\\.dll$")

# quillon_json_string(VAR TEXT): TEXT as a JSON string literal (a ";" in
# TEXT splits it into arguments, which are joined again).
function(quillon_json_string var)
  list(JOIN ARGN ";" text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  string(REPLACE "\t" "\\t" text "${text}")
  set(${var} "\"${text}\"" PARENT_SCOPE)
endfunction()

# quillon_json_object(VAR KEY VALUE ...): an object of string members.
function(quillon_json_object var)
  set(members "")
  set(args ${ARGN})
  list(LENGTH args count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET args ${i} key)
    list(GET args ${j} value)
    quillon_json_string(value "${value}")
    list(APPEND members "\"${key}\": ${value}")
  endforeach()
  list(JOIN members ", " members)
  set(${var} "{${members}}" PARENT_SCOPE)
endfunction()

# quillon_spdx_id(VAR TEXT): TEXT made into the characters an SPDX id may hold.
function(quillon_spdx_id var text)
  string(REGEX REPLACE "[^A-Za-z0-9.-]" "-" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# The third-party components: those the build recorded (compiled or linked
# in), and for a Debian package those its Depends line requires, with the
# version installed on the build machine.
function(quillon_third_party_components var package)
  set(records ${CPACK_QUILLON_THIRD_PARTY})
  if(package MATCHES "\\.deb$")
    execute_process(COMMAND dpkg-deb -f ${package} Depends OUTPUT_VARIABLE depends
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "," ";" depends "${depends}")
    foreach(dependency IN LISTS depends)
      string(REGEX REPLACE "^ *([^ (|]+).*" "\\1" name "${dependency}")
      execute_process(COMMAND dpkg-query -W -f=\${Version} ${name} OUTPUT_VARIABLE version
                      ERROR_QUIET)
      set(license NOASSERTION)
      foreach(known IN LISTS CPACK_QUILLON_KNOWN_LICENSES)
        string(FIND "${known}" "${name}=" at)
        if(at EQUAL 0)
          string(LENGTH "${name}=" skip)
          string(SUBSTRING "${known}" ${skip} -1 license)
        endif()
      endforeach()
      if(version STREQUAL "")
        set(version NOASSERTION)
      endif()
      list(APPEND records
           "${name}|${version}|${name}|${version}|${license}|required|required by the package (its Depends line)")
    endforeach()
  endif()
  set(${var} "${records}" PARENT_SCOPE)
endfunction()

function(quillon_write_sbom package staging)
  get_filename_component(package_name ${package} NAME)
  file(SHA256 ${package} package_sha256)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)  # follows SOURCE_DATE_EPOCH
  set(root SPDXRef-Package)

  # Every file the package installs, in path order.
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${staging} ${staging}/*)
  if(package MATCHES "\\.deb$")
    # Beside the installed tree lie the package's control files and archives.
    list(FILTER files INCLUDE REGEX "/")
  endif()
  list(SORT files)
  set(file_entries "")
  set(file_ids "")
  set(sha1_list "")
  set(relationships "")
  set(index 0)
  foreach(path IN LISTS files)
    math(EXPR index "${index} + 1")
    file(SHA1 ${staging}/${path} sha1)
    file(SHA256 ${staging}/${path} sha256)
    list(APPEND sha1_list ${sha1})
    set(id SPDXRef-File-${index})
    list(APPEND file_ids "\"${id}\"")
    quillon_json_string(name "./${path}")
    list(APPEND file_entries
         "    {\"SPDXID\": \"${id}\", \"fileName\": ${name}, \"checksums\": [{\"algorithm\": \"SHA1\", \"checksumValue\": \"${sha1}\"}, {\"algorithm\": \"SHA256\", \"checksumValue\": \"${sha256}\"}], \"licenseConcluded\": \"NOASSERTION\", \"copyrightText\": \"NOASSERTION\"}")
    foreach(component IN LISTS quillon_components)
      string(REPLACE "|" ";" fields "${component}")
      list(GET fields 0 component_name)
      list(SUBLIST fields 3 -1 patterns)
      list(JOIN patterns "|" pattern)
      if(path MATCHES "${pattern}")
        list(APPEND relationships
             "{\"spdxElementId\": \"SPDXRef-Component-${component_name}\", \"relationshipType\": \"CONTAINS\", \"relatedSpdxElement\": \"${id}\"}")
      endif()
    endforeach()
  endforeach()
  # The package verification code: the SHA-1 of the files' sorted SHA-1s.
  list(SORT sha1_list)
  list(JOIN sha1_list "" joined)
  string(SHA1 verification "${joined}")

  set(license "${CPACK_QUILLON_LICENSE}")
  set(packages "")
  quillon_json_string(summary "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}")
  quillon_json_string(supplier "Organization: ${CPACK_PACKAGE_CONTACT}")
  list(JOIN file_ids ", " has_files)
  list(APPEND packages
       "    {\"SPDXID\": \"${root}\", \"name\": \"${CPACK_PACKAGE_NAME}\", \"versionInfo\": \"${CPACK_PACKAGE_VERSION}\", \"packageFileName\": \"${package_name}\", \"supplier\": ${supplier}, \"downloadLocation\": \"NOASSERTION\", \"filesAnalyzed\": true, \"packageVerificationCode\": {\"packageVerificationCodeValue\": \"${verification}\"}, \"checksums\": [{\"algorithm\": \"SHA256\", \"checksumValue\": \"${package_sha256}\"}], \"licenseConcluded\": \"${license}\", \"licenseDeclared\": \"${license}\", \"copyrightText\": \"NOASSERTION\", \"summary\": ${summary}, \"primaryPackagePurpose\": \"INSTALL\", \"hasFiles\": [${has_files}]}")
  list(APPEND relationships
       "{\"spdxElementId\": \"SPDXRef-DOCUMENT\", \"relationshipType\": \"DESCRIBES\", \"relatedSpdxElement\": \"${root}\"}")

  set(binaries "")
  foreach(component IN LISTS quillon_components)
    string(REPLACE "|" ";" fields "${component}")
    list(GET fields 0 name)
    list(GET fields 1 purpose)
    list(GET fields 2 what)
    quillon_json_string(what "${what}")
    list(APPEND packages
         "    {\"SPDXID\": \"SPDXRef-Component-${name}\", \"name\": \"${name}\", \"versionInfo\": \"${CPACK_PACKAGE_VERSION}\", \"supplier\": ${supplier}, \"downloadLocation\": \"NOASSERTION\", \"filesAnalyzed\": false, \"licenseConcluded\": \"${license}\", \"licenseDeclared\": \"${license}\", \"copyrightText\": \"NOASSERTION\", \"summary\": ${what}, \"primaryPackagePurpose\": \"${purpose}\"}")
    list(APPEND relationships
         "{\"spdxElementId\": \"${root}\", \"relationshipType\": \"CONTAINS\", \"relatedSpdxElement\": \"SPDXRef-Component-${name}\"}")
    list(APPEND binaries ${name})
  endforeach()

  quillon_third_party_components(third_party ${package})
  foreach(record IN LISTS third_party)
    string(REPLACE "|" ";" fields "${record}")
    list(GET fields 0 name)
    list(GET fields 1 version)
    list(GET fields 2 debian_package)
    list(GET fields 3 debian_version)
    list(GET fields 4 component_license)
    list(GET fields 5 relation)
    list(GET fields 6 comment)
    quillon_spdx_id(id "SPDXRef-ThirdParty-${name}")
    quillon_json_string(comment "${comment}, from the Debian package ${debian_package} ${debian_version} of the build machine")
    set(purl "pkg:deb/debian/${debian_package}@${debian_version}")
    quillon_json_string(purl "${purl}")
    list(APPEND packages
         "    {\"SPDXID\": \"${id}\", \"name\": \"${name}\", \"versionInfo\": \"${version}\", \"downloadLocation\": \"NOASSERTION\", \"filesAnalyzed\": false, \"licenseConcluded\": \"NOASSERTION\", \"licenseDeclared\": \"${component_license}\", \"copyrightText\": \"NOASSERTION\", \"comment\": ${comment}, \"externalRefs\": [{\"referenceCategory\": \"PACKAGE-MANAGER\", \"referenceType\": \"purl\", \"referenceLocator\": ${purl}}]}")
    if(relation STREQUAL "required")
      list(APPEND relationships
           "{\"spdxElementId\": \"${root}\", \"relationshipType\": \"DEPENDS_ON\", \"relatedSpdxElement\": \"${id}\"}")
    else()
      # "static:A,B" or "static:*": linked into those components.
      string(REGEX REPLACE "^static:" "" targets "${relation}")
      if(targets STREQUAL "*")
        set(targets ${CPACK_QUILLON_BINARY_COMPONENTS})
      else()
        string(REPLACE "," ";" targets "${targets}")
      endif()
      foreach(target IN LISTS targets)
        list(APPEND relationships
             "{\"spdxElementId\": \"SPDXRef-Component-${target}\", \"relationshipType\": \"STATIC_LINK\", \"relatedSpdxElement\": \"${id}\"}")
      endforeach()
    endif()
  endforeach()

  list(JOIN packages ",\n" packages)
  list(JOIN file_entries ",\n" file_entries)
  list(TRANSFORM relationships PREPEND "    ")
  list(JOIN relationships ",\n" relationships)
  quillon_json_string(creator_tool "Tool: cpack ${CMAKE_VERSION} with the quillon release scripts")
  file(WRITE ${CPACK_PACKAGE_DIRECTORY}/${package_name}.spdx.json
"{
  \"spdxVersion\": \"SPDX-2.3\",
  \"dataLicense\": \"CC0-1.0\",
  \"SPDXID\": \"SPDXRef-DOCUMENT\",
  \"name\": \"${package_name}\",
  \"documentNamespace\": \"https://spdx.org/spdxdocs/${package_name}-${package_sha256}\",
  \"creationInfo\": {\"created\": \"${created}\", \"creators\": [${creator_tool}]},
  \"packages\": [
${packages}
  ],
  \"files\": [
${file_entries}
  ],
  \"relationships\": [
${relationships}
  ]
}
")
endfunction()

# SHA256SUMS: the lines of the files just made replace their old lines; the
# lines of files no longer in the folder go.
function(quillon_update_sums)
  set(folder ${CPACK_PACKAGE_DIRECTORY})
  set(sums ${folder}/SHA256SUMS)
  set(lines "")
  if(EXISTS ${sums})
    file(STRINGS ${sums} old)
    foreach(line IN LISTS old)
      string(REGEX REPLACE "^[0-9a-f]+  " "" name "${line}")
      if(NOT name IN_LIST ARGN AND EXISTS ${folder}/${name})
        list(APPEND lines "${line}")
      endif()
    endforeach()
  endif()
  foreach(name IN LISTS ARGN)
    list(APPEND lines "${QUILLON_SUM_${name}}  ${name}")
  endforeach()
  # By name (a package before its bill of materials).
  set(sorted "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^([0-9a-f]+)  (.*)$" "\\2 \\1" line "${line}")
    list(APPEND sorted "${line}")
  endforeach()
  list(SORT sorted)
  set(text "")
  foreach(line IN LISTS sorted)
    string(REGEX REPLACE "^(.*) ([0-9a-f]+)$" "\\2  \\1" line "${line}")
    string(APPEND text "${line}\n")
  endforeach()
  file(WRITE ${sums} "${text}")
endfunction()

# The MSI: made with the zip from the tree staged for the zip, so that it
# holds the same files; cpack does not know it, so it goes to the package
# folder from here.
set(packages ${CPACK_PACKAGE_FILES})
set(msi "")
if(CPACK_QUILLON_MSI_SCRIPT AND CPACK_PACKAGE_FILES MATCHES "\\.zip$")
  set(msi ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DSTAGING=${CPACK_TEMPORARY_DIRECTORY} -DOUTPUT=${msi}
            -DVERSION=${CPACK_PACKAGE_VERSION} -DWIXL=${CPACK_QUILLON_WIXL}
            -DMANUFACTURER=${CPACK_PACKAGE_VENDOR} -DHELP_LINK=${CPACK_QUILLON_HELP_LINK}
            "-DSHORTCUTS=${CPACK_QUILLON_START_MENU}" -P ${CPACK_QUILLON_MSI_SCRIPT}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "The MSI was not made (see above)")
  endif()
  list(APPEND packages ${msi})
endif()

set(made "")
foreach(package IN LISTS packages)
  if(package MATCHES "\\.(exe|msi)$" AND CPACK_QUILLON_SIGN_PKCS12)
    quillon_authenticode_sign(${package})
  endif()
  if(package STREQUAL msi)
    file(COPY ${msi} DESTINATION ${CPACK_PACKAGE_DIRECTORY})
    message(STATUS "- package: ${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi generated.")
  endif()
  quillon_write_sbom(${package} ${CPACK_TEMPORARY_DIRECTORY})
  get_filename_component(name ${package} NAME)
  file(SHA256 ${package} QUILLON_SUM_${name})
  file(SHA256 ${CPACK_PACKAGE_DIRECTORY}/${name}.spdx.json QUILLON_SUM_${name}.spdx.json)
  list(APPEND made ${name} ${name}.spdx.json)
endforeach()
quillon_update_sums(${made})
