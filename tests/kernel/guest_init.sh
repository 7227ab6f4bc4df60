#!/bin/busybox sh
# /init of the kernel stage's guests (busybox). Runs the programs against the
# stand-in card and prints one line per check on the console:
#   @check ok|FAIL|pending <what was checked>[: detail]
# then "@done". "pending" marks a check the stand-in card cannot support (an
# interrupt without an interrupt pin); it does not fail the stage.
#
# The kernel command line's tv940.guest= picks the guest:
#   sysfs  (default machine) the kernel's PCI files with no driver, then UIO;
#   vfio   (q35 with an IOMMU) the card bound to vfio-pci; every check line
#          starts with "vfio:".
#
# /stage holds: settings (CARD, SMALL_CARD, SIM_IO_BASE), the programs and
# guest_probe in bin/, the designs in designs/, the modules in modules/, the
# udev rule for the VFIO group node, and per program in reference/<name>/ the
# simulated card's run of it: stdout, lines (the output file's line count) and
# trace (its req, out, wr and dwr lines).
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
guest=sysfs
read -r cmdline </proc/cmdline
for word in $cmdline; do
  case $word in tv940.guest=*) guest=${word#tv940.guest=} ;; esac
done

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

# Runs PROGRAM in a fresh directory against DEVICE, as USER when given; sets
# $status, $run_dir and $run_seconds.
run_program() { # PROGRAM DEVICE [USER]
  run_dir=/work/$1
  rm -rf "$run_dir"
  mkdir -p "$run_dir"
  cp "/stage/designs/$1.bfx" "$run_dir/"
  start=$(seconds)
  command="cd $run_dir && TV940_DEVICE=$2 TV940_TRACE=$run_dir/trace"
  command="$command /stage/bin/$1 >stdout 2>stderr"
  if [ -n "${3:-}" ]; then
    chown -R "$3" "$run_dir"
    su -s /bin/sh "$3" -c "$command"
  else
    sh -c "$command"
  fi
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

# ---- Both programs --------------------------------------------------------------

# The words read back after each run, filled beforehand with a pattern no run
# writes there, so that a word reads as written only when the run wrote it.
# 0xC000 is read, changed and written back by the run: it starts from 0, as
# after power-up.
window_words="0xc000 0xc008 0xc010 0xc014 0x4000"
port_words="16 24 60"
fill=0xa5a5a5a5

# Both programs against the card: exit status, clock lines, output file, the
# words read back and the trace, whose heading must name BACKEND. LABEL starts
# every check line.
check_programs() { # LABEL BACKEND
  for program in kelpori vontrel; do
    check_program "$1" "$2" $program
  done
}

check_program() { # LABEL BACKEND PROGRAM
  label=$1
  program=$3
  reference=/stage/reference/$program
  /stage/bin/guest_probe window "$card" 0xc000=0 0xc008=$fill 0xc010=$fill 0xc014=$fill 0x4000=$fill
  /stage/bin/guest_probe ports "$card" $(for o in $port_words; do echo "$o=$fill"; done)
  # Which ports hold a value: the stand-in keeps some of its registers only.
  unheld=$(/stage/bin/guest_probe ports "$card" $port_words | awk '$2 != "a5a5a5a5" { printf " %s", $1 }')
  run_program $program "$CARD"
  [ $status = 0 ]
  check "$(verdict $?)" "$label$program: exit status $status (ran ${run_seconds} s)$(error_of "$run_dir")"
  check_run_output "$label" $program "$run_dir"

  expected_window "$reference/trace" $(echo $window_words | sed 's/0x//g') >"$run_dir/window.expected"
  /stage/bin/guest_probe window "$card" $window_words >"$run_dir/window" 2>&1
  cmp -s "$run_dir/window" "$run_dir/window.expected"
  check "$(verdict $?)" "$label$program: window words read back as written:" \
    "$(joined <"$run_dir/window")"

  expected_ports "$reference/trace" "$SIM_IO_BASE" $port_words >"$run_dir/ports.expected"
  /stage/bin/guest_probe ports "$card" $port_words >"$run_dir/ports" 2>&1
  cmp -s "$run_dir/ports" "$run_dir/ports.expected"
  check "$(verdict $?)" "$label$program: ports read back as written: $(joined <"$run_dir/ports")" \
    "${unheld:+(the stand-in does not keep port$unheld: it reads 0 whatever is written)}"

  check_trace "$label" "$2" $program "$run_dir"
}

# The clock lines and the output file's line count of a run in RUN_DIR.
check_run_output() { # LABEL PROGRAM RUN_DIR
  reference=/stage/reference/$2
  clock_lines=$(grep -c '^Send ' "$3/stdout")
  cmp -s "$3/stdout" "$reference/stdout" && [ "$clock_lines" = 7 ]
  check "$(verdict $?)" "$1$2: the seven clock lines ($clock_lines lines, compared with the simulated card's)"

  lines=$(wc -l <"$3/$2.out" 2>/dev/null || echo none)
  [ "$lines" = "$(cat "$reference/lines")" ]
  check "$(verdict $?)" "$1$2: output file has $lines lines (expected $(cat "$reference/lines"))"
}

# The trace of a run in RUN_DIR against the simulated card's run; its heading
# must name BACKEND.
check_trace() { # LABEL BACKEND PROGRAM RUN_DIR
  reference=/stage/reference/$3
  # The card's trace, filtered first: awk is slow under emulation.
  grep -E '^(req|out|wr|dwr) ' "$4/trace" 2>/dev/null |
    normalise_trace "$card_base" >"$4/trace.card"
  normalise_trace "$SIM_IO_BASE" <"$reference/trace" >"$4/trace.sim"
  heading=$(grep -m 1 '^# trace:' "$4/trace" 2>/dev/null)
  if ! echo "$heading" | grep -qF "($2)"; then
    check FAIL "$1$3: the trace's heading does not name $2: ${heading:-no heading}"
  elif cmp -s "$4/trace.card" "$4/trace.sim"; then
    check ok "$1$3: trace equals the simulated card's" \
      "($(wc -l <"$4/trace.sim") req/out/wr/dwr lines, heading names $2)"
  else
    check FAIL "$1$3: trace differs from the simulated card's (-) at:" \
      "$(diff -U0 "$4/trace.sim" "$4/trace.card" | grep -E '^[-+][a-z]' |
        head -n 2 | joined)"
  fi
}

# ---- One program at a time ------------------------------------------------------

# Whether process PID holds the card: its flock on the card's config file
# (sysfs and UIO; not just any of its locks, since the trace file is locked
# first) or its descriptor of the VFIO group node.
holds_card() { # PID
  if [ "$guest" = vfio ]; then
    for fd in "/proc/$1/fd"/*; do
      case $(readlink "$fd" 2>/dev/null) in /dev/vfio/[0-9]*) return 0 ;; esac
    done
    return 1
  else
    config_inode=$(ls -i "$card/config" | awk '{ print $1 }')
    awk -v pid="$1" -v inode=":$config_inode" '
      $2 == "FLOCK" && $5 == pid && substr($6, length($6) - length(inode) + 1) == inode { found = 1 }
      END { exit !found }' /proc/locks
  fi
}

# kelpori starts and, once it holds the card, is stopped; vontrel started then
# must fail with "in use by another program" and kelpori's process id; kelpori,
# continued, must finish as the simulated card's run does.
check_second_program() { # LABEL BACKEND
  first=/work/first
  rm -rf "$first"
  mkdir -p "$first"
  cp /stage/designs/kelpori.bfx "$first/"
  (cd "$first" && exec env TV940_DEVICE=$CARD TV940_TRACE=$first/trace \
    /stage/bin/kelpori >stdout 2>stderr) &
  pid=$!
  tries=0
  while ! holds_card $pid && kill -0 $pid 2>/dev/null && [ $tries -lt 2000 ]; do
    usleep 2000
    tries=$((tries + 1))
  done
  kill -STOP $pid 2>/dev/null
  if holds_card $pid; then held=1; else held=0; fi
  run_program vontrel "$CARD"
  kill -CONT $pid 2>/dev/null
  wait $pid
  first_status=$?
  if [ $held = 0 ]; then
    check FAIL "$1a second program: the first never held the card (exit status $first_status)"
  else
    [ $status = 1 ] && grep -qF "in use by another program (process $pid" "$run_dir/stderr" &&
      [ ! -e "$run_dir/vontrel.out" ]
    check "$(verdict $?)" "$1a second program while kelpori (process $pid) holds the card:" \
      "exit status $status: $(first_line "$run_dir/stderr")"
  fi
  [ $first_status = 0 ]
  check "$(verdict $?)" "$1the first program, continued: exit status $first_status$(error_of "$first")"
  check_run_output "$1the first program: " kelpori "$first"
  check_trace "$1the first program: " "$2" kelpori "$first"
}

# ---- The VFIO guest ---------------------------------------------------------------

# The card bound to vfio-pci, on a machine with an IOMMU. Every line says "vfio".
vfio_guest() {
  for module in irqbypass vfio vfio_virqfd vfio_iommu_type1 vfio-pci-core vfio-pci; do
    insmod "/stage/modules/$module.ko" || check FAIL "vfio: module $module does not load"
  done
  # A card that cannot mask its interrupt: vfio-pci then takes the line for
  # itself and masks it at the interrupt controller.
  echo 1 >/sys/module/vfio_pci/parameters/nointxmask
  echo 1 >"$card/enable"
  echo vfio-pci >"$card/driver_override"
  echo "$CARD" >/sys/bus/pci/drivers_probe
  group=$(basename "$(readlink "$card/iommu_group")")
  driver=$(driver_of "$card")
  [ "$driver" = vfio-pci ] && [ -c "/dev/vfio/$group" ] &&
    [ "$(cat /sys/module/vfio_pci/parameters/nointxmask)" = Y ]
  check "$(verdict $?)" "vfio: card bound to $driver, IOMMU group ${group:-none}," \
    "/dev/vfio/$group $([ -c "/dev/vfio/$group" ] && echo present || echo missing)," \
    "nointxmask $(cat /sys/module/vfio_pci/parameters/nointxmask)"
  card_base=$(io_base "$card")

  check_programs "vfio: " "linux vfio"
  vfio_unprivileged
  check_second_program "vfio: " "linux vfio"
  vfio_refusals
  run_program vontrel "$CARD"
  [ $status = 0 ]
  check "$(verdict $?)" "vfio: a run after both: exit status $status$(error_of "$run_dir")"

  # The stand-in's vertical blank, as in the UIO check, through the INTx eventfd.
  probe=$(TV940_DEVICE=$CARD timeout 30 /stage/bin/guest_probe interrupt 64=1 64=0 68=1 2>&1)
  check "$(verdict $?)" "vfio: interrupt through the INTx eventfd (irq $(cat "$card/irq")):" \
    "$(echo "$probe" | joined)"
}

# The kernel's own refusals: the group node held open by a process that takes
# no lock (as a virtual machine would), and a group that is not viable.
vfio_refusals() {
  sleep 600 <>"/dev/vfio/$group" &
  holder=$!
  tries=0
  while ! holds_card $holder && [ $tries -lt 2000 ]; do
    usleep 2000
    tries=$((tries + 1))
  done
  run_program vontrel "$CARD"
  kill $holder
  wait $holder 2>/dev/null
  [ $status = 1 ] && grep -qF "in use by another program (process $holder)" "$run_dir/stderr"
  check "$(verdict $?)" "vfio: group node held open by process $holder: exit status $status:" \
    "$(first_line "$run_dir/stderr")"

  # The ICH9 functions share a group: one bound to vfio-pci, another to
  # pci-pf-stub, which VFIO does not allow beside it.
  insmod /stage/modules/pci-pf-stub.ko
  for pair in "$Q35_SMBUS vfio-pci" "$Q35_LPC pci-pf-stub"; do
    set -- $pair
    echo "$2" >"$devices/$1/driver_override"
    echo "$1" >/sys/bus/pci/drivers_probe
  done
  run_program kelpori "$Q35_SMBUS"
  [ $status = 1 ] && grep -qF "is not usable" "$run_dir/stderr" &&
    grep -qF "$Q35_LPC (bound to pci-pf-stub)" "$run_dir/stderr"
  check "$(verdict $?)" "vfio: a group that is not viable ($(driver_of "$devices/$Q35_SMBUS")," \
    "$(driver_of "$devices/$Q35_LPC") in it): exit status $status: $(first_line "$run_dir/stderr")"
}

# A user who is not root, in the group the udev rule names: refused while the
# group node is root's alone, served once it has the rule's group and mode.
vfio_unprivileged() {
  rule=/stage/70-tv940-vfio.rules
  rule_group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$rule" | head -n 1)
  rule_mode=$(sed -n 's/.*MODE="\([^"]*\)".*/\1/p' "$rule" | head -n 1)
  mkdir -p /etc
  printf 'root:x:0:0::/:/bin/sh\nuser:x:1000:1000::/work:/bin/sh\n' >/etc/passwd
  printf 'root:x:0:\nuser:x:1000:\n%s:x:940:user\n' "$rule_group" >/etc/group

  run_program vontrel "$CARD" user
  [ $status = 1 ] && grep -qF "/dev/vfio/$group" "$run_dir/stderr" &&
    grep -qF "udev rule" "$run_dir/stderr"
  check "$(verdict $?)" "vfio: not root, group node not granted: exit status $status:" \
    "$(first_line "$run_dir/stderr")"

  chgrp "$rule_group" "/dev/vfio/$group" && chmod "$rule_mode" "/dev/vfio/$group"
  run_program vontrel "$CARD" user
  [ $status = 0 ]
  check "$(verdict $?)" "vfio: not root, in group $rule_group (node $(stat -c '%A %U %G' \
    "/dev/vfio/$group")): exit status $status$(error_of "$run_dir")"
  check_run_output "vfio: not root: " vontrel "$run_dir"
}

finish() {
  echo "@done after $(seconds) s"
  poweroff -f
}

if [ "$guest" = vfio ]; then
  vfio_guest
  finish
fi

# ---- The sysfs guest: the stand-in card ---------------------------------------

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

check_programs "" "linux pci"

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

# ---- One program at a time, through the sysfs backend's lock ------------------

check_second_program "" "linux pci"
run_program vontrel "$CARD"
[ $status = 0 ]
check "$(verdict $?)" "a run after both: exit status $status$(error_of "$run_dir")"

finish
