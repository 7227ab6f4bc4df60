#!/usr/bin/env bash
# Makes the Windows zip of a 32-bit MinGW build (cpack -G ZIP) and checks it:
# the three programs, the designs as in designs/, README.TXT with CR LF line
# ends, and programs that Windows 95 and 98 still load (every import on the
# list, as the Windows stage checks for the built ones).
#   tests/e2e/windows-zip.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
imports=$root/platform/os/win32/win9x-imports.txt

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=tv940-$version-win32
(cd "$build" && cpack -G ZIP >/dev/null)
zip=$build/packages/$name.zip
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cmake -E tar xf "$zip")

fail() {
  echo "== windows zip $zip: $*" >&2
  exit 1
}
designs=$(cd "$root/designs" && find . -name '*.bfx' | sed 's|^\./||' | sort)
# shellcheck disable=SC2086  # one design a word
expected=$(printf '%s\n' README.TXT kelpori.exe vontrel.exe tv940-trace.exe \
  $designs | sort)
found=$(cd "$work/$name" && find . -type f | sed 's|^\./||' | sort)
[ "$found" = "$expected" ] ||
  fail "holds $(tr '\n' ' ' <<<"$found"), not $(tr '\n' ' ' <<<"$expected")"
for design in $designs; do
  cmp -s "$root/designs/$design" "$work/$name/$design" ||
    fail "$design differs from designs/$design"
done

readme=$work/$name/README.TXT
lines=$(wc -l <"$readme")
crlf=$(grep -c $'\r$' "$readme" || true)
ending=$(tail -c 2 "$readme" | od -An -c | tr -d ' ')
if [ "$lines" -lt 10 ] || [ "$crlf" != "$lines" ] || [ "$ending" != '\r\n' ]; then
  fail "README.TXT has $crlf CR LF line ends in $lines lines"
fi
grep -q "$version" "$readme" || fail "README.TXT does not name version $version"

OBJDUMP=i686-w64-mingw32-objdump "$root/tests/e2e/windows-imports.sh" "$imports" \
  "$work/$name/kelpori.exe" "$work/$name/vontrel.exe" ||
  fail "its programs import functions that Windows 95 and 98 lack"
echo "== windows zip: $(basename "$zip"): $(wc -l <<<"$found") files, README.TXT in CR LF, programs for Windows 95 and 98"
