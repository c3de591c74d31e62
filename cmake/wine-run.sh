#!/usr/bin/env bash
# Runs a Windows program under wine for CTest: headless, without wine's own
# diagnostics, in the wine prefix PREFIX, which is created on first use.
#
#   cmake/wine-run.sh PREFIX PROGRAM [ARG...]
set -euo pipefail
[[ $# -ge 2 ]] || { echo "usage: wine-run.sh PREFIX PROGRAM [ARG...]" >&2; exit 2; }
command -v wine >/dev/null || {
  echo "wine-run.sh: wine is not installed (scripts/install-packages windows)" >&2
  exit 127
}
# wine takes only an absolute WINEPREFIX.
prefix=$(realpath -m -- "$1")
shift

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
# No window system, and no offer to install wine's .NET and HTML engines.
unset DISPLAY WAYLAND_DISPLAY
export WINEDLLOVERRIDES="mscoree,mshtml="

if [[ ! -e $prefix/.ready ]]; then
  mkdir -p "$(dirname "$prefix")"
  # CTest may start several programs at once: one sets the prefix up, the
  # others wait for it. A prefix left half-made by an interrupted run is redone.
  exec 9>"$prefix.lock"
  flock 9
  if [[ ! -e $prefix/.ready ]]; then
    rm -rf "$prefix"
    # 9>&-: the wine server this starts must not hold the lock for its life.
    # Its chatter is kept out of the way, but shown when the prefix fails.
    log=$(mktemp)
    if ! wine wineboot --init >"$log" 2>&1 9>&- || [[ ! -d $prefix ]]; then
      cat "$log" >&2
      rm -f "$log"
      echo "wine-run.sh: cannot make the wine prefix $prefix" >&2
      exit 1
    fi
    rm -f "$log"
    touch "$prefix/.ready"
  fi
  exec 9>&-
fi

# The C runtime writes stdout in text mode, with CRLF line ends; CTest and the
# GoogleTest listing it parses want plain lines. pipefail keeps the program's
# exit status.
wine "$@" | tr -d '\r'
