# Shared by the demonstration and the test command: installs what is missing
# and builds both targets. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export WINEDEBUG=-all

# Installs the Debian packages named that are not installed yet.
ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "== installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

BUILD_PACKAGES=(cmake make g++ mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
                nlohmann-json3-dev googletest libgtest-dev python3)

build_all() {
  echo "== building the Linux host (build/native)"
  cmake --preset native >/dev/null
  cmake --build --preset native
  echo "== building the Windows host (build/windows)"
  cmake --preset windows >/dev/null
  cmake --build --preset windows
}

# A wine prefix of this run's own, with its server kept running so that each
# program start costs a tenth of a second instead of seconds. The caller
# stops it with stop_wine (from its own exit trap).
start_wine() {
  export WINEPREFIX="${NIMBRA_WINEPREFIX:-$(mktemp -d /tmp/nimbra-wine.XXXXXX)}"
  NIMBRA_WINE_STARTED=1
  echo "== preparing wine prefix $WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit >/dev/null 2>&1 || true
}

# Stops only what start_wine started, and removes only a prefix it made.
stop_wine() {
  [ -n "${NIMBRA_WINE_STARTED:-}" ] || return 0
  NIMBRA_WINE_STARTED=""
  wineserver -k 2>/dev/null || true
  if [ -z "${NIMBRA_WINEPREFIX:-}" ]; then rm -rf "$WINEPREFIX"; fi
}
