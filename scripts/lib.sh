# Shared by the scripts: package installation and preset builds.

# Runs a command as root: directly when the user is root, else through sudo.
as_root() {
  if [ "$(id -u)" = 0 ]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    echo "== '$*' needs root, and there is no sudo: run this script as root" >&2
    return 1
  fi
}

# Installs the Debian packages that are not installed yet (through sudo when
# the user is not root). On a system without apt-get it names them and
# stops; TV940_SKIP_PACKAGES=1 goes on without them, for one that has them
# installed by other means.
require_packages() {
  if [ "${TV940_SKIP_PACKAGES:-}" = 1 ]; then return 0; fi
  if ! command -v apt-get >/dev/null || ! command -v dpkg >/dev/null; then
    echo "== this system has no apt-get. Install these packages (Debian's names;" \
      "your system's may differ), then run again with TV940_SKIP_PACKAGES=1:" >&2
    echo "   $*" >&2
    exit 1
  fi
  local missing=()
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    as_root apt-get update || exit 1
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}" ||
      exit 1
  fi
}

# Configures the default build as the tests take it: warnings are errors
# here, not in a user's own build of the default preset.
configure_default() {
  cmake --preset default -DTV940_WERROR=ON "$@"
}

# Configures, builds and tests one CMake preset, warnings as errors.
preset_stage() {
  local preset=$1
  echo "== $preset build"
  cmake --preset "$preset" -DTV940_WERROR=ON >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset tests"
  ctest --preset "$preset"
}
