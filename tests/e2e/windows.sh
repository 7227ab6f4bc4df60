#!/usr/bin/env bash
# The Windows programs under Wine against the Linux build:
#   windows.sh WINDOWS_BIN_DIR LINUX_BIN_DIR
# For kelpori and vontrel:
# - the software model (-s) writes the lines the Linux model writes, each
#   ended with CR LF, and prints nothing;
# - the board run without the card's driver fails with one line on standard
#   error and exit status 1, and leaves no output file;
# - the board run on the simulated card (TV940_DEVICE=sim), in a directory
#   holding the program's design file, writes the Windows model's file byte
#   for byte, prints the clock trace lines the Linux board run prints and
#   writes the Linux run's trace (TV940_TRACE), each line ended with CR LF;
# - a trace named as the program's output file fails the run and leaves the
#   file as it was.
# Ends with "N passed, N failed"; the exit status is 1 if any check failed.
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: windows.sh WINDOWS_BIN_DIR LINUX_BIN_DIR" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
windows_bin=$(cd "$1" && pwd)
linux_bin=$(cd "$2" && pwd)
run_windows="$here/windows-run.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  local description=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok - $description"
  else
    failed=$((failed + 1))
    echo "FAILED - $description"
  fi
}

# Runs a program in a directory: run DIR NAME COMMAND... leaves DIR/NAME.out,
# DIR/NAME.err and DIR/NAME.status (the output file is the program's own).
run() {
  local dir=$1 name=$2
  shift 2
  (cd "$dir" && "$@" >"$name.stdout" 2>"$name.stderr")
  echo $? >"$dir/$name.status"
}

status_is() { [ "$(cat "$1")" = "$2" ]; }
is_empty() { [ ! -s "$1" ]; }
same_bytes() { cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }
one_line() { [ "$(wc -l <"$1")" -eq 1 ] && [ "$(wc -c <"$1")" -gt 1 ]; }

# Every line ends with CR LF, and without the CRs the file is the Linux one.
crlf_twin_of() {  # crlf_twin_of WINDOWS_FILE LINUX_FILE
  local windows=$1 linux=$2 lines
  [ -s "$linux" ] || return 1
  lines=$(wc -l <"$linux")
  # As many lines ending with CR as the Linux file has lines, and no other CR.
  [ "$(LC_ALL=C grep -c $'\r$' "$windows")" -eq "$lines" ] || return 1
  [ "$(tr -cd '\r' <"$windows" | wc -c)" -eq "$lines" ] || return 1
  tr -d '\r' <"$windows" | cmp -s - "$linux"
}

for program in kelpori vontrel; do
  exe="$windows_bin/$program.exe"
  out="$program.out"
  for dir in linux-model windows-model no-driver linux-sim windows-sim; do
    mkdir -p "$work/$program/$dir"
  done
  base="$work/$program"
  cp "$source_dir/designs/$program.bfx" "$base/linux-sim/"
  cp "$source_dir/designs/$program.bfx" "$base/windows-sim/"

  run "$base/linux-model" run env -u TV940_DEVICE "$linux_bin/$program" -s
  run "$base/windows-model" run env -u TV940_DEVICE "$run_windows" "$exe" -s
  check "$program -s on Linux writes its file" \
    status_is "$base/linux-model/run.status" 0
  check "$program.exe -s ends with status 0 and prints nothing" \
    eval 'status_is "$base/windows-model/run.status" 0 &&
          is_empty "$base/windows-model/run.stdout" &&
          is_empty "$base/windows-model/run.stderr"'
  check "$program.exe -s writes the Linux model's lines, each ended with CR LF" \
    crlf_twin_of "$base/windows-model/$out" "$base/linux-model/$out"

  run "$base/no-driver" run env -u TV940_DEVICE "$run_windows" "$exe"
  check "$program.exe without the driver ends with status 1" \
    status_is "$base/no-driver/run.status" 1
  check "$program.exe without the driver says why in one line on standard error" \
    one_line "$base/no-driver/run.stderr"
  check "$program.exe without the driver writes no $out" \
    absent "$base/no-driver/$out"

  run "$base/linux-sim" run env TV940_DEVICE=sim TV940_TRACE=run.trace \
    "$linux_bin/$program"
  run "$base/windows-sim" run env TV940_DEVICE=sim TV940_TRACE=run.trace \
    "$run_windows" "$exe"
  check "$program.exe on the simulated card ends with status 0, nothing on standard error" \
    eval 'status_is "$base/windows-sim/run.status" 0 &&
          is_empty "$base/windows-sim/run.stderr"'
  check "$program.exe on the simulated card writes the Windows model's file" \
    same_bytes "$base/windows-sim/$out" "$base/windows-model/$out"
  check "$program.exe on the simulated card prints the Linux board run's trace lines" \
    crlf_twin_of "$base/windows-sim/run.stdout" "$base/linux-sim/run.stdout"
  check "$program.exe on the simulated card writes the Linux run's trace, each line ended with CR LF" \
    crlf_twin_of "$base/windows-sim/run.trace" "$base/linux-sim/run.trace"

  run "$base/windows-sim" kept env TV940_DEVICE=sim TV940_TRACE="$out" \
    "$run_windows" "$exe"
  check "$program.exe with its output file as the trace ends with status 1, one line on standard error" \
    eval 'status_is "$base/windows-sim/kept.status" 1 &&
          one_line "$base/windows-sim/kept.stderr"'
  check "$program.exe with its output file as the trace leaves that file as it was" \
    same_bytes "$base/windows-sim/$out" "$base/windows-model/$out"

  for dir in windows-model no-driver windows-sim; do
    if [ -s "$base/$dir/run.stderr" ] && [ "$dir" != no-driver ]; then
      echo "   $dir standard error: $(head -c 300 "$base/$dir/run.stderr")"
    fi
  done
  echo "   without the driver: $(head -c 300 "$base/no-driver/run.stderr")"
done

echo "windows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
