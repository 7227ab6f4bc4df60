#!/bin/sh
# Runs a Windows program under Wine:
#   windows-run.sh PROGRAM.exe [ARGUMENT...]
# The program's machine type picks Wine's 32- or 64-bit loader. The Wine
# prefix is WINEPREFIX when set, otherwise wine-prefix in the build directory
# (the parent of the program's directory), created on first use. Wine says
# nothing of its own unless WINEDEBUG asks for it.
set -eu

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: windows-run.sh PROGRAM.exe [ARGUMENT...]" >&2
  exit 2
fi
program=$1
shift

# The PE header's offset is at 0x3c; its machine field follows the signature.
header=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
machine=$(od -An -tx2 -j$((header + 4)) -N2 "$program" | tr -d ' ')
case $machine in
  014c) loader=/usr/lib/wine/wine ;;
  8664) loader=/usr/lib/wine/wine64 ;;
  *)
    echo "windows-run.sh: $program is not an x86 Windows program" >&2
    exit 2
    ;;
esac
if [ ! -x "$loader" ]; then
  echo "windows-run.sh: $loader is missing (install wine, wine32:i386 and wine64)" >&2
  exit 2
fi

if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(cd "$(dirname "$program")/.." && pwd)/wine-prefix
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: console programs need neither, and nothing is fetched.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # One creator at a time; the others wait for it.
  flock "$WINEPREFIX.lock" sh -c '
    [ -f "$WINEPREFIX/system.reg" ] || "$1" wineboot --init >/dev/null 2>&1
    "${1%/*}/wineserver" -w' sh "$loader"
fi

exec "$loader" "$program" "$@"
