# Sourced by the top-level scripts: installs what the build needs on a fresh
# Debian machine (as root), then configures and builds into build/.
set -euo pipefail

need_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

configure() {  # configure DIR [cmake options...]
  local dir="$1"
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

build_tool() {  # build_tool DIR [cmake options...]: everything, tests included
  configure "$@"
  cmake --build "$1" -j"$(nproc)"
}

BASE_PACKAGES=(cmake make g++ zlib1g-dev libdeflate-dev pkg-config libgtest-dev locales libstb-dev)
# clang and the sanitizer runtimes, for the sanitized and the fuzz builds.
SANITIZER_PACKAGES=(clang-14 libclang-rt-14-dev)
# The MinGW cross build, GoogleTest's sources for it, libdeflate's version and
# the tools that unpack its source package, Wine to run it, and cmark-gfm for
# the guide's page in the download.
WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix libz-mingw-w64-dev cmark-gfm libstb-dev
  googletest libdeflate-dev dpkg-dev xz-utils wine wine64)
