#!/bin/sh
# Stands in for the codex command-line tool where the real one cannot be made to fail, hang
# or race on cue. mcp add keeps its registration in $CODEX_HOME/stand-in/registration and
# mcp list/get answer from it; files in $CODEX_HOME/stand-in change that:
#   list, get                            printed instead of the answer
#   list-status, add-status, get-status  the command's exit status
#   touch                                appended by list to $CODEX_HOME/config.toml
#   hang                                 list outlives any time limit
#   gate                                 list waits while it exists
#   real                                 the codex to run instead, after logging
# Every run appends "<working directory>: <arguments>" to $CODEX_HOME/stand-in/log.
d="$CODEX_HOME/stand-in"
mkdir -p "$d"
printf '%s: %s\n' "$(pwd)" "$*" >>"$d/log"
[ -e "$d/real" ] && exec "$(cat "$d/real")" "$@"
status() { cat "$d/$1-status" 2>/dev/null || echo 0; }
case "$1 $2" in
"mcp list")
    [ -e "$d/hang" ] && exec sleep 120
    while [ -e "$d/gate" ]; do sleep 0.02; done
    [ -e "$d/touch" ] && cat "$d/touch" >>"$CODEX_HOME/config.toml"
    if [ -e "$d/list" ]; then cat "$d/list"; else printf '[%s]' "$(cat "$d/registration" 2>/dev/null)"; fi
    exit "$(status list)"
    ;;
"mcp add")
    shift 4
    command=$1
    shift
    args=""
    for a; do args="$args${args:+,}\"$a\""; done
    printf '{"name":"quillmere","transport":{"type":"stdio","command":"%s","args":[%s]}}' \
        "$command" "$args" >"$d/registration"
    printf '[mcp_servers.quillmere]\ncommand = "%s"\n' "$command" >>"$CODEX_HOME/config.toml"
    exit "$(status add)"
    ;;
"mcp get")
    if [ -e "$d/get" ]; then cat "$d/get"; else cat "$d/registration" 2>/dev/null || exit 1; fi
    exit "$(status get)"
    ;;
esac
exit 2
