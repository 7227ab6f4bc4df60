#!/bin/sh
# Checks the import tables of Windows programs against a list of allowed
# imports (platform/os/win32/win9x-imports.txt):
#   windows-imports.sh LIST PROGRAM.exe...
# Prints one line for each import of a program that the list lacks, and
# exits with 1 if there is any; also fails on a program whose import table
# cannot be read.
set -eu

if [ $# -lt 2 ] || [ ! -s "$1" ]; then
  echo "usage: windows-imports.sh LIST PROGRAM.exe..." >&2
  exit 2
fi
list=$1
shift
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

status=0
for program in "$@"; do
  # The import table as "DLL function" lines: objdump -p prints a
  # "DLL Name:" line for each DLL, then one line per function
  # (address, hint, name).
  if ! dump=$("$objdump" -p "$program"); then
    echo "$program: cannot read its headers" >&2
    status=1
    continue
  fi
  imports=$(printf '%s\n' "$dump" | awk '
    /^\tDLL Name: / { dll = $3; next }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3 }')
  if [ -z "$imports" ]; then
    echo "$program: no import table found" >&2
    status=1
    continue
  fi
  offending=$(printf '%s\n' "$imports" | awk -v program="$program" -v list="$list" '
    NR == FNR {
      if ($0 !~ /^#/ && NF == 2) allowed[tolower($1) " " $2] = 1
      next
    }
    !(tolower($1) " " $2 in allowed) {
      print program ": imports " $1 " " $2 ", which " list " does not list"
    }' "$list" -)
  if [ -n "$offending" ]; then
    printf '%s\n' "$offending" | sort -u
    status=1
  fi
done
exit $status
