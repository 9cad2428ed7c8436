#!/usr/bin/env bash
# Installs the packed npm packages into an empty project, as a user would, and starts the sidecar
# from there every way a host loads the client: the README's script, require() from CommonJS, an
# esbuild bundle of a host as CommonJS and as an ES module, the same bundles in an Electron-like
# layout (the platform package's binary only in app.asar.unpacked), and a strict TypeScript
# consumer that loads no @types. Needs the workspace's tools (esbuild, tsc) installed by npm ci.
#   scripts/test-node-package.sh FOLDER   (FOLDER: where scripts/pack-node.sh put the tarballs)
set -euo pipefail
cd "$(dirname "$0")/.."
folder=$(cd "${1:?usage: $0 FOLDER}" && pwd)
tools=$PWD/node_modules/.bin
fail() { echo "test-node-package: $*" >&2; exit 1; }

project=$(mktemp -d)
trap 'rm -rf "$project"' EXIT
# The README's script, so the README shows what works.
awk '/^## Use it from Node/ {on = 1} on && /^```js$/ {grab = 1; next} grab && /^```$/ {exit}
     grab {print}' README.md > "$project/snapshot.mjs"
[ "$(wc -l < "$project/snapshot.mjs")" -eq 5 ] || fail "the README's script is not five lines"
cat > "$project/host.js" <<'JS'
import { Sidecar } from "procsampler";
Sidecar.start().then(async (sidecar) => {
  await sidecar.configure({ rootPid: process.pid });
  const snapshot = await sidecar.sampleNow();
  console.log(`${snapshot.processes[0].name} on ${sidecar.hello.platform}`);
  await sidecar.close();
});
JS
cat > "$project/host.cjs" <<'JS'
const { Sidecar } = require("procsampler");
Sidecar.start().then(async (sidecar) => {
  await sidecar.configure({ rootPid: process.pid });
  console.log(`${(await sidecar.sampleNow()).processes[0].name} on ${sidecar.hello.platform}`);
  await sidecar.close();
});
JS
cat > "$project/consumer.mts" <<'TS'
import { Sidecar, type Snapshot } from "procsampler";
export const latest = async (): Promise<Snapshot<2 | 3>> =>
  (await Sidecar.start({ streamMode: "latest" })).sampleNow({ timeoutMs: 1000 });
export const figures = async (): Promise<Snapshot> => (await Sidecar.start({ protocol: 2 })).sampleNow();
TS
cat > "$project/consumer.cts" <<'TS'
import procsampler = require("procsampler");
export const start = (): Promise<procsampler.Sidecar<2 | 3>> => procsampler.Sidecar.start();
TS
cat > "$project/tsconfig.json" <<'JSON'
{ "compilerOptions": { "strict": true, "types": [], "lib": ["ES2022"], "target": "ES2022",
    "module": "NodeNext", "moduleResolution": "NodeNext", "noEmit": true },
  "files": ["consumer.mts", "consumer.cts"] }
JSON

cd "$project"
npm init -y >/dev/null
# The platform packages come from their tarballs, not the registry.
for tarball in "$folder"/procsampler-*-*.tgz; do
  key=$(basename "$tarball" .tgz | sed 's/^procsampler-\(.*\)-[0-9][^-]*$/\1/')
  npm pkg set "overrides.@procsampler/$key=file:$tarball"
done
npm install --no-audit --no-fund --loglevel=error "$(ls "$folder"/procsampler-[0-9]*.tgz)"
installed=$(cd node_modules/@procsampler && echo *)
[ "$installed" = linux-x64 ] || fail "npm installed the platform packages '$installed', not linux-x64 alone"

expect() {  # expect WHAT OUTPUT
  [[ $2 =~ ^(node|procsampler)\ on\ linux$|^node\ [0-9]+\ bytes\ resident$ ]] || fail "$1 said: $2"
  echo "  $1: $2"
}
echo "in an empty project with procsampler and @procsampler/$installed installed:"
expect "the README's script" "$(node snapshot.mjs)"
expect "import" "$(cp host.js host.mjs && node host.mjs)"
expect "require" "$(node host.cjs)"
both='import { createRequire } from "node:module"; import { CommandRefusedError as Refused } from "procsampler";
  const cjs = createRequire(import.meta.url)("procsampler").CommandRefusedError;
  console.log(cjs !== Refused && new cjs("sampleNow", "not-configured", true, "") instanceof Refused);'
[ "$(node --input-type=module -e "$both")" = true ] || fail "an error of the require build is no instance of import's class"
echo "  import and require in one host: an error of either build is an instance of the other's class"
for format in cjs esm; do
  "$tools/esbuild" host.js --bundle --platform=node --format=$format --log-level=warning \
    --outfile=dist/host.${format/esm/mjs}
done
expect "an esbuild bundle (CommonJS)" "$(node dist/host.cjs)"
expect "an esbuild bundle (ES module)" "$(node dist/host.mjs)"
# Electron serves files inside app.asar from the archive, but spawns only from app.asar.unpacked,
# where asarUnpack puts the binary.
mkdir -p electron/app.asar electron/app.asar.unpacked/node_modules/@procsampler
cp -R dist node_modules electron/app.asar/
mv electron/app.asar/node_modules/@procsampler/linux-x64 electron/app.asar.unpacked/node_modules/@procsampler/
mkdir electron/app.asar/node_modules/@procsampler/linux-x64
cp electron/app.asar.unpacked/node_modules/@procsampler/linux-x64/package.json \
  electron/app.asar/node_modules/@procsampler/linux-x64/
expect "the CommonJS bundle in app.asar" "$(node electron/app.asar/dist/host.cjs)"
expect "the ES module bundle in app.asar" "$(node electron/app.asar/dist/host.mjs)"
"$tools/tsc" -p . || fail "a strict consumer with \"types\": [] does not compile"
echo "  a strict TypeScript consumer with \"types\": [] compiles, as an ES module and as CommonJS"
# Every platform package holds its own sidecar where the client looks for it there, and is marked
# for that platform alone (unpacked beside the installed one, as `npm install --force` would).
for tarball in "$folder"/procsampler-*-*.tgz; do
  key=$(basename "$tarball" .tgz | sed 's/^procsampler-\(.*\)-[0-9][^-]*$/\1/')
  rm -rf "node_modules/@procsampler/$key" && mkdir -p "node_modules/@procsampler/$key"
  tar -xzf "$tarball" -C "node_modules/@procsampler/$key" --strip-components=1
  found=$(node -e 'const { packagedBinaryPath } = require("procsampler");
    const [platform, arch] = process.argv[1].split("-"), path = packagedBinaryPath(platform, arch);
    const { os, cpu } = require(`@procsampler/${process.argv[1]}/package.json`);
    console.log(require("fs").existsSync(path) && `${os}-${cpu}` === process.argv[1] ? "yes" : path);' "$key")
  [ "$found" = yes ] || fail "@procsampler/$key: no $found, or marked for another platform"
done
echo "  each platform package holds the sidecar the client looks for on its platform:" \
  "$(cd node_modules/@procsampler && echo *)"
