// The page's picture of the tree: every process seen within the window, keyed by pid and start
// time so that a reused pid starts a line of its own, with its CPU and memory for each frame
// ("tick") it was in. A figure the system refused is NaN in a series, and counts for nothing in a
// sum. Lives on the page's main thread; taking in a frame costs time linear in the processes known,
// memory stays within the window's records.
import type { Frame, Machine, ProcessTuple } from "../shared/frames.js";
import { StepStore } from "./step_store.js";

/** How long an exited process stays in the tree, greyed. */
export const EXITED_SHOWN_MS = 60_000;

/** What the page knows of the sidecar it is shown, to say why a figure is missing. */
export interface Origin {
  protocolVersion: number;
  platform: string;
  sidecarUid: number | null;
  stepMs: number;
}

const finite = (value: number): number => (Number.isFinite(value) ? value : 0);

/** The machine's memory in use, NaN when it does not tell. */
export function memoryUsed(machine: Machine | null): number {
  const { memoryTotalBytes: total, memoryAvailableBytes: available } = machine ?? {};
  return total == null || available == null ? NaN : total - available;
}

// One process's values for the ticks since it was first seen, the newest `capacity` of them at
// most: linear while young (most processes are short-lived), a ring once full.
export class TickSeries {
  constructor(
    private readonly capacity: number,
    private readonly firstTick: number,
  ) {}

  set(tick: number, value: number): void {
    if (!this.ring && tick - this.firstTick >= this.values.length) this.grow(tick);
    this.values[this.index(tick)] = value;
  }
  /** The value at a tick the process was seen at, within the last `capacity` ticks; NaN where it
   *  was refused. */
  get(tick: number): number {
    return this.values[this.index(tick)] ?? 0;
  }

  private index(tick: number): number {
    return this.ring ? tick % this.capacity : tick - this.firstTick;
  }
  private grow(tick: number): void {
    let size = this.values.length;
    while (size <= tick - this.firstTick && size < this.capacity) size *= 2;
    const old = this.values;
    if (size < this.capacity) {
      this.values = new Float32Array(size);
      this.values.set(old);
      return;
    }
    this.values = new Float32Array(this.capacity);
    this.ring = true;
    for (let t = Math.max(this.firstTick, tick - this.capacity + 1); t < tick; t += 1) {
      this.values[t % this.capacity] = old[t - this.firstTick] ?? 0;
    }
  }

  private values = new Float32Array(8);
  private ring = false;
}

export class ProcessEntry {
  readonly key: string;
  ppid = 0;
  name = "";
  command = "";
  status = "";
  runTimeMs = 0;
  /** Null where the system refused it (or, for the CPU, the sidecar could not tell). */
  cpuPercent: number | null = 0;
  residentBytes: number | null = 0;
  readBytesPerSecond: number | null = 0;
  writeBytesPerSecond: number | null = 0;
  cpuTimeMs: number | null = 0;
  virtualBytes: number | null = 0;
  /** Null also where the protocol does not carry them (version 2), and footprint on Linux. */
  uid: number | null = null;
  threads: number | null = null;
  footprintBytes: number | null = null;
  /** When the first frame without it was sampled; null while it runs. */
  exitedAtMs: number | null = null;
  lastTick: number;
  readonly cpu: TickSeries;
  readonly memory: TickSeries;
  /** Sums over the ticks still in the window, to rank processes for the charts. */
  cpuSum = 0;
  memorySum = 0;

  constructor(
    readonly pid: number,
    readonly startTimeMs: number,
    readonly firstTick: number,
    private readonly capacity: number,
  ) {
    this.key = `${pid}:${startTimeMs}`;
    this.lastTick = firstTick;
    this.cpu = new TickSeries(capacity, firstTick);
    this.memory = new TickSeries(capacity, firstTick);
  }

  /** Its value at a tick of the window: 0 where it was not running, NaN where it was refused. */
  valueAt(series: TickSeries, tick: number): number {
    return tick < this.firstTick || tick > this.lastTick ? 0 : series.get(tick);
  }

  update(p: ProcessTuple, tick: number, sampledAtMs: number): void {
    const [, ppid, , cpuPercent, residentBytes, ioReadBytes, ioWriteBytes, runTimeMs, status, name, command, ...rest] =
      p;
    const [cpuTimeMs, virtualBytes, uid, threads, footprintBytes] = rest;
    const seconds = (sampledAtMs - this.sampledAtMs) / 1000;
    const seenBefore = tick > this.firstTick && seconds > 0;
    const rate = (now: number | null, before: number | null): number | null =>
      now === null ? null : seenBefore && before !== null ? Math.max(0, now - before) / seconds : 0;
    this.readBytesPerSecond = rate(ioReadBytes, this.ioReadBytes);
    this.writeBytesPerSecond = rate(ioWriteBytes, this.ioWriteBytes);
    // Back after an absence (it had left the tree): the ticks it missed must not read stale values.
    for (let t = Math.max(this.lastTick + 1, tick - this.capacity); t < tick; t += 1) {
      this.cpu.set(t, 0);
      this.memory.set(t, 0);
    }
    this.ppid = ppid;
    this.name = name;
    this.command = command;
    this.status = status;
    this.runTimeMs = runTimeMs;
    this.cpuPercent = cpuPercent;
    this.residentBytes = residentBytes;
    this.cpuTimeMs = cpuTimeMs;
    this.virtualBytes = virtualBytes;
    this.uid = uid;
    this.threads = threads;
    this.footprintBytes = footprintBytes;
    this.ioReadBytes = ioReadBytes;
    this.ioWriteBytes = ioWriteBytes;
    this.sampledAtMs = sampledAtMs;
    this.exitedAtMs = null;
    this.lastTick = tick;
    this.cpu.set(tick, cpuPercent ?? NaN);
    this.memory.set(tick, residentBytes ?? NaN);
    this.cpuSum += cpuPercent ?? 0;
    this.memorySum += residentBytes ?? 0;
  }

  /** Forgets the tick that is leaving the window, before a new one takes its place. */
  dropTick(tick: number): void {
    if (tick < this.firstTick || tick > this.lastTick) return;
    this.cpuSum = Math.max(0, this.cpuSum - finite(this.cpu.get(tick)));
    this.memorySum = Math.max(0, this.memorySum - finite(this.memory.get(tick)));
  }

  private ioReadBytes: number | null = 0;
  private ioWriteBytes: number | null = 0;
  private sampledAtMs = 0;
}

export class ProcessStore {
  /** Everything seen within the window, exited processes included. */
  readonly entries = new Map<string, ProcessEntry>();
  /** The newest frame's tick; -1 before the first. */
  tick = -1;
  latest: Frame | null = null;

  /** The last hour in steps, those older than the window included. */
  readonly steps: StepStore;

  /** `capacity`: how many ticks the window holds. */
  constructor(
    readonly capacity: number,
    readonly origin: Origin = { protocolVersion: 3, platform: "linux", sidecarUid: 0, stepMs: 10_000 },
  ) {
    this.times = new Float64Array(capacity);
    this.cpuTotals = new Float64Array(capacity);
    this.memoryTotals = new Float64Array(capacity);
    this.machineCpu = new Float64Array(capacity);
    this.machineMemory = new Float64Array(capacity);
    this.steps = new StepStore(origin.stepMs);
  }

  /** The oldest tick still in the window. */
  get firstTick(): number {
    return Math.max(0, this.tick - this.capacity + 1);
  }
  timeAt(tick: number): number {
    return this.times[tick % this.capacity] ?? 0;
  }
  cpuTotalAt(tick: number): number {
    return this.cpuTotals[tick % this.capacity] ?? 0;
  }
  memoryTotalAt(tick: number): number {
    return this.memoryTotals[tick % this.capacity] ?? 0;
  }
  /** The machine's CPU and memory in use; NaN where the frame had none. */
  machineAt(kind: "cpu" | "memory", tick: number): number {
    return (kind === "cpu" ? this.machineCpu : this.machineMemory)[tick % this.capacity] ?? NaN;
  }

  ingest(frame: Frame): void {
    const tick = (this.tick += 1);
    const leaving = tick - this.capacity;
    const slot = tick % this.capacity;
    this.latest = frame;
    for (const entry of this.entries.values()) entry.dropTick(leaving);
    let cpuTotal = 0;
    let memoryTotal = 0;
    for (const p of frame.processes) {
      const key = `${p[0]}:${p[2]}`;
      let entry = this.entries.get(key);
      if (!entry) this.entries.set(key, (entry = new ProcessEntry(p[0], p[2], tick, this.capacity)));
      entry.update(p, tick, frame.sampledAtUnixMs);
      cpuTotal += entry.cpuPercent ?? 0;
      memoryTotal += entry.residentBytes ?? 0;
    }
    for (const [key, entry] of this.entries) {
      if (entry.lastTick === tick) continue;
      if (entry.exitedAtMs === null) {
        entry.exitedAtMs = frame.sampledAtUnixMs;
        entry.cpuPercent = entry.readBytesPerSecond = entry.writeBytesPerSecond = 0;
      }
      const shownUntil = entry.exitedAtMs + EXITED_SHOWN_MS;
      if (entry.lastTick <= leaving && shownUntil <= frame.sampledAtUnixMs) this.entries.delete(key);
    }
    this.times[slot] = frame.sampledAtUnixMs;
    this.cpuTotals[slot] = cpuTotal;
    this.memoryTotals[slot] = memoryTotal;
    this.machineCpu[slot] = frame.machine?.cpuPercent ?? NaN;
    this.machineMemory[slot] = memoryUsed(frame.machine);
    this.steps.fold(frame, cpuTotal, memoryTotal);
  }

  private readonly times: Float64Array;
  private readonly cpuTotals: Float64Array;
  private readonly memoryTotals: Float64Array;
  private readonly machineCpu: Float64Array;
  private readonly machineMemory: Float64Array;
}
