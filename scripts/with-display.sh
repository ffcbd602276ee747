#!/usr/bin/env bash
# Runs a command with a private session bus and, when no display is given, a virtual one.
set -euo pipefail
run=("$@")
if command -v dbus-run-session >/dev/null 2>&1 && [ -z "${KELO_HAS_BUS:-}" ]; then
  run=(env KELO_HAS_BUS=1 dbus-run-session -- "${run[@]}")
fi
if [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x900x24 -nolisten tcp" "${run[@]}"
fi
exec "${run[@]}"
