// Where the sidecar binary is: named by the host, or in the installed platform package. The path
// holds in a bundle (the package is found by module resolution at run time, not beside this
// file) and in an Electron app (a binary inside app.asar cannot be spawned; its unpacked copy can).
import { createRequire } from "node:module";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

/** The platforms with a prebuilt sidecar package, as `${process.platform}-${process.arch}`. */
export const PACKAGED_PLATFORMS = ["linux-x64", "linux-arm64", "darwin-arm64", "darwin-x64", "win32-x64"] as const;

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
