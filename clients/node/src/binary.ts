// Where the packaged sidecar lives: bin/<platform>-<arch>/procsampler beside dist/.
import { fileURLToPath } from "node:url";

export const PACKAGED_PLATFORMS = ["linux-x64", "darwin-arm64"] as const;

/** The packaged binary for this machine; throws on a platform the package has no binary for. */
export function packagedBinaryPath(
  platform: string = process.platform,
  arch: string = process.arch,
): string {
  const key = `${platform}-${arch}`;
  if (!(PACKAGED_PLATFORMS as readonly string[]).includes(key)) {
    throw new Error(
      `procsampler has no prebuilt sidecar for ${key} (only ${PACKAGED_PLATFORMS.join(", ")}); ` +
        "build it from source and pass its path as binaryPath",
    );
  }
  return fileURLToPath(new URL(`../bin/${key}/procsampler`, import.meta.url));
}
