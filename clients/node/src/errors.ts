// The ways a request can fail: the sidecar refused the command, the sidecar is gone, its answer
// could not be read, or the host stopped waiting. Nothing here needs Node's own type declarations.
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
  /** The signal's name, such as "SIGKILL". */
  signal: string | null;
  /** What it wrote to standard error: at most one "Error: ..." line, or nothing. */
  stderr: string;
  /** Whether the host asked for the end (shutdown or close). */
  requested: boolean;
}

/** The sidecar ended, or could not be started, before it answered. */
export class SidecarExitedError extends Error {
  override readonly name = "SidecarExitedError";
  readonly exitCode: number | null;
  readonly signal: string | null;
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

/** The sidecar wrote a line the client cannot use: longer than maxLineBytes, not JSON, or not an
 *  event of the version spoken. The client drops the line and goes on; the request the line may have answered
 *  rejects with this error, and the sidecar's "unreadableLine" event carries it too. */
export class UnreadableLineError extends Error {
  override readonly name = "UnreadableLineError";
  constructor(
    /** The line's length in bytes, without its line feed. */
    readonly bytes: number,
    problem: string,
  ) {
    super(`the sidecar wrote an unreadable line of ${bytes} bytes: ${problem}`);
  }
}

/** No answer came within the request's timeoutMs; an answer that comes later is dropped. */
export class RequestTimeoutError extends Error {
  override readonly name = "RequestTimeoutError";
  constructor(
    readonly command: Command["type"],
    readonly timeoutMs: number,
  ) {
    super(`${command} got no answer within ${timeoutMs} ms`);
  }
}
