export * from "./protocol.js";
export { CommandRefusedError, SidecarExitedError, type SidecarExit } from "./errors.js";
export { PACKAGED_PLATFORMS, packagedBinaryPath } from "./binary.js";
export { Sidecar, type ConfigureOptions, type SidecarEvents, type StartOptions } from "./sidecar.js";
