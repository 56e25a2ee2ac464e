# The Windows Installer package (MSI) of a staged Windows tree, made with
# wixl (Debian's msitools). Run as a script:
#
#   cmake -DSTAGING=<folder> -DOUTPUT=<file.msi> -DVERSION=<a.b.c>
#         [-DEPOCH=<seconds>] [-DWIXL=<wixl>] [-DHELP_LINK=<url>]
#         [-DMANUFACTURER=<name>] [-DSHORTCUTS=<list>] -P cmake/msi.cmake
#
# The package cpack's windows preset makes calls it on the tree it staged for
# the zip (cmake/cpack/release_files.cmake), so every file the zip holds is in
# the MSI too. What the package is:
#   - per machine, into Program Files\quillon (INSTALLDIR may name another
#     folder on the msiexec command line), one feature, no custom actions;
#   - the Start-menu entries of SHORTCUTS ("name|program|folder|console"
#     entries as cmake/packaging.cmake lists them for both installers);
#   - the installed apps' entry: publisher, version, help link, uninstall
#     (no modify: there is nothing to choose);
#   - one upgrade code for every release: a later version removes the
#     earlier one and installs in its place (major upgrade); an earlier
#     version refuses to install over a later one.
#
# The same tree gives the same bytes: the product, package and component
# codes are name-based UUIDs (of the version, of the files' contents, of the
# installed paths), the files in the cabinet carry the time EPOCH (default
# SOURCE_DATE_EPOCH), and so does the summary information, whose times and
# package code wixl would take from the clock.
cmake_minimum_required(VERSION 3.25)

foreach(required STAGING OUTPUT VERSION)
  if("${${required}}" STREQUAL "")
    message(FATAL_ERROR "msi.cmake: -D${required}=... is missing")
  endif()
endforeach()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "The MSI's version \"${VERSION}\" is not three numbers (MAJOR.MINOR.PATCH)")
endif()
if("${EPOCH}" STREQUAL "")
  set(EPOCH "$ENV{SOURCE_DATE_EPOCH}")
endif()
if(NOT EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "The MSI needs a time stamp: set SOURCE_DATE_EPOCH or -DEPOCH")
endif()
if("${WIXL}" STREQUAL "")
  find_program(WIXL wixl)
endif()
find_program(MSIINFO msiinfo)
find_program(PERL perl)
if(NOT WIXL OR NOT MSIINFO)
  message(FATAL_ERROR "No wixl for the MSI: install the Debian packages wixl and msitools")
endif()
if("${HELP_LINK}" STREQUAL "")
  set(HELP_LINK "https://example.org/quillon")
endif()
if("${MANUFACTURER}" STREQUAL "")
  set(MANUFACTURER quillon)
endif()

# Fixed for every release: the family the major upgrade finds earlier
# versions of, and the namespace of the name-based codes below.
set(upgrade_code "6D3C1E0A-5B7F-4C8E-9A21-3F0E7D5B9C42")
set(namespace "A2F07C36-8E4D-4B19-B5C0-71D9E3A6F084")

# quillon_msi_code(VAR NAME): the UUID of NAME in the namespace, in braces.
function(quillon_msi_code var name)
  string(UUID code NAMESPACE ${namespace} NAME "${name}" TYPE SHA1 UPPER)
  set(${var} "${code}" PARENT_SCOPE)
endfunction()
# quillon_msi_id(VAR KIND PATH): a table key for an installed path (the path
# itself may hold characters a key may not).
function(quillon_msi_id var kind path)
  string(SHA1 digest "${kind}:${path}")
  string(SUBSTRING "${digest}" 0 24 digest)
  set(${var} "${kind}${digest}" PARENT_SCOPE)
endfunction()
function(quillon_xml var text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  string(REPLACE ">" "&gt;" text "${text}")
  string(REPLACE "\"" "&quot;" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# The files as the cabinet stores them: a copy of the tree with one time.
get_filename_component(OUTPUT "${OUTPUT}" ABSOLUTE)
set(work "${OUTPUT}.work")
set(files "${work}/files")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${files}")
file(COPY "${STAGING}/" DESTINATION "${files}")
execute_process(COMMAND find "${files}" -exec touch -h -d @${EPOCH} {} +
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Could not set the time of the files in ${files}")
endif()

# The directory tree, its files one component each (the file its key path),
# in path order. The component code follows the installed path, as Windows
# Installer's component rules want.
set(component_refs "")
set(contents "")
function(quillon_msi_directory var relative indent)
  set(xml "")
  if(relative STREQUAL "")
    set(folder "${files}")
  else()
    set(folder "${files}/${relative}")
  endif()
  file(GLOB entries LIST_DIRECTORIES true RELATIVE "${folder}" "${folder}/*")
  list(SORT entries)
  foreach(entry IN LISTS entries)
    if(relative STREQUAL "")
      set(path "${entry}")
    else()
      set(path "${relative}/${entry}")
    endif()
    quillon_xml(name "${entry}")
    if(IS_DIRECTORY "${files}/${path}")
      quillon_msi_id(id d "${path}")
      quillon_msi_directory(inner "${path}" "${indent}  ")
      string(APPEND xml "${indent}<Directory Id=\"${id}\" Name=\"${name}\">\n${inner}${indent}</Directory>\n")
    else()
      quillon_msi_id(component c "${path}")
      quillon_msi_id(file_id f "${path}")
      quillon_msi_code(guid "component:${path}")
      file(SHA256 "${files}/${path}" digest)
      list(APPEND contents "${path}=${digest}")
      quillon_xml(source "files/${path}")
      string(APPEND xml "${indent}<Component Id=\"${component}\" Guid=\"${guid}\" Win64=\"yes\">\n"
                        "${indent}  <File Id=\"${file_id}\" Name=\"${name}\" Source=\"${source}\" KeyPath=\"yes\"/>\n"
                        "${indent}</Component>\n")
      list(APPEND component_refs "      <ComponentRef Id=\"${component}\"/>")
    endif()
  endforeach()
  set(${var} "${xml}" PARENT_SCOPE)
  set(component_refs "${component_refs}" PARENT_SCOPE)
  set(contents "${contents}" PARENT_SCOPE)
endfunction()
quillon_msi_directory(tree "" "          ")

# The Start-menu entries, in a folder of their own that goes with them.
set(shortcuts_xml "")
set(index 0)
foreach(entry IN LISTS SHORTCUTS)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 program)
  list(GET fields 2 folder)
  list(GET fields 3 console)
  if(NOT EXISTS "${files}/${program}")
    message(FATAL_ERROR "Start-menu entry \"${name}\": ${program} is not in ${STAGING}")
  endif()
  if(folder STREQUAL ".")
    set(working INSTALLDIR)
  else()
    quillon_msi_id(working d "${folder}")
  endif()
  math(EXPR index "${index} + 1")
  quillon_xml(name "${name}")
  string(REPLACE "/" "\\" program "${program}")
  if(console)
    # A console that stays open after the program ends, to read its report.
    set(target "[System64Folder]cmd.exe\" Arguments=\"/k ${program}")
  else()
    set(target "[INSTALLDIR]${program}")
  endif()
  string(APPEND shortcuts_xml
         "        <Shortcut Id=\"Shortcut${index}\" Name=\"${name}\" Target=\"${target}\" WorkingDirectory=\"${working}\"/>\n")
endforeach()
quillon_msi_code(menu_guid "component:start menu")

# Product code: one per version. Package code: one per distinct package.
quillon_msi_code(product_code "product:${VERSION}")
list(JOIN contents "\n" contents)
string(SHA256 contents_digest "${VERSION}\n${HELP_LINK}\n${SHORTCUTS}\n${contents}")
quillon_msi_code(package_code "package:${contents_digest}")

quillon_xml(help_link "${HELP_LINK}")
quillon_xml(manufacturer "${MANUFACTURER}")
list(JOIN component_refs "\n" component_refs)
file(WRITE "${work}/quillon.wxs" "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">
  <Product Id=\"${product_code}\" Name=\"quillon\" Language=\"1033\" Version=\"${VERSION}\"
           Manufacturer=\"${manufacturer}\" UpgradeCode=\"${upgrade_code}\">
    <Package Id=\"${package_code}\" InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"perMachine\"
             Description=\"quillon ${VERSION}\" Comments=\"service console for submersible water-quality instruments\"/>
    <MajorUpgrade DowngradeErrorMessage=\"A later version of quillon is already installed.\"/>
    <Media Id=\"1\" Cabinet=\"quillon.cab\" EmbedCab=\"yes\"/>
    <Property Id=\"ARPHELPLINK\" Value=\"${help_link}\"/>
    <Property Id=\"ARPURLINFOABOUT\" Value=\"${help_link}\"/>
    <Property Id=\"ARPNOMODIFY\" Value=\"1\"/>
    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">
      <Directory Id=\"ProgramFiles64Folder\">
        <Directory Id=\"INSTALLDIR\" Name=\"quillon\">
${tree}        </Directory>
      </Directory>
      <Directory Id=\"System64Folder\"/>
      <Directory Id=\"ProgramMenuFolder\">
        <Directory Id=\"QuillonMenu\" Name=\"quillon\"/>
      </Directory>
    </Directory>
    <DirectoryRef Id=\"QuillonMenu\">
      <Component Id=\"StartMenu\" Guid=\"${menu_guid}\" Win64=\"yes\">
${shortcuts_xml}        <RemoveFolder Id=\"QuillonMenu\" On=\"uninstall\"/>
        <RegistryValue Root=\"HKLM\" Key=\"Software\\quillon\" Name=\"StartMenu\" Type=\"integer\" Value=\"1\" KeyPath=\"yes\"/>
      </Component>
    </DirectoryRef>
    <Feature Id=\"Complete\" Title=\"quillon\" Level=\"1\">
${component_refs}
      <ComponentRef Id=\"StartMenu\"/>
    </Feature>
  </Product>
</Wix>
")

file(REMOVE "${OUTPUT}")
execute_process(COMMAND "${WIXL}" -a x64 -o "${OUTPUT}" "${work}/quillon.wxs"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "wixl failed on ${work}/quillon.wxs:\n${output}")
endif()

# The summary information: wixl writes the clock's time as the creation and
# last-save time and a random package code. Both become the build's own: the
# time EPOCH as a FILETIME (100 ns since 1601), the package code above. The
# values are replaced where they stand (same length), then read back.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC "${MSIINFO}" suminfo "${OUTPUT}" OUTPUT_VARIABLE summary)
if(NOT summary MATCHES "Revision number \\(UUID\\): ({[0-9A-F-]+})")
  message(FATAL_ERROR "No package code in the summary information of ${OUTPUT}:\n${summary}")
endif()
set(written_code "${CMAKE_MATCH_1}")
if(NOT PERL)
  message(FATAL_ERROR "The MSI needs perl (Debian's perl-base)")
endif()
execute_process(
  COMMAND "${PERL}" -e [=[
    my ($file, $old_code, $new_code, $epoch) = @ARGV;
    open(my $fh, '+<:raw', $file) or die "$file: $!\n";
    local $/; my $data = <$fh>;
    my $codes = () = $data =~ s/\Q$old_code\E/$new_code/g;
    # A FILETIME property: type VT_FILETIME (64), then 8 bytes, within a day
    # of now: the two times wixl wrote.
    my $now = time();
    my $times = 0;
    $data =~ s{\x40\x00\x00\x00(.{8})}{
      my ($low, $high) = unpack('VV', $1);
      my $seconds = ($high * 4294967296 + $low) / 10000000 - 11644473600;
      if (abs($seconds - $now) < 86400) {
        $times++;
        my $ft = ($epoch + 11644473600) * 10000000;
        "\x40\x00\x00\x00" . pack('VV', $ft % 4294967296, int($ft / 4294967296));
      } else { "\x40\x00\x00\x00$1" }
    }gse;
    die "package code found $codes times, times found $times times\n" unless $codes == 1 && $times == 2;
    seek($fh, 0, 0); print $fh $data; close($fh) or die "$file: $!\n";
  ]=] "${OUTPUT}" "${written_code}" "{${package_code}}" "${EPOCH}"
  RESULT_VARIABLE result ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Could not set the summary information of ${OUTPUT}: ${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC "${MSIINFO}" suminfo "${OUTPUT}" OUTPUT_VARIABLE summary)
execute_process(COMMAND date -u -d @${EPOCH} "+%a %b %e %H:%M:%S %Y" OUTPUT_VARIABLE stamp
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT summary MATCHES "Revision number \\(UUID\\): {${package_code}}" OR
   NOT summary MATCHES "Created: ${stamp}")
  message(FATAL_ERROR "The summary information of ${OUTPUT} did not take the build's values:\n${summary}")
endif()
file(REMOVE_RECURSE "${work}")
