// The two ways a request can fail: the sidecar refused the command, or the sidecar is gone.
import type { Command, ErrorCode } from "./protocol.js";

/** The sidecar answered a command with an error event. */
export class CommandRefusedError extends Error {
  override readonly name = "CommandRefusedError";
  constructor(
    readonly command: Command["type"],
    readonly code: ErrorCode,
    readonly recoverable: boolean,
    message: string,
  ) {
    super(`${command} refused (${code}): ${message}`);
  }
}

/** How the sidecar process ended. */
export interface SidecarExit {
  /** The exit status, or null when a signal ended it or it never started. */
  exitCode: number | null;
  signal: NodeJS.Signals | null;
  /** What it wrote to standard error: at most one "Error: ..." line, or nothing. */
  stderr: string;
  /** Whether the host asked for the end (shutdown or close). */
  requested: boolean;
}

/** The sidecar ended, or could not be started, before it answered. */
export class SidecarExitedError extends Error {
  override readonly name = "SidecarExitedError";
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;
  readonly stderr: string;
  constructor(exit: SidecarExit, cause?: Error) {
    const how = cause
      ? `failed: ${cause.message}`
      : exit.signal
        ? `was killed by ${exit.signal}`
        : `exited with status ${String(exit.exitCode)}`;
    super(`the sidecar ${how}${exit.stderr ? `: ${exit.stderr}` : ""}`, cause ? { cause } : {});
    this.exitCode = exit.exitCode;
    this.signal = exit.signal;
    this.stderr = exit.stderr;
  }
}
