// The last hour in steps of stepMs, for the part of the charts older than the store's window: the
// sidecar's downsampled history as the page opened, then the steps the page builds from every
// frame it takes in, the same way (CPU averaged over the step, memory at its highest). A step keeps
// its processes sorted by pid and start, so a chart finds one in a binary search. Main thread only.
import type { Frame, Step } from "../shared/frames.js";

const HOUR_MS = 3_600_000;

export type Kind = "cpu" | "memory";

export interface StoredStep {
  startMs: number;
  pids: Float64Array;
  starts: Float64Array;
  /** Per process, in the order of pids; NaN where every figure was refused. */
  values: Record<Kind, Float32Array>;
  totals: Record<Kind, number>;
  /** The machine's CPU and memory in use; NaN where the step had none. */
  machine: Record<Kind, number>;
}

interface Summing {
  startMs: number;
  frames: number;
  processes: Map<string, { pid: number; start: number; cpu: number; refused: boolean; memory: number }>;
  cpuTotal: number;
  memoryTotal: number;
  machineCpu: number;
  machineCpuFrames: number;
  machineMemory: number;
}

function stored(step: Summing): StoredStep {
  const list = [...step.processes.values()].sort((a, b) => a.pid - b.pid || a.start - b.start);
  return {
    startMs: step.startMs,
    pids: Float64Array.from(list, (p) => p.pid),
    starts: Float64Array.from(list, (p) => p.start),
    values: {
      cpu: Float32Array.from(list, (p) => (p.refused ? NaN : p.cpu / step.frames)),
      memory: Float32Array.from(list, (p) => p.memory),
    },
    totals: { cpu: step.cpuTotal / step.frames, memory: step.memoryTotal },
    machine: {
      cpu: step.machineCpuFrames > 0 ? step.machineCpu / step.machineCpuFrames : NaN,
      memory: step.machineMemory,
    },
  };
}

export class StepStore {
  /** Oldest first; the step frames are being summed into is not among them yet. */
  readonly steps: StoredStep[] = [];

  constructor(readonly stepMs: number) {}

  /** Takes the sidecar's steps that begin before the step of `beforeMs` (the first frame the page
   *  has), so that no snapshot counts twice; `memoryTotalBytes` is the machine's, to turn its
   *  least available memory into the most in use. */
  load(steps: Step[], beforeMs: number, memoryTotalBytes: number | null): void {
    const first = this.stepOf(beforeMs);
    for (const step of steps) {
      if (step.startUnixMs >= first) break;
      let cpuTotal = 0;
      let memoryTotal = 0;
      for (const [, , cpu, memory] of step.processes) {
        cpuTotal += cpu ?? 0;
        memoryTotal += memory;
      }
      const available = step.machine?.memoryAvailableBytes ?? null;
      this.steps.push({
        startMs: step.startUnixMs,
        pids: Float64Array.from(step.processes, (p) => p[0]),
        starts: Float64Array.from(step.processes, (p) => p[1]),
        values: {
          cpu: Float32Array.from(step.processes, (p) => p[2] ?? NaN),
          memory: Float32Array.from(step.processes, (p) => p[3]),
        },
        totals: { cpu: cpuTotal, memory: memoryTotal },
        machine: {
          cpu: step.machine?.cpuPercent ?? NaN,
          memory: memoryTotalBytes === null || available === null ? NaN : memoryTotalBytes - available,
        },
      });
    }
  }

  /** Adds a frame, newer than all before it, with the sums the store made of it. */
  fold(frame: Frame, cpuTotal: number, memoryTotal: number): void {
    const startMs = this.stepOf(frame.sampledAtUnixMs);
    if (this.summing && this.summing.startMs !== startMs) {
      this.steps.push(stored(this.summing));
      this.summing = null;
      while ((this.steps[0]?.startMs ?? Infinity) < startMs - HOUR_MS) this.steps.shift();
    }
    const step = (this.summing ??= {
      startMs,
      frames: 0,
      processes: new Map(),
      cpuTotal: 0,
      memoryTotal: 0,
      machineCpu: 0,
      machineCpuFrames: 0,
      machineMemory: NaN,
    });
    step.frames += 1;
    step.cpuTotal += cpuTotal;
    step.memoryTotal = Math.max(step.memoryTotal, memoryTotal);
    const machine = frame.machine;
    if (machine?.cpuPercent != null) {
      step.machineCpu += machine.cpuPercent;
      step.machineCpuFrames += 1;
    }
    if (machine?.memoryTotalBytes != null && machine.memoryAvailableBytes != null) {
      const used = machine.memoryTotalBytes - machine.memoryAvailableBytes;
      step.machineMemory = Number.isNaN(step.machineMemory) ? used : Math.max(step.machineMemory, used);
    }
    for (const [pid, , start, cpu, memory] of frame.processes) {
      const key = `${pid}:${start}`;
      let summed = step.processes.get(key);
      if (!summed) step.processes.set(key, (summed = { pid, start, cpu: 0, refused: true, memory: 0 }));
      summed.cpu += cpu ?? 0;
      summed.refused &&= cpu === null;
      summed.memory = Math.max(summed.memory, memory ?? 0);
    }
  }

  /** A process's value in a step: 0 where it was not in it, NaN where it was refused. */
  valueOf(step: StoredStep, kind: Kind, pid: number, start: number): number {
    let low = 0;
    let high = step.pids.length;
    while (low < high) {
      const middle = (low + high) >> 1;
      const [p, s] = [step.pids[middle] as number, step.starts[middle] as number];
      if (p < pid || (p === pid && s < start)) low = middle + 1;
      else high = middle;
    }
    return step.pids[low] === pid && step.starts[low] === start ? (step.values[kind][low] as number) : 0;
  }

  private stepOf(ms: number): number {
    return ms - (ms % this.stepMs);
  }

  private summing: Summing | null = null;
}
