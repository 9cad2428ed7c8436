#!/usr/bin/env bash
# Builds a release into one folder (build/release by default): for every platform, a tarball
# procsampler-<version>-<platform>.tar.gz holding the sidecar, the licence and third-party notices,
# the protocol reference and its JSON Schema, for hosts in any language; the npm tarballs; and
# SHA256SUMS over all of them, which the script then verifies. Runs on Linux x86-64 with what
# scripts/pack-node.sh needs; the npm packages are tested as a user installs them first.
#   scripts/release.sh [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release}
scripts/pack-node.sh --test

version=$(node -p 'require("./clients/node/package.json").version')
# Archives hold the commit's time and no owner, so a rebuild of one commit gives the same bytes.
stamp=$(git log -1 --format=%ct)
rm -rf "$out"
mkdir -p "$out"
for binary in build/npm/*/bin/procsampler*; do
  platform=$(basename "$(dirname "$(dirname "$binary")")")
  name=procsampler-$version-$platform
  staging=$(mktemp -d)
  mkdir -p "$staging/$name/docs" "$staging/$name/schema/v3"
  install -m 755 "$binary" "$staging/$name/$(basename "$binary")"
  cp LICENSE THIRD_PARTY_NOTICES.md "$staging/$name/"
  # The documents keep the layout their links between one another and to the schemas assume.
  cp docs/protocol.md docs/protocol-v3.md "$staging/$name/docs/"
  cp schema/*.json "$staging/$name/schema/"
  cp schema/v3/*.json "$staging/$name/schema/v3/"
  tar -C "$staging" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" -cf - "$name" |
    gzip -n -9 > "$out/$name.tar.gz"
  rm -rf "$staging"
done
cp build/npm/*.tgz "$out/"
(cd "$out" && sha256sum -- *.tar.gz *.tgz > SHA256SUMS && sha256sum --check --strict --quiet SHA256SUMS)
echo "release $version in $out, verified against its SHA256SUMS:"
(cd "$out" && ls -l -- *.tar.gz *.tgz | awk '{print "  " $5, $9}')
