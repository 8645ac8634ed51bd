#!/usr/bin/env bash
# Each manual page documents in OPTIONS exactly the long options its program's --help
# names. A help text may also quote another program's options (quillmere-setup shows the
# server's command line): those must be documented on that program's page and mentioned
# on this one. --help itself may be missing from a help text.
# Usage: man_options_test.sh <source directory> <page> <program> [<page> <program>...]
set -euo pipefail
source="$1"
shift
work="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-man-options.XXXXXX")"
trap 'rm -rf "$work"' EXIT

long_options() { grep -o -e '--[a-z][a-z-]*' | sort -u; }
# The tag line after each .TP of the OPTIONS section, first long option of it.
documented() {
    awk '/^\.SH /{options = ($0 ~ /^\.SH OPTIONS/)} options && tag {print; tag = 0}
         options && /^\.TP/{tag = 1}' "$1" | sed 's/\\-/-/g' |
        while read -r line; do grep -o -m1 -e '--[a-z][a-z-]*' <<<"$line" | head -n1; done | sort -u
}

pages=()
programs=()
while (($#)); do
    pages+=("$1")
    programs+=("$2")
    documented "$source/man/$1.1" >"$work/$1.documented"
    shift 2
done
cat "$work"/*.documented | sort -u >"$work/all.documented"

failures=0
for i in "${!pages[@]}"; do
    page="${pages[$i]}"
    program="${programs[$i]}"
    { "$program" --help | long_options; echo --help; } | sort -u >"$work/help"
    sed 's/\\-/-/g' "$source/man/$page.1" | long_options >"$work/mentioned"
    while read -r option; do
        grep -qx -e "$option" "$work/help" ||
            { echo "FAIL: $page.1 documents $option, which $page --help does not name" >&2; failures=$((failures + 1)); }
    done <"$work/$page.documented"
    while read -r option; do
        grep -qx -e "$option" "$work/$page.documented" && continue
        if grep -qx -e "$option" "$work/all.documented" && grep -qx -e "$option" "$work/mentioned"; then
            continue
        fi
        echo "FAIL: $page --help names $option, which $page.1 does not document" >&2
        failures=$((failures + 1))
    done <"$work/help"
done
[ "$failures" -eq 0 ]
