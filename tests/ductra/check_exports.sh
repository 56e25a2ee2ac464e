#!/bin/sh
# Checks that a built ductra library exports exactly the six functions, with
# unmangled names.
#   check_exports.sh elf LIBRARY      (nm -D)
#   check_exports.sh pe LIBRARY       (objdump -p of the DLL)
set -eu
kind=$1
library=$2
expected="DuctraChatty
DuctraClose
DuctraOpen
DuctraReceive
DuctraSend
DuctraVersion"
case $kind in
elf) found=$(nm -D --defined-only "$library" | awk 'NF == 3 && $2 ~ /^[TtWwDdBbVviu]$/ { print $3 }' | sort) ;;
pe) found=$(x86_64-w64-mingw32-objdump -p "$library" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort) ;;
*) echo "unknown kind $kind" >&2; exit 2 ;;
esac
if [ "$found" != "$expected" ]; then
    echo "exports of $library:"
    echo "$found"
    echo "expected:"
    echo "$expected"
    exit 1
fi
echo "exports of $library: the six names, unmangled"
