#!/usr/bin/env bash
# Builds the npm packages into build/npm/: `procsampler`, the client (ES modules and CommonJS), and
# one @procsampler/<platform>-<arch> package per platform, holding that platform's sidecar and the
# os, cpu (and libc) fields by which npm installs only the one that fits. `procsampler` names them
# all as optional dependencies. Runs on Linux x86-64; builds only what is out of date, and keeps
# Zig's build of each target's C++ runtime in a cache outside the tree, so later runs skip it.
#   scripts/pack-node.sh [--host-only] [--test]
#   --host-only  only linux-x64, with the dev preset's sidecar (glibc of this machine): a quick
#                local check without the Zig toolchain
#   --test       then install the tarballs into an empty project in a temporary folder, as a user
#                would, and start the sidecar from there every way a host can load the client
set -euo pipefail
cd "$(dirname "$0")/.."
host_only=false test=false
for arg in "$@"; do
  case $arg in
    --host-only) host_only=true ;;
    --test) test=true ;;
    *) echo "usage: $0 [--host-only] [--test]" >&2; exit 2 ;;
  esac
done
[ "$(uname -sm)" = "Linux x86_64" ] || { echo "pack-node: packs on Linux x86_64 only" >&2; exit 1; }

# One line a platform: the package's name part, npm's os, cpu and libc ("-": none), the CMake
# preset that builds its sidecar, where that puts it, and the check (with its arguments before the
# binary's path) that it runs there.
platforms=(
  "linux-x64 linux x64 glibc linux-x64-release build/linux-x64/procsampler scripts/check-elf.sh x86_64"
  "linux-arm64 linux arm64 glibc linux-arm64 build/linux-arm64/procsampler scripts/check-elf.sh aarch64"
  "darwin-arm64 darwin arm64 - macos-arm64 build/macos-arm64/procsampler scripts/check-macho.sh arm64"
  "darwin-x64 darwin x64 - macos-x64 build/macos-x64/procsampler scripts/check-macho.sh x86_64"
  "win32-x64 win32 x64 - windows-x64 build/windows-x64/procsampler.exe scripts/check-pe.sh"
)
# One npm workspace holds the client's tools and the Zig toolchain.
[ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund --loglevel=error
if $host_only; then
  platforms=("linux-x64 linux x64 glibc dev build/procsampler true")
else
  : "${ZIG_GLOBAL_CACHE_DIR:=${XDG_CACHE_HOME:-$HOME/.cache}/procsampler/zig}"
  export ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR
  # Windows is built with Debian's MinGW-w64 rather than Zig.
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || scripts/deps.sh --target windows-x64
fi
for platform in "${platforms[@]}"; do
  read -r _ _ _ _ preset binary check <<<"$platform"
  [ -f "$(dirname "$binary")/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target procsampler
  $check "$binary"  # split: the script, then its arguments
done

(cd clients/node && npm run --silent build)
version=$(node -p 'require("./clients/node/package.json").version')
rm -rf build/npm
mkdir -p build/npm/procsampler
cp -R clients/node/package.json clients/node/README.md clients/node/dist LICENSE build/npm/procsampler/
(cd build/npm/procsampler && npm pkg delete scripts devDependencies)  # a user needs neither
for platform in "${platforms[@]}"; do
  read -r key os cpu libc _ binary _ <<<"$platform"
  stage=build/npm/$key
  install -D -m 755 "$binary" "$stage/bin/$(basename "$binary")"
  # This machine's strip reads neither Mach-O nor another processor's ELF; Windows is linked -s.
  [ "$key" = linux-x64 ] && strip "$stage/bin/procsampler"
  cp LICENSE THIRD_PARTY_NOTICES.md "$stage/"
  KEY=$key OS=$os CPU=$cpu LIBC=$libc VERSION=$version node -e '
    const { KEY, OS, CPU, LIBC, VERSION } = process.env;
    const manifest = {
      name: `@procsampler/${KEY}`, version: VERSION,
      description: `The procsampler sidecar for ${KEY}${LIBC === "-" ? "" : ` (${LIBC})`}; installed by procsampler.`,
      license: "MIT", os: [OS], cpu: [CPU], ...(LIBC === "-" ? {} : { libc: [LIBC] }),
      files: ["bin", "THIRD_PARTY_NOTICES.md"], preferUnplugged: true,
    };
    require("fs").writeFileSync(`build/npm/${KEY}/package.json`, JSON.stringify(manifest, null, 2) + "\n");'
  (cd build/npm/procsampler && npm pkg set "optionalDependencies.@procsampler/$key=$version")
done
for stage in build/npm/*/; do
  tarball=$(cd build/npm && npm pack --silent "./$(basename "$stage")")
  echo "packed build/npm/$tarball ($(du -k "build/npm/$tarball" | cut -f1) KiB)"
done

if $test; then
  scripts/test-node-package.sh build/npm
fi
