#!/usr/bin/env bash
# Every relative link of README.md, CHANGELOG.md and the pages of doc/ leads
# somewhere: the file or folder it names exists, and a #fragment names a
# heading of the page it points at (as the repository's web view makes
# anchors: lower case, punctuation dropped, spaces as hyphens). Links with a
# scheme (https:, mailto:) are left alone. Prints each broken link as
# "FILE: TARGET: why" and exits non-zero when there is one.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

anchors() { # anchors PAGE: the anchor of each heading of a Markdown page
    sed -n 's/^#\{1,6\} \(.*\)$/\1/p' "$1" | tr 'A-Z' 'a-z' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

broken=0
checked=0
for page in README.md CHANGELOG.md doc/*.md; do
    folder=$(dirname "$page")
    # Inline links [text](target), outside code spans and fenced blocks.
    while IFS= read -r target; do
        checked=$((checked + 1))
        case "$target" in
        *:*) continue ;;
        esac
        path=${target%%#*}
        fragment=
        [[ "$target" == *"#"* ]] && fragment=${target#*#}
        if [ -z "$path" ]; then
            file=$page
        else
            file=$folder/$path
        fi
        if [ ! -e "$file" ]; then
            echo "$page: $target: $file does not exist"
            broken=$((broken + 1))
        elif [ -n "$fragment" ] && [[ "$file" == *.md ]] && ! anchors "$file" | grep -qxF "$fragment"; then
            echo "$page: $target: no heading of $file has the anchor #$fragment"
            broken=$((broken + 1))
        fi
    done < <(awk '/^```/ { fenced = !fenced; next } !fenced' "$page" | sed 's/`[^`]*`//g' |
        grep -o '\](\([^)]*\))' | sed 's/^](\(.*\))$/\1/')
done
echo "links: $checked checked, $broken broken"
[ "$broken" -eq 0 ]
