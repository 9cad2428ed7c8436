export * from "./protocol.js";
export {
  CommandRefusedError,
  RequestTimeoutError,
  SidecarExitedError,
  UnreadableLineError,
  type SidecarExit,
} from "./errors.js";
export {
  PACKAGED_PLATFORMS,
  nodeArch,
  nodePlatform,
  packagedBinaryPath,
  resolveBinaryPath,
  unpackedPath,
} from "./binary.js";
export {
  Sidecar,
  type AbortSignalLike,
  type ConfigureOptions,
  type RequestOptions,
  type SidecarEvents,
  type StartOptions,
  type SteppedHistoryOptions,
  type StreamingOptions,
} from "./sidecar.js";
