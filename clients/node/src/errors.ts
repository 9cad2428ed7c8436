// The ways a request can fail: the sidecar refused the command, the sidecar is gone, its answer
// could not be read, or the host stopped waiting. Nothing here needs Node's own type declarations.
import type { Command, ErrorCode } from "./protocol.js";

// A host can load two copies of the client (its ES module and CommonJS builds, or two bundles),
// each with its own classes. Each error carries its type's name under a key shared across copies,
// and instanceof checks that key, so an error from one copy is an instance of the other's class.
const ERROR_TYPE = Symbol.for("procsampler.errorType");

function isOfType(tested: unknown, type: { prototype: object }, value: unknown): boolean {
  // A host's subclass inherits this test; for it, the ordinary prototype chain decides.
  if (tested !== type) return Function.prototype[Symbol.hasInstance].call(tested, value);
  const name = (type.prototype as Record<symbol, unknown>)[ERROR_TYPE];
  return typeof value === "object" && value !== null && (value as Record<symbol, unknown>)[ERROR_TYPE] === name;
}

/** The sidecar answered a command with an error event. */
export class CommandRefusedError extends Error {
  override readonly name = "CommandRefusedError";
  static override [Symbol.hasInstance](value: unknown): value is CommandRefusedError {
    return isOfType(this, CommandRefusedError, value);
  }
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
  static override [Symbol.hasInstance](value: unknown): value is SidecarExitedError {
    return isOfType(this, SidecarExitedError, value);
  }
  readonly exitCode: number | null;
  readonly signal: string | null;
  readonly stderr: string;
  /** failure: what went wrong, when the child's exit does not tell (by default cause's message). */
  constructor(exit: SidecarExit, cause?: Error, failure = cause && `failed: ${cause.message}`) {
    const how =
      failure ?? (exit.signal ? `was killed by ${exit.signal}` : `exited with status ${String(exit.exitCode)}`);
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
  static override [Symbol.hasInstance](value: unknown): value is UnreadableLineError {
    return isOfType(this, UnreadableLineError, value);
  }
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
  static override [Symbol.hasInstance](value: unknown): value is RequestTimeoutError {
    return isOfType(this, RequestTimeoutError, value);
  }
  constructor(
    readonly command: Command["type"],
    readonly timeoutMs: number,
  ) {
    super(`${command} got no answer within ${timeoutMs} ms`);
  }
}

// Named here, not by type.name, which a minifying bundler may change in one copy only.
const TYPE_NAMES = [
  [CommandRefusedError, "CommandRefusedError"],
  [SidecarExitedError, "SidecarExitedError"],
  [UnreadableLineError, "UnreadableLineError"],
  [RequestTimeoutError, "RequestTimeoutError"],
] as const;
for (const [type, name] of TYPE_NAMES)
  Object.defineProperty(type.prototype, ERROR_TYPE, { value: `procsampler.${name}` });
