// A running sidecar and the host's side of the protocol: requests matched to their answers by
// order and request id, the periodic stream, and the end of the child surfacing on everything
// still waiting. All of it runs on the event loop of the thread that started the sidecar.
import { spawn, type ChildProcessWithoutNullStreams } from "node:child_process";
import { EventEmitter } from "node:events";
import type { Socket } from "node:net";

import { packagedBinaryPath } from "./binary.js";
import { CommandRefusedError, SidecarExitedError, type SidecarExit } from "./errors.js";
import {
  PROTOCOL_VERSION,
  type Command,
  type ErrorEvent,
  type Event,
  type ExternalProcess,
  type HelloEvent,
  type Snapshot,
} from "./protocol.js";

export interface StartOptions {
  /** The sidecar to run; the binary packaged for this platform by default. */
  binaryPath?: string;
  /** Streamed snapshots one iterator may hold unread before the client stops reading the
   *  sidecar's output, which in turn holds the sidecar back (64 by default). */
  highWaterMark?: number;
  /** How long to wait for hello before giving up (10000 ms by default). */
  startTimeoutMs?: number;
}

export interface ConfigureOptions {
  rootPid: number;
  /** 0 (the default): no periodic sampling; otherwise clamped to 250..60000 by the sidecar. */
  sampleIntervalMs?: number;
  externalProcesses?: ExternalProcess[];
}

export interface SidecarEvents {
  /** A periodic snapshot, while streaming is on. */
  snapshot: Snapshot;
  /** Every event the sidecar writes after hello, before it is dispatched. */
  event: Event;
  exit: SidecarExit;
}

interface Settle<T> {
  resolve(value: T): void;
  reject(error: Error): void;
}

// A command still waiting for its answer, in the order the commands were written.
type Waiter =
  | { kind: "silent"; command: Command["type"]; settle: Settle<void> }
  | { kind: "sample"; requestId: string; settle: Settle<Snapshot> }
  // settle is null for the barrier that follows a silent command: its answer only tells that
  // the command before it was handled.
  | { kind: "history"; requestId: string; snapshots: Snapshot[]; settle: Settle<Snapshot[]> | null };

interface StreamReader {
  queue: Snapshot[];
  // The next() calls waiting for a snapshot or the end.
  wakers: (() => void)[];
}

// The one refusal a barrier can get; no silent command is refused with these words.
const BARRIER_REFUSAL = "configure must be sent before reading history";
const STDERR_LIMIT = 65536;

export class Sidecar {
  /** The sidecar's hello: its version, pid, platform and capabilities. */
  get hello(): HelloEvent {
    if (!this.helloEvent) throw new Error("the sidecar has not said hello yet");
    return this.helloEvent;
  }
  /** Resolves once the child has ended, however it ended; never rejects. */
  readonly exited: Promise<SidecarExit>;

  /** Starts the sidecar and resolves once it has said hello. */
  static async start(options: StartOptions = {}): Promise<Sidecar> {
    const binary = options.binaryPath ?? packagedBinaryPath();
    const sidecar = new Sidecar(spawn(binary, [], { stdio: "pipe" }), options);
    await sidecar.ready;
    return sidecar;
  }

  configure(options: ConfigureOptions): Promise<void> {
    const { rootPid, sampleIntervalMs = 0, externalProcesses = [] } = options;
    return this.silent({ type: "configure", version: 2, rootPid, sampleIntervalMs, externalProcesses });
  }
  setExternalProcesses(processes: ExternalProcess[]): Promise<void> {
    return this.silent({ type: "setExternalProcesses", version: 2, processes });
  }
  setSampleInterval(sampleIntervalMs: number): Promise<void> {
    return this.silent({ type: "setSampleInterval", version: 2, sampleIntervalMs });
  }
  setStreaming(enabled: boolean): Promise<void> {
    return this.silent({ type: "setStreaming", version: 2, enabled });
  }

  /** A snapshot taken now (at most 200 ms after the previous one). */
  sampleNow(): Promise<Snapshot> {
    return this.request<Snapshot>((settle, requestId) => {
      this.write({ type: "sampleNow", version: 2, requestId }, { kind: "sample", requestId, settle });
    });
  }

  /** The stored snapshots of the last windowMs milliseconds (at most an hour), oldest first. */
  readHistory(windowMs: number): Promise<Snapshot[]> {
    return this.request<Snapshot[]>((settle, requestId) => {
      const waiter: Waiter = { kind: "history", requestId, snapshots: [], settle };
      this.write({ type: "readHistory", version: 2, requestId, windowMs }, waiter);
    });
  }

  /** Periodic snapshots as they stream in. The iterator ends when the host closes the sidecar
   *  and throws a SidecarExitedError when the sidecar ends on its own. */
  snapshots(): AsyncIterableIterator<Snapshot> {
    const reader: StreamReader = { queue: [], wakers: [] };
    this.readers.add(reader);
    const leave = (): IteratorResult<Snapshot> => {
      this.readers.delete(reader);
      this.updateFlow();
      return { value: undefined, done: true };
    };
    const next = async (): Promise<IteratorResult<Snapshot>> => {
      for (;;) {
        const value = reader.queue.shift();
        if (value) {
          this.updateFlow();
          return { value, done: false };
        }
        if (this.exit) {
          if (this.exit.requested) return leave();
          this.readers.delete(reader);
          throw this.exitError();
        }
        if (!this.readers.has(reader)) return { value: undefined, done: true };
        await new Promise<void>((wake) => {
          reader.wakers.push(wake);
          this.updateFlow();
        });
      }
    };
    return {
      next,
      return: async () => leave(),
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }

  on<K extends keyof SidecarEvents>(name: K, listener: (value: SidecarEvents[K]) => void): this {
    this.emitter.on(name, listener);
    this.updateFlow();
    return this;
  }
  off<K extends keyof SidecarEvents>(name: K, listener: (value: SidecarEvents[K]) => void): this {
    this.emitter.off(name, listener);
    this.updateFlow();
    return this;
  }

  /** Sends shutdown and resolves once the sidecar has exited with status 0. */
  async shutdown(): Promise<SidecarExit> {
    this.requestEnd();
    const exit = await this.exited;
    if (exit.exitCode !== 0) throw this.exitError();
    return exit;
  }

  /** Ends the sidecar: shutdown first, SIGTERM after graceMs, SIGKILL after twice that. Commands
   *  written before are still answered. Never rejects. */
  async close(graceMs = 2000): Promise<SidecarExit> {
    this.requestEnd();
    const term = setTimeout(() => this.child.kill("SIGTERM"), graceMs);
    const kill = setTimeout(() => this.child.kill("SIGKILL"), 2 * graceMs);
    const exit = await this.exited;
    clearTimeout(term);
    clearTimeout(kill);
    return exit;
  }

  private constructor(
    private readonly child: ChildProcessWithoutNullStreams,
    options: StartOptions,
  ) {
    this.highWaterMark = Math.max(1, options.highWaterMark ?? 64);
    this.exited = new Promise((resolve) => (this.settleExited = resolve));
    this.ready = new Promise<void>((resolve, reject) => (this.helloSettle = { resolve, reject }));
    // start() awaits it; this keeps a failed start from also counting as unhandled here.
    this.ready.catch(() => undefined);
    const timeoutMs = options.startTimeoutMs ?? 10000;
    this.startTimer = setTimeout(() => this.abandon(`no hello within ${timeoutMs} ms`), timeoutMs);

    child.stdout.on("data", (chunk: Buffer) => this.onData(chunk));
    child.stderr.setEncoding("utf8");
    child.stderr.on("data", (text: string) => {
      if (this.stderr.length < STDERR_LIMIT) this.stderr += text;
    });
    // A write after the sidecar has gone fails with EPIPE; its exit status tells why it went.
    child.stdin.on("error", () => undefined);
    child.on("error", (error) => {
      this.failure ??= error;
      // A child that could not be started emits no close.
      if (child.pid === undefined) this.finish(null, null);
    });
    child.on("close", (code, signal) => this.finish(code, signal));
  }

  private readonly emitter = new EventEmitter();
  private readonly ready: Promise<void>;
  private readonly highWaterMark: number;
  private readonly startTimer: NodeJS.Timeout;
  private settleExited!: (exit: SidecarExit) => void;
  private helloSettle!: Settle<void>;
  private helloEvent: HelloEvent | null = null;
  private readonly waiters: Waiter[] = [];
  private readonly readers = new Set<StreamReader>();
  private partial: Buffer[] = [];
  private stderr = "";
  private nextRequestId = 1;
  private ending = false;
  private exit: SidecarExit | null = null;
  // Why the client gave up on the child, when it did: it could not be started, or broke the
  // protocol.
  private failure: Error | undefined;

  private silent(command: Command): Promise<void> {
    return this.request<void>((settle, requestId) => {
      this.write(command, { kind: "silent", command: command.type, settle });
      const barrier = { type: "readHistory", version: 2, requestId, windowMs: 0 } as const;
      this.write(barrier, { kind: "history", requestId, snapshots: [], settle: null });
    });
  }

  // Runs send with a fresh request id unless the sidecar is ending or gone; then the request
  // fails once it has exited.
  private request<T>(send: (settle: Settle<T>, requestId: string) => void): Promise<T> {
    if (this.exit || this.ending) {
      return this.exited.then(() => Promise.reject(this.exitError()));
    }
    return new Promise<T>((resolve, reject) => {
      send({ resolve, reject }, `procsampler-${this.nextRequestId++}`);
      this.updateFlow();
    });
  }

  private write(command: Command, waiter: Waiter | null): void {
    if (waiter) this.waiters.push(waiter);
    this.child.stdin.write(`${JSON.stringify(command)}\n`);
  }

  private requestEnd(): void {
    if (this.exit || this.ending) return;
    this.ending = true;
    this.write({ type: "shutdown", version: PROTOCOL_VERSION }, null);
    this.child.stdin.end();
    this.updateFlow();
  }

  private abandon(reason: string): void {
    this.failure ??= new Error(reason);
    this.child.kill("SIGKILL");
  }

  private onData(chunk: Buffer): void {
    let start = 0;
    for (let end = chunk.indexOf(10); end !== -1; end = chunk.indexOf(10, start)) {
      this.partial.push(chunk.subarray(start, end));
      const line = Buffer.concat(this.partial).toString("utf8");
      this.partial = [];
      start = end + 1;
      let event: Event;
      try {
        event = JSON.parse(line) as Event;
      } catch {
        return this.abandon(`unreadable line from the sidecar: ${line.slice(0, 200)}`);
      }
      this.onEvent(event);
    }
    if (start < chunk.length) this.partial.push(chunk.subarray(start));
  }

  private onEvent(event: Event): void {
    if (!this.helloEvent) {
      if (event.type !== "hello" || event.version !== PROTOCOL_VERSION) {
        return this.abandon(`expected a version 2 hello, got ${JSON.stringify(event).slice(0, 200)}`);
      }
      clearTimeout(this.startTimer);
      this.helloEvent = event;
      this.helloSettle.resolve();
      return this.updateFlow();
    }
    this.emitter.emit("event", event);
    if (event.type === "snapshot") {
      if (event.requestId === undefined) return this.streamed(event);
      const waiter = this.answered(event.requestId);
      if (waiter?.kind === "sample") this.settle(waiter, waiter.settle, event);
    } else if (event.type === "historyChunk") {
      const waiter = this.answered(event.requestId);
      if (waiter?.kind === "history") waiter.snapshots.push(...event.snapshots);
      if (waiter?.kind === "history" && event.done) this.settle(waiter, waiter.settle, waiter.snapshots);
    } else if (event.type === "error") {
      this.refused(event);
    }
    this.updateFlow();
  }

  private streamed(snapshot: Snapshot): void {
    for (const reader of this.readers) {
      reader.queue.push(snapshot);
      this.wake(reader);
    }
    this.emitter.emit("snapshot", snapshot);
    this.updateFlow();
  }

  // The waiter whose request id an answer carries, once the silent commands before it are
  // settled: an answer to a later command means they were handled without refusal.
  private answered(requestId: string): Waiter | undefined {
    for (let head = this.waiters[0]; head?.kind === "silent"; head = this.waiters[0]) {
      this.settle(head, head.settle, undefined);
    }
    const head = this.waiters[0];
    return head && head.kind !== "silent" && head.requestId === requestId ? head : undefined;
  }

  private refused(event: ErrorEvent): void {
    let head = this.waiters[0];
    if (head?.kind === "silent" && event.message === BARRIER_REFUSAL) {
      this.settle(head, head.settle, undefined);
      head = this.waiters[0];
    }
    if (!head) return;
    const kinds = { sample: "sampleNow", history: "readHistory" } as const;
    const command = head.kind === "silent" ? head.command : kinds[head.kind];
    this.waiters.shift();
    head.settle?.reject(new CommandRefusedError(command, event.code, event.recoverable, event.message));
  }

  private settle<T>(waiter: Waiter, settle: Settle<T> | null, value: T): void {
    this.waiters.splice(this.waiters.indexOf(waiter), 1);
    settle?.resolve(value);
  }

  private finish(exitCode: number | null, signal: NodeJS.Signals | null): void {
    if (this.exit) return;
    clearTimeout(this.startTimer);
    this.exit = { exitCode, signal, stderr: this.stderr.trim(), requested: this.ending };
    const error = this.exitError();
    this.helloSettle.reject(error);
    for (const waiter of this.waiters.splice(0)) waiter.settle?.reject(error);
    for (const reader of this.readers) this.wake(reader);
    this.settleExited(this.exit);
    this.emitter.emit("exit", this.exit);
  }

  private wake(reader: StreamReader): void {
    for (const wake of reader.wakers.splice(0)) wake();
  }

  private exitError(): SidecarExitedError {
    const exit = this.exit ?? { exitCode: null, signal: null, stderr: "", requested: this.ending };
    return new SidecarExitedError(exit, this.failure);
  }

  // Reads the sidecar's output unless an iterator is full and nothing waits for an answer (so a
  // slow consumer holds the sidecar back, but never blocks an answer), and keeps the host's event
  // loop alive only while something waits on the sidecar: a host that drops it without close()
  // can still exit, which closes the sidecar's input and ends it.
  private updateFlow(): void {
    if (this.exit) return;
    const full = [...this.readers].some((reader) => reader.queue.length >= this.highWaterMark);
    if (full && this.waiters.length === 0) this.child.stdout.pause();
    else this.child.stdout.resume();

    const waiting =
      !this.helloEvent ||
      this.ending ||
      this.waiters.length > 0 ||
      this.emitter.listenerCount("snapshot") > 0 ||
      [...this.readers].some((reader) => reader.wakers.length > 0);
    const { stdin, stdout, stderr } = this.child;
    // Child pipes are sockets, though typed as plain streams.
    for (const handle of [this.child, ...([stdin, stdout, stderr] as unknown as Socket[])]) {
      if (waiting) handle.ref();
      else handle.unref();
    }
  }
}
