#!/usr/bin/env bash
# Installs what the build, tests and benchmarks need, only what is missing: with Homebrew on macOS
# (the compiler comes with Xcode's command line tools), with apt-get on Debian.
#   scripts/deps.sh [--browser] [--target linux-arm64 | --target windows-x64]
#   --browser  also Debian's Chromium, for the dashboard's browser test (on macOS that test uses an
#              installed Chrome or Chromium, or is skipped)
#   --target   also what runs that target's tests here (Debian only): for linux-arm64, qemu-user
#              and the arm64 glibc its loader and libraries come from (/usr/aarch64-linux-gnu); for
#              windows-x64, MinGW-w64's GCC with POSIX threads and Wine (wine64, and wine for
#              wineserver and the tools)
set -euo pipefail
browser=false
target=""
while (($#)); do
  case $1 in
    --browser) browser=true; shift ;;
    --target) target=${2:-usage}; shift $(($# < 2 ? 1 : 2)) ;;
    *) target=usage; break ;;
  esac
done
case $target in
  "" | linux-arm64 | windows-x64) ;;
  *) echo "usage: $0 [--browser] [--target linux-arm64 | --target windows-x64]" >&2; exit 2 ;;
esac

if [ "$(uname -s)" = Darwin ]; then
  if ! command -v brew >/dev/null; then
    echo "deps.sh: macOS needs Homebrew (https://brew.sh) to install cmake, ninja, googletest," \
         "google-benchmark and node" >&2
    exit 1
  fi
  missing=()
  for formula in cmake ninja googletest google-benchmark node; do
    brew list --formula "$formula" >/dev/null 2>&1 || missing+=("$formula")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    brew install "${missing[@]}"
  fi
  exit 0
fi

packages=(cmake ninja-build g++ clang clang-format libgtest-dev libgmock-dev libbenchmark-dev python3
          libclang-rt-14-dev googletest)
$browser && packages+=(chromium)
[ "$target" = linux-arm64 ] && packages+=(qemu-user-static libc6-arm64-cross)
[ "$target" = windows-x64 ] && packages+=(g++-mingw-w64-x86-64-posix wine64 wine)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
# The Node client and its tests need Node 18 or later.
node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 18 ? 0 : 1)' ||
  { echo "deps: Node $(node --version) is too old; the Node client needs 18 or later" >&2; exit 1; }
