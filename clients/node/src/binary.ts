// Where the sidecar binary is: named by the host, or in the installed platform package. The path
// holds in a bundle (the package is found by module resolution at run time, not beside this
// file) and in an Electron app (a binary inside app.asar cannot be spawned; its unpacked copy can).
import { createRequire } from "node:module";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

import type { HelloEvent } from "./protocol.js";

/** The platforms with a prebuilt sidecar package, as `${process.platform}-${process.arch}`. */
export const PACKAGED_PLATFORMS = ["linux-x64", "linux-arm64", "darwin-arm64", "darwin-x64", "win32-x64"] as const;

const NODE_PLATFORMS = { linux: "linux", macos: "darwin", windows: "win32" } as const;
const NODE_ARCHES = { x86_64: "x64", aarch64: "arm64" } as const;

/** hello.platform by Node's name for it, as process.platform gives it. */
export function nodePlatform(platform: HelloEvent["platform"]): (typeof NODE_PLATFORMS)[typeof platform] {
  return NODE_PLATFORMS[platform];
}

/** hello.arch by Node's name for it, as process.arch gives it. */
export function nodeArch(arch: HelloEvent["arch"]): (typeof NODE_ARCHES)[typeof arch] {
  return NODE_ARCHES[arch];
}

// Defined only where this file runs as CommonJS (the package's require build, or a CommonJS
// bundle), where import.meta is not.
declare const __filename: string | undefined;

/** The same path with an `app.asar` folder replaced by `app.asar.unpacked`, where Electron
 *  Builder and Forge put the files their asarUnpack setting names. */
export function unpackedPath(path: string): string {
  return path.replace(/([\\/])app\.asar(?=[\\/])/, "$1app.asar.unpacked");
}

/** The binary of the installed @procsampler/<platform>-<arch> package; throws, saying what to do,
 *  where none fits this machine. */
export function packagedBinaryPath(platform: string = process.platform, arch: string = process.arch): string {
  const key = `${platform}-${arch}`;
  const remedy = "or build the sidecar from source and pass its path as binaryPath or in PROCSAMPLER_BINARY";
  if (!(PACKAGED_PLATFORMS as readonly string[]).includes(key)) {
    throw new Error(
      `procsampler has no prebuilt sidecar for ${key} (only ${PACKAGED_PLATFORMS.join(", ")}); ${remedy}`,
    );
  }
  const here = typeof __filename === "string" ? __filename : fileURLToPath(import.meta.url);
  let manifest: string;
  try {
    manifest = createRequire(here).resolve(`@procsampler/${key}/package.json`);
  } catch {
    throw new Error(
      `procsampler's sidecar for ${key} is not installed: @procsampler/${key} is an optional dependency, ` +
        `left out when installing with --omit=optional or --no-optional, or on Linux without glibc; ` +
        `install it, ${remedy}`,
    );
  }
  return unpackedPath(join(dirname(manifest), "bin", platform === "win32" ? "procsampler.exe" : "procsampler"));
}

/** binaryPath when given, else PROCSAMPLER_BINARY when set, else the packaged binary. */
export function resolveBinaryPath(binaryPath?: string): string {
  const chosen = binaryPath ?? (process.env["PROCSAMPLER_BINARY"] || undefined);
  return chosen === undefined ? packagedBinaryPath() : unpackedPath(chosen);
}
