// The page's files: a fixed list of paths, read into memory once at start, so a request can only
// ever get one of them. The charting library comes from the installed package, never from the
// internet.
import { readFileSync, readdirSync } from "node:fs";
import { createRequire } from "node:module";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

export interface StaticFile {
  contentType: string;
  body: Buffer;
}

const TYPES: Record<string, string> = {
  html: "text/html; charset=utf-8",
  css: "text/css; charset=utf-8",
  js: "text/javascript; charset=utf-8",
};

function file(path: string): StaticFile {
  const extension = path.slice(path.lastIndexOf(".") + 1);
  return { contentType: TYPES[extension] ?? "application/octet-stream", body: readFileSync(path) };
}

/** URL path to file; throws when the dashboard has not been built. */
export function loadStaticFiles(): Map<string, StaticFile> {
  const here = dirname(fileURLToPath(import.meta.url)); // dist/server
  const root = join(here, "..", "..");
  const uplot = dirname(createRequire(import.meta.url).resolve("uplot"));
  const files = new Map<string, StaticFile>([
    ["/", file(join(root, "static", "index.html"))],
    ["/dashboard.css", file(join(root, "static", "dashboard.css"))],
    ["/vendor/uPlot.esm.js", file(join(uplot, "uPlot.esm.js"))],
    ["/vendor/uPlot.min.css", file(join(uplot, "uPlot.min.css"))],
  ]);
  const page = join(root, "dist", "page");
  for (const name of readdirSync(page)) {
    if (name.endsWith(".js")) files.set(`/page/${name}`, file(join(page, name)));
  }
  return files;
}
