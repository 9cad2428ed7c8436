// A sidecar that plays back records of the shapes the real one writes, for what a root user's
// browser test never meets on this machine: figures the system refused (null), the user of another
// process, an hour of downsampled history and the machine's totals. `--v2` makes it a
// sidecar of protocol version 2, which has none of these. The tree: the configured root, a child
// of another user whose figures were refused, and a child whose figures are real zeros.
//   node recorded_sidecar.js [--v2] [--protocol N]
import { createInterface } from "node:readline";

const v2 = process.argv.includes("--v2");
const version = v2 ? 2 : 3;
const HOUR_MS = 3_600_000;
const GIB = 2 ** 30;
const startTimeMs = Math.floor(Date.now() / 1000) * 1000 - 2 * HOUR_MS;
const stored: object[] = [];
let rootPid = 0;
let intervalMs = 0;
let sequence = 0;
let timer: ReturnType<typeof setInterval> | undefined;

function write(event: object): void {
  process.stdout.write(`${JSON.stringify({ version, ...event })}\n`);
}

function record(pid: number, ppid: number, name: string, refused: boolean): object {
  // Version 2 has no null figure but a CPU percent that was not a finite number.
  const figure = (value: number): number | null => (refused && !v2 ? null : value);
  const common = { pid, ppid, startTimeMs, runTimeMs: Date.now() - startTimeMs, name, command: name, status: "Sleep" };
  const figures = {
    ...{ cpuPercent: refused ? null : 0, cpuTimeMs: figure(0), residentBytes: figure(1 << 20) },
    ...{ virtualBytes: figure(4 << 20), ioReadBytes: figure(0), ioWriteBytes: figure(0), ioSemantics: "storage" },
  };
  if (v2) return { ...common, ...figures };
  return { ...common, ...figures, uid: refused ? 1001 : 0, threads: figure(1), footprintBytes: null, argv: [name] };
}

function snapshot(requestId?: string): object {
  sequence += 1;
  const machine = { cpuCount: 4, cpuPercent: 150, memoryTotalBytes: 8 * GIB, memoryAvailableBytes: 2 * GIB };
  const taken = {
    type: "snapshot",
    sequence,
    sampledAtUnixMs: Date.now(),
    collectionDurationMicros: 100,
    scannedProcessCount: 3,
    retainedProcessCount: 3,
    inaccessibleProcessCount: 0,
    ...(requestId === undefined ? {} : { requestId }),
    ...(v2 ? {} : { machine: { ...machine, uptimeMs: 93_784_000 } }),
    externalProcesses: [],
    processes: [
      record(rootPid, 1, "root", false),
      record(rootPid + 1, rootPid, "refused", true),
      record(rootPid + 2, rootPid, "zero", false),
    ],
  };
  stored.push(taken);
  return taken;
}

// Steps of stepMs from an hour ago to ten minutes ago: the root at 80% of a CPU and 64 MiB, the
// machine at 120% with 3 GiB available.
function steps(stepMs: number): object[] {
  const last = Date.now() - 600_000;
  const found = [];
  for (let start = last - HOUR_MS + 600_000 - (last % stepMs); start < last; start += stepMs) {
    const processes = [
      { pid: rootPid, startTimeMs, sampleCount: 10, cpuPercentMean: 80, cpuPercentMax: 95, residentBytesMax: 64 << 20 },
    ];
    const machine = { cpuPercentMean: 120, cpuPercentMax: 180, memoryAvailableBytesMin: 3 * GIB };
    found.push({ startUnixMs: start, snapshotCount: 10, processes, machine });
  }
  return found;
}

const hello = { type: "hello", ...(v2 ? {} : { protocolVersions: [2, 3] }), sidecarVersion: "0.1.0" };
const capabilities = Object.fromEntries(
  "cumulativeCpuTime currentCpuPercent residentMemory virtualMemory ioBytes processStartTime processTree"
    .split(" ")
    .map((name) => [name, true]),
);
write({ ...hello, sidecarPid: process.pid, platform: "linux", arch: "x86_64", capabilities });

for await (const line of createInterface({ input: process.stdin })) {
  const command = JSON.parse(line) as Record<string, unknown>;
  const requestId = command["requestId"] as string | undefined;
  const ack = (): void => void (requestId !== undefined && version === 3 && write({ type: "ack", requestId }));
  switch (command["type"]) {
    case "configure":
      rootPid = command["rootPid"] as number;
      intervalMs = command["sampleIntervalMs"] as number;
      ack();
      break;
    case "setStreaming":
      clearInterval(timer);
      if (command["enabled"]) timer = setInterval(() => write(snapshot()), Math.max(250, intervalMs || 1000));
      ack();
      break;
    case "sampleNow":
      write(snapshot(requestId));
      break;
    case "readHistory": {
      const stepMs = command["stepMs"] as number | undefined;
      const answer = stepMs ? { stepMs, steps: steps(stepMs) } : { snapshots: stored };
      write({ type: "historyChunk", requestId, done: true, ...answer });
      break;
    }
    case "shutdown":
      ack();
      process.exit(0);
  }
}
process.exit(0);
