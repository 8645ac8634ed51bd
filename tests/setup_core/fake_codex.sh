#!/bin/sh
# Stand-in for the codex command-line tool, for what the real one cannot be made to
# do. Driven by the environment, which installCodex passes on:
#   FAKE_CODEX_LOG          file that receives one line per run: the arguments
#   FAKE_CODEX_WHERE        file that receives the working directory and CODEX_HOME of each run
#   FAKE_CODEX_REAL         run this program instead, after logging (a logging wrapper)
#   FAKE_CODEX_HANG         file: list writes its pid and its sleeping child's pid there, then hangs
#   FAKE_CODEX_LIST         what list prints (default: [])
#   FAKE_CODEX_LIST_STATUS  list's exit status (default 0)
#   FAKE_CODEX_LIST_TOUCH   a line list appends to $CODEX_HOME/config.toml while running
#   FAKE_CODEX_ADD_STATUS   add's exit status (default 0)
#   FAKE_CODEX_GET          what get prints (default: nothing)
#   FAKE_CODEX_GET_STATUS   get's exit status (default 0)
if [ -n "$FAKE_CODEX_LOG" ]; then printf '%s\n' "$*" >> "$FAKE_CODEX_LOG"; fi
if [ -n "$FAKE_CODEX_WHERE" ]; then printf '%s\n%s\n' "$(pwd)" "$CODEX_HOME" >> "$FAKE_CODEX_WHERE"; fi
if [ -n "$FAKE_CODEX_REAL" ]; then exec "$FAKE_CODEX_REAL" "$@"; fi

case "$1 $2" in
"mcp list")
    if [ -n "$FAKE_CODEX_HANG" ]; then
        echo $$ > "$FAKE_CODEX_HANG"
        sleep 60 &
        echo $! >> "$FAKE_CODEX_HANG"
        wait
    fi
    if [ -n "$FAKE_CODEX_LIST_TOUCH" ]; then
        printf '%s\n' "$FAKE_CODEX_LIST_TOUCH" >> "$CODEX_HOME/config.toml"
    fi
    printf '%s' "${FAKE_CODEX_LIST-[]}"
    exit "${FAKE_CODEX_LIST_STATUS:-0}"
    ;;
"mcp add")
    exit "${FAKE_CODEX_ADD_STATUS:-0}"
    ;;
"mcp get")
    printf '%s' "${FAKE_CODEX_GET-}"
    exit "${FAKE_CODEX_GET_STATUS:-0}"
    ;;
esac
exit 64
