#!/usr/bin/env bash
# Keeps the includes between the program's folders pointing one way:
#   shell -> service, firmware -> link -> protocol -> terminal -> usbpipe (ductra.h)
# The virtual instrument (sim/) stands beside them and uses only link/frame.h
# and usbpipe's public header, the backend table its exports share with the
# library (usbpipe/pipe_backend.h) and trace headers (usbpipe/trace/). Includes are
# spelt from the source root ("usbpipe/trace/trace_writer.h"). Reads every
# #include "..." line of those folders and names each one that points up or
# sideways, or that is not spelt from the root; exits 1 if there is any.
# Usage: scripts/check_includes.sh [source-root]
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# Height of each folder: a file may include only its own folder or a lower one.
declare -A level=([usbpipe]=1 [terminal]=2 [protocol]=3 [link]=4 [service]=5 [firmware]=5 [shell]=6)
folders=(usbpipe terminal protocol link service firmware shell sim)
# ductra-probe: a program at the top, a thin main over usbpipe/.
level[probe]=7
folders+=(probe)
# The trace reader (trace/) stands at the top beside the shell.
level[trace]=6
folders+=(trace)
# The factory station (station/) stands above them all: it runs the shell's
# engine and reads its exchanges with the trace reader's decoders.
level[station]=8
folders+=(station)
# The instruments' history (history/) reads the records with the trace
# reader's decoders: it stands beside the station.
level[history]=8
folders+=(history)

# The folder an include names: "dir/..." names dir; a bare "file.h" is not
# spelt from the root and names none.
folder_of() {
    local name=$1
    case $name in
        */*) echo "${name%%/*}" ;;
        *) echo "?" ;;
    esac
}

bad=0
for from in "${folders[@]}"; do
    [ -d "$from" ] || continue
    while IFS= read -r hit; do
        file=${hit%%:*}
        rest=${hit#*:}
        line=${rest%%:*}
        name=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"${rest#*:}")
        [ -n "$name" ] || continue
        to=$(folder_of "$name")
        ok=0
        if [ "$to" = "$from" ]; then
            ok=1
        elif [ "$from" = sim ]; then
            case $name in
                link/frame.h | usbpipe/ductra.h | usbpipe/pipe_backend.h | usbpipe/trace/*) ok=1 ;;
            esac
        elif [ -n "${level[$to]:-}" ] && [ "${level[$to]}" -lt "${level[$from]}" ]; then
            ok=1
        fi
        if [ $ok -eq 0 ]; then
            echo "$file:$line: includes \"$name\" ($to/), which $from/ must not include"
            bad=1
        fi
    done < <(grep -rn --include='*.h' --include='*.cpp' --include='*.in' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$from" || true)
done
if [ $bad -ne 0 ]; then
    echo "include check: an include points up the order shell -> service, firmware -> link -> protocol -> terminal -> usbpipe"
    exit 1
fi
echo "include check: every include between folders points down"
