// The CommonJS build beside the ES module one in dist/: each module of dist/ converted by esbuild
// into dist/cjs/, which a package.json of its own marks as CommonJS, with the same declarations.
import { copyFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { build } from "esbuild";

const modules = readdirSync("dist").filter((name) => name.endsWith(".js"));
rmSync("dist/cjs", { recursive: true, force: true });
await build({
  entryPoints: modules.map((name) => `dist/${name}`),
  outdir: "dist/cjs",
  format: "cjs",
  platform: "node",
  target: "node18",
  logLevel: "warning",
  // binary.js reads import.meta.url only where __filename is undefined, which CommonJS never is.
  logOverride: { "empty-import-meta": "silent" },
});
for (const name of readdirSync("dist").filter((file) => file.endsWith(".d.ts"))) {
  copyFileSync(`dist/${name}`, `dist/cjs/${name}`);
}
writeFileSync("dist/cjs/package.json", '{ "type": "commonjs" }\n');
