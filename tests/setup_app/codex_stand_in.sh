#!/bin/sh
# Stands in for the codex tool in the window's tests: answers mcp list/add/get over one
# registration kept in $CODEX_HOME. A file named "hang" there makes list outlive any time
# limit; while a file named "gate" exists, list waits, so a test can hold an install open.
state="$CODEX_HOME/stand-in-registration.json"
case "$1 $2" in
"mcp list")
    [ -e "$CODEX_HOME/hang" ] && exec sleep 120
    while [ -e "$CODEX_HOME/gate" ]; do sleep 0.02; done
    if [ -e "$state" ]; then printf '['; cat "$state"; printf ']\n'; else printf '[]\n'; fi
    ;;
"mcp add")
    shift 4
    command=$1
    shift
    args=""
    for a; do args="$args${args:+,}\"$a\""; done
    printf '{"name":"quillmere","enabled":true,"transport":{"type":"stdio","command":"%s","args":[%s]}}' \
        "$command" "$args" >"$state"
    printf '[mcp_servers.quillmere]\ncommand = "%s"\n' "$command" >>"$CODEX_HOME/config.toml"
    ;;
"mcp get")
    [ -e "$state" ] || exit 1
    cat "$state"
    ;;
*)
    exit 2
    ;;
esac
