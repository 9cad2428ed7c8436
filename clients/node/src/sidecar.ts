// A running sidecar and the host's side of the protocol: the version agreed at hello, requests
// matched to their answers by order and request id, the periodic stream, and the end of the child
// surfacing on everything still waiting. All of it runs on the event loop of the thread that
// started the sidecar.
import { spawn, type ChildProcessWithoutNullStreams } from "node:child_process";
import { EventEmitter } from "node:events";
import type { Socket } from "node:net";
import { getSystemErrorMap } from "node:util";

import { resolveBinaryPath } from "./binary.js";
import {
  CommandRefusedError,
  RequestTimeoutError,
  SidecarExitedError,
  UnreadableLineError,
  type SidecarExit,
} from "./errors.js";
import { eventProblem } from "./events.js";
import { LineSplitter, type Line } from "./lines.js";
import {
  PROTOCOL_VERSION,
  type AckEvent,
  type Command,
  type ErrorEvent,
  type Event,
  type ExternalProcess,
  type HelloEvent,
  type HistoryStep,
  type LifecycleEvent,
  type ProcessExitedEvent,
  type ProcessStartedEvent,
  type ProtocolVersion,
  type Snapshot,
} from "./protocol.js";
import { commandRefusal } from "./refusals.js";

export interface StartOptions {
  /** The sidecar to run. By default the PROCSAMPLER_BINARY environment variable, else the binary
   *  of the installed @procsampler/<platform>-<arch> package (inside an Electron app, the copy in
   *  app.asar.unpacked). */
  binaryPath?: string;
  /** "every" (the default): every streamed snapshot, in order; an iterator holding highWaterMark
   *  unread ones stops the client reading, which holds the sidecar back. "latest": only the newest
   *  snapshot waits for a slow consumer, and none older than one already handed out (streamed or
   *  answered) is delivered; the sidecar is never held back. */
  streamMode?: "every" | "latest";
  /** Streamed snapshots one iterator may hold unread in "every" mode (64 by default). */
  highWaterMark?: number;
  /** How long to wait for hello before giving up (10000 ms by default; Infinity: no limit). */
  startTimeoutMs?: number;
  /** The timeoutMs of every request that names none (by default requests wait for ever). */
  requestTimeoutMs?: number;
  /** The longest line, in bytes, the client reads from the sidecar (128 MiB by default, a fourth of
   *  the longest string JavaScript can hold; the sidecar keeps its lines under 64 MiB). A longer
   *  line is dropped as it arrives, never held whole. */
  maxLineBytes?: number;
  /** The highest protocol version to speak: 3 (the default) or 2. A sidecar older than version 3
   *  says 2 whatever it is asked, and the client then speaks 2; protocolVersion tells which. */
  protocol?: ProtocolVersion;
}

/** The part of an AbortSignal the client uses, so that the types need no DOM or Node library;
 *  every AbortSignal fits. */
export interface AbortSignalLike {
  readonly aborted: boolean;
  readonly reason?: unknown;
  addEventListener(type: "abort", listener: () => void, options?: { once?: boolean }): void;
  removeEventListener(type: "abort", listener: () => void): void;
}

/** How long a request waits: once either ends it, the request rejects (with a RequestTimeoutError,
 *  or the signal's reason) and its answer, if it comes later, is dropped. */
export interface RequestOptions {
  /** Infinity: no limit, whatever requestTimeoutMs says; a negative one or NaN is refused (RangeError). */
  timeoutMs?: number;
  signal?: AbortSignalLike;
}

export interface ConfigureOptions extends RequestOptions {
  rootPid: number;
  /** 0 (the default): no periodic sampling; otherwise clamped to 250..60000 by the sidecar. */
  sampleIntervalMs?: number;
  externalProcesses?: ExternalProcess[];
  /** Version 3: the selected processes' starts and exits come as processStarted and processExited
   *  events and through lifecycle(). */
  lifecycle?: boolean;
}

/** Version 3: streaming with latest makes the sidecar skip a periodic snapshot while the host has
 *  not read everything written before it, instead of holding it back (see skippedSnapshots). */
export interface StreamingOptions extends RequestOptions {
  latest?: boolean;
}

/** Version 3: the history in steps of stepMs (a whole number from 1) instead of whole snapshots. */
export interface SteppedHistoryOptions extends RequestOptions {
  stepMs: number;
}

export interface SidecarEvents<V extends ProtocolVersion = 2> {
  /** A periodic snapshot, while streaming is on. */
  snapshot: Snapshot<V>;
  /** Every event the sidecar writes after hello, before it is dispatched. */
  event: Event<V>;
  /** A line the client dropped; a request it may have answered has been rejected. */
  unreadableLine: UnreadableLineError;
  exit: SidecarExit;
  /** Version 3, configured with lifecycle. */
  processStarted: V extends 3 ? ProcessStartedEvent : never;
  processExited: V extends 3 ? ProcessExitedEvent : never;
}

interface Settle<T> {
  resolve(value: T): void;
  reject(error: Error): void;
}

type AnySnapshot = Snapshot<ProtocolVersion>;
type AnyEvent = Event<ProtocolVersion>;
type HistoryItem = AnySnapshot | HistoryStep;

// A command still waiting for its answer, in the order the commands were written. settle is null
// once the host stopped waiting (its answer is then read and dropped), and for the barrier that
// follows a silent command in version 2: its answer only tells that the command before it was
// handled. A silent command has a request id (answered by an ack) only in version 3.
type Waiter =
  | { kind: "silent"; command: Command["type"]; requestId: string | null; settle: Settle<void> | null }
  | { kind: "sample"; requestId: string; settle: Settle<AnySnapshot> | null }
  | { kind: "history"; requestId: string; items: HistoryItem[]; settle: Settle<HistoryItem[]> | null };

interface StreamReader<T = AnySnapshot> {
  queue: T[];
  // The next() calls waiting for an item or the end.
  wakers: (() => void)[];
}

// The one refusal a version 2 barrier can get; no silent command is refused with these words.
const BARRIER_REFUSAL = "configure must be sent before reading history";
const STDERR_LIMIT = 65536;
const DEFAULT_MAX_LINE_BYTES = 128 * 1024 * 1024;
// The longest delay setTimeout keeps, 2^31 - 1 ms (24.8 days).
const MAX_TIMER_MS = 2 ** 31 - 1;

/** V: the protocol version the types promise. Sidecar.start gives Sidecar<2> when asked for
 *  version 2, else Sidecar<2 | 3>, which speaks(3) narrows to Sidecar<3>. */
export class Sidecar<V extends ProtocolVersion = 2> {
  /** The sidecar's hello: its version, pid, platform and capabilities. */
  get hello(): HelloEvent<V> {
    if (!this.helloEvent) throw new Error("the sidecar has not said hello yet");
    return this.helloEvent as HelloEvent<V>;
  }
  /** The protocol version the client and the sidecar speak, as the sidecar's hello said. */
  get protocolVersion(): V {
    return this.hello.version as V;
  }
  /** Whether they speak version; narrows the type to it. */
  speaks<W extends V>(version: W): this is Sidecar<W> {
    return this.protocolVersion === version;
  }
  /** Resolves once the child has ended, however it ended; never rejects. */
  readonly exited: Promise<SidecarExit>;

  /** Starts the sidecar, asking for options.protocol, and resolves once it has said hello. */
  static start(options: StartOptions & { protocol: 2 }): Promise<Sidecar<2>>;
  static start(options?: StartOptions): Promise<Sidecar<ProtocolVersion>>;
  static async start(options: StartOptions = {}): Promise<Sidecar<ProtocolVersion>> {
    const binary = resolveBinaryPath(options.binaryPath);
    const protocol = options.protocol ?? PROTOCOL_VERSION;
    // Version 2 is what a sidecar started without arguments speaks, older ones included.
    const args = protocol === 2 ? [] : ["--protocol", String(protocol)];
    const sidecar = new Sidecar<ProtocolVersion>(spawn(binary, args, { stdio: "pipe" }), { ...options, protocol });
    await sidecar.ready;
    return sidecar;
  }

  // Every request refuses, before sending, a number the sidecar would refuse (a fractional or
  // negative interval, NaN), with the sidecar's words.
  configure(options: ConfigureOptions): Promise<void> {
    const { rootPid, sampleIntervalMs = 0, externalProcesses = [] } = options;
    const version = this.version;
    const command = { type: "configure", version, rootPid, sampleIntervalMs, externalProcesses } as const;
    if (!options.lifecycle) return this.silent(command, options);
    return this.version3Only("lifecycle", command) ?? this.silent({ ...command, lifecycle: true }, options);
  }
  setExternalProcesses(processes: ExternalProcess[], options: RequestOptions = {}): Promise<void> {
    return this.silent({ type: "setExternalProcesses", version: this.version, processes }, options);
  }
  setSampleInterval(sampleIntervalMs: number, options: RequestOptions = {}): Promise<void> {
    return this.silent({ type: "setSampleInterval", version: this.version, sampleIntervalMs }, options);
  }
  setStreaming(this: Sidecar<3>, enabled: boolean, options: StreamingOptions): Promise<void>;
  setStreaming(enabled: boolean, options?: RequestOptions): Promise<void>;
  setStreaming(enabled: boolean, options: StreamingOptions = {}): Promise<void> {
    const command = { type: "setStreaming", version: this.version, enabled } as const;
    if (!options.latest) return this.silent(command, options);
    return this.version3Only("latest", command) ?? this.silent({ ...command, latest: true }, options);
  }

  /** A snapshot taken now (at most 200 ms after the previous one). */
  sampleNow(options: RequestOptions = {}): Promise<Snapshot<V>> {
    const command = { type: "sampleNow", version: this.version, requestId: "" } as const;
    return this.request<AnySnapshot>(command, options, (settle, requestId) => {
      this.write({ ...command, requestId }, { kind: "sample", requestId, settle });
    }) as Promise<Snapshot<V>>;
  }

  /** The stored snapshots of the last windowMs milliseconds (at most an hour), oldest first; with
   *  stepMs, the steps that hold any of them. */
  readHistory(this: Sidecar<3>, windowMs: number, options: SteppedHistoryOptions): Promise<HistoryStep[]>;
  readHistory(windowMs: number, options?: RequestOptions): Promise<Snapshot<V>[]>;
  readHistory(windowMs: number, options: RequestOptions & { stepMs?: number } = {}): Promise<HistoryItem[]> {
    const { stepMs } = options;
    const command = { type: "readHistory", version: this.version, requestId: "", windowMs } as const;
    if (stepMs === undefined) return this.history(command, options);
    // On the wire 0 means whole snapshots, which the steps' type does not promise; refused as the
    // sidecar refuses a stepMs it cannot read, so one fault gives one error type.
    if (stepMs === 0) {
      const why = "stepMs 0 asks for whole snapshots: leave stepMs out to read them";
      return Promise.reject(new CommandRefusedError("readHistory", "invalid-command", true, why));
    }
    return this.version3Only("stepMs", command) ?? this.history({ ...command, stepMs }, options);
  }

  /** Periodic snapshots as they stream in (see StartOptions.streamMode). The iterator ends when
   *  the host closes the sidecar and throws a SidecarExitedError when the sidecar ends on its own. */
  snapshots(): AsyncIterableIterator<Snapshot<V>> {
    return this.iterate(this.readers, (snapshot) => {
      this.handedOut(snapshot);
      this.updateFlow();
    }) as AsyncIterableIterator<Snapshot<V>>;
  }

  /** Version 3: the lifecycle events, in the order written, from the call on (configure with
   *  lifecycle). They are few and small, so they queue without bound and never hold the sidecar
   *  back. Ends and throws as snapshots() does. */
  lifecycle(): AsyncIterableIterator<V extends 3 ? LifecycleEvent : never> {
    return this.iterate(this.lifecycleReaders, () => undefined) as AsyncIterableIterator<
      V extends 3 ? LifecycleEvent : never
    >;
  }

  on<K extends keyof SidecarEvents<V>>(name: K, listener: (value: SidecarEvents<V>[K]) => void): this {
    this.emitter.on(name, listener);
    this.updateFlow();
    return this;
  }
  off<K extends keyof SidecarEvents<V>>(name: K, listener: (value: SidecarEvents<V>[K]) => void): this {
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
    options: StartOptions & { protocol: ProtocolVersion },
  ) {
    this.asked = options.protocol;
    this.highWaterMark = Math.max(1, options.highWaterMark ?? 64);
    this.latestOnly = options.streamMode === "latest";
    this.requestTimeoutMs = options.requestTimeoutMs;
    this.maxLineBytes = options.maxLineBytes ?? DEFAULT_MAX_LINE_BYTES;
    this.lines = new LineSplitter(this.maxLineBytes);
    this.exited = new Promise((resolve) => (this.settleExited = resolve));
    this.ready = new Promise<void>((resolve, reject) => (this.helloSettle = { resolve, reject }));
    // start() awaits it; this keeps a failed start from also counting as unhandled here.
    this.ready.catch(() => undefined);
    const timeoutMs = options.startTimeoutMs ?? 10000;
    if (timeoutMs <= MAX_TIMER_MS) {
      this.startTimer = setTimeout(() => this.abandon(`no hello within ${timeoutMs} ms`), timeoutMs);
    }

    child.stdout.on("data", (chunk: Buffer) => this.onData(chunk));
    child.stderr.setEncoding("utf8");
    child.stderr.on("data", (text: string) => {
      if (this.stderr.length < STDERR_LIMIT) this.stderr += text;
    });
    // A write after the sidecar has gone fails with EPIPE; its exit status tells why it went.
    child.stdin.on("error", () => undefined);
    child.on("error", (error: NodeJS.ErrnoException) => {
      this.failure ??= error;
      // A child that could not be started emits no close.
      if (child.pid !== undefined) return;
      const text = error.errno === undefined ? undefined : getSystemErrorMap().get(error.errno)?.[1];
      this.failureText ??= `${child.spawnfile} could not be started: ${error.code}${text ? ` (${text})` : ""}`;
      this.finish(null, null);
    });
    child.on("close", (code, signal) => this.finish(code, signal));
  }

  private readonly emitter = new EventEmitter();
  private readonly ready: Promise<void>;
  private readonly asked: ProtocolVersion;
  private readonly highWaterMark: number;
  private readonly latestOnly: boolean;
  private readonly requestTimeoutMs: number | undefined;
  private readonly maxLineBytes: number;
  private readonly lines: LineSplitter;
  private readonly startTimer: ReturnType<typeof setTimeout> | undefined;
  private settleExited!: (exit: SidecarExit) => void;
  private helloSettle!: Settle<void>;
  private helloEvent: HelloEvent<ProtocolVersion> | null = null;
  private readonly waiters: Waiter[] = [];
  private readonly readers = new Set<StreamReader>();
  private readonly lifecycleReaders = new Set<StreamReader<LifecycleEvent>>();
  // The newest sequence handed to the host, streamed or answered; in "latest" mode nothing older
  // is streamed after it.
  private newestHandedOut = 0;
  // The newest streamed snapshot not yet emitted, in "latest" mode, and whether an emission waits.
  private pendingEmit: AnySnapshot | null = null;
  private stderr = "";
  private nextRequestId = 1;
  private ending = false;
  private exit: SidecarExit | null = null;
  // Why the client gave up on the child, when it did: it could not be started, or broke the
  // protocol.
  private failure: Error | undefined;
  private failureText: string | undefined;

  // Only called once hello has come: start() hands out no sidecar before.
  private get version(): ProtocolVersion {
    return this.hello.version;
  }

  // In version 3 a silent command carries a request id and is acked. In version 2 it gets no
  // answer unless refused, so a barrier follows it: a history read the sidecar answers only
  // after it, and refuses in words no other refusal has.
  private silent(command: Command<ProtocolVersion>, options: RequestOptions): Promise<void> {
    return this.request<void>(command, options, (settle, requestId) => {
      if (this.version === 3) {
        this.write({ ...command, requestId }, { kind: "silent", command: command.type, requestId, settle });
        return;
      }
      this.write(command, { kind: "silent", command: command.type, requestId: null, settle });
      const barrier = { type: "readHistory", version: 2, requestId, windowMs: 0 } as const;
      this.write(barrier, { kind: "history", requestId, items: [], settle: null });
    });
  }

  private history(
    command: Command<ProtocolVersion> & { type: "readHistory" },
    options: RequestOptions,
  ): Promise<HistoryItem[]> {
    return this.request<HistoryItem[]>(command, options, (settle, requestId) => {
      this.write({ ...command, requestId }, { kind: "history", requestId, items: [], settle });
    });
  }

  // A version 2 sidecar ignores members it does not know, so a version 3 one would go unheeded.
  // An iterator over what onEvent queues for a new reader of readers; taken runs as each item is
  // handed out.
  private iterate<T>(readers: Set<StreamReader<T>>, taken: (item: T) => void): AsyncIterableIterator<T> {
    const reader: StreamReader<T> = { queue: [], wakers: [] };
    readers.add(reader);
    const leave = (): IteratorResult<T> => {
      readers.delete(reader);
      // A next() still waiting (return() called from elsewhere than its loop) ends too.
      this.wake(reader);
      this.updateFlow();
      return { value: undefined, done: true };
    };
    const next = async (): Promise<IteratorResult<T>> => {
      for (;;) {
        if (reader.queue.length > 0) {
          const value = reader.queue.shift() as T;
          taken(value);
          return { value, done: false };
        }
        if (this.exit) {
          if (this.exit.requested) return leave();
          readers.delete(reader);
          throw this.exitError();
        }
        if (!readers.has(reader)) return { value: undefined, done: true };
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

  private version3Only(member: string, command: Command<ProtocolVersion>): Promise<never> | null {
    if (this.version === 3) return null;
    const why = `${member} needs protocol version 3; the sidecar speaks version 2`;
    return Promise.reject(new CommandRefusedError(command.type, "invalid-command", true, why));
  }

  // Runs send with a fresh request id, unless the command holds a number the sidecar would refuse
  // or the sidecar is ending or gone (then the request fails once it has exited). A timeout or an
  // abort rejects the request but leaves its waiter in line, so the answers after it still match.
  private request<T>(
    command: Command<ProtocolVersion>,
    options: RequestOptions,
    send: (settle: Settle<T>, requestId: string) => void,
  ): Promise<T> {
    const refusal = commandRefusal(command);
    if (refusal) return Promise.reject(new CommandRefusedError(command.type, "invalid-command", true, refusal));
    if (this.exit || this.ending) {
      return this.exited.then(() => Promise.reject(this.exitError()));
    }
    const { signal } = options;
    const timeoutMs = options.timeoutMs ?? this.requestTimeoutMs;
    if (timeoutMs !== undefined && !(timeoutMs >= 0)) {
      return Promise.reject(new RangeError(`timeoutMs is ${timeoutMs}: a number of milliseconds from 0 is needed`));
    }
    if (signal?.aborted) return Promise.reject(signal.reason);
    return new Promise<T>((resolve, reject) => {
      let timer: ReturnType<typeof setTimeout> | undefined;
      const stop = (): void => {
        clearTimeout(timer);
        signal?.removeEventListener("abort", onAbort);
      };
      const settle: Settle<T> = {
        resolve: (value) => (stop(), resolve(value)),
        reject: (error) => (stop(), reject(error)),
      };
      const giveUp = (error: unknown): void => {
        const waiter = this.waiters.find((w) => (w.settle as unknown) === settle);
        if (waiter) waiter.settle = null;
        settle.reject(error as Error);
        this.updateFlow();
      };
      const onAbort = (): void => giveUp(signal?.reason);
      send(settle, `procsampler-${this.nextRequestId++}`);
      // setTimeout fires at once for a delay it cannot hold (Infinity included): a longer wait has no
      // end to keep.
      if (timeoutMs !== undefined && timeoutMs <= MAX_TIMER_MS) {
        timer = setTimeout(() => giveUp(new RequestTimeoutError(command.type, timeoutMs)), timeoutMs);
      }
      signal?.addEventListener("abort", onAbort, { once: true });
      this.updateFlow();
    });
  }

  private write(command: Command<ProtocolVersion>, waiter: Waiter | null): void {
    if (waiter) this.waiters.push(waiter);
    this.child.stdin.write(`${JSON.stringify(command)}\n`);
  }

  private requestEnd(): void {
    if (this.exit || this.ending) return;
    this.ending = true;
    this.write({ type: "shutdown", version: this.version }, null);
    this.child.stdin.end();
    this.updateFlow();
  }

  private abandon(reason: string): void {
    this.failure ??= new Error(reason);
    this.child.kill("SIGKILL");
  }

  private onData(chunk: Buffer): void {
    for (const line of this.lines.push(chunk)) {
      if (this.exit) return;
      const event = this.readEvent(line);
      if (event) this.onEvent(event);
    }
  }

  // The line's event, or null when it is unusable: before hello that ends the sidecar (it is not
  // one of ours); after, the request the line answered, as far as can be told, fails.
  private readEvent(line: Line): AnyEvent | null {
    let value: unknown;
    let problem: string | null;
    let bytes: number;
    if (line.kind === "overLimit") {
      [value, bytes] = [answerHead(line.head), line.bytes];
      problem = `over the client's limit of ${this.maxLineBytes} bytes (maxLineBytes)`;
    } else {
      bytes = Buffer.byteLength(line.text);
      try {
        value = JSON.parse(line.text);
        problem = eventProblem(value, this.helloEvent?.version ?? null);
      } catch {
        [value, problem] = [null, `not JSON: ${line.text.slice(0, 100)}`];
      }
    }
    if (!problem) return value as AnyEvent;
    const error = new UnreadableLineError(bytes, problem);
    if (!this.helloEvent) {
      this.abandon(error.message);
      return null;
    }
    this.emitter.emit("unreadableLine", error);
    this.unanswered(value, error);
    this.updateFlow();
    return null;
  }

  // Fails the request an unusable line answered: the one its requestId names, or, with none, the
  // first that waits for an answer. A streamed snapshot answers nothing.
  private unanswered(value: unknown, error: UnreadableLineError): void {
    const fields = typeof value === "object" && value !== null ? (value as Record<string, unknown>) : {};
    const requestId = fields["requestId"];
    let waiter: Waiter | undefined;
    if (typeof requestId === "string") {
      waiter = this.answered(requestId);
    } else if (fields["type"] !== "snapshot") {
      // A version 2 silent command is answered only by a refusal, and this line is none.
      waiter = this.waiters.find((w) => (w.kind !== "silent" || w.requestId !== null) && w.settle);
    }
    if (!waiter) return;
    const settle = waiter.settle;
    waiter.settle = null;
    // An answer that came, though unreadable, takes its waiter out of line; a history answer
    // stays until its last chunk.
    if (typeof requestId === "string" && (waiter.kind !== "history" || fields["done"] === true)) {
      this.waiters.splice(this.waiters.indexOf(waiter), 1);
    }
    settle?.reject(error);
  }

  private onEvent(event: AnyEvent): void {
    if (!this.helloEvent) {
      if (event.type !== "hello" || event.version > this.asked) {
        const got = JSON.stringify(event).slice(0, 200);
        return this.abandon(`expected a hello of version ${this.asked} or lower, got ${got}`);
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
      if (waiter?.kind === "sample") {
        if (waiter.settle) this.handedOut(event);
        this.settle(waiter, waiter.settle, event);
      }
    } else if (event.type === "historyChunk") {
      const waiter = this.answered(event.requestId);
      if (waiter?.kind === "history" && waiter.settle) {
        waiter.items.push(...("steps" in event ? event.steps : event.snapshots));
      }
      if (waiter?.kind === "history" && event.done) this.settle(waiter, waiter.settle, waiter.items);
    } else if (event.type === "processStarted" || event.type === "processExited") {
      for (const reader of this.lifecycleReaders) {
        reader.queue.push(event);
        this.wake(reader);
      }
      this.emitter.emit(event.type, event);
    } else if (event.type === "ack") {
      this.acked(event);
    } else if (event.type === "error") {
      this.refused(event);
    }
    this.updateFlow();
  }

  private streamed(snapshot: AnySnapshot): void {
    if (!this.latestOnly) {
      for (const reader of this.readers) {
        reader.queue.push(snapshot);
        this.wake(reader);
      }
      this.emitter.emit("snapshot", snapshot);
      return this.updateFlow();
    }
    if (snapshot.sequence <= this.newestHandedOut) return;
    for (const reader of this.readers) {
      reader.queue = [snapshot];
      this.wake(reader);
    }
    // Lines read in one go (a backlog after the event loop was busy) come before the check phase,
    // so only the newest of them is emitted.
    if (!this.pendingEmit) setImmediate(() => this.emitPending());
    this.pendingEmit = snapshot;
  }

  private emitPending(): void {
    const snapshot = this.pendingEmit;
    this.pendingEmit = null;
    if (!snapshot || snapshot.sequence <= this.newestHandedOut) return;
    if (this.emitter.listenerCount("snapshot") > 0) this.handedOut(snapshot);
    this.emitter.emit("snapshot", snapshot);
  }

  // In "latest" mode, drops what is queued and older than a snapshot the host now holds.
  private handedOut(snapshot: AnySnapshot): void {
    if (!this.latestOnly || snapshot.sequence <= this.newestHandedOut) return;
    this.newestHandedOut = snapshot.sequence;
    for (const reader of this.readers) {
      reader.queue = reader.queue.filter((queued) => queued.sequence > snapshot.sequence);
    }
  }

  // The waiter whose request id an answer carries. The sidecar answers in order, so the waiters
  // before it are done: a version 2 silent command was handled without refusal, and a request
  // whose answer never came readable fails.
  private answered(requestId: string): Waiter | undefined {
    const index = this.waiters.findIndex((w) => w.requestId === requestId);
    if (index === -1) return undefined;
    for (const head of this.waiters.splice(0, index)) {
      if (head.kind === "silent" && head.requestId === null) head.settle?.resolve();
      else head.settle?.reject(new UnreadableLineError(0, `no answer came for ${head.requestId}`));
    }
    return this.waiters[0];
  }

  private acked(event: AckEvent): void {
    const waiter = this.answered(event.requestId);
    if (waiter?.kind === "silent") this.settle(waiter, waiter.settle, undefined);
  }

  // A version 3 refusal names its request; one that does not, and every version 2 refusal,
  // belongs to the oldest command still waiting.
  private refused(event: ErrorEvent<ProtocolVersion>): void {
    let head = event.version === 3 && event.requestId !== undefined ? this.answered(event.requestId) : this.waiters[0];
    if (head?.kind === "silent" && head.requestId === null && event.message === BARRIER_REFUSAL) {
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

  private finish(exitCode: number | null, signal: string | null): void {
    if (this.exit) return;
    clearTimeout(this.startTimer);
    this.exit = { exitCode, signal, stderr: this.stderr.trim(), requested: this.ending };
    const error = this.exitError();
    this.helloSettle.reject(error);
    for (const waiter of this.waiters.splice(0)) waiter.settle?.reject(error);
    for (const reader of [...this.readers, ...this.lifecycleReaders]) this.wake(reader);
    this.settleExited(this.exit);
    this.emitter.emit("exit", this.exit);
  }

  private wake(reader: StreamReader<unknown>): void {
    for (const wake of reader.wakers.splice(0)) wake();
  }

  private exitError(): SidecarExitedError {
    const exit = this.exit ?? { exitCode: null, signal: null, stderr: "", requested: this.ending };
    return new SidecarExitedError(exit, this.failure, this.failureText);
  }

  // Reads the sidecar's output unless an iterator is full and nothing waits for an answer (so a
  // slow consumer holds the sidecar back, but never blocks an answer), and keeps the host's event
  // loop alive only while something waits on the sidecar: a host that drops it without close()
  // can still exit, which closes the sidecar's input and ends it.
  private updateFlow(): void {
    if (this.exit) return;
    const full = [...this.readers].some((reader) => reader.queue.length >= this.highWaterMark);
    if (full && !this.latestOnly && this.waiters.length === 0) this.child.stdout.pause();
    else this.child.stdout.resume();

    const waiting =
      !this.helloEvent ||
      this.ending ||
      this.waiters.some((waiter) => waiter.settle) ||
      this.emitter.listenerCount("snapshot") > 0 ||
      this.emitter.listenerCount("processStarted") > 0 ||
      this.emitter.listenerCount("processExited") > 0 ||
      [...this.readers, ...this.lifecycleReaders].some((reader) => reader.wakers.length > 0);
    const { stdin, stdout, stderr } = this.child;
    // Child pipes are sockets, though typed as plain streams.
    for (const handle of [this.child, ...([stdin, stdout, stderr] as unknown as Socket[])]) {
      if (waiting) handle.ref();
      else handle.unref();
    }
  }
}

// What the opening bytes of an over-limit line tell: its type, and the requestId of the answer it
// carries. Both come before any process record, and a key inside a string would have its quotes
// escaped, so the first match is the event's own.
function answerHead(head: string): Record<string, unknown> {
  const fields: Record<string, unknown> = {};
  const type = /^\{"version":\d+,"type":"(\w+)"/.exec(head)?.[1];
  if (type) fields["type"] = type;
  const requestId = /"requestId":("(?:[^"\\]|\\.)*")/.exec(head)?.[1];
  try {
    if (requestId) fields["requestId"] = JSON.parse(requestId) as string;
  } catch {
    // An escape JSON does not know: the line answers nothing the client can name.
  }
  const done = /"done":(true|false)/.exec(head)?.[1];
  if (done) fields["done"] = done === "true";
  return fields;
}
