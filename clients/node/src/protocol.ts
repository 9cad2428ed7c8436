// The wire types of protocol versions 2 and 3, as schema/ and schema/v3/ describe them. A type
// that differs between them takes the version as a parameter, 2 by default, so that a host held to
// version 2 keeps its figures non-null; Snapshot<ProtocolVersion> is either, told apart by
// `version`. 64-bit integers are plain numbers: exact below 2^53, which every real time, count
// and size stays under.

export type ProtocolVersion = 2 | 3;
/** The highest version the client speaks, and the one it asks for by default. */
export const PROTOCOL_VERSION = 3;

export interface ExternalProcess {
  pid: number;
  /** Milliseconds since the epoch; matches a process started within the same whole second, or in
   *  version 3, when it has a millisecond part (as a record's start has), within the kernel's
   *  precision (Linux 11 ms, macOS and Windows 1 ms). */
  startTimeMs?: number | null;
}

// Version 3 adds requestId to every command: each then gets exactly one answer.
interface Request<V extends ProtocolVersion> {
  version: V;
  requestId?: V extends 3 ? string : never;
}

export interface ConfigureCommand<V extends ProtocolVersion = 2> extends Request<V> {
  type: "configure";
  rootPid: number;
  /** 0: no periodic sampling; otherwise clamped to 250..60000 by the sidecar. */
  sampleIntervalMs: number;
  externalProcesses?: ExternalProcess[];
  /** Version 3: the selected processes' starts and exits are written as lifecycle events. */
  lifecycle?: V extends 3 ? boolean : never;
}
export interface SetExternalProcessesCommand<V extends ProtocolVersion = 2> extends Request<V> {
  type: "setExternalProcesses";
  processes: ExternalProcess[];
}
export interface SetSampleIntervalCommand<V extends ProtocolVersion = 2> extends Request<V> {
  type: "setSampleInterval";
  sampleIntervalMs: number;
}
export interface SetStreamingCommand<V extends ProtocolVersion = 2> extends Request<V> {
  type: "setStreaming";
  enabled: boolean;
  /** Version 3: a periodic snapshot is written only once the host has read all before it. */
  latest?: V extends 3 ? boolean : never;
}
export interface SampleNowCommand<V extends ProtocolVersion = 2> {
  type: "sampleNow";
  version: V;
  requestId: string;
}
export interface ReadHistoryCommand<V extends ProtocolVersion = 2> {
  type: "readHistory";
  version: V;
  requestId: string;
  /** Clamped to one hour by the sidecar. */
  windowMs: number;
  /** Version 3, above 0: the window in steps of stepMs (HistoryStep) instead of snapshots. */
  stepMs?: V extends 3 ? number : never;
}
export interface ShutdownCommand<V extends ProtocolVersion = 2> extends Request<V> {
  type: "shutdown";
}
export type Command<V extends ProtocolVersion = 2> =
  | ConfigureCommand<V>
  | SetExternalProcessesCommand<V>
  | SetSampleIntervalCommand<V>
  | SetStreamingCommand<V>
  | SampleNowCommand<V>
  | ReadHistoryCommand<V>
  | ShutdownCommand<V>;

export interface Capabilities {
  cumulativeCpuTime: boolean;
  currentCpuPercent: boolean;
  residentMemory: boolean;
  virtualMemory: boolean;
  ioBytes: boolean;
  processStartTime: boolean;
  processTree: boolean;
}

export interface HelloEventV2 {
  version: 2;
  type: "hello";
  sidecarVersion: string;
  sidecarPid: number;
  platform: "linux" | "macos" | "windows";
  arch: "x86_64" | "aarch64";
  capabilities: Capabilities;
}
export interface HelloEventV3 extends Omit<HelloEventV2, "version"> {
  version: 3;
  /** Every version the sidecar speaks, oldest first. */
  protocolVersions: number[];
}
export type HelloEvent<V extends ProtocolVersion = 2> = V extends 3 ? HelloEventV3 : HelloEventV2;

export type ErrorCode = "invalid-command" | "protocol-mismatch" | "not-configured";

export interface ErrorEventV2 {
  version: 2;
  type: "error";
  code: ErrorCode;
  message: string;
  /** False only for protocol-mismatch. */
  recoverable: boolean;
}
export interface ErrorEventV3 extends Omit<ErrorEventV2, "version"> {
  version: 3;
  /** The refused command's, when it carried one. */
  requestId?: string;
}
export type ErrorEvent<V extends ProtocolVersion = 2> = V extends 3 ? ErrorEventV3 : ErrorEventV2;

/** Version 3: the answer to a command that carried a requestId and has no result of its own. */
export interface AckEvent {
  version: 3;
  type: "ack";
  requestId: string;
}

export type ProcessStatus =
  | "Idle"
  | "Run"
  | "Sleep"
  | "Stop"
  | "Zombie"
  | "Tracing"
  | "Dead"
  | "Wakekill"
  | "Waking"
  | "Parked"
  | "LockBlocked"
  | "UninterruptibleDiskSleep"
  | "Suspended"
  | `Unknown(${number})`;

export interface ProcessRecordV2 {
  pid: number;
  /** 0 when the process has no parent. */
  ppid: number;
  /** Whole seconds since the epoch, times 1000; in version 3, exact to what the kernel keeps. */
  startTimeMs: number;
  runTimeMs: number;
  name: string;
  /** Arguments joined by single spaces, or the name when there are none. */
  command: string;
  status: ProcessStatus;
  /** Percent of one CPU since the previous reading; null when not finite. */
  cpuPercent: number | null;
  cpuTimeMs: number;
  residentBytes: number;
  virtualBytes: number;
  /** Cumulative since the process started. */
  ioReadBytes: number;
  ioWriteBytes: number;
  ioSemantics: "storage" | "all-io";
}
type RefusedAsNull = "cpuTimeMs" | "residentBytes" | "virtualBytes" | "ioReadBytes" | "ioWriteBytes";
/** Figures the kernel refused are null, never 0: on macOS everything but the name for another
 *  user's process, on Linux the I/O of a process /proc/PID/io is refused for. */
export interface ProcessRecordV3 extends Omit<ProcessRecordV2, RefusedAsNull> {
  cpuTimeMs: number | null;
  residentBytes: number | null;
  virtualBytes: number | null;
  ioReadBytes: number | null;
  ioWriteBytes: number | null;
  /** The effective user id, the one the kernel checks access against; null where unknown. */
  uid: number | null;
  threads: number | null;
  /** macOS: the memory Activity Monitor shows; Linux: private memory, resident or swapped
   *  (RssAnon + VmSwap); Windows: private bytes; null where unknown. */
  footprintBytes: number | null;
  /** argv[0] first; at most 16384 bytes together, as command. */
  argv: string[];
}
export type ProcessRecord<V extends ProtocolVersion = 2> = V extends 3 ? ProcessRecordV3 : ProcessRecordV2;

export interface ExternalProcessEntry {
  pid: number;
  startTimeMs: number | null;
}

export interface SnapshotV2 {
  version: 2;
  type: "snapshot";
  sequence: number;
  sampledAtUnixMs: number;
  collectionDurationMicros: number;
  scannedProcessCount: number;
  retainedProcessCount: number;
  inaccessibleProcessCount: number;
  /** Only on the answer to sampleNow. */
  requestId?: string;
  externalProcesses: ExternalProcessEntry[];
  /** Ascending by pid. */
  processes: ProcessRecordV2[];
}
/** Version 3: the machine as a whole, read with the CPU counters; null where the system would not say. */
export interface MachineTotals {
  cpuCount: number | null;
  /** Percent of one CPU, 0 to 100 × cpuCount, over the interval of the processes' cpuPercent. */
  cpuPercent: number | null;
  memoryTotalBytes: number | null;
  /** Free memory and what the kernel can drop: what programs could get without swapping. */
  memoryAvailableBytes: number | null;
  /** Since boot, time asleep included. */
  uptimeMs: number | null;
}
export interface SnapshotV3 extends Omit<SnapshotV2, "version" | "processes"> {
  version: 3;
  /** Streaming with latest: the periodic snapshots left unwritten since the last one written. */
  skippedSnapshots?: number;
  machine: MachineTotals;
  processes: ProcessRecordV3[];
}
export type Snapshot<V extends ProtocolVersion = 2> = V extends 3 ? SnapshotV3 : SnapshotV2;

/** Version 3: one process (pid and start) over the snapshots of a step that hold it. */
export interface ProcessSummary {
  pid: number;
  startTimeMs: number;
  sampleCount: number;
  /** Of the finite cpuPercent figures; null when none was. */
  cpuPercentMean: number | null;
  cpuPercentMax: number | null;
  residentBytesMax: number;
  /** Null when every footprintBytes of the step was. */
  footprintBytesMax: number | null;
}
/** Version 3: the machine totals of a step's snapshots; each null when none of them had it. */
export interface MachineSummary {
  cpuPercentMean: number | null;
  cpuPercentMax: number | null;
  memoryAvailableBytesMin: number | null;
}
/** Version 3: the snapshots with startUnixMs <= sampledAtUnixMs < startUnixMs + stepMs. */
export interface HistoryStep {
  /** A multiple of stepMs. */
  startUnixMs: number;
  snapshotCount: number;
  machine: MachineSummary;
  /** Ascending by pid, then start. */
  processes: ProcessSummary[];
}

export interface HistoryChunkEventV2 {
  version: 2;
  type: "historyChunk";
  requestId: string;
  done: boolean;
  snapshots: SnapshotV2[];
}
/** With stepMs in the command, steps in place of snapshots. */
export type HistoryChunkEventV3 = Omit<HistoryChunkEventV2, "version" | "snapshots"> & { version: 3 } & (
    { snapshots: SnapshotV3[] } | { stepMs: number; steps: HistoryStep[] }
  );
export type HistoryChunkEvent<V extends ProtocolVersion = 2> = V extends 3 ? HistoryChunkEventV3 : HistoryChunkEventV2;

/** Version 3, with lifecycle on: a process of the selected trees seen for the first time, at
 *  configure or at a snapshot (before that snapshot); process is that snapshot's record. */
export interface ProcessStartedEvent {
  version: 3;
  type: "processStarted";
  pid: number;
  ppid: number;
  startTimeMs: number;
  process: ProcessRecordV3;
}
/** Version 3, with lifecycle on: a process whose start was told has exited. process is the last
 *  record taken of it, at its start or at the last snapshot. */
export interface ProcessExitedEvent {
  version: 3;
  type: "processExited";
  pid: number;
  startTimeMs: number;
  /** When the sidecar learnt of the exit. */
  exitedAtUnixMs: number;
  process: ProcessRecordV3;
}
export type LifecycleEvent = ProcessStartedEvent | ProcessExitedEvent;

export type Event<V extends ProtocolVersion = 2> = V extends 3
  ? HelloEventV3 | ErrorEventV3 | AckEvent | SnapshotV3 | HistoryChunkEventV3 | LifecycleEvent
  : HelloEventV2 | ErrorEventV2 | SnapshotV2 | HistoryChunkEventV2;
