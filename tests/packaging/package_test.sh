#!/usr/bin/env bash
# The Debian package as a user gets it: made by cpack from the built tree, unpacked with
# dpkg -x into a temporary root, and every program run from there.
# Usage: package_test.sh <build directory> <source directory>
set -euo pipefail
build="$1"
source="$2"
library="$source/examples/AgentLibrary"

work="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-package-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
check_equal() { # <what> <expected> <actual>
    [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"
}
for tool in cpack dpkg-deb lintian man node; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (scripts/bootstrap installs it)" >&2; exit 1; }
done

# The package, from the binaries already built (cpack only installs and strips them).
cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; exit 1; }
debs=("$work"/cpack/quillmere_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { ls -l "$work/cpack" >&2; exit 1; }
deb="${debs[0]}"
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
check_equal "package name" quillmere "$(dpkg-deb --field "$deb" Package)"
check_equal "package version" "$version" "$(dpkg-deb --field "$deb" Version)"
[ -n "$(dpkg-deb --field "$deb" Maintainer)" ] || fail "no Maintainer field"
# Computed by dpkg-shlibdeps: the C library, the window's Qt and the server's seccomp, with versions.
depends="$(dpkg-deb --field "$deb" Depends)"
for library_package in libc6 libstdc++6 libqt6widgets6 libicu libseccomp2; do
    [[ "$depends" == *"$library_package"* ]] || fail "Depends lacks $library_package: $depends"
done
check_equal "recommended packages" qt6-translations-l10n "$(dpkg-deb --field "$deb" Recommends)"

dpkg -x "$deb" "$work/root"
prefix="$work/root/usr"
private="$prefix/lib/quillmere"
for program in "$private/QuillmereMCPSetup" "$private/quillmere-setup" "$private/bin/quillmere-mcp" \
    "$prefix/bin/quillmere-publish"; do
    [ -x "$program" ] && [ ! -L "$program" ] || fail "$program is not an installed program"
done
# The PATH entries lead to the programs in lib/quillmere, and stay inside the package.
for entry in quillmere-mcp:bin/quillmere-mcp quillmere-setup:quillmere-setup \
    quillmere-mcp-setup:QuillmereMCPSetup; do
    check_equal "bin/${entry%%:*}" "$(realpath "$private/${entry#*:}")" \
        "$(realpath "$prefix/bin/${entry%%:*}")"
done

# Desktop entry and icon: Exec names the window at its installed path.
desktop="$prefix/share/applications/quillmere-mcp-setup.desktop"
check_equal "desktop Exec" "Exec=/usr/lib/quillmere/QuillmereMCPSetup" "$(grep '^Exec=' "$desktop")"
check_equal "desktop Icon" "Icon=quillmere-mcp-setup" "$(grep '^Icon=' "$desktop")"
[ -s "$prefix/share/icons/hicolor/scalable/apps/quillmere-mcp-setup.svg" ] || fail "no scalable icon"

# The installed server: its help, and a short MCP session on the sample library.
"$prefix/bin/quillmere-mcp" --help >"$work/help.txt" || fail "quillmere-mcp --help failed"
"$build/bin/quillmere-mcp" --help | cmp -s - "$work/help.txt" ||
    fail "the installed quillmere-mcp --help differs from the built one"
{
    echo '{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"package-test","version":"1"}}}'
    echo '{"jsonrpc":"2.0","method":"notifications/initialized"}'
    echo '{"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"list_recordings","arguments":{}}}'
} | "$prefix/bin/quillmere-mcp" --stdio --cloud-root "$library" --cache-root "$work/cache" \
    >"$work/session.jsonl" 2>"$work/session.err" || fail "the stdio session ended with status $?"
node - "$work/session.jsonl" "$library" <<'NODE' || fail "the stdio session's answers are wrong"
const fs = require("node:fs");
const path = require("node:path");
const [file, library] = process.argv.slice(2);
const answers = fs.readFileSync(file, "utf8").trim().split("\n").map((line) => JSON.parse(line));
const expected = fs.readdirSync(library).flatMap((source) =>
    JSON.parse(fs.readFileSync(path.join(library, source, "manifest.json"), "utf8")).entries
        .map((entry) => `${source}/${entry.id}`)).sort();
const listed = answers[1].result.structuredContent.items.map((r) => r.recording_key).sort();
if (answers.length !== 2 || answers[0].id !== 1 || answers[1].id !== 2 || answers[1].result.isError ||
    JSON.stringify(listed) !== JSON.stringify(expected)) {
    console.error(JSON.stringify(answers).slice(0, 2000));
    process.exit(1);
}
NODE

# The tools report the package's version.
check_equal "quillmere-setup --version" "quillmere-setup $version" "$("$prefix/bin/quillmere-setup" --version)"
check_equal "quillmere-publish --version" "quillmere-publish $version" "$("$prefix/bin/quillmere-publish" --version)"

# quillmere-setup run through its PATH link, with its default server: the configuration
# names the real path of the unpacked server, not the link and not the build tree.
home="$work/home"
mkdir -p "$home/AgentLibrary"
HOME="$home" "$prefix/bin/quillmere-setup" --client cursor --folder "$home/AgentLibrary" \
    >"$work/setup.out" 2>"$work/setup.err" || { cat "$work/setup.err" >&2; fail "quillmere-setup failed"; }
server="$(realpath "$private/bin/quillmere-mcp")"
node -e 'const [file, server, folder] = process.argv.slice(1), { command, args } = JSON.parse(require("node:fs").readFileSync(file, "utf8")).mcpServers.quillmere;
    process.exit(JSON.stringify([command, args]) === JSON.stringify([server, ["--stdio", "--cloud-root", folder]]) ? 0 : 1);' \
    "$home/.cursor/mcp.json" "$server" "$home/AgentLibrary" || fail "the Cursor entry is wrong: $(cat "$home/.cursor/mcp.json")"

# Every manual page formats without a warning.
for page in quillmere-mcp quillmere-publish quillmere-setup quillmere-mcp-setup; do
    file="$prefix/share/man/man1/$page.1.gz"
    [ -f "$file" ] || { fail "no manual page $page.1.gz"; continue; }
    MANWIDTH=80 man --warnings -l "$file" >/dev/null 2>"$work/man.err" || fail "man $page failed"
    [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man $page warned"; }
    [[ "$(zcat "$file" | grep -m1 '^\.TH ')" == *"\"Quillmere $version\""* ]] ||
        fail "$page.1 does not name version $version in its .TH line"
done
[[ "$(zcat "$prefix/share/doc/quillmere/changelog.gz" | head -n1)" == "quillmere ($version) "* ]] ||
    fail "the changelog's latest entry is not version $version"

# lintian: no errors (warnings are shown, not fatal).
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 ||
    { cat "$work/lintian.txt" >&2; fail "lintian reported errors"; }
cat "$work/lintian.txt"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "package $deb: all checks passed"
