#!/usr/bin/env bash
# Installs the Debian packages the build, tests and benchmarks need, only those that are missing;
# on macOS, the Homebrew formulae instead.
#   scripts/deps.sh [--browser]
#   --browser  also Debian's Chromium, for the dashboard's browser test (on macOS that test uses an
#              installed Chrome or Chromium, or is skipped)
set -euo pipefail
browser=false
for arg in "$@"; do
  case $arg in
    --browser) browser=true ;;
    *) echo "usage: $0 [--browser]" >&2; exit 2 ;;
  esac
done

if [ "$(uname -s)" = Darwin ]; then
  command -v brew >/dev/null || { echo "deps: on macOS, install Homebrew first" >&2; exit 1; }
  missing=()
  for formula in cmake ninja node googletest google-benchmark; do
    brew list --formula "$formula" >/dev/null 2>&1 || missing+=("$formula")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    brew install "${missing[@]}"
  fi
  exit 0
fi

packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev python3
          libclang-rt-14-dev)
$browser && packages+=(chromium)
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
