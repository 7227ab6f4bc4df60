#!/bin/busybox sh
# /init of the kernel stage's guest (busybox). Runs the programs against the
# stand-in card through the kernel's PCI files and prints one line per check
# on the console:
#   @check ok|FAIL|pending <what was checked>[: detail]
# then "@done". "pending" marks a check the stand-in card cannot support (an
# interrupt without an interrupt pin); it does not fail the stage.
#
# /stage holds: settings (CARD, SMALL_CARD, SIM_IO_BASE), the programs and
# guest_probe in bin/, the designs in designs/, the modules in modules/, and
# per program in reference/<name>/ the simulated card's run of it: stdout, lines (the output file's line
# count) and trace (its req, out, wr and dwr lines).
#
# Word lists ($window_words, $port_words) are split on purpose.
# shellcheck disable=SC2046,SC2086
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# shellcheck source=/dev/null
. /stage/settings

devices=/sys/bus/pci/devices
card=$devices/$CARD

check() { # STATUS TEXT
  echo "@check $*"
}

# The check's status from a condition's exit status.
verdict() {
  if [ "$1" = 0 ]; then echo ok; else echo FAIL; fi
}

seconds() { # centiseconds since boot, as seconds with two decimals
  awk '{ printf "%.2f", $1 }' /proc/uptime
}

driver_of() { # DEVICE_DIR
  if [ -e "$1/driver" ]; then basename "$(readlink "$1/driver")"; else echo none; fi
}

# The I/O base of a device: the start of its resource line 2 (BAR1).
io_base() {
  sed -n 2p "$1/resource" | awk '{ printf "%d", $1 }'
}

# A trace's req, out, wr and dwr lines, with every port made relative to the
# I/O base, so that the simulated card's trace and the card's compare.
# Comment lines (#) and reads are dropped.
normalise_trace() { # BASE < TRACE
  awk -v base="$1" '
    $1 == "out" { printf "out +%d %s\n", ("0x" $2) - base, $3; next }
    $1 == "req" || $1 == "wr" || $1 == "dwr" { print $1, $2, $3 }'
}

# What the simulated card's run left, from its trace: the last word written to
# each chip address named, and the last word written to each port offset.
expected_window() { # TRACE ADDRESS...
  trace=$1
  shift
  for a in "$@"; do
    # Compared as text: awk would take an address like 04e3 for 4000.
    awk -v a="$a" '($1 == "wr" || $1 == "dwr") && $2 == a "" { w = $3 }
      END { if (w != "") print a, w }' "$trace"
  done
}
expected_ports() { # TRACE BASE OFFSET...
  trace=$1
  base=$2
  shift 2
  for o in "$@"; do
    awk -v o="$o" -v base="$base" '$1 == "out" && ("0x" $2) - base == o { w = $3 }
      END { if (w != "") print o, w }' "$trace"
  done
}

# Runs PROGRAM in a fresh directory against DEVICE; sets $status, $run_dir and
# $run_seconds.
run_program() { # PROGRAM DEVICE
  run_dir=/work/$1
  rm -rf "$run_dir"
  mkdir -p "$run_dir"
  cp "/stage/designs/$1.bfx" "$run_dir/"
  start=$(seconds)
  (cd "$run_dir" && TV940_DEVICE=$2 TV940_TRACE=$run_dir/trace \
    "/stage/bin/$1" >stdout 2>stderr)
  status=$?
  run_seconds=$(awk -v a="$start" -v b="$(seconds)" 'BEGIN { printf "%.2f", b - a }')
}

# Standard input's words on one line.
joined() {
  tr -s ' \n' '  ' | sed 's/ $//'
}

# Writes one byte of a configuration file.
write_config_byte() { # FILE OFFSET VALUE
  printf '%b' "\\0$(printf %o "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

first_line() { # FILE
  head -n 1 "$1" 2>/dev/null
}

# ": " and the first line the run wrote on standard error, if any.
error_of() { # RUN_DIR
  line=$(first_line "$1/stderr")
  echo "${line:+: $line}"
}

# ---- The stand-in card -------------------------------------------------------

size_of() { # FILE
  stat -c %s "$1" 2>/dev/null || echo 0
}
[ "$(size_of "$card/resource0")" = 16777216 ] && [ "$(size_of "$card/resource1")" = 256 ]
check "$(verdict $?)" "card $CARD: resource0 is $(size_of "$card/resource0") bytes," \
  "resource1 is $(size_of "$card/resource1") bytes (16 MiB window, 256-byte ports)"
echo 1 >"$card/enable"
command=$(od -An -tu2 -j4 -N2 "$card/config" | tr -d ' ')
[ $((command & 3)) = 3 ]
check "$(verdict $?)" "card enabled through sysfs: command register $(printf 0x%04x "$command")," \
  "memory and I/O decoding on"
card_base=$(io_base "$card")

# ---- Both programs, with no driver bound ---------------------------------------

# The words read back after each run, filled beforehand with a pattern no run
# writes there, so that a word reads as written only when the run wrote it.
# 0xC000 is read, changed and written back by the run: it starts from 0, as
# after power-up.
window_words="0xc000 0xc008 0xc010 0xc014 0x4000"
port_words="16 24 60"
fill=0xa5a5a5a5

for program in kelpori vontrel; do
  reference=/stage/reference/$program
  /stage/bin/guest_probe window "$card" 0xc000=0 0xc008=$fill 0xc010=$fill 0xc014=$fill 0x4000=$fill
  /stage/bin/guest_probe ports "$card" $(for o in $port_words; do echo "$o=$fill"; done)
  # Which ports hold a value: the stand-in keeps some of its registers only.
  unheld=$(/stage/bin/guest_probe ports "$card" $port_words | awk '$2 != "a5a5a5a5" { printf " %s", $1 }')
  run_program $program "$CARD"
  [ $status = 0 ]
  check "$(verdict $?)" "$program: exit status $status (ran ${run_seconds} s)$(error_of "$run_dir")"

  clock_lines=$(grep -c '^Send ' "$run_dir/stdout")
  cmp -s "$run_dir/stdout" "$reference/stdout" && [ "$clock_lines" = 7 ]
  check "$(verdict $?)" "$program: the seven clock lines ($clock_lines lines, compared with the simulated card's)"

  lines=$(wc -l <"$run_dir/$program.out" 2>/dev/null || echo none)
  [ "$lines" = "$(cat "$reference/lines")" ]
  check "$(verdict $?)" "$program: output file has $lines lines (expected $(cat "$reference/lines"))"

  expected_window "$reference/trace" $(echo $window_words | sed 's/0x//g') >"$run_dir/window.expected"
  /stage/bin/guest_probe window "$card" $window_words >"$run_dir/window" 2>&1
  cmp -s "$run_dir/window" "$run_dir/window.expected"
  check "$(verdict $?)" "$program: window words read back as written:" \
    "$(joined <"$run_dir/window")"

  expected_ports "$reference/trace" "$SIM_IO_BASE" $port_words >"$run_dir/ports.expected"
  /stage/bin/guest_probe ports "$card" $port_words >"$run_dir/ports" 2>&1
  cmp -s "$run_dir/ports" "$run_dir/ports.expected"
  check "$(verdict $?)" "$program: ports read back as written: $(joined <"$run_dir/ports")" \
    "${unheld:+(the stand-in does not keep port$unheld: it reads 0 whatever is written)}"

  # The trace check is live as soon as the Linux backend writes traces.
  normalise_trace "$card_base" <"$run_dir/trace" >"$run_dir/trace.card" 2>/dev/null
  if [ -s "$run_dir/trace.card" ]; then
    normalise_trace "$SIM_IO_BASE" <"$reference/trace" >"$run_dir/trace.sim"
    if cmp -s "$run_dir/trace.card" "$run_dir/trace.sim"; then
      check ok "$program: trace equals the simulated card's" \
        "($(wc -l <"$run_dir/trace.sim") req/out/wr/dwr lines)"
    else
      check FAIL "$program: trace differs from the simulated card's (-) at:" \
        "$(diff -U0 "$run_dir/trace.sim" "$run_dir/trace.card" | grep -E '^[-+][a-z]' |
          head -n 2 | joined)"
    fi
  else
    check FAIL "$program: the Linux backend wrote no trace"
  fi
done

# ---- Failure paths ----------------------------------------------------------------

# Runs kelpori against DEVICE and checks that it fails with status 1, a
# standard-error line containing TEXT and no output file. Sets $refused.
expect_refusal() { # DEVICE TEXT
  run_program kelpori "$1"
  refused=1
  grep -qF "$2" "$run_dir/stderr" && [ $status = 1 ] && [ ! -e "$run_dir/kelpori.out" ] ||
    refused=0
}

# Memory decoding off in the command register.
low=$(od -An -tu1 -j4 -N1 "$card/config" | tr -d ' ')
write_config_byte "$card/config" 4 $((low & ~2))
expect_refusal "$CARD" "memory decoding is off"
check "$(verdict $((1 - refused)))" "memory decoding off: exit status $status:" \
  "$(first_line "$run_dir/stderr")"
write_config_byte "$card/config" 4 "$low"

# A window too small: the second card has 4 MiB of memory.
echo 1 >"$devices/$SMALL_CARD/enable"
expect_refusal "$SMALL_CARD" "resource0 spans 0x400000 bytes; the chip window needs 0x840000"
check "$(verdict $((1 - refused)))" "window too small ($SMALL_CARD): exit status $status:" \
  "$(first_line "$run_dir/stderr")"

# The card held by a driver that is not UIO: pci-pf-stub takes any device
# named in its driver_override.
insmod /stage/modules/pci-pf-stub.ko
echo pci-pf-stub >"$card/driver_override"
echo "$CARD" >/sys/bus/pci/drivers_probe
driver=$(driver_of "$card")
if [ "$driver" != pci-pf-stub ]; then
  check FAIL "card held by another driver: could not bind pci-pf-stub (driver: $driver)"
else
  expect_refusal "$CARD" "pci-pf-stub"
  if [ $refused = 1 ] && grep -q unbind "$run_dir/stderr"; then
    check ok "card held by pci-pf-stub: exit status 1: $(first_line "$run_dir/stderr")"
  else
    check FAIL "card held by pci-pf-stub: exit status $status:" \
      "$(first_line "$run_dir/stderr")"
  fi
  echo "$CARD" >"$card/driver/unbind"
fi

# ---- UIO ------------------------------------------------------------------------

insmod /stage/modules/uio.ko
insmod /stage/modules/uio_pci_generic.ko
echo uio_pci_generic >"$card/driver_override"
echo "$CARD" >/sys/bus/pci/drivers_probe
driver=$(driver_of "$card")
[ "$driver" = uio_pci_generic ] && [ -e "$card/uio/uio0" ] && [ -c /dev/uio0 ]
check "$(verdict $?)" "card bound to $driver, $(ls "$card/uio" 2>/dev/null) listed, /dev/uio0" \
  "$([ -c /dev/uio0 ] && echo present || echo missing)"

run_program vontrel "$CARD"
lines=$(wc -l <"$run_dir/vontrel.out" 2>/dev/null || echo none)
[ $status = 0 ] && [ "$lines" = "$(cat /stage/reference/vontrel/lines)" ]
check "$(verdict $?)" "vontrel under UIO: exit status $status, $lines lines" \
  "(ran ${run_seconds} s)$(error_of "$run_dir")"

# The stand-in's vertical-blank interrupt: enabled by bit 0 of its register
# 0x40 (port offset 64), acknowledged through 0x44. The probe waits for the
# library's interrupt watcher to serve it, then closes the board.
pin=$(od -An -tu1 -j61 -N1 "$card/config" | tr -d ' ')
if [ "$pin" = 0 ]; then
  check pending "interrupt: the stand-in card has no interrupt pin"
else
  probe=$(TV940_DEVICE=$CARD timeout 30 /stage/bin/guest_probe interrupt 64=1 64=0 68=1 2>&1)
  check "$(verdict $?)" "interrupt through UIO (pin $pin, irq $(cat "$card/irq")):" \
    "$(echo "$probe" | joined)"
fi

echo "@done after $(seconds) s"
poweroff -f
