#!/usr/bin/env bash
# The packages a site installs, built from the linux and windows build trees
# and used as a technician would use them:
#   Debian:  lintian finds no error; the package, extracted into an empty
#            folder, runs quillon-sim on its own library and lists the default
#            instrument; its udev rule holds the configured USB ids, and the
#            rule written for real-looking ids matches them; ductra-probe gives
#            the verdict expected on the build machine (1 without a USB
#            subsystem, else 2), line and exit code.
#   Windows: every program and DLL carries the version resource; the zip,
#            unpacked into an empty folder, runs quillon-sim.exe under wine, and
#            its ductra-probe.exe gives verdict 2 there (wine has no device of
#            the build's interface class), line and exit code; the
#            installer installs silently into a given folder with its Start-menu
#            entries (ductra-probe's among them) and uninstaller, the installed quillon-sim.exe runs, and the
#            uninstaller removes it all again.
#   MSI:     its tables and a consistency pass over them; installed silently
#            with msiexec into Program Files, with its Start-menu entries and
#            installed-apps entry, quillon-sim.exe and ductra-probe.exe run;
#            a second MSI of a higher version made from the same staged files
#            upgrades it in place; msiexec /x leaves nothing behind.
#   Also:    the relative links of the pages, the changelog (its top entry
#            the configure holds to the version, every Debian entry read by
#            dpkg-parsechangelog), the version checks of the
#            configure and of the MSI script, the support programs' --version.
# Needs the linux and windows presets configured and built (./test.sh does
# that before). Ends with "N passed, M failed" and exits non-zero on a failure.
set -uo pipefail
cd "$(dirname "$0")/.."
top=$PWD
packages=$top/build/packages
scratch=$packages/test
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/quillon-wine-$(id -u)}"

passed=0
failed=0
check() { # check NAME COMMAND...: one assertion, reported by name
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
    fi
}
contains() { [[ "$1" == *"$2"* ]]; }
ends_with() { [[ "$1" == *"$2" ]]; }
equals() {
    [ "$1" == "$2" ] && return 0
    printf 'got:      %s\nexpected: %s\n' "$1" "$2"
    return 1
}
show() { # show TITLE TEXT: a transcript, indented
    echo "--- $1"
    printf '%s\n' "$2" | sed 's/^/  | /'
}

# A package's bill of materials against the files it installs: the same
# names with the same SHA-256 (LEFT_OUT: a file the installer makes itself).
listed_files() { # listed_files SBOM
    jq -r '.files[] | (.checksums[] | select(.algorithm == "SHA256") | .checksumValue) + "  " + .fileName' "$1" |
        LC_ALL=C sort -k2
}
tree_files() { # tree_files FOLDER [LEFT_OUT]
    (cd "$1" && find . \( -type f -o -type l \) ! -name "${2:-/}" -print0 | LC_ALL=C sort -z |
        xargs -0 sha256sum | LC_ALL=C sort -k2)
}
check_sbom() { # check_sbom PACKAGE FOLDER [LEFT_OUT]
    local sbom=$1.spdx.json name
    name=$(basename "$sbom")
    check "$name is an SPDX 2.3 document" equals "$(jq -r .spdxVersion "$sbom" 2>&1)" SPDX-2.3
    check "$name holds the package's SHA-256" \
        equals "$(jq -r '.packages[0].checksums[0].checksumValue' "$sbom")" "$(sha256sum <"$1" | cut -d' ' -f1)"
    check "$name lists every file the package installs, with its SHA-256" \
        equals "$(listed_files "$sbom")" "$(tree_files "$2" "${3:-}")"
}
third_party() { # third_party SBOM: "name version licence" of each third-party component
    jq -r '.packages[] | select(.SPDXID | startswith("SPDXRef-ThirdParty-")) | "\(.name) \(.versionInfo) \(.licenseDeclared)"' "$1"
}
# The time stamp the packages were made with, from a bill of materials.
package_epoch() { date -u -d "$(jq -r .creationInfo.created "$1")" +%s; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' build/linux/CMakeCache.txt)
echo "project version: $version, library folder: /usr/$libdir"

# What quillon-sim prints on the default instrument up to the top menu's
# prompt, where the answer q ends it.
top_menu=$'\'m\' for main board\n\'s\' for sensor board\n\'h\' for Vantor Handheld\n\'c\' for Com Module\n\'q\' to quit\n'
listing=$'Got 0 bytes in first read.\nTest TAVI channel\nLimnora Quillon Program version ALPHA Version 1.6: 7/8/2022.\nOnly one Com Module or one Vantor LX can be connected to USB at any time\n\n\n\tSelect an option and press <Enter>\n'"$top_menu"$'\n\n\nlooking up sensors...Currently connected LX system\nDevice Address: 0,  LX7 sonde \nDevice Address: 1,  Conductivity \nDevice Address: 2,  pH/ORP \nDevice Address: 3,  KDO \nDevice Address: 4,  Turbidity/brush \nDevice Address: 5,  Chlorophyll a \nDevice Address: 6,  Depth 25m \n\nI just told the sonde to stay awake for an hour.  \nTo save battery power, reset sonde or remove the battery.\n\nService choice: '
check_verdict() { # check_verdict WHAT OUTPUT EXIT_CODE VERDICT_LINE VERDICT_CODE: the verdict expected here
    show "$1 (exit code $3)" "$2"
    check "$1: exit code $5" equals "$3" "$5"
    check "$1: the last line is \"$4\"" equals "$(tail -n1 <<<"$2")" "$4"
}
check_listing() { # check_listing WHAT OUTPUT EXIT_CODE
    show "$1 (exit code $3)" "$2"
    check "$1: exit code 0 after q" equals "$3" 0
    check "$1: the default instrument's listing up to the prompt" ends_with "$2" "$listing"
}

rm -rf "$scratch"
mkdir -p "$scratch"

# The reproducibility check below builds the same source again in another
# folder, of another name, without the tests. That build compiles in the
# background while the checks before it run: they wait on dpkg, lintian and
# wine, one core at a time, and leave the other to the compiler.
second=$(mktemp -d "${TMPDIR:-/tmp}/quillon-second-build.XXXXXX")
second_pid=
trap '[ -z "$second_pid" ] || kill "$second_pid" 2>/dev/null; rm -rf "$second"' EXIT
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
    (cd "$top" && git ls-files -z --cached --others --exclude-standard |
        xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh | tar --null -T - -cf -) |
        tar -xf - -C "$second"
else
    (cd "$top" && tar --exclude=./build -cf - .) | tar -xf - -C "$second"
fi
jobs=${QUILLON_JOBS:-2}
(
    for preset in linux windows; do
        (cd "$second" && cmake --preset $preset -DQUILLON_TESTS=OFF && cmake --build --preset $preset -j"$jobs") \
            >"$scratch/second-$preset.log" 2>&1 || echo failed >"$scratch/second-$preset.failed"
    done
) </dev/null &
second_pid=$!

echo "=== pages and version ==="
check "every relative link of README.md, CHANGELOG.md and doc/ resolves" scripts/check_links.sh
check "CHANGELOG.md's top entry is this version" \
    equals "$(grep -m1 '^## ' CHANGELOG.md | cut -d' ' -f2)" "$version"
# A release version that is not three numbers stops the configure, before
# any compiler is looked for, with one line that says why.
mkdir -p "$scratch/bad-version"
sed 's/^set(QUILLON_RELEASE .*)$/set(QUILLON_RELEASE 1.1)/' CMakeLists.txt >"$scratch/bad-version/CMakeLists.txt"
output=$(cmake -S "$scratch/bad-version" -B "$scratch/bad-version/build" 2>&1)
code=$?
show "configure with the version 1.1" "$(grep -v '^$' <<<"$output")"
check "a version of two numbers stops the configure" test "$code" -ne 0
check "... with one line that names it" contains "$output" $'\n  Version "1.1" is not three numbers MAJOR.MINOR.PATCH\n'
# A release whose CHANGELOG.md has no entry for it on top stops the
# configure, with the line that names both versions.
mkdir -p "$scratch/bad-changelog"
sed "s/^## $version (/## 0.9.9 (/" CHANGELOG.md >"$scratch/bad-changelog/CHANGELOG.md"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(quillon VERSION %s LANGUAGES NONE)\ninclude(%s)\n' \
    "$version" "$top/cmake/changelog.cmake" >"$scratch/bad-changelog/CMakeLists.txt"
output=$(cmake -S "$scratch/bad-changelog" -B "$scratch/bad-changelog/build" 2>&1)
code=$?
show "configure with CHANGELOG.md's top entry 0.9.9" "$(grep -v '^$' <<<"$output")"
check "a CHANGELOG.md whose top entry is not this version stops the configure" test "$code" -ne 0
check "... with the line that names both versions" contains "$(tr '\n' ' ' <<<"$output" | tr -s ' ')" \
    "CHANGELOG.md's top entry is 0.9.9, the project's version $version: add the release's entry"
output=$(env PATH=/nonexistent "$(command -v cmake)" -DSTAGING=/nonexistent -DOUTPUT="$scratch/none.msi" \
    -DVERSION="$version" -DEPOCH=1 -P cmake/msi.cmake 2>&1)
code=$?
check "the MSI without wixl stops" test "$code" -ne 0
check "... with one line that names the packages to install" \
    ends_with "$output" $'(message):\n  No wixl for the MSI: install the Debian packages wixl and msitools'
check "an MSI version that is not three numbers is refused" bash -c \
    '! cmake -DSTAGING=/nonexistent -DOUTPUT=/nonexistent/x.msi -DVERSION=1.1.x -DEPOCH=1 -P cmake/msi.cmake >/dev/null 2>&1'

echo "=== Debian package ==="
rm -f "$packages"/quillon_*.deb "$packages"/quillon_*.deb.spdx.json
cpack --preset linux >"$scratch/cpack-linux.log" 2>&1 || cat "$scratch/cpack-linux.log"
deb=$packages/quillon_${version}_amd64.deb
check "cpack makes $(basename "$deb")" test -f "$deb"

lintian_output=$(lintian -I "$deb" 2>&1)
show "lintian -I $(basename "$deb")" "${lintian_output:-(no output)}"
check "lintian reports no error" test -z "$(grep '^E:' <<<"$lintian_output")"
check "lintian -I reports no hardening tag" test -z "$(grep 'hardening-' <<<"$lintian_output")"

check "Version is the project's" equals "$(dpkg-deb -f "$deb" Version)" "$version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
check "Depends (from dpkg-shlibdeps) names the C library and libusb" \
    bash -c '[[ "$0" == *libc6* && "$0" == *libusb-1.0-0* ]]' "$depends"

root=$scratch/deb
dpkg-deb -x "$deb" "$root"
for file in usr/bin/quillon usr/bin/quillon-sim usr/bin/ductra-probe \
    usr/share/man/man1/ductra-probe.1.gz "usr/$libdir/libductra.so.1" \
    "usr/$libdir/libductra-sim.so.1" usr/include/ductra.h "usr/$libdir/pkgconfig/ductra.pc" \
    usr/share/man/man1/quillon.1.gz \
    usr/share/man/man1/quillon-sim.1.gz usr/share/doc/quillon/copyright \
    usr/share/doc/quillon/changelog.gz usr/share/doc/quillon/README.md \
    usr/share/doc/quillon/SCENARIOS.md usr/share/quillon/demo/firmware/demo-2.20.bin \
    lib/udev/rules.d/70-ductra.rules; do
    check "package holds /$file" test -e "$root/$file"
done
check "package holds the six ready-made scenarios" \
    equals "$(cd "$root/usr/share/quillon/scenarios" && ls | tr '\n' ' ')" \
    "com-module-sdi12.json full-sonde.json handheld.json readback-failure.json silent-board.json three-sockets.json "
check "the demo image is in no other firmware folder" \
    equals "$(cd "$root" && find . -path '*firmware/*' | tr '\n' ' ')" "./usr/share/quillon/demo/firmware/demo-2.20.bin "
check "changelog's latest entry is this version" \
    equals "$(zcat "$root/usr/share/doc/quillon/changelog.gz" | head -1)" "quillon ($version) stable; urgency=medium"
check "the changelog holds every entry of CHANGELOG.md" \
    equals "$(zcat "$root/usr/share/doc/quillon/changelog.gz" | sed -n 's/^quillon (\(.*\)) stable.*/\1/p' | tr '\n' ' ')" \
    "$(sed -n 's/^## \([^ ]*\) .*/\1/p' CHANGELOG.md | tr '\n' ' ')"
# Each entry ends in its trailer: Debian's own reader takes every entry, and
# says nothing (a missing trailer is a warning, and the entries run together).
zcat "$root/usr/share/doc/quillon/changelog.gz" >"$scratch/changelog"
parsed=$(dpkg-parsechangelog -l "$scratch/changelog" --format rfc822 --all 2>&1)
check "dpkg-parsechangelog reads every entry of the changelog, without a warning" \
    equals "$(sed -n 's/^Version: //p; /warning/p' <<<"$parsed" | tr '\n' ' ')" \
    "$(sed -n 's/^## \([^ ]*\) .*/\1/p' CHANGELOG.md | tr '\n' ' ')"
for program in quillon quillon-sim; do
    check "$program's RUNPATH is \$ORIGIN/../$libdir" \
        equals "$(readelf -d "$root/usr/bin/$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')" "\$ORIGIN/../$libdir"
done
check "libductra's SONAME is libductra.so.1" \
    equals "$(readelf -d "$root/usr/$libdir/libductra.so.1" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')" libductra.so.1
check "nothing in the package names the build tree" test -z "$(grep -rl "$top/build" "$root")"

# Every program and library of the package is hardened. The control-flow
# check is left out: Debian 12's C start files carry no IBT/SHSTK property,
# so the linker clears it on every program of the system; that the code
# itself is built with -fcf-protection shows in its endbr64 instructions,
# beyond the few that the start files bring into any program.
printf 'int main(void) { return 0; }\n' >"$scratch/plain.c"
gcc -o "$scratch/plain" "$scratch/plain.c"
plain_endbr=$(objdump -d "$scratch/plain" | grep -c endbr64)
for elf in $(cd "$root" && find . -type f -exec file {} + | sed -n 's/^\.\(\/[^:]*\): *ELF.*/\1/p' | sort); do
    report=$(hardening-check --nocfprotection "$root$elf" 2>&1)
    code=$?
    [ "$elf" = /usr/bin/quillon ] && show "hardening-check /usr/bin/quillon" "${report#"$root"}"
    check "hardening-check passes $elf" equals "$code" 0
    check "$elf is built with control-flow protection" \
        test "$(objdump -d "$root$elf" | grep -c endbr64)" -gt "$plain_endbr"
done
check_sbom "$deb" "$root"
show "third-party components in $(basename "$deb").spdx.json" "$(third_party "$deb.spdx.json")"
check "the bill of materials names libusb-1.0-0 as required, at the build machine's version" \
    contains "$(third_party "$deb.spdx.json")" "libusb-1.0-0 $(dpkg-query -W -f='${Version}' libusb-1.0-0) LGPL-2.1-or-later"

# The extracted programs load the extracted libraries, not the build tree's.
for pair in quillon:libductra.so.1 quillon-sim:libductra-sim.so.1; do
    program=${pair%%:*}
    library=${pair#*:}
    resolved=$(env -u LD_LIBRARY_PATH ldd "$root/usr/bin/$program" | sed -n "s/^[[:space:]]*$library => \([^ ]*\).*/\1/p")
    check "$program loads $library from the extracted tree" equals "$resolved" "$root/usr/bin/../$libdir/$library"
done
# A site's own tool, built on the six exports through ductra.pc.
cat >"$scratch/site_tool.c" <<'EOF_TOOL'
#include <ductra.h>
int main(void) { return DuctraVersion() == 1100 && DuctraClose() == 0 ? 0 : 1; }
EOF_TOOL
flags=$(PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig" pkg-config --cflags --libs ductra)
echo "pkg-config --cflags --libs ductra: $flags"
# shellcheck disable=SC2086 # the flags are words
check "a tool builds against ductra.h and libductra through ductra.pc" \
    gcc -Wall -Werror -o "$scratch/site_tool" "$scratch/site_tool.c" $flags
check "the tool runs on the extracted library" \
    equals "$(LD_LIBRARY_PATH="$root/usr/$libdir" "$scratch/site_tool" | tr -d '\r'; echo "exit $?")" \
    $'DuctraVersion: 1104\nexit 0'
mkdir -p "$scratch/deb-run"
output=$(cd "$scratch/deb-run" && printf 'q\n' |
    env -u LD_LIBRARY_PATH -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG "$root/usr/bin/quillon-sim")
code=$?
check_listing "quillon-sim from the extracted Debian package" "$output" "$code"
# The build machine has no instrument attached: in a container without a USB
# subsystem the probe cannot read the devices (1); with one, no device has
# the build's ids (2).
if [ -e /sys/bus/usb ]; then
    probe_verdict=("Verdict: no instrument with the expected identity (exit code 2)" 2)
else
    probe_verdict=("Verdict: USB devices cannot be read on this system (exit code 1)" 1)
fi
output=$(env -u LD_LIBRARY_PATH "$root/usr/bin/ductra-probe" </dev/null)
check_verdict "ductra-probe from the extracted Debian package" "$output" "$?" "${probe_verdict[@]}"
# The trace reader, its page and format, and a trace the extracted quillon-sim wrote.
for file in usr/bin/quillon-trace usr/share/man/man1/quillon-trace.1.gz usr/share/doc/quillon/doc/trace-format.md \
    usr/share/doc/quillon/doc/install.md usr/share/doc/quillon/doc/it.md; do check "package holds /$file" test -e "$root/$file"; done
for program in ductra-probe quillon-trace; do
    check "$program --version names the release" equals "$("$root/usr/bin/$program" --version)" "$program $version"
done
(cd "$scratch/deb-run" && printf 'q\n' | env -u LD_LIBRARY_PATH DUCTRA_TRACE=q.trace "$root/usr/bin/quillon-sim" >/dev/null)
check "quillon-trace reads the trace quillon-sim wrote" contains "$("$root/usr/bin/quillon-trace" "$scratch/deb-run/q.trace")" "1 sonde, System Sleep, payload 0: status 0 Success"
# The factory station: its programs, pages and schema, and a job of the extracted station.
for file in usr/bin/quillon-station usr/bin/quillon-station-sim usr/share/man/man1/quillon-station.1.gz \
    usr/share/man/man1/quillon-station-sim.1.gz usr/share/quillon/job.schema.json usr/share/doc/quillon/doc/station.md; do
    check "package holds /$file" test -e "$root/$file"
done
output=$(cd "$scratch/deb-run" && env -u LD_LIBRARY_PATH -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG \
    "$root/usr/bin/quillon-station-sim" --logs station report --board 3 2>/dev/null)
check "quillon-station-sim from the extracted package reports board 3" contains "$output" '"outcome":"done"'
# The instruments' history: its program and page, and a trace imported into a new database.
for file in usr/bin/quillon-history usr/share/man/man1/quillon-history.1.gz usr/share/doc/quillon/doc/history.md; do
    check "package holds /$file" test -e "$root/$file"
done
check "quillon-history --version names the release" equals "$("$root/usr/bin/quillon-history" --version)" "quillon-history $version"
check "quillon-history imports the trace quillon-sim wrote" equals \
    "$("$root/usr/bin/quillon-history" --database "sqlite:$scratch/deb-run/h.sqlite" import "$scratch/deb-run/q.trace")" \
    "1 added, 0 already stored, 0 skipped"

# The udev rule: the configured ids as udev shows them, and a rule for a
# real-looking instrument that matches it.
rule_line() { # rule_line VENDOR PRODUCT: the rule's one match line for these hex ids
    printf 'SUBSYSTEM=="usb", ATTR{idVendor}=="%s", ATTR{idProduct}=="%s", MODE="0660", GROUP="plugdev", TAG+="uaccess"' "$1" "$2"
}
vendor=$(sed -n 's/^DUCTRA_USB_VENDOR_ID:STRING=//p' build/linux/CMakeCache.txt)
product=$(sed -n 's/^DUCTRA_USB_PRODUCT_ID:STRING=//p' build/linux/CMakeCache.txt)
packaged_rule=$(cat "$root/lib/udev/rules.d/70-ductra.rules")
show "/lib/udev/rules.d/70-ductra.rules (DUCTRA_USB_VENDOR_ID=$vendor DUCTRA_USB_PRODUCT_ID=$product)" "$packaged_rule"
check "the packaged rule matches the configured ids" \
    equals "$(grep '^SUBSYSTEM' <<<"$packaged_rule")" "$(rule_line "$(printf %04x $((vendor)))" "$(printf %04x $((product)))")"

rule_output=$(cmake -DVENDOR_ID=0x1D6B -DPRODUCT_ID=0x0104 -DOUTPUT="$scratch/real-ids.rules" -P cmake/udev_rule.cmake 2>&1)
show "rule for 0x1D6B/0x0104" "$(cat "$scratch/real-ids.rules")"
check "a rule for 0x1D6B/0x0104 matches 1d6b:0104" \
    equals "$(grep '^SUBSYSTEM' "$scratch/real-ids.rules")" "$(rule_line 1d6b 0104)"
check "real ids give no placeholder warning" equals "$rule_output" ""
rule_output=$(cmake -DVENDOR_ID=0x0000 -DPRODUCT_ID=0x0000 -DOUTPUT="$scratch/placeholder.rules" -P cmake/udev_rule.cmake 2>&1)
check "the placeholder ids warn that the rule matches no instrument" \
    bash -c '[[ "$0" == *"CMake Warning"*"it matches no instrument"* ]]' "$(tr -s ' \n' '  ' <<<"$rule_output")"
check "an id beyond 0xFFFF stops the configure" \
    bash -c '! cmake -DVENDOR_ID=0x10000 -DPRODUCT_ID=1 -DOUTPUT=/dev/null -P cmake/udev_rule.cmake >/dev/null 2>&1'

echo "=== Windows zip and installer ==="
rm -f "$packages"/quillon-*-win64.zip "$packages"/quillon-*-win64.exe "$packages"/quillon-*-win64.msi \
    "$packages"/quillon-*-win64.*.spdx.json
cpack --preset windows >"$scratch/cpack-windows.log" 2>&1 || cat "$scratch/cpack-windows.log"
zip=$packages/quillon-$version-win64.zip
installer=$packages/quillon-$version-win64.exe
check "cpack makes $(basename "$zip")" test -f "$zip"
check "cpack makes $(basename "$installer")" test -f "$installer"

unzip -q "$zip" -d "$scratch/zip"
folder=$scratch/zip/quillon-$version-win64
for file in quillon.exe ductra.dll quillon-sim.exe ductra-sim.dll ductra-probe.exe README.txt \
    CHANGELOG.txt SCENARIOS.txt THIRD-PARTY-NOTICES.txt doc/install.txt doc/it.txt \
    include/ductra.h demo/firmware/demo-2.20.bin; do
    check "zip holds $file" test -f "$folder/$file"
done
check "zip holds the six ready-made scenarios in scenarios\\" \
    equals "$(ls "$folder/scenarios" | tr '\n' ' ')" \
    "com-module-sdi12.json full-sonde.json handheld.json readback-failure.json silent-board.json three-sockets.json "
check "nothing in the zip names the build tree" test -z "$(grep -rl "$top/build" "$folder")"
check "README.txt has Windows line ends only" \
    equals "$(grep -c $'\r$' "$folder/README.txt")" "$(wc -l <"$folder/README.txt")"
check "README.txt links the pages as the .txt files beside it" contains "$(cat "$folder/README.txt")" "[doc/install.md](doc/install.txt)"
check "CHANGELOG.txt starts with this version's entry" \
    equals "$(grep -m1 '^## ' "$folder/CHANGELOG.txt" | tr -d '\r' | cut -d' ' -f2)" "$version"

# The version resource that Explorer's Details tab shows, read back by the
# resource compiler from each file.
for file in quillon.exe quillon-sim.exe ductra.dll ductra-sim.dll ductra-probe.exe; do
    resource=$(x86_64-w64-mingw32-windres --input-format=coff --output-format=rc -i "$folder/$file" 2>&1)
    check "$file: FILEVERSION ${version//./, }, 0" contains "$resource" "FILEVERSION ${version//./, }, 0"
    check "$file: ProductVersion $version" contains "$resource" "VALUE \"ProductVersion\", \"$version\""
    check "$file: ProductName quillon" contains "$resource" 'VALUE "ProductName", "quillon"'
    check "$file: OriginalFilename $file" contains "$resource" "VALUE \"OriginalFilename\", \"$file\""
done

# Hardening in each PE header: ASLR with high-entropy addresses, DEP, no
# build time (the time stamp is the packages' own); the stack protector's
# runtime linked in.
stamp=$(TZ=UTC date -u -d "@$(package_epoch "$zip.spdx.json")" '+%a %b %e %H:%M:%S %Y')
for file in $(cd "$folder" && ls ./*.exe ./*.dll | sed 's|^\./||'); do
    header=$(TZ=UTC x86_64-w64-mingw32-objdump -p "$folder/$file")
    [ "$file" = quillon.exe ] && show "PE header of quillon.exe" \
        "$(grep -E 'Time/Date|DllCharacteristics|HIGH_ENTROPY_VA|DYNAMIC_BASE|NX_COMPAT' <<<"$header")"
    for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT; do
        check "$file: $flag" grep -qx $'\t*'"$flag" <<<"$header"
    done
    check "$file: time stamp $stamp" grep -qx $'Time/Date\t\t'"$stamp" <<<"$header"
    check "$file: stack protector" grep -q "stack smashing detected" "$folder/$file"
done
notices=$(tr -d '\r' <"$folder/THIRD-PARTY-NOTICES.txt")
show "third-party components in $(basename "$zip").spdx.json" "$(third_party "$zip.spdx.json")"
for name in $(third_party "$zip.spdx.json" | cut -d' ' -f1); do
    check "THIRD-PARTY-NOTICES.txt covers $name" contains "$notices" "  - $name "
done
check "THIRD-PARTY-NOTICES.txt holds the GPL-3 the GCC runtime refers to" \
    contains "$notices" "$(head -3 /usr/share/common-licenses/GPL-3)"
check_sbom "$zip" "$folder"

wine_path() { # the Windows path of a Linux path (wine's Z: drive)
    printf 'Z:%s' "${1//\//\\}"
}
output=$(cd "$folder" && printf 'q\n' | env -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG \
    "$top/cmake/wine-run.sh" "$folder/quillon-sim.exe")
code=$?
check_listing "quillon-sim.exe from the unpacked zip" "${output//$'\r'/}" "$code"
output=$(cd "$folder" && "$top/cmake/wine-run.sh" "$folder/ductra-probe.exe" </dev/null)
# Wine has no device of the build's interface class.
check_verdict "ductra-probe.exe from the unpacked zip" "${output//$'\r'/}" "$?" \
    "Verdict: no instrument with the expected identity (exit code 2)" 2
check "zip holds quillon-trace.exe and doc\\trace-format.txt" test -f "$folder/quillon-trace.exe" -a -f "$folder/doc/trace-format.txt"
output=$(cd "$folder" && printf 'q\n' | DUCTRA_TRACE=q.trace "$top/cmake/wine-run.sh" "$folder/quillon-sim.exe" >/dev/null; "$top/cmake/wine-run.sh" "$folder/quillon-trace.exe" q.trace)
check "quillon-trace.exe reads the trace quillon-sim.exe wrote" contains "$output" "1 sonde, System Sleep, payload 0: status 0 Success"
check "zip holds the station, its schema and its page" test -f "$folder/quillon-station.exe" -a -f "$folder/quillon-station-sim.exe" -a -f "$folder/job.schema.json" -a -f "$folder/doc/station.txt"
output=$(cd "$folder" && env -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG "$top/cmake/wine-run.sh" "$folder/quillon-station-sim.exe" --logs station report --board 3 2>/dev/null)
check "quillon-station-sim.exe from the unpacked zip reports board 3" contains "$output" '"outcome":"done"'

installed=$scratch/installed
"$top/cmake/wine-run.sh" "$installer" /S "/D=$(wine_path "$installed")" >/dev/null 2>&1
check "the installer ends with exit code 0" equals "$?" 0
for file in quillon.exe ductra.dll quillon-sim.exe ductra-sim.dll ductra-probe.exe quillon-station.exe README.txt Uninstall.exe \
    scenarios/handheld.json demo/firmware/demo-2.20.bin; do
    check "installed $file" test -f "$installed/$file"
done
start_menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/quillon"
# A shortcut's strings (UTF-16) end with its target's name and the folder it
# starts in (each may carry its length as a leading character).
shortcut() { strings -el "$1" | tail -2 | tr '\r\n' '  '; }
check "Start-menu entry \"quillon\" starts quillon.exe in the installation folder" \
    bash -c '[[ "$0" == *"quillon.exe "*"$1 " ]]' "$(shortcut "$start_menu/quillon.lnk")" \
    "$(wine_path "$installed")"
check "Start-menu entry \"quillon (virtual instrument)\" starts quillon-sim.exe in demo\\" \
    bash -c '[[ "$0" == *"quillon-sim.exe "*"$1 " ]]' \
    "$(shortcut "$start_menu/quillon (virtual instrument).lnk")" "$(wine_path "$installed")\\demo"
check "Start-menu entry \"ductra-probe\" runs it in a console that stays open, in the installation folder" \
    bash -c '[[ "$0" == *"cmd.exe "*"$1 "*"/k ductra-probe.exe " ]]' "$(strings -el "$start_menu/ductra-probe.lnk" | tr '\r\n' '  ')" \
    "$(wine_path "$installed")"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\quillon'
registered=$("$top/cmake/wine-run.sh" reg query "$uninstall_key" /v UninstallString 2>/dev/null | tr -d '\r')
check "the uninstaller is registered" contains "$registered" "$(wine_path "$installed")\\Uninstall.exe"

output=$(cd "$installed/demo" && printf 'q\n' | env -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG \
    "$top/cmake/wine-run.sh" "$installed/quillon-sim.exe")
code=$?
check_listing "installed quillon-sim.exe, started in demo\\" "${output//$'\r'/}" "$code"

check_sbom "$installer" "$installed" Uninstall.exe

# An NSIS uninstaller copies itself to a temporary folder and runs the copy
# with _?=<installation folder>, so that it can remove its own file; doing that
# copy here makes the run wait for the uninstaller to finish.
mkdir -p "$scratch/uninstaller"
cp "$installed/Uninstall.exe" "$scratch/uninstaller/"
"$top/cmake/wine-run.sh" "$scratch/uninstaller/Uninstall.exe" /S "_?=$(wine_path "$installed")" >/dev/null 2>&1
check "the uninstaller ends with exit code 0" equals "$?" 0
echo "after uninstall: $(ls -A "$installed" 2>&1)"
check "the uninstaller removes the installation folder" test ! -e "$installed"
check "the uninstaller removes the Start-menu entries" test ! -e "$start_menu"
check "the uninstaller removes its registration" \
    bash -c '! "$0" reg query "$1" >/dev/null 2>&1' "$top/cmake/wine-run.sh" "$uninstall_key"

echo "=== Windows Installer package (MSI) ==="
msi_start=$SECONDS
msi=$packages/quillon-$version-win64.msi
check "cpack makes $(basename "$msi")" test -f "$msi"
tables=$(msiinfo tables "$msi" | LC_ALL=C sort | tr '\n' ' ')
show "msiinfo tables $(basename "$msi") ($(stat -c %s "$msi") bytes)" "$tables"
for table in Component Directory Feature FeatureComponents File Media Property Registry Shortcut Upgrade; do
    check "the MSI has the table $table" contains " $tables" " $table "
done
export_table() { msiinfo export "$msi" "$1" | tail -n +4 | tr -d '\r'; }
# The consistency a validation pass checks first: every table exports, every
# reference between the tables resolves, no custom action.
msi_validate() {
    local errors=0 table
    for table in $tables; do
        msiinfo export "$msi" "$table" >/dev/null 2>&1 || { echo "table $table does not export"; errors=1; }
    done
    local directories components files registry
    directories=$(export_table Directory | cut -f1)
    components=$(export_table Component | cut -f1)
    files=$(export_table File | cut -f1)
    registry=$(export_table Registry | cut -f1)
    listed() { grep -qxF "$1" <<<"$2"; }
    while IFS='|' read -r id parent _; do
        [ -z "$parent" ] || listed "$parent" "$directories" || { echo "directory $id: no parent $parent"; errors=1; }
    done < <(export_table Directory | tr '\t' '|')
    while IFS='|' read -r id guid directory attributes _ keypath; do
        listed "$directory" "$directories" || { echo "component $id: no directory $directory"; errors=1; }
        [[ "$guid" =~ ^\{[0-9A-F-]{36}\}$ ]] || { echo "component $id: code $guid"; errors=1; }
        if [ $((attributes & 4)) -ne 0 ]; then
            listed "$keypath" "$registry" || { echo "component $id: no registry key path $keypath"; errors=1; }
        else
            listed "$keypath" "$files" || { echo "component $id: no key file $keypath"; errors=1; }
        fi
        export_table FeatureComponents | cut -f2 | grep -qxF "$id" || { echo "component $id: in no feature"; errors=1; }
    done < <(export_table Component | tr '\t' '|')
    while IFS='|' read -r id component _; do
        listed "$component" "$components" || { echo "file $id: no component $component"; errors=1; }
    done < <(export_table File | tr '\t' '|')
    while IFS='|' read -r id directory _ component _; do
        listed "$directory" "$directories" && listed "$component" "$components" || { echo "shortcut $id: bad reference"; errors=1; }
    done < <(export_table Shortcut | tr '\t' '|')
    [ -z "$(export_table CustomAction)" ] || { echo "custom actions: $(export_table CustomAction)"; errors=1; }
    [ "$(export_table Component | cut -f2 | sort | uniq -d)" = "" ] || { echo "a component code is used twice"; errors=1; }
    return $errors
}
check "the MSI's tables pass the consistency pass (references resolve, no custom action)" msi_validate
summary=$(TZ=UTC msiinfo suminfo "$msi")
show "msiinfo suminfo $(basename "$msi")" "$summary"
check "the MSI's summary information carries the packages' time stamp" \
    contains "$summary" "Created: $(TZ=UTC date -u -d "@$(package_epoch "$msi.spdx.json")" '+%a %b %e %H:%M:%S %Y')"
check "the MSI is for x64" contains "$summary" "Template: x64;1033"
product_code=$(export_table Property | sed -n 's/^ProductCode\t//p')
upgrade_code=$(export_table Property | sed -n 's/^UpgradeCode\t//p')
echo "ProductCode $product_code, UpgradeCode $upgrade_code"
check "the MSI installs per machine" equals "$(export_table Property | sed -n 's/^ALLUSERS\t//p')" 1

program_files=$WINEPREFIX/drive_c/Program\ Files/quillon
msi_install() { # msi_install MSI LOG [msiexec arguments]: msiexec ... /qn /l*v LOG
    local package=$1 log=$2
    shift 2
    "$top/cmake/wine-run.sh" msiexec "$@" "$(wine_path "$package")" /qn /l*v "$(wine_path "$log")" >/dev/null 2>&1
}
log_errors() { grep -a -i 'return value [23]\|error' "$1"; }
# Installed-apps entries named quillon: "key|version".
arp_entries() {
    "$top/cmake/wine-run.sh" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null |
        tr -d '\r' | awk '/^HKEY/ { key = $0 } /^ +DisplayName +REG_SZ +quillon$/ { named[key] = 1 }
            /^ +DisplayVersion +REG_SZ/ { version[key] = $3 } END { for (k in named) print k "|" version[k] }'
}
arp_value() { # arp_value NAME: a value of the MSI's installed-apps entry
    "$top/cmake/wine-run.sh" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" /v "$1" 2>/dev/null |
        tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
transcript=""
msi_step() { # msi_step TEXT: one line of the install transcript
    transcript+="$1"$'\n'
}
msi_step "\$ msiexec /i $(basename "$msi") /qn /l*v install.log"
t0=$SECONDS
msi_install "$msi" "$scratch/msi-install.log" /i
code=$?
msi_step "exit code $code after $((SECONDS - t0)) s; $(grep -a -c . "$scratch/msi-install.log") log lines; $(grep -a 'INSTALL. Return value' "$scratch/msi-install.log" | tail -1)"
check "msiexec /i /qn ends with exit code 0" equals "$code" 0
check "the install log holds no error" test -z "$(log_errors "$scratch/msi-install.log")"
for file in quillon.exe ductra.dll quillon-sim.exe ductra-sim.dll ductra-probe.exe quillon-trace.exe README.txt \
    CHANGELOG.txt doc/install.txt scenarios/handheld.json demo/firmware/demo-2.20.bin; do
    check "MSI installed Program Files\\quillon\\$file" test -f "$program_files/$file"
done
check_sbom "$msi" "$program_files"
msi_step "installed: $(cd "$program_files" && find . -type f | wc -l) files in C:\\Program Files\\quillon"
# Where this system's Windows Installer resolved the Start-menu folder.
menu_folder=$(sed -n 's/^Property(S): ProgramMenuFolder = //p' "$scratch/msi-install.log" | tr -d '\r' | head -1)
msi_menu=$WINEPREFIX/drive_c/$(sed 's/^C:\\//; s/\\/\//g' <<<"$menu_folder")quillon
msi_step "Start menu ($menu_folder): $(ls "$msi_menu" 2>&1 | tr '\n' ',' | sed 's/,$//; s/,/, /g')"
installed_msi='C:\Program Files\quillon'
check "MSI Start-menu entry \"quillon\" starts quillon.exe in the installation folder" \
    bash -c '[[ "$0" == *"quillon.exe "*"$1 " ]]' "$(shortcut "$msi_menu/quillon.lnk")" "$installed_msi\\"
check "MSI Start-menu entry \"quillon (virtual instrument)\" starts quillon-sim.exe in demo\\" \
    bash -c '[[ "$0" == *"quillon-sim.exe "*"$1 " ]]' \
    "$(shortcut "$msi_menu/quillon (virtual instrument).lnk")" "$installed_msi\\demo\\"
check "MSI Start-menu entry \"ductra-probe\" runs it in a console that stays open" \
    bash -c '[[ "$0" == *"cmd.exe "*"/k ductra-probe.exe "* && "$0" == *"$1 "* ]]' \
    "$(strings -el "$msi_menu/ductra-probe.lnk" | tr '\r\n' '  ')" "$installed_msi\\"
arp=$(arp_entries)
msi_step "installed apps: DisplayName quillon, DisplayVersion $(arp_value DisplayVersion), Publisher $(arp_value Publisher), HelpLink $(arp_value HelpLink), UninstallString $(arp_value UninstallString)"
check "one installed-apps entry, at version $version" equals "$(cut -d'|' -f2 <<<"$arp")" "$version"
check "the entry names the publisher" equals "$(arp_value Publisher)" quillon
check "the entry carries the help link" equals "$(arp_value HelpLink)" \
    "$(sed -n 's/^QUILLON_HELP_LINK:STRING=//p' build/windows/CMakeCache.txt)"
check "the entry uninstalls through msiexec" equals "$(arp_value UninstallString)" "MsiExec.exe /X$product_code"
output=$(cd "$program_files/demo" && printf 'q\n' | env -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG \
    "$top/cmake/wine-run.sh" "$program_files/quillon-sim.exe")
code=$?
check_listing "MSI-installed quillon-sim.exe, started in demo\\" "${output//$'\r'/}" "$code"
output=$(cd "$program_files" && "$top/cmake/wine-run.sh" "$program_files/ductra-probe.exe" </dev/null)
check_verdict "MSI-installed ductra-probe.exe" "${output//$'\r'/}" "$?" \
    "Verdict: no instrument with the expected identity (exit code 2)" 2
output=$("$top/cmake/wine-run.sh" "$program_files/ductra-probe.exe" --version </dev/null | tr -d '\r')
check "MSI-installed ductra-probe.exe --version names the release" equals "$output" "ductra-probe $version"

# The next release: the same staged files (one of them changed, to see it
# replaced) made into an MSI of a higher version by the same script.
IFS=. read -r major minor patch <<<"$version"
next=$major.$minor.$((patch + 1))
next_tree=$scratch/next-release
cp -r "$folder" "$next_tree"
printf 'This file belongs to %s.\r\n' "$next" >>"$next_tree/README.txt"
next_msi=$scratch/quillon-$next-win64.msi
cmake -DSTAGING="$next_tree" -DOUTPUT="$next_msi" -DVERSION="$next" -DEPOCH="$(package_epoch "$msi.spdx.json")" \
    -DHELP_LINK="$(sed -n 's/^QUILLON_HELP_LINK:STRING=//p' build/windows/CMakeCache.txt)" \
    "-DSHORTCUTS=$(sed -n 's/^set(CPACK_QUILLON_START_MENU "\(.*\)")$/\1/p' build/windows/CPackConfig.cmake)" \
    -P cmake/msi.cmake >"$scratch/next-msi.log" 2>&1
check "an MSI of $next made from the same staged files" test -f "$next_msi"
next_code=$(msiinfo export "$next_msi" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p')
check "$next has its own product code and the same upgrade code" bash -c '[ "$0" != "$1" ] && [ "$2" = "$3" ]' \
    "$next_code" "$product_code" "$(msiinfo export "$next_msi" Property | tr -d '\r' | sed -n 's/^UpgradeCode\t//p')" "$upgrade_code"
msi_step "\$ msiexec /i $(basename "$next_msi") /qn /l*v upgrade.log"
t0=$SECONDS
msi_install "$next_msi" "$scratch/msi-upgrade.log" /i
code=$?
msi_step "exit code $code after $((SECONDS - t0)) s; $(grep -a 'RemoveExistingProducts. Return value' "$scratch/msi-upgrade.log" | tail -1); $(grep -a 'INSTALL. Return value' "$scratch/msi-upgrade.log" | tail -1)"
check "the upgrade ends with exit code 0" equals "$code" 0
check "the upgrade log holds no error" test -z "$(log_errors "$scratch/msi-upgrade.log")"
arp=$(arp_entries)
msi_step "installed apps after the upgrade: $(tr '\n' ' ' <<<"$arp")"
check "one installed-apps entry remains, at version $next" equals "$(cut -d'|' -f2 <<<"$arp")" "$next"
check "it is $next's product" contains "$arp" "$next_code"
check "the installed files are $next's" equals "$(tree_files "$program_files")" "$(tree_files "$next_tree")"
check "the changed file is the new one" contains "$(cat "$program_files/README.txt")" "This file belongs to $next."
msi_step "\$ msiexec /i $(basename "$msi") /qn   (the earlier version over the later one)"
msi_install "$msi" "$scratch/msi-downgrade.log" /i
code=$?
msi_step "exit code $code (1603 modulo 256); $(grep -a 'LaunchConditions. Return value' "$scratch/msi-downgrade.log" | tail -1 | tr -d '\r')"
check "$version refuses to install over $next" test "$code" -ne 0
check "... and $next stays installed" equals "$(arp_entries | cut -d'|' -f2)" "$next"

msi_step "\$ msiexec /x $(basename "$next_msi") /qn /l*v uninstall.log"
t0=$SECONDS
msi_install "$next_msi" "$scratch/msi-uninstall.log" /x
code=$?
msi_step "exit code $code after $((SECONDS - t0)) s; $(grep -a 'INSTALL. Return value' "$scratch/msi-uninstall.log" | tail -1)"
check "msiexec /x /qn ends with exit code 0" equals "$code" 0
check "the uninstall log holds no error" test -z "$(log_errors "$scratch/msi-uninstall.log")"
msi_step "after uninstall: C:\\Program Files\\quillon $(test -e "$program_files" && echo is left || echo is gone), Start-menu folder $(test -e "$msi_menu" && echo is left || echo is gone), installed-apps entries: $(arp_entries | wc -l)"
check "msiexec /x removes the installation folder" test ! -e "$program_files"
check "msiexec /x removes the Start-menu entries" test ! -e "$msi_menu"
check "msiexec /x removes the installed-apps entry" test -z "$(arp_entries)"
check "msiexec /x removes the registry key of the Start-menu entries" \
    bash -c '! "$0" reg query "HKLM\\Software\\quillon" >/dev/null 2>&1' "$top/cmake/wine-run.sh"
show "silent install, upgrade and uninstall under wine" "$transcript"
echo "MSI checks took $((SECONDS - msi_start)) s"

echo "=== checksums ==="
show SHA256SUMS "$(cat "$packages/SHA256SUMS")"
check "sha256sum -c SHA256SUMS" bash -c 'cd "$0" && sha256sum --quiet -c SHA256SUMS' "$packages"
check "SHA256SUMS covers the four packages and their bills of materials" \
    equals "$(cut -d' ' -f3 "$packages/SHA256SUMS" | tr '\n' ' ')" \
    "$(cd "$packages" && ls quillon-$version-win64.exe quillon-$version-win64.exe.spdx.json \
        quillon-$version-win64.msi quillon-$version-win64.msi.spdx.json \
        quillon-$version-win64.zip quillon-$version-win64.zip.spdx.json quillon_${version}_amd64.deb \
        quillon_${version}_amd64.deb.spdx.json | tr '\n' ' ')"

echo "=== reproducible packages ==="
# The same source built again in another folder, of another name, later,
# without the tests (begun in the background at the start): the packages
# must come out byte for byte the same. The time stamp is the one the first
# packages were made with.
wait "$second_pid"
second_pid=
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(package_epoch "$deb.spdx.json")
for preset in linux windows; do
    if [ -e "$scratch/second-$preset.failed" ]; then
        echo "second $preset build failed:"
        tail -20 "$scratch/second-$preset.log"
        continue
    fi
    (cd "$second" && cpack --preset $preset) >>"$scratch/second-$preset.log" 2>&1 ||
        { echo "second $preset packages failed:"; tail -20 "$scratch/second-$preset.log"; }
done
echo "SHA-256 of the packages ($SOURCE_DATE_EPOCH), first build | second build in $second:"
for package in "$deb" "$zip" "$installer" "$msi"; do
    name=$(basename "$package")
    again=$second/build/packages/$name
    printf '  %s %s | %s\n' "$name" "$(sha256sum <"$package" | cut -c1-64)" "$(sha256sum <"$again" 2>&1 | cut -c1-64)"
    check "$name built again is byte for byte the same" cmp "$package" "$again"
done
unset SOURCE_DATE_EPOCH

echo "=== signing ==="
# A throw-away certificate, as a site's would be given: the second build's
# Windows packages signed with it, each signature verified, the signed
# programs run.
check "the unsigned installer carries no signature" \
    bash -c '! osslsigncode verify -in "$0" >/dev/null 2>&1' "$installer"
signing=$scratch/signing
mkdir -p "$signing"
printf 'throw-away\n' >"$signing/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$signing/key.pem" -out "$signing/cert.pem" \
    -days 2 -subj "/CN=quillon test signing" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" -out "$signing/site.p12" \
    -passout "file:$signing/password"
configured=$(cmake -S "$second" -B "$second/build/windows" -DQUILLON_SIGN_PKCS12="$signing/site.p12" \
    -DQUILLON_SIGN_PASSWORD_FILE="$signing/password" 2>&1)
check "the build says that it signs" contains "$configured" "signed with $signing/site.p12"
(cd "$second" && cpack --preset windows) >"$scratch/signed-windows.log" 2>&1
signed=$second/build/packages
verified=$(osslsigncode verify -CAfile "$signing/cert.pem" -in "$signed/$(basename "$installer")" 2>&1)
show "osslsigncode verify $(basename "$installer") (signed)" \
    "$(grep -E 'Subject|Message digest algorithm|Signing time|Signature verification|Succeeded|Failed' <<<"$verified")"
check "the signed installer's signature verifies" contains "$verified" "Signature verification: ok"
verified=$(osslsigncode verify -CAfile "$signing/cert.pem" -in "$signed/$(basename "$msi")" 2>&1)
show "osslsigncode verify $(basename "$msi") (signed)" \
    "$(grep -E 'Subject|Signature verification|Succeeded|Failed' <<<"$verified")"
check "the signed MSI's signature verifies" contains "$verified" "Signature verification: ok"
check "the unsigned MSI carries no signature" bash -c '! osslsigncode verify -in "$0" >/dev/null 2>&1' "$msi"
# The uninstaller the signed installer writes was signed as NSIS stored it.
signed_installed=$signing/installed
"$top/cmake/wine-run.sh" "$signed/$(basename "$installer")" /S "/D=$(wine_path "$signed_installed")" >/dev/null 2>&1
check "the signed installer's Uninstall.exe is signed" bash -c \
    'osslsigncode verify -CAfile "$0" -in "$1" 2>&1 | grep -q "Signature verification: ok"' \
    "$signing/cert.pem" "$signed_installed/Uninstall.exe"
mkdir -p "$signing/uninstaller"
cp "$signed_installed/Uninstall.exe" "$signing/uninstaller/" 2>/dev/null
"$top/cmake/wine-run.sh" "$signing/uninstaller/Uninstall.exe" /S "_?=$(wine_path "$signed_installed")" >/dev/null 2>&1
check "the signed uninstaller removes the installation" test ! -e "$signed_installed"
unzip -q "$signed/$(basename "$zip")" -d "$signing/zip"
for file in $(cd "$signing/zip/quillon-$version-win64" && ls ./*.exe ./*.dll | sed 's|^\./||'); do
    check "signed $file's signature verifies" bash -c \
        'osslsigncode verify -CAfile "$0" -in "$1" 2>&1 | grep -q "Signature verification: ok"' \
        "$signing/cert.pem" "$signing/zip/quillon-$version-win64/$file"
done
check "SHA256SUMS of the signed packages" bash -c 'cd "$0" && sha256sum --quiet -c SHA256SUMS' "$signed"
output=$(cd "$signing/zip/quillon-$version-win64" && printf 'q\n' |
    env -u DUCTRA_SIM_SCENARIO -u DUCTRA_SIM_WIRELOG "$top/cmake/wine-run.sh" \
    "$signing/zip/quillon-$version-win64/quillon-sim.exe")
code=$?
check_listing "signed quillon-sim.exe from the signed zip" "${output//$'\r'/}" "$code"

echo "=== packages ==="
ls -l "$deb" "$zip" "$installer" "$msi" | awk '{ print $5, $NF }'
echo "package test: $SECONDS s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
