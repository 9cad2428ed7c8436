// A sidecar that plays back records of the shapes the real one writes, for what a root user's
// browser test never meets on this machine: figures the system refused (null), another user's
// process, an hour of downsampled history and the machine's totals. With `--v2` it speaks protocol
// version 2, which has none of these. The tree: the configured root, a child of another user whose
// figures were refused (in version 2, only its CPU percent, as not finite) and a child of zeros.
import { createInterface } from "node:readline";

const version = process.argv.includes("--v2") ? 2 : 3;
const GIB = 2 ** 30;
const startTimeMs = Math.floor(Date.now() / 1000) * 1000 - 7_200_000;
const snapshots: object[] = [];
let rootPid = 0;
let timer: ReturnType<typeof setInterval> | undefined;

const write = (event: object): boolean => process.stdout.write(`${JSON.stringify({ version, ...event })}\n`);

function record(pid: number, ppid: number, name: string, refused: boolean): object {
  const figure = (value: number): number | null => (refused && version === 3 ? null : value);
  const common = { pid, ppid, startTimeMs, runTimeMs: Date.now() - startTimeMs, name, command: name, status: "Sleep" };
  const figures = {
    ...{ cpuPercent: refused ? null : 0, cpuTimeMs: figure(0), residentBytes: figure(1 << 20) },
    ...{ virtualBytes: figure(4 << 20), ioReadBytes: figure(0), ioWriteBytes: figure(0), ioSemantics: "storage" },
  };
  const v3 = { uid: refused ? 1001 : 0, threads: figure(1), footprintBytes: null, argv: [name] };
  return { ...common, ...figures, ...(version === 3 ? v3 : {}) };
}

function snapshot(): object {
  const machine = { cpuCount: 4, cpuPercent: 150, memoryTotalBytes: 8 * GIB, memoryAvailableBytes: 2 * GIB };
  const counts = { collectionDurationMicros: 100, scannedProcessCount: 3, retainedProcessCount: 3 };
  const taken = {
    ...{ type: "snapshot", sequence: snapshots.length + 1, sampledAtUnixMs: Date.now(), ...counts },
    ...{ inaccessibleProcessCount: 0, ...(version === 3 ? { machine: { ...machine, uptimeMs: 93_784_000 } } : {}) },
    externalProcesses: [],
    processes: [rootPid, rootPid + 1, rootPid + 2].map((pid, i) =>
      record(pid, i ? rootPid : 1, ["root", "refused", "zero"][i]!, i === 1),
    ),
  };
  snapshots.push(taken);
  return taken;
}

// Steps from an hour ago to ten minutes ago: the root at 80% of a CPU, the machine at 120%.
function steps(stepMs: number): object[] {
  const root = { pid: rootPid, startTimeMs, sampleCount: 10, cpuPercentMean: 80, cpuPercentMax: 95 };
  const machine = { cpuPercentMean: 120, cpuPercentMax: 180, memoryAvailableBytesMin: 3 * GIB };
  const first = Date.now() - 3_600_000 - ((Date.now() - 3_600_000) % stepMs);
  const step = {
    snapshotCount: 10,
    processes: [{ ...root, residentBytesMax: 64 << 20, footprintBytesMax: null }],
    machine,
  };
  return Array.from({ length: 3_000_000 / stepMs }, (_, i) => ({ startUnixMs: first + i * stepMs, ...step }));
}

const hello = { type: "hello", ...(version === 3 ? { protocolVersions: [2, 3] } : {}), sidecarVersion: "0.1.0" };
write({ ...hello, sidecarPid: process.pid, platform: "linux", arch: "x86_64", capabilities: {} });
for await (const line of createInterface({ input: process.stdin })) {
  const command = JSON.parse(line) as { type: string; requestId?: string; [member: string]: unknown };
  const { type, requestId } = command;
  if (type === "configure") rootPid = command["rootPid"] as number;
  if (type === "setStreaming") {
    clearInterval(timer);
    if (command["enabled"]) timer = setInterval(() => write(snapshot()), 1000);
  }
  if (type === "readHistory") {
    const stepMs = command["stepMs"] as number | undefined;
    const answer = stepMs ? { stepMs, steps: steps(stepMs) } : { snapshots };
    write({ type: "historyChunk", requestId, done: true, ...answer });
  } else if (requestId !== undefined && version === 3) {
    write({ type: "ack", requestId });
  }
  if (type === "shutdown") process.exit(0);
}
process.exit(0);
